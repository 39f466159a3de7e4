// The serial device on POSIX termios.
//
// The descriptor stays O_NONBLOCK for its whole life with VMIN=1/VTIME=0:
// an empty input queue then reads as EAGAIN, so a read() of 0 bytes can only
// mean end of file, i.e. the device hung up (a USB modem unplugged, a pty
// whose master closed). With VMIN=0 the two would look the same. Waiting is
// done with poll(), which also reports the hang-up as POLLHUP/POLLERR.
#include "platform/posix_serial.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/line_speed.h"
#include "platform/services.h"

namespace platform {

namespace {

struct SpeedCode {
  std::uint32_t baud;
  speed_t code;
};

constexpr std::array kSpeeds = {
    SpeedCode{50, B50},         SpeedCode{75, B75},         SpeedCode{110, B110},
    SpeedCode{134, B134},       SpeedCode{150, B150},       SpeedCode{200, B200},
    SpeedCode{300, B300},       SpeedCode{600, B600},       SpeedCode{1200, B1200},
    SpeedCode{1800, B1800},     SpeedCode{2400, B2400},     SpeedCode{4800, B4800},
    SpeedCode{9600, B9600},     SpeedCode{19200, B19200},   SpeedCode{38400, B38400},
    SpeedCode{57600, B57600},   SpeedCode{115200, B115200}, SpeedCode{230400, B230400},
#ifdef B460800
    SpeedCode{460800, B460800},
#endif
#ifdef B921600
    SpeedCode{921600, B921600},
#endif
};

std::optional<speed_t> SpeedCodeFor(std::uint32_t baud) {
  for (const auto& s : kSpeeds) {
    if (s.baud == baud) return s.code;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> BaudFor(speed_t code) {
  for (const auto& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return std::nullopt;
}

// Unix98 pty slaves (/dev/pts/N) have majors 136..143.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

bool IsPtySlave(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

// A pty has no modem-control lines and no line counters, and neither have
// some Bluetooth and USB CDC modems: their drivers answer those ioctls with
// ENOTTY or EINVAL. A HART modem that keys its own transmitter needs neither.
bool IsUnsupportedIoctl(int err) {
  return err == ENOTTY || err == EINVAL;
}

// How often a write waiting for the output queue to drain looks again.
constexpr int kDrainPollMs = 5;

// What a failed read() or write() means: these errno values are the device
// going away under an open descriptor, not a fault of the request.
bool IsHangUpErrno(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

// Milliseconds from now until `deadline` as a poll() time-out, rounded up so
// a wait never ends just short of it; 0 once it has passed.
int MillisUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// The read time-out record turned into what a read does.
struct ReadPlan {
  bool immediate = false;    // return at once with what is buffered
  bool returnOnAny = false;  // return as soon as some bytes have arrived
  std::optional<std::chrono::milliseconds> total;
  std::optional<std::chrono::milliseconds> interval;  // between bytes, after the first
};

ReadPlan PlanRead(const Timeouts& t, std::uint32_t length) {
  ReadPlan plan;
  if (t.readInterval == kMaxTimeout && t.readTotalMultiplier == 0 && t.readTotalConstant == 0) {
    plan.immediate = true;
    return plan;
  }
  if (t.readInterval == kMaxTimeout && t.readTotalMultiplier == kMaxTimeout &&
      t.readTotalConstant != 0 && t.readTotalConstant != kMaxTimeout) {
    // Wait up to the constant for the first bytes, then return with them.
    plan.returnOnAny = true;
    plan.total = std::chrono::milliseconds(t.readTotalConstant);
    return plan;
  }
  const std::uint64_t total =
      std::uint64_t{t.readTotalMultiplier} * length + std::uint64_t{t.readTotalConstant};
  if (total != 0) {
    plan.total = std::chrono::milliseconds(std::min<std::uint64_t>(total, INT_MAX));
  }
  if (t.readInterval != 0 && t.readInterval != kMaxTimeout) {
    plan.interval = std::chrono::milliseconds(t.readInterval);
  }
  return plan;
}

// The part of the line settings termios knows, read from `t`.
LineSettings SettingsFromTermios(const termios& t, std::uint32_t baud) {
  LineSettings s;
  s.baudRate = baud;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      s.byteSize = 5;
      break;
    case CS6:
      s.byteSize = 6;
      break;
    case CS7:
      s.byteSize = 7;
      break;
    default:
      s.byteSize = 8;
      break;
  }
  if (t.c_cflag & PARENB) {
    s.parity = (t.c_cflag & PARODD) ? kParityOdd : kParityEven;
  } else {
    s.parity = kParityNone;
  }
  s.stopBits = (t.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
  s.flags = line::kBinary;
  if (t.c_iflag & INPCK) s.flags |= line::kParityCheck;
  if (t.c_cflag & CRTSCTS) {
    s.flags |= line::kCtsOutFlow;
    s.flags = line::WithRtsMode(s.flags, line::kLineModeHandshake);
  }
  if (t.c_iflag & IXON) s.flags |= line::kXonXoffOut;
  if (t.c_iflag & IXOFF) s.flags |= line::kXonXoffIn;
  return s;
}

// Closes a descriptor that Open gave up on, undoing the exclusive mode first.
void Abandon(int fd, bool exclusive) {
  if (exclusive) ioctl(fd, TIOCNXCL);
  close(fd);
}

}  // namespace

std::chrono::milliseconds WriteBound(std::uint32_t length, std::uint32_t baud) {
  constexpr std::uint64_t kBitsPerCharacter = 11;
  constexpr std::uint64_t kMarginMs = 1000;
  const std::uint64_t rate = baud != 0 ? baud : 1200;
  const std::uint64_t wireMs = (std::uint64_t{length} * kBitsPerCharacter * 1000 + rate - 1) / rate;
  return std::chrono::milliseconds(std::min<std::uint64_t>(2 * wireMs + kMarginMs, INT_MAX));
}

// --- driver ------------------------------------------------------------------

std::map<std::string, std::string> DefaultPortPaths() {
  return {{"COM8:", "/dev/com8"}};
}

PosixSerialDriver::PosixSerialDriver() : portPaths_(DefaultPortPaths()) {}

PosixSerialDriver::PosixSerialDriver(std::map<std::string, std::string> portPaths)
    : portPaths_(std::move(portPaths)) {}

std::string PosixSerialDriver::PathFor(std::string_view name) const {
  auto it = portPaths_.find(std::string(name));
  return it == portPaths_.end() ? std::string(name) : it->second;
}

void PosixSerialDriver::SetPortPath(std::string_view name, std::string path) {
  portPaths_[std::string(name)] = std::move(path);
}

std::string PosixSerialDriver::OpenFailureAdvice(std::string_view name, Error error) const {
  const std::string path = PathFor(name);
  switch (error) {
    case kErrorFileNotFound:
      // The node is there but the kernel has nothing behind it: a USB modem
      // unplugged under its udev link's old target, or a device number no
      // driver has claimed.
      if (lastOpenErrno_ == ENXIO || lastOpenErrno_ == ENODEV) {
        return path +
               " exists, but there is no device behind it: the HART modem is unplugged or "
               "its driver is missing. Plug the modem in (dmesg shows whether a driver took "
               "it), then try again.";
      }
      if (DefaultPortPaths().count(std::string(name)) != 0 &&
          DefaultPortPaths()[std::string(name)] == path) {
        return path + " does not exist. Connect the HART modem and map it to " + path +
               " (a udev rule or a symlink), or name its device with --port.";
      }
      return path + " does not exist. Connect the HART modem, or check the device's name.";
    case kErrorDeviceNotConnected:
      // Not a failed open: the port went away under an open descriptor.
      return path +
             " went away: the HART modem was unplugged or its driver is gone. Plug the modem "
             "back in (dmesg shows whether a driver took it), then try again.";
    case kErrorAccessDenied:
      return "No permission to open " + path +
             ". Join the dialout group (sudo usermod -aG dialout $USER), then log out and in "
             "again.";
    case kErrorSharingViolation:
      return path +
             " is in use by another program (ModemManager, brltty, a terminal program or "
             "another Veltrop). Close it, then try again.";
    case kErrorInvalidFunction:
      return path +
             " is not a serial port. Map it to the HART modem's port (a udev rule or a "
             "symlink).";
    default:
      // The errno is only known when the open itself failed; a failure while
      // setting the port up afterwards has just its number.
      if (lastOpenErrno_ != 0 && FromErrno(lastOpenErrno_) == error) {
        return path + " could not be opened: " + std::strerror(lastOpenErrno_) + ".";
      }
      return path + " could not be set up (error " + std::to_string(ErrorNumber(error)) + ").";
  }
}

Error PosixSerialDriver::Open(std::string_view name, std::unique_ptr<SerialDevice>& device) {
  device.reset();
  const auto fail = [this](int err) {
    lastOpenErrno_ = err;
    return FromErrno(err);
  };
  const std::string path = PathFor(name);
  // O_NONBLOCK also keeps open() from waiting for carrier on a port without
  // CLOCAL set yet.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(errno);

  termios original{};
  if (tcgetattr(fd, &original) != 0) {  // ENOTTY: a file, /dev/null, ...
    const int err = errno;
    Abandon(fd, false);
    return fail(err);
  }
  // Two locks, because neither is enough alone. TIOCEXCL makes the kernel
  // refuse further opens of this tty with EBUSY, but not to root (CAP_SYS_ADMIN)
  // and not to descriptors opened before it. flock is only advisory, but it is
  // what other well-behaved serial programs take, and it refuses a second
  // opener whoever they are, root included. The flock comes first so that a
  // refused opener never touches the owner's exclusive flag.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;  // EWOULDBLOCK == EAGAIN -> sharing violation
    Abandon(fd, false);
    return fail(err);
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    const int err = errno;
    Abandon(fd, false);
    return fail(err);
  }

  // Raw bytes both ways, but the line format and flow control the device had
  // stay as they were: they are line settings, and the initial record reports
  // them. CLOCAL: a modem without carrier detect must not hang us up.
  termios raw = original;
  cfmakeraw(&raw);
  const tcflag_t keptControl = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
  raw.c_cflag = (raw.c_cflag & ~keptControl) | (original.c_cflag & keptControl);
  raw.c_cflag |= CLOCAL | CREAD;
  const tcflag_t keptInput = IXON | IXOFF | INPCK;
  raw.c_iflag = (raw.c_iflag & ~keptInput) | (original.c_iflag & keptInput);
  raw.c_cc[VMIN] = 1;  // see the note at the top: 0 bytes must mean hang-up
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    const int err = errno;
    Abandon(fd, true);
    return fail(err);
  }

  std::unique_ptr<PosixSerialDevice> opened(new PosixSerialDevice(fd, IsPtySlave(fd), original));
  if (const Error e = opened->ReadInitialSettings(); e != kErrorSuccess) {
    lastOpenErrno_ = opened->LastErrno();
    return e;  // the device's destructor restores and closes
  }
  lastOpenErrno_ = 0;
  device = std::move(opened);
  return kErrorSuccess;
}

namespace {
PosixSerialDriver& TheDriver() {
  static PosixSerialDriver driver;
  return driver;
}
}  // namespace

SerialDriver& RealSerialDriver() {
  return TheDriver();
}

void SetPortPath(std::string_view name, std::string path) {
  TheDriver().SetPortPath(name, std::move(path));
}

std::string PortPath(std::string_view name) {
  return TheDriver().PathFor(name);
}

// --- device ------------------------------------------------------------------

PosixSerialDevice::PosixSerialDevice(int fd, bool pty, const termios& original)
    : fd_(fd), pty_(pty), original_(std::make_unique<termios>(original)) {}

PosixSerialDevice::~PosixSerialDevice() {
  // Best effort: after a hang-up these fail with EIO and there is nobody to
  // tell. The exclusive flag belongs to the tty, not to this descriptor, and
  // a pty slave outlives us while its master is open: clear it, or the next
  // open of the same pty by a normal user gets EBUSY.
  tcsetattr(fd_, TCSANOW, original_.get());
  ioctl(fd_, TIOCNXCL);
  close(fd_);  // also releases the flock
}

Error PosixSerialDevice::Fail(int err) {
  lastErrno_ = err;
  return FromErrno(err);
}

Error PosixSerialDevice::HangUp(int err) {
  hungUp_ = true;
  lastErrno_ = err;
  return kErrorDeviceNotConnected;
}

Error PosixSerialDevice::TransferFailure(int err) {
  return IsHangUpErrno(err) ? HangUp(err) : Fail(err);
}

int PosixSerialDevice::ReadLineCounts(LineCounts& counts) const {
  serial_icounter_struct ic{};
  if (ioctl(fd_, TIOCGICOUNT, &ic) != 0) return errno;
  counts.frame = static_cast<std::uint32_t>(ic.frame);
  counts.parity = static_cast<std::uint32_t>(ic.parity);
  counts.overrun =
      static_cast<std::uint32_t>(ic.overrun) + static_cast<std::uint32_t>(ic.buf_overrun);
  counts.brk = static_cast<std::uint32_t>(ic.brk);
  return 0;
}

Error PosixSerialDevice::ReadInitialSettings() {
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return Fail(errno);
  std::uint32_t baud = 0;
  if (detail::GetLineSpeed(fd_, baud) != 0) {
    baud = BaudFor(cfgetospeed(&t)).value_or(0);
  }
  settings_ = SettingsFromTermios(t, baud);
  int lines = 0;
  if (ioctl(fd_, TIOCMGET, &lines) == 0) {
    if (lines & TIOCM_DTR) {
      settings_.flags = line::WithDtrMode(settings_.flags, line::kLineModeEnabled);
    }
    if (line::RtsMode(settings_.flags) != line::kLineModeHandshake && (lines & TIOCM_RTS)) {
      settings_.flags = line::WithRtsMode(settings_.flags, line::kLineModeEnabled);
    }
  } else if (!IsUnsupportedIoctl(errno)) {
    return Fail(errno);
  }
  // ClearErrors reports what happened after open, not the port's history.
  LineCounts counts;
  if (ReadLineCounts(counts) == 0) counts_ = counts;
  return kErrorSuccess;
}

Error PosixSerialDevice::SetQueueSizes(std::uint32_t, std::uint32_t) {
  return kErrorSuccess;  // the tty layer sizes its own buffers
}

Error PosixSerialDevice::SetEventMask(std::uint32_t) {
  return kErrorSuccess;  // there are no comm events; poll() covers what we wait for
}

Error PosixSerialDevice::GetSettings(LineSettings& settings) {
  settings = settings_;
  return kErrorSuccess;
}

Error PosixSerialDevice::SetSettings(const LineSettings& s) {
  // Check the whole record before touching the device, so a refused record
  // changes nothing.
  const std::optional<speed_t> speed = SpeedCodeFor(s.baudRate);
  if (s.baudRate == 0 || (!speed && !detail::HaveArbitrarySpeeds())) {
    return Fail(EINVAL);
  }
  tcflag_t size = 0;
  switch (s.byteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return Fail(EINVAL);
  }
  if (s.parity > kParityEven) return Fail(EINVAL);  // mark and space: not offered
  if (s.stopBits != kOneStopBit && s.stopBits != kTwoStopBits) {
    return Fail(EINVAL);  // one and a half stop bits: termios has no such thing
  }
  // RTS toggle (raised only while sending) needs the UART's RS-485 mode,
  // which a modem port does not offer.
  if (line::RtsMode(s.flags) == line::kLineModeToggle) return Fail(EINVAL);

  termios t{};
  if (tcgetattr(fd_, &t) != 0) return Fail(errno);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= size | CLOCAL | CREAD;
  if (s.parity != kParityNone) t.c_cflag |= PARENB;
  if (s.parity == kParityOdd) t.c_cflag |= PARODD;
  if (s.stopBits == kTwoStopBits) t.c_cflag |= CSTOPB;
  if ((s.flags & line::kCtsOutFlow) || line::RtsMode(s.flags) == line::kLineModeHandshake) {
    t.c_cflag |= CRTSCTS;
  }
  // Parity checking on, without PARMRK or IGNPAR: Linux hands a byte with a
  // parity or framing error up as 0x00 (harmless: the frame's checksum
  // rejects it) and counts it; off: the error is ignored.
  t.c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF);
  t.c_iflag |= (s.flags & line::kParityCheck) ? INPCK : IGNPAR;
  if (s.flags & line::kXonXoffOut) t.c_iflag |= IXON;
  if (s.flags & line::kXonXoffIn) t.c_iflag |= IXOFF;
  if (speed) {
    cfsetispeed(&t, *speed);
    cfsetospeed(&t, *speed);
  }
  // tcsetattr reports success if any part was applied; a pty drops PARENB
  // and CSIZE silently. The record, not the device, is what GetSettings
  // reports.
  if (tcsetattr(fd_, TCSANOW, &t) != 0) return Fail(errno);
  if (!speed) {
    if (const int err = detail::SetArbitrarySpeed(fd_, s.baudRate)) {
      return Fail(err == ENOSYS ? EINVAL : err);
    }
  }
  if (const Error e = ApplyModemLines(s); e != kErrorSuccess) return e;
  settings_ = s;
  return kErrorSuccess;
}

Error PosixSerialDevice::ApplyModemLines(const LineSettings& s) {
  // "Disabled" holds the line off for as long as the port is open; a modem
  // may key its transmitter from RTS or draw power from DTR, so the state is
  // set explicitly rather than left to whatever open() raised. DTR handshake
  // has no termios counterpart and is held on; RTS handshake is CRTSCTS.
  int raise = 0;
  int drop = 0;
  (line::DtrMode(s.flags) == line::kLineModeDisabled ? drop : raise) |= TIOCM_DTR;
  switch (line::RtsMode(s.flags)) {
    case line::kLineModeDisabled:
      drop |= TIOCM_RTS;
      break;
    case line::kLineModeEnabled:
      raise |= TIOCM_RTS;
      break;
    default:
      break;
  }
  for (const auto& [request, mask] : {std::pair{TIOCMBIS, raise}, std::pair{TIOCMBIC, drop}}) {
    if (mask == 0) continue;
    if (ioctl(fd_, request, &mask) != 0) {
      // A device without modem lines has nothing to hold off; any other
      // refusal is a broken port.
      if (IsUnsupportedIoctl(errno)) return kErrorSuccess;
      return Fail(errno);
    }
  }
  return kErrorSuccess;
}

Error PosixSerialDevice::SetModemLine(ModemLine which, bool raised) {
  if (hungUp_) return kErrorDeviceNotConnected;
  const int mask = which == ModemLine::kDtr ? TIOCM_DTR : TIOCM_RTS;
  if (ioctl(fd_, raised ? TIOCMBIS : TIOCMBIC, &mask) != 0) {
    if (IsUnsupportedIoctl(errno)) return kErrorSuccess;  // no lines: nothing to key
    // A USB adapter pulled out answers EIO or ENODEV here first.
    return TransferFailure(errno);
  }
  return kErrorSuccess;
}

Error PosixSerialDevice::GetModemStatus(std::uint32_t& status) {
  status = 0;
  if (hungUp_) return kErrorDeviceNotConnected;
  int lines = 0;
  if (ioctl(fd_, TIOCMGET, &lines) != 0) {
    if (IsUnsupportedIoctl(errno)) return Fail(ENOTTY);
    return TransferFailure(errno);
  }
  if (lines & TIOCM_CTS) status |= kModemCts;
  if (lines & TIOCM_DSR) status |= kModemDsr;
  if (lines & TIOCM_RI) status |= kModemRing;
  if (lines & TIOCM_CD) status |= kModemCarrier;
  return kErrorSuccess;
}

Error PosixSerialDevice::GetTimeouts(Timeouts& timeouts) {
  timeouts = timeouts_;
  return kErrorSuccess;
}

Error PosixSerialDevice::SetTimeouts(const Timeouts& timeouts) {
  timeouts_ = timeouts;  // applied by each Read and Write
  return kErrorSuccess;
}

Error PosixSerialDevice::Write(const std::uint8_t* data, std::uint32_t length,
                               std::uint32_t& written) {
  written = 0;
  if (hungUp_) return kErrorDeviceNotConnected;
  if (length == 0) return kErrorSuccess;
  if (data == nullptr) return Fail(EINVAL);

  // Without write time-outs of its own, a write still ends: an adapter that
  // stops draining (a wedged USB driver, output flow held off) would
  // otherwise hold the caller for good.
  const std::uint64_t totalMs = std::uint64_t{timeouts_.writeTotalMultiplier} * length +
                                std::uint64_t{timeouts_.writeTotalConstant};
  const Clock::time_point deadline =
      Clock::now() + (totalMs != 0
                          ? std::chrono::milliseconds(std::min<std::uint64_t>(totalMs, INT_MAX))
                          : WriteBound(length, settings_.baudRate));
  while (written < length) {
    const ssize_t n = ::write(fd_, data + written, length - written);
    if (n > 0) {
      written += static_cast<std::uint32_t>(n);
      continue;
    }
    if (n == 0) return HangUp(EIO);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return TransferFailure(errno);
    // The output queue is full (flow control, or a slow line): wait for room.
    const int wait = MillisUntil(deadline);
    if (wait == 0) return Stalled();
    pollfd p{fd_, POLLOUT, 0};
    const int r = ::poll(&p, 1, wait);
    if (r < 0 && errno != EINTR) return Fail(errno);
    if (r > 0 && (p.revents & POLLNVAL)) return Fail(EBADF);
    if (r > 0 && (p.revents & (POLLHUP | POLLERR))) return HangUp(EIO);
  }
  // Synchronous: the caller times the reply from the moment the request has
  // left, so wait for the output queue to drain. tcdrain() has no time
  // limit; the driver's count of queued bytes is watched instead, and
  // tcdrain() only waits out the last characters in the UART once the queue
  // is empty.
  for (;;) {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) {
      if (!IsUnsupportedIoctl(errno)) return TransferFailure(errno);
      break;
    }
    if (queued <= 0) break;
    const int wait = MillisUntil(deadline);
    if (wait == 0) return Stalled();
    ::poll(nullptr, 0, std::min(wait, kDrainPollMs));
  }
  while (tcdrain(fd_) != 0) {
    if (errno != EINTR) return TransferFailure(errno);
  }
  return kErrorSuccess;
}

Error PosixSerialDevice::Stalled() {
  // What did not leave is dropped, so it cannot go out ahead of the next
  // request once the line moves again.
  tcflush(fd_, TCOFLUSH);
  return Fail(ETIMEDOUT);
}

Error PosixSerialDevice::Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) {
  read = 0;
  if (hungUp_) return kErrorDeviceNotConnected;
  if (length == 0) return kErrorSuccess;
  if (data == nullptr) return Fail(EINVAL);

  const ReadPlan plan = PlanRead(timeouts_, length);
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> lastByte;
  bool hangUpSeen = false;
  while (read < length) {
    const ssize_t n = ::read(fd_, data + read, length - read);
    if (n > 0) {
      read += static_cast<std::uint32_t>(n);
      lastByte = Clock::now();
      if (plan.returnOnAny) break;
      continue;
    }
    if (n == 0) return HangUp(EIO);  // end of file: see the note at the top
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return TransferFailure(errno);
    // Nothing buffered. After POLLHUP that is final: polling again would
    // only report POLLHUP again at once, forever.
    if (hangUpSeen) return HangUp(EIO);
    if (plan.immediate) break;

    int wait = -1;
    if (plan.total) wait = MillisUntil(start + *plan.total);
    if (plan.interval && lastByte) {
      const int gap = MillisUntil(*lastByte + *plan.interval);
      wait = wait < 0 ? gap : std::min(wait, gap);
    }
    if (wait == 0) break;  // the time-outs ran out: a short count, not an error

    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (r == 0) continue;  // the next pass finds the time-out spent
    if (p.revents & POLLNVAL) return Fail(EBADF);
    // Read once more either way: bytes that arrived before the hang-up are
    // still delivered.
    if (p.revents & (POLLHUP | POLLERR)) hangUpSeen = true;
  }
  return kErrorSuccess;
}

Error PosixSerialDevice::Purge(std::uint32_t flags) {
  // The abort flags have nothing to act on: every transfer here is
  // synchronous, so none is pending while Purge runs.
  const bool tx = flags & kPurgeClearTransmit;
  const bool rx = flags & kPurgeClearReceive;
  if (!tx && !rx) return kErrorSuccess;
  const int queue = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
  if (tcflush(fd_, queue) != 0) return Fail(errno);
  return kErrorSuccess;
}

Error PosixSerialDevice::ClearErrors(std::uint32_t& errors) {
  errors = 0;
  LineCounts now;
  if (const int err = ReadLineCounts(now)) {
    // Not every tty driver keeps line counters (a pty keeps none): then
    // there is nothing to report.
    if (IsUnsupportedIoctl(err)) return kErrorSuccess;
    return Fail(err);
  }
  // The counters only grow (and wrap); a difference means new errors.
  if (now.frame != counts_.frame) errors |= kLineErrorFrame;
  if (now.parity != counts_.parity) errors |= kLineErrorParity;
  if (now.overrun != counts_.overrun) errors |= kLineErrorOverrun;
  if (now.brk != counts_.brk) errors |= kLineErrorBreak;
  counts_ = now;
  return kErrorSuccess;
}

}  // namespace platform
