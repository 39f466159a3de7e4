// SerialPort: one serial device of the operating system.
//
// Operations return the platform error number they leave in `lastError`
// (platform/errors.h): 0 success, 6 port not open, 1247 already open,
// 1460 time-out, kEInvalidArg for a type code a setter does not know.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/serial_device.h"

namespace serial {

inline constexpr std::uint32_t kFlowNone = 0;
inline constexpr std::uint32_t kFlowHardware = 1;
inline constexpr std::uint32_t kFlowSoftware = 2;

inline constexpr std::uint32_t kTimeoutsNonBlocking = 0;  // a read returns what is buffered
inline constexpr std::uint32_t kTimeoutsBlocking = 1;     // a read waits for its full count

// Events a HART link watches: character received, break, line error.
inline constexpr std::uint32_t kEventMask = 0xC1;

// How the modem's transmitter is keyed. kSelf: the modem keys itself and
// needs neither line, so both are held off. kRts: DTR powers the modem while
// the port is open, and RTS is raised around each write.
enum class Keying { kSelf, kRts };

class SerialPort {
 public:
  SerialPort() = default;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Virtual, so that a test can put a recording or failing port in its place.
  virtual ~SerialPort();
  virtual platform::Error Open(std::string_view name, std::uint32_t inQueueSize,
                               std::uint32_t outQueueSize);
  virtual platform::Error Close();
  virtual platform::Error SetState(std::uint32_t baudRate, std::uint8_t byteSize,
                                   std::uint8_t parity, std::uint8_t stopBits);
  virtual platform::Error SetMask(std::uint32_t eventMask);
  virtual platform::Error SetFlowControl(std::uint32_t type);
  virtual platform::Error SetTimeouts(std::uint32_t type);
  virtual std::int32_t GetBaudRate();
  virtual std::int32_t GetByteSize();
  virtual std::int32_t GetParity();
  virtual std::int32_t GetStopBits();
  virtual std::int32_t GetFlowControl();
  virtual platform::Error WriteString(const char* text, std::uint32_t* countOut);
  virtual platform::Error Write(const std::uint8_t* buffer, std::uint32_t length,
                                std::uint32_t* countOut);
  virtual platform::Error Read(std::uint8_t* buffer, std::uint32_t length, std::uint32_t* countOut);

  // Discards the driver's transmit and receive buffers. Unlike every other
  // operation it does not reset `lastError` first.
  platform::Error Purge();
  // Returns and clears the line error flags (0 on failure).
  std::uint32_t ClearErrors();
  // The HART line format: `baudRate`, 8 data bits, odd parity checked, one
  // stop bit, no flow control, RTS held off, DTR held off (held on with
  // Keying::kRts), non-blocking reads, empty driver buffers.
  platform::Error ConfigureLine(std::uint32_t baudRate);

  bool IsOpen() const { return handle != nullptr; }

  platform::Error lastError = platform::kErrorSuccess;
  std::unique_ptr<platform::SerialDevice> handle;  // empty: closed
  // Applies from the next ConfigureLine and Write on.
  Keying keying = Keying::kSelf;

 private:
  // Sets lastError to 6 and returns false when the port is closed.
  bool CheckOpen();
  platform::Error Fail(platform::Error error) { return lastError = error; }
  // The common part of Write and Read: reset, check the port (telling the
  // operator `closedMessage` when it is closed), run `move`.
  template <typename Move>
  platform::Error Transfer(const char* closedMessage, std::uint32_t* countOut, Move move);
  // A write with RTS raised around it; `afterDrainMs` is the time it spent
  // after the bytes had left.
  platform::Error KeyedWrite(const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& count,
                             std::uint32_t& afterDrainMs);
};

}  // namespace serial
