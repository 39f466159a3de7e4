// A clock that counts what the program asks of it and lets another clock do
// the work: every requested sleep is summed (the program's fixed waits), and
// every tick-count read is counted (a busy wait shows up as thousands).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/services.h"

namespace timing {

class CountingClock final : public platform::Clock {
 public:
  explicit CountingClock(platform::Clock& inner) : inner_(inner) {}

  void Sleep(std::uint32_t milliseconds) override;
  std::uint32_t TickCount() override;

  // Sleeps shorter than this are the link's polls for a reply's late bytes,
  // not one of the program's fixed pauses (the shortest of those is 300 ms).
  static constexpr std::uint32_t kPollSleepBelowMs = 50;

  // Since the last Reset.
  std::uint64_t SleptMillis() const { return slept_; }
  std::uint64_t PollSleptMillis() const { return pollSlept_; }
  std::uint64_t TickReads() const { return tickReads_; }
  const std::vector<std::uint32_t>& sleeps() const { return sleeps_; }
  void Reset();

 private:
  platform::Clock& inner_;
  std::uint64_t slept_ = 0;
  std::uint64_t pollSlept_ = 0;
  std::uint64_t tickReads_ = 0;
  std::vector<std::uint32_t> sleeps_;
};

}  // namespace timing
