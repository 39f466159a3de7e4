#include "tests/support/virtual_clock.h"

namespace support {

void VirtualClock::Sleep(std::uint32_t milliseconds) {
  sleeps_.push_back(milliseconds);
  now_ += std::uint64_t{milliseconds} * 1000;
}

std::uint32_t VirtualClock::TickCount() {
  if (now_ == lastTickAt_) now_ += 1000;
  lastTickAt_ = now_;
  return static_cast<std::uint32_t>(now_ / 1000);
}

}  // namespace support
