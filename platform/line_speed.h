// Line speeds outside the fixed termios table (14400, 56000, 128000 ...).
//
// Linux sets these through termios2 with BOTHER and the speed in c_ospeed.
// Its header <asm/termbits.h> defines its own struct termios and clashes with
// <termios.h>, so the calls live in their own translation unit behind this
// header, which includes neither.
#pragma once

#include <cstdint>

namespace platform::detail {

// Whether this build can set speeds outside the termios table.
bool HaveArbitrarySpeeds();

// Sets input and output speed of `fd` to `baud`, leaving every other setting
// as it is. Returns 0 or an errno value (ENOSYS where termios2 is missing).
int SetArbitrarySpeed(int fd, std::uint32_t baud);

// The output speed of `fd` in bits per second, whichever way it was set.
// Returns 0 or an errno value (ENOSYS where termios2 is missing).
int GetLineSpeed(int fd, std::uint32_t& baud);

}  // namespace platform::detail
