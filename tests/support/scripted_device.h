// A field device that answers in script: each request on the in-memory line
// gets the next scripted reply, paced one character time a byte. With the
// script used up (or an empty reply) the device stays silent, as a device
// that did not hear the request does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "tests/support/memory_serial.h"

namespace support {

// One reply for one request: its bytes, and how long after the request's
// last byte the first of them starts (by default well inside the time a
// master waits for a reply to begin).
struct ScriptedReply {
  static constexpr std::uint64_t kDefaultGapMicros = 20'000;
  ScriptedReply(std::vector<std::uint8_t> bytes = {},  // NOLINT: a reply is its bytes
                std::uint64_t afterMicros = kDefaultGapMicros)
      : bytes(std::move(bytes)), afterMicros(afterMicros) {}
  std::vector<std::uint8_t> bytes;
  std::uint64_t afterMicros;
};

class ScriptedDevice {
 public:
  explicit ScriptedDevice(MemoryLine& line) : line_(line) {
    line_.onWrite = [this](const std::vector<std::uint8_t>&, std::uint64_t endMicros) {
      if (replies_.empty()) return;
      const ScriptedReply reply = std::move(replies_.front());
      replies_.pop_front();
      if (!reply.bytes.empty()) line_.DeliverPaced(reply.bytes, endMicros + reply.afterMicros);
    };
  }
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;
  ~ScriptedDevice() { line_.onWrite = nullptr; }

  // Answers the next `times` requests with `reply`.
  void Then(const ScriptedReply& reply, int times = 1) {
    for (int i = 0; i < times; ++i) replies_.push_back(reply);
  }
  // Replies not yet given.
  std::size_t Left() const { return replies_.size(); }
  // Drops the rest of the script: silence from now on.
  void Forget() { replies_.clear(); }

 private:
  MemoryLine& line_;
  std::deque<ScriptedReply> replies_;
};

}  // namespace support
