// Error numbers of the platform layer.
//
// The serial code above this layer was written against a platform whose
// last-error numbers it compares directly (6, 997, 1247, 1460), so the POSIX
// driver keeps that numbering and folds errno values into it with FromErrno.
// The errno behind a failure is kept by the driver (PosixSerialDevice::LastErrno,
// PosixSerialDriver::LastOpenErrno) for diagnostics; callers decide on the number alone.
#pragma once

#include <cstdint>

namespace platform {

// A platform error number: a type of its own, so that it cannot be passed
// where a link result is meant, or the other way round. `using enum` keeps
// the names as they always were: platform::kErrorTimeout.
enum class Error : std::uint32_t {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,        // ENOTTY: not a serial device
  kErrorFileNotFound = 2,           // ENOENT, ENODEV, ENXIO
  kErrorAccessDenied = 5,           // EACCES, EPERM
  kErrorInvalidHandle = 6,          // the port is not open
  kErrorGenFailure = 31,            // any errno not listed here
  kErrorSharingViolation = 32,      // EBUSY, EAGAIN: another owner
  kErrorInvalidParameter = 87,      // EINVAL: e.g. a speed not supported
  kErrorIoPending = 997,            // treated as success by writes/reads
  kErrorIoDevice = 1117,            // EIO
  kErrorDeviceNotConnected = 1167,  // hang-up: modem unplugged
  kErrorAlreadyOpen = 1247,         // Open on an open port
  kErrorTimeout = 1460,             // a transfer ran out of time
  kEInvalidArg = 0x80070057u,       // bad type code to a setter
};
using enum Error;

// The number, for messages and logs.
constexpr std::uint32_t ErrorNumber(Error e) {
  return static_cast<std::uint32_t>(e);
}

// errno -> platform error number:
//   0                       -> 0
//   ENOENT, ENODEV, ENXIO   -> 2    (no such device; a udev link missing)
//   EACCES, EPERM           -> 5    (not in the dialout group)
//   EBUSY, EAGAIN           -> 32   (TIOCEXCL or flock: another program has the port)
//   ENOTTY                  -> 1    (the path is not a terminal)
//   EINVAL                  -> 87
//   EIO                     -> 1117
//   ETIMEDOUT               -> 1460
//   ENODEV after open, EPIPE, hang-up -> see kErrorDeviceNotConnected (set by the driver)
//   anything else           -> 31
Error FromErrno(int err);

}  // namespace platform
