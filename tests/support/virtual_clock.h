// A clock for tests: Sleep advances time at once, so a conversation that
// takes seconds on a real line runs in microseconds.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/services.h"

namespace support {

class VirtualClock final : public platform::Clock {
 public:
  explicit VirtualClock(std::uint64_t startMicros = 0) : now_(startMicros) {}

  void Sleep(std::uint32_t milliseconds) override;
  // Returns the time in whole milliseconds. A busy wait polls this without
  // sleeping; so that it cannot stall, a call that finds time has not moved
  // since the previous call first advances it by one millisecond.
  std::uint32_t TickCount() override;

  std::uint64_t NowMicros() const { return now_; }
  std::uint64_t NowMillis() const { return now_ / 1000; }
  void Advance(std::uint64_t micros) { now_ += micros; }
  // Moves time forward to `micros` if it is later than now.
  void AdvanceTo(std::uint64_t micros) {
    if (micros > now_) now_ = micros;
  }

  // Every Sleep, in order, for tests that check the pauses taken.
  const std::vector<std::uint32_t>& sleeps() const { return sleeps_; }
  void ClearSleeps() { sleeps_.clear(); }

 private:
  std::uint64_t now_;
  std::uint64_t lastTickAt_ = UINT64_MAX;
  std::vector<std::uint32_t> sleeps_;
};

}  // namespace support
