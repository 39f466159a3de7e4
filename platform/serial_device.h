// The serial device seam: one open OS serial device, and the driver that
// opens devices by name.
//
// Contract of every operation: the return value is a platform error number
// (platform/errors.h), 0 for success. Transfers always store the count they
// moved in their out-parameter, also on failure; a short count with a 0
// result means the time-outs ran out (non-blocking reads return at once with
// what is buffered, possibly nothing). A hang-up (the modem was unplugged)
// is kErrorDeviceNotConnected from Read and Write, never a 0-byte success.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/errors.h"

namespace platform {

// Line flags: one 32-bit word at fixed bit positions. The lower fifteen bits
// are the flags below; the upper seventeen are reserved, and every driver
// keeps them exactly as they were written.
namespace line {
inline constexpr std::uint32_t kBinary = 1u << 0;
inline constexpr std::uint32_t kParityCheck = 1u << 1;
inline constexpr std::uint32_t kCtsOutFlow = 1u << 2;
inline constexpr std::uint32_t kDsrOutFlow = 1u << 3;
inline constexpr int kDtrModeShift = 4;  // 2 bits: kLineModeDisabled/Enabled/Handshake
inline constexpr std::uint32_t kDtrModeMask = 3u << kDtrModeShift;
inline constexpr std::uint32_t kDsrSensitivity = 1u << 6;
inline constexpr std::uint32_t kContinueOnXoff = 1u << 7;
inline constexpr std::uint32_t kXonXoffOut = 1u << 8;
inline constexpr std::uint32_t kXonXoffIn = 1u << 9;
inline constexpr std::uint32_t kErrorChar = 1u << 10;
inline constexpr std::uint32_t kNullStrip = 1u << 11;
inline constexpr int kRtsModeShift = 12;  // 2 bits: kLineModeDisabled/Enabled/Handshake/Toggle
inline constexpr std::uint32_t kRtsModeMask = 3u << kRtsModeShift;
inline constexpr std::uint32_t kAbortOnError = 1u << 14;
inline constexpr std::uint32_t kLowerFlagsMask = (1u << 15) - 1;

inline constexpr std::uint32_t kLineModeDisabled = 0;   // line held off (de-asserted)
inline constexpr std::uint32_t kLineModeEnabled = 1;    // line held on
inline constexpr std::uint32_t kLineModeHandshake = 2;  // driver drives it for flow control
inline constexpr std::uint32_t kLineModeToggle = 3;     // RTS only

constexpr std::uint32_t DtrMode(std::uint32_t flags) {
  return (flags & kDtrModeMask) >> kDtrModeShift;
}
constexpr std::uint32_t RtsMode(std::uint32_t flags) {
  return (flags & kRtsModeMask) >> kRtsModeShift;
}
constexpr std::uint32_t WithDtrMode(std::uint32_t flags, std::uint32_t mode) {
  return (flags & ~kDtrModeMask) | ((mode << kDtrModeShift) & kDtrModeMask);
}
constexpr std::uint32_t WithRtsMode(std::uint32_t flags, std::uint32_t mode) {
  return (flags & ~kRtsModeMask) | ((mode << kRtsModeShift) & kRtsModeMask);
}
}  // namespace line

inline constexpr std::uint8_t kParityNone = 0;
inline constexpr std::uint8_t kParityOdd = 1;
inline constexpr std::uint8_t kParityEven = 2;
inline constexpr std::uint8_t kOneStopBit = 0;
inline constexpr std::uint8_t kTwoStopBits = 2;

struct LineSettings {
  std::uint32_t baudRate = 9600;
  std::uint8_t byteSize = 8;
  std::uint8_t parity = kParityNone;
  std::uint8_t stopBits = kOneStopBit;
  std::uint32_t flags = line::kBinary;
  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Read time-outs in milliseconds. readInterval == kMaxTimeout with both
// totals 0 means "return at once with what is buffered"; all three 0 means
// "wait until the requested count has arrived".
struct Timeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 0;
  friend bool operator==(const Timeouts&, const Timeouts&) = default;
};
inline constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;

// Purge flags.
inline constexpr std::uint32_t kPurgeAbortTransmit = 0x1;
inline constexpr std::uint32_t kPurgeAbortReceive = 0x2;
inline constexpr std::uint32_t kPurgeClearTransmit = 0x4;
inline constexpr std::uint32_t kPurgeClearReceive = 0x8;

// Modem-control outputs, and the status inputs GetModemStatus reports.
enum class ModemLine { kDtr, kRts };
inline constexpr std::uint32_t kModemCts = 0x10;
inline constexpr std::uint32_t kModemDsr = 0x20;
inline constexpr std::uint32_t kModemRing = 0x40;
inline constexpr std::uint32_t kModemCarrier = 0x80;  // carrier detect (DCD)

// Line error flags returned by ClearErrors.
inline constexpr std::uint32_t kLineErrorOverrun = 0x2;  // receive overrun (hardware or buffer)
inline constexpr std::uint32_t kLineErrorParity = 0x4;
inline constexpr std::uint32_t kLineErrorFrame = 0x8;
inline constexpr std::uint32_t kLineErrorBreak = 0x10;

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;  // closes the device, restoring what open changed

  // Drivers without queue sizes or an event mask accept these and do nothing.
  virtual Error SetQueueSizes(std::uint32_t inSize, std::uint32_t outSize) = 0;
  virtual Error SetEventMask(std::uint32_t mask) = 0;

  // What SetSettings stored is what GetSettings returns, flags included, even
  // where the device itself cannot represent every setting.
  virtual Error GetSettings(LineSettings& settings) = 0;
  virtual Error SetSettings(const LineSettings& settings) = 0;
  virtual Error GetTimeouts(Timeouts& timeouts) = 0;
  virtual Error SetTimeouts(const Timeouts& timeouts) = 0;

  // Synchronous: Write returns when the bytes have left the device.
  virtual Error Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) = 0;
  virtual Error Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) = 0;
  virtual Error Purge(std::uint32_t flags) = 0;
  // Stores the line error flags seen since the last call in `errors`.
  virtual Error ClearErrors(std::uint32_t& errors) = 0;

  // Raises or drops one modem-control line now; the line modes in the
  // settings are left as they are. A device without modem lines (a pty, a
  // network gateway) has no transmitter to key: it accepts and does nothing.
  virtual Error SetModemLine(ModemLine line, bool raised) {
    (void)line;
    (void)raised;
    return kErrorSuccess;
  }
  // Stores the modem's status lines (kModem... bits) in `status`; a device
  // that has none returns kErrorInvalidFunction.
  virtual Error GetModemStatus(std::uint32_t& status) {
    status = 0;
    return kErrorInvalidFunction;
  }
};

class SerialDriver {
 public:
  virtual ~SerialDriver() = default;
  // Opens `name` exclusively for reading and writing. On success `device`
  // holds the open device; on failure it is empty and the error is returned.
  virtual Error Open(std::string_view name, std::unique_ptr<SerialDevice>& device) = 0;
  // What `name` stands for: the device or gateway address it is mapped to.
  virtual std::string Target(std::string_view name) const { return std::string(name); }
  // For the operator: why the last Open of `name` failed with `error` and what
  // to do about it. Empty when the driver has nothing to add.
  virtual std::string OpenFailureAdvice(std::string_view name, Error error) const {
    (void)name;
    (void)error;
    return {};
  }
};

}  // namespace platform
