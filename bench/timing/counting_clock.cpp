#include "bench/timing/counting_clock.h"

namespace timing {

void CountingClock::Sleep(std::uint32_t milliseconds) {
  slept_ += milliseconds;
  if (milliseconds < kPollSleepBelowMs) pollSlept_ += milliseconds;
  sleeps_.push_back(milliseconds);
  inner_.Sleep(milliseconds);
}

std::uint32_t CountingClock::TickCount() {
  ++tickReads_;
  return inner_.TickCount();
}

void CountingClock::Reset() {
  slept_ = 0;
  pollSlept_ = 0;
  tickReads_ = 0;
  sleeps_.clear();
}

}  // namespace timing
