// Puts every frame the link moves into the platform's frame trace.
#pragma once

#include "serial/hart_link.h"

namespace serial {

// Requests go in without their preambles, as the master's frames; every
// read goes in from the field side: the frame it found, or, when it found
// none, all it took off the line with the reason (no reply, checksum error,
// ...), so that a failed poll can be explained from the trace alone.
// Records nothing while no trace is open.
class LinkTrace final : public FrameObserver {
 public:
  void Sent(std::span<const std::uint8_t> request) override;
  void Received(std::span<const std::uint8_t> lineBytes, LinkResult result,
                std::size_t frameOffset) override;
};

}  // namespace serial
