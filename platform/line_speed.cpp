// termios2 calls, kept away from <termios.h> (see line_speed.h).
#include "platform/line_speed.h"

#include <cerrno>

#include <sys/ioctl.h>

#if defined(__linux__)
#include <asm/termbits.h>
#endif

namespace platform::detail {

#if defined(__linux__) && defined(TCGETS2) && defined(TCSETS2) && defined(BOTHER)

bool HaveArbitrarySpeeds() {
  return true;
}

int SetArbitrarySpeed(int fd, std::uint32_t baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  t.c_cflag |= BOTHER;
  t.c_ospeed = baud;
  // An input speed of 0 means "same as output" only in the old encoding; with
  // BOTHER the kernel wants the input speed spelled out as well.
#ifdef IBSHIFT
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
  t.c_cflag |= static_cast<tcflag_t>(BOTHER) << IBSHIFT;
#endif
  t.c_ispeed = baud;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int GetLineSpeed(int fd, std::uint32_t& baud) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  // The kernel keeps c_ospeed current for the table speeds too.
  baud = t.c_ospeed;
  return 0;
}

#else

bool HaveArbitrarySpeeds() {
  return false;
}
int SetArbitrarySpeed(int, std::uint32_t) {
  return ENOSYS;
}
int GetLineSpeed(int, std::uint32_t&) {
  return ENOSYS;
}

#endif

}  // namespace platform::detail
