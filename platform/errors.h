// Error numbers of the platform layer.
//
// The serial code above this layer was written against a platform whose
// last-error numbers it compares directly (6, 997, 1247, 1460), so the POSIX
// driver keeps that numbering and folds errno values into it with FromErrno.
// The errno behind a failure is kept by the driver (SerialDevice::LastErrno)
// for diagnostics; callers decide on the number alone.
#pragma once

#include <cstdint>

namespace platform {

inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;    // ENOTTY: not a serial device
inline constexpr std::uint32_t kErrorFileNotFound = 2;       // ENOENT, ENODEV, ENXIO
inline constexpr std::uint32_t kErrorAccessDenied = 5;       // EACCES, EPERM
inline constexpr std::uint32_t kErrorInvalidHandle = 6;      // the port is not open
inline constexpr std::uint32_t kErrorGenFailure = 31;        // any errno not listed here
inline constexpr std::uint32_t kErrorSharingViolation = 32;  // EBUSY, EAGAIN: another owner
inline constexpr std::uint32_t kErrorInvalidParameter = 87;  // EINVAL: e.g. a speed not supported
inline constexpr std::uint32_t kErrorIoPending = 997;        // treated as success by writes/reads
inline constexpr std::uint32_t kErrorIoDevice = 1117;        // EIO
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;  // hang-up: modem unplugged
inline constexpr std::uint32_t kErrorAlreadyOpen = 1247;         // Open on an open port
inline constexpr std::uint32_t kErrorTimeout = 1460;             // a transfer ran out of time
inline constexpr std::uint32_t kEInvalidArg = 0x80070057u;       // bad type code to a setter

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
std::uint32_t FromErrno(int err);

}  // namespace platform
