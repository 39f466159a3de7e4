#include "serial/serial_port.h"

#include <cstring>

#include "platform/errors.h"
#include "platform/services.h"

namespace serial {

namespace {

// A synchronous write on the modem returns when the request has left, but
// the field device answers only after its turnaround and the reply itself
// takes a few hundred milliseconds at 1200 baud. Pausing here lets the reply
// arrive before the link starts its non-blocking reads.
constexpr std::uint32_t kWritePauseMs = 500;

// An RS-232 modem keyed by RTS starts its carrier only when RTS rises, and
// needs a few bit times (0.83 ms each) before the carrier is steady enough
// to carry a character: the first one written sooner is garbled.
constexpr std::uint32_t kRtsLeadMs = 5;
// The driver's drain ends when the last character has been handed to the
// UART (or to a USB adapter's own buffer), not when its stop bit has left
// the wire: RTS stays up one more character time at 1200 baud (9.17 ms),
// or the modem cuts the checksum byte short. Well inside a device's
// turnaround, so our carrier is gone before its reply starts.
constexpr std::uint32_t kRtsLagMs = 10;
// A modem whose carrier detect follows its own transmitter drops it within
// a few bit times of RTS; longer than five characters, the carrier is the
// device's reply, not ours.
constexpr std::uint32_t kCarrierDropLimitMs = 50;
constexpr std::uint32_t kCarrierPollMs = 2;

}  // namespace

SerialPort::~SerialPort() {
  if (handle) Close();
}

bool SerialPort::CheckOpen() {
  if (handle) return true;
  lastError = platform::kErrorInvalidHandle;
  return false;
}

platform::Error SerialPort::Open(std::string_view name, std::uint32_t inQueueSize,
                                 std::uint32_t outQueueSize) {
  lastError = platform::kErrorSuccess;
  if (handle) return Fail(platform::kErrorAlreadyOpen);
  if (auto e = platform::OpenSerialDevice(name, handle); e != platform::kErrorSuccess) {
    handle.reset();
    return Fail(e);
  }
  if (auto e = handle->SetQueueSizes(inQueueSize, outQueueSize); e != platform::kErrorSuccess) {
    Close();
    return Fail(e);
  }
  // Each of these resets lastError, so only the time-out step decides the
  // result.
  SetMask(kEventMask);
  SetState(9600, 8, platform::kParityNone, platform::kOneStopBit);
  return SetTimeouts(kTimeoutsNonBlocking);
}

platform::Error SerialPort::Close() {
  lastError = platform::kErrorSuccess;
  handle.reset();
  return lastError;
}

platform::Error SerialPort::SetState(std::uint32_t baudRate, std::uint8_t byteSize,
                                     std::uint8_t parity, std::uint8_t stopBits) {
  lastError = platform::kErrorSuccess;
  if (!CheckOpen()) return lastError;
  platform::LineSettings s;
  if (auto e = handle->GetSettings(s); e != platform::kErrorSuccess) return Fail(e);
  s.baudRate = baudRate;
  s.byteSize = byteSize;
  s.parity = parity;
  s.stopBits = stopBits;
  if (parity != 0) {
    s.flags |= platform::line::kParityCheck;
  } else {
    s.flags &= ~platform::line::kParityCheck;
  }
  return Fail(handle->SetSettings(s));
}

platform::Error SerialPort::SetMask(std::uint32_t eventMask) {
  lastError = platform::kErrorSuccess;
  if (!CheckOpen()) return lastError;
  return Fail(handle->SetEventMask(eventMask));
}

platform::Error SerialPort::SetFlowControl(std::uint32_t type) {
  namespace line = platform::line;
  lastError = platform::kErrorSuccess;
  if (!CheckOpen()) return lastError;
  platform::LineSettings s;
  if (auto e = handle->GetSettings(s); e != platform::kErrorSuccess) return Fail(e);
  std::uint32_t f = s.flags;
  switch (type) {
    case kFlowNone:
      f &= ~(line::kCtsOutFlow | line::kDsrOutFlow | line::kXonXoffOut | line::kXonXoffIn);
      f = line::WithRtsMode(line::WithDtrMode(f, line::kLineModeDisabled), line::kLineModeDisabled);
      break;
    case kFlowHardware:
      f |= line::kCtsOutFlow | line::kDsrOutFlow;
      f &= ~(line::kXonXoffOut | line::kXonXoffIn);
      f = line::WithRtsMode(line::WithDtrMode(f, line::kLineModeHandshake),
                            line::kLineModeHandshake);
      break;
    case kFlowSoftware:
      f |= line::kXonXoffOut | line::kXonXoffIn;
      f &= ~(line::kCtsOutFlow | line::kDsrOutFlow);
      f = line::WithRtsMode(line::WithDtrMode(f, line::kLineModeDisabled), line::kLineModeDisabled);
      break;
    default:
      return Fail(platform::kEInvalidArg);
  }
  s.flags = f;
  return Fail(handle->SetSettings(s));
}

platform::Error SerialPort::SetTimeouts(std::uint32_t type) {
  lastError = platform::kErrorSuccess;
  if (!CheckOpen()) return lastError;
  platform::Timeouts t;
  if (auto e = handle->GetTimeouts(t); e != platform::kErrorSuccess) return Fail(e);
  switch (type) {
    case kTimeoutsNonBlocking:
      t.readInterval = platform::kMaxTimeout;
      t.readTotalMultiplier = 0;
      t.readTotalConstant = 0;
      break;
    case kTimeoutsBlocking:
      t.readInterval = 0;
      t.readTotalMultiplier = 0;
      t.readTotalConstant = 0;
      break;
    default:
      return Fail(platform::kEInvalidArg);
  }
  return Fail(handle->SetTimeouts(t));
}

namespace {

template <typename Pick>
std::int32_t Get(SerialPort& port, Pick pick) {
  port.lastError = platform::kErrorSuccess;
  if (!port.handle) {
    port.lastError = platform::kErrorInvalidHandle;
    return -1;
  }
  platform::LineSettings s;
  if (auto e = port.handle->GetSettings(s); e != platform::kErrorSuccess) {
    port.lastError = e;
    return -1;
  }
  return pick(s);
}

}  // namespace

std::int32_t SerialPort::GetBaudRate() {
  return Get(*this, [](const auto& s) { return static_cast<std::int32_t>(s.baudRate); });
}

std::int32_t SerialPort::GetByteSize() {
  return Get(*this, [](const auto& s) { return std::int32_t{s.byteSize}; });
}

std::int32_t SerialPort::GetParity() {
  return Get(*this, [](const auto& s) {
    return (s.flags & platform::line::kParityCheck) ? std::int32_t{s.parity} : 0;
  });
}

std::int32_t SerialPort::GetStopBits() {
  return Get(*this, [](const auto& s) { return std::int32_t{s.stopBits}; });
}

std::int32_t SerialPort::GetFlowControl() {
  return Get(*this, [](const auto& s) {
    namespace line = platform::line;
    if (line::DtrMode(s.flags) == line::kLineModeHandshake &&
        line::RtsMode(s.flags) == line::kLineModeHandshake) {
      return std::int32_t{1};
    }
    const auto xonxoff = line::kXonXoffOut | line::kXonXoffIn;
    return (s.flags & xonxoff) == xonxoff ? std::int32_t{2} : std::int32_t{0};
  });
}

platform::Error SerialPort::WriteString(const char* text, std::uint32_t* countOut) {
  return Write(reinterpret_cast<const std::uint8_t*>(text),
               static_cast<std::uint32_t>(std::strlen(text)), countOut);
}

template <typename Move>
platform::Error SerialPort::Transfer(const char* closedMessage, std::uint32_t* countOut,
                                     Move move) {
  std::uint32_t own = 0;
  std::uint32_t& count = countOut ? *countOut : own;
  lastError = platform::kErrorSuccess;
  count = 0;
  if (!CheckOpen()) {
    platform::MessageBox(closedMessage, platform::Icon::Information);
    return lastError;
  }
  const platform::Error e = move(count);
  // Pending means the driver took the transfer on; it counts as done.
  if (e != platform::kErrorSuccess && e != platform::kErrorIoPending) return Fail(e);
  return lastError;
}

platform::Error SerialPort::KeyedWrite(const std::uint8_t* buffer, std::uint32_t length,
                                       std::uint32_t& count, std::uint32_t& afterDrainMs) {
  using platform::ModemLine;
  // Carrier detect tells about our own transmission only if it was off
  // before we keyed: a line tied on, or another station talking, says
  // nothing about when our carrier has gone.
  std::uint32_t status = 0;
  const bool carrierFollows = handle->GetModemStatus(status) == platform::kErrorSuccess &&
                              (status & platform::kModemCarrier) == 0;
  if (auto e = handle->SetModemLine(ModemLine::kRts, true); e != platform::kErrorSuccess) return e;
  platform::Sleep(kRtsLeadMs);
  platform::Error e = handle->Write(buffer, length, count);
  const std::uint32_t drained = platform::TickCount();
  // Dropped whatever the write gave: a modem left keyed holds its carrier
  // on the loop, and no device can answer anyone.
  platform::Sleep(kRtsLagMs);
  const platform::Error dropped = handle->SetModemLine(ModemLine::kRts, false);
  if (e == platform::kErrorSuccess || e == platform::kErrorIoPending) e = dropped;
  // The reply is read only once our own carrier has gone, so the modem
  // cannot hand the tail of our transmission back as received bytes.
  while (e == platform::kErrorSuccess && carrierFollows &&
         static_cast<std::uint32_t>(platform::TickCount() - drained) < kCarrierDropLimitMs) {
    if (handle->GetModemStatus(status) != platform::kErrorSuccess ||
        (status & platform::kModemCarrier) == 0) {
      break;
    }
    platform::Sleep(kCarrierPollMs);
  }
  afterDrainMs = static_cast<std::uint32_t>(platform::TickCount() - drained);
  return e;
}

platform::Error SerialPort::Write(const std::uint8_t* buffer, std::uint32_t length,
                                  std::uint32_t* countOut) {
  bool moved = false;
  std::uint32_t afterDrainMs = 0;
  const platform::Error e = Transfer("Write device not open", countOut, [&](std::uint32_t& count) {
    moved = true;
    if (keying == Keying::kRts) return KeyedWrite(buffer, length, count, afterDrainMs);
    return handle->Write(buffer, length, count);
  });
  // The pause counts from the moment the request had left, keyed or not,
  // so the reply is read at the same point after the request either way.
  if (moved && e == platform::kErrorSuccess && afterDrainMs < kWritePauseMs) {
    platform::Sleep(kWritePauseMs - afterDrainMs);
  }
  return e;
}

platform::Error SerialPort::Read(std::uint8_t* buffer, std::uint32_t length,
                                 std::uint32_t* countOut) {
  return Transfer("Read device not open", countOut,
                  [&](std::uint32_t& count) { return handle->Read(buffer, length, count); });
}

platform::Error SerialPort::Purge() {
  if (!CheckOpen()) return lastError;
  if (auto e = handle->Purge(platform::kPurgeClearTransmit | platform::kPurgeClearReceive);
      e != platform::kErrorSuccess) {
    lastError = e;
  }
  return lastError;
}

std::uint32_t SerialPort::ClearErrors() {
  lastError = platform::kErrorSuccess;
  if (!CheckOpen()) return 0;
  std::uint32_t errors = 0;
  if (auto e = handle->ClearErrors(errors); e != platform::kErrorSuccess) {
    lastError = e;
    return 0;
  }
  return errors;
}

platform::Error SerialPort::ConfigureLine(std::uint32_t baudRate) {
  namespace line = platform::line;
  lastError = platform::kErrorSuccess;
  if (!CheckOpen()) return lastError;
  platform::LineSettings s;
  if (auto e = handle->GetSettings(s); e != platform::kErrorSuccess) return Fail(e);
  s.baudRate = baudRate;
  s.byteSize = 8;
  s.parity = platform::kParityOdd;
  s.stopBits = platform::kOneStopBit;
  // Binary with parity checking; every other lower flag off: no flow
  // control and DTR and RTS held off while the port is open, except that a
  // modem keyed by RTS draws its power from DTR. The reserved upper bits
  // belong to the driver and keep their values.
  s.flags = (s.flags & ~line::kLowerFlagsMask) | line::kBinary | line::kParityCheck;
  if (keying == Keying::kRts) s.flags = line::WithDtrMode(s.flags, line::kLineModeEnabled);
  if (auto e = handle->SetSettings(s); e != platform::kErrorSuccess) return Fail(e);
  SetTimeouts(kTimeoutsNonBlocking);
  if (auto e = handle->Purge(platform::kPurgeAbortTransmit | platform::kPurgeAbortReceive |
                             platform::kPurgeClearTransmit | platform::kPurgeClearReceive);
      e != platform::kErrorSuccess) {
    // Released directly: Close would reset lastError.
    lastError = e;
    handle.reset();
    return lastError;
  }
  ClearErrors();
  return lastError;
}

}  // namespace serial
