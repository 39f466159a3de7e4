#include "serial/hart_link.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/errors.h"
#include "platform/services.h"

namespace serial {

SerialPort HartLink::theSerialPort;

namespace {

constexpr std::uint32_t kQueueSize = 2048;
constexpr std::uint8_t kPreamble = 0xFF;
// Four empty reads end the wait for a reply. They follow each other without
// a pause: the write pause already gave the device time to answer.
constexpr int kEmptyReadLimit = 4;
constexpr int kHeaderReadLimit = 4;

// Once a reply has started, a short read waits for more bytes while they
// keep coming. 50 ms is over five character times at 1200 baud (9.17 ms
// each) and longer than a USB serial adapter's 16 ms latency timer, so a gap
// that long means the device has stopped, not that the bytes are late.
constexpr std::uint32_t kReplyGapMs = 50;
constexpr std::uint32_t kReplyPollMs = 5;

constexpr std::array<std::uint32_t, 15> kBaudRates = {110,   300,   600,    1200,   2400,
                                                      4800,  9600,  14400,  19200,  38400,
                                                      56000, 57600, 115200, 128000, 256000};

bool TimedOut(std::uint32_t e) {
  return e == platform::kErrorTimeout;
}

struct ReadOutcome {
  std::uint32_t error;
  std::uint32_t count;
};

// Reads up to `length` bytes. With `patient`, a read that comes back short
// without a hard error keeps reading until the count is complete or no byte
// has arrived for kReplyGapMs.
ReadOutcome ReadBytes(std::uint8_t* into, std::uint32_t length, bool patient) {
  SerialPort& port = HartLink::theSerialPort;
  ReadOutcome out{0, 0};
  out.error = port.Read(into, length, &out.count);
  if (!patient) return out;
  std::uint32_t lastByteAt = platform::TickCount();
  while (out.count < length && (out.error == 0 || TimedOut(out.error))) {
    if (static_cast<std::uint32_t>(platform::TickCount() - lastByteAt) >= kReplyGapMs) break;
    platform::Sleep(kReplyPollMs);
    std::uint32_t more = 0;
    const std::uint32_t e = port.Read(into + out.count, length - out.count, &more);
    if (more > 0) {
      out.count += more;
      lastByteAt = platform::TickCount();
    }
    out.error = e;
  }
  // A read that completed after earlier time-outs is a complete read.
  if (out.count == length && TimedOut(out.error)) out.error = 0;
  return out;
}

std::uint32_t Receive(bool longFrame, std::uint8_t* reply) {
  std::array<std::uint8_t, kQueueSize> buffer{};
  const std::uint32_t headerLength = longFrame ? 7 : 3;

  // Preambles: skip line noise before the first 0xFF, count the 0xFF run;
  // the first other byte after it is the delimiter.
  std::uint8_t preambles = 0;
  for (int empty = 0;;) {
    const ReadOutcome r = ReadBytes(&buffer[0], 1, preambles > 0);
    if (TimedOut(r.error) || r.count == 0) {
      if (++empty == kEmptyReadLimit) return kLinkNoReply;
    } else if (r.error != 0) {
      return kLinkFailure;
    } else if (buffer[0] == kPreamble) {
      ++preambles;
      // The count is 8 bits; a run of 256 preambles must not read as none.
      if (preambles == 0) preambles = 1;
    } else if (preambles > 0) {
      break;
    }
  }

  for (int shortReads = 0;;) {
    const ReadOutcome r = ReadBytes(&buffer[1], headerLength, true);
    if (TimedOut(r.error) || r.count != headerLength) {
      if (++shortReads == kHeaderReadLimit) return kLinkNoReply;
      continue;
    }
    if (r.error != 0) return kLinkFailure;
    break;
  }

  const std::uint32_t dataLength = buffer[headerLength];
  const std::uint32_t frameLength = 1 + headerLength + dataLength;
  const ReadOutcome r = ReadBytes(&buffer[1 + headerLength], dataLength + 1, true);
  if (TimedOut(r.error) || r.count < dataLength + 1) return kLinkDataIncomplete;
  if (r.error != 0) return kLinkFailure;

  std::uint8_t check = 0;
  for (std::uint32_t i = 0; i < frameLength; ++i) check ^= buffer[i];
  if (check != buffer[frameLength]) return kLinkChecksumError;

  std::memcpy(reply, buffer.data(), frameLength);
  return kLinkOk;
}

}  // namespace

const char* LinkResultText(std::uint32_t result) {
  switch (result) {
    case kLinkOk:
      return "success";
    case kLinkFailure:
      return "failure";
    case kLinkChecksumError:
      return "checksum error";
    case kLinkDataIncomplete:
      return "reply data incomplete";
    case kLinkWriteIncomplete:
      return "write incomplete";
    case kLinkNoReply:
      return "no reply";
    case kLinkAlreadyOpen:
      return "port already open";
    case kLinkBadPort:
      return "bad port number";
    case kLinkBadBaudRate:
      return "unsupported baud rate";
    case kLinkMissingBuffer:
      return "missing buffer";
    default:
      return "unknown result";
  }
}

std::uint32_t HartLink::OpenLink(std::uint32_t portNumber, std::uint32_t baudRate) {
  if (theSerialPort.IsOpen()) return kLinkAlreadyOpen;
  if (portNumber == 0 || portNumber > 255) return kLinkBadPort;
  if (theSerialPort.Open(kPortName, kQueueSize, kQueueSize) != 0) {
    // The box says only which port; beneath it the driver says why and what
    // the operator can do (join dialout, map the modem, free the port).
    platform::MessageBox(kPortName, platform::Icon::Error, platform::Buttons::Ok,
                         platform::OpenFailureAdvice(kPortName, theSerialPort.lastError));
    return kLinkFailure;
  }
  if (std::find(kBaudRates.begin(), kBaudRates.end(), baudRate) == kBaudRates.end()) {
    return kLinkBadBaudRate;
  }
  return theSerialPort.ConfigureLine(baudRate) == 0 ? kLinkOk : kLinkFailure;
}

std::uint32_t HartLink::CloseLink() {
  return theSerialPort.Close();
}

std::uint32_t HartLink::TransmissionMillis(std::uint32_t length) {
  // 11 bits a character (start, 8 data, parity, stop) at 1200 baud, plus a
  // 27 ms margin. HART always runs at 1200 baud, whatever the port was set to.
  const double ms = length * 11 * (1.0 / 1200) * 1000 + 27;
  return static_cast<std::uint32_t>(ms);
}

std::uint32_t HartLink::SendFrame(const std::uint8_t* bytes, std::uint32_t length) {
  if (bytes == nullptr) return kLinkMissingBuffer;
  const std::uint32_t transmission = TransmissionMillis(length);
  // Whatever is already waiting was not sent in answer to this request: a
  // reply that came after its read gave up, a burst frame, line noise. Left
  // there it would be read as this request's answer.
  theSerialPort.Purge();
  const std::uint32_t start = platform::TickCount();
  std::uint32_t written = 0;
  const std::uint32_t e = theSerialPort.Write(bytes, length, &written);
  if (TimedOut(e) || written < length) return kLinkWriteIncomplete;
  if (e != 0) return kLinkFailure;
  // The write pause normally covers this already; only frames longer than
  // about 50 bytes still wait here. Unsigned subtraction survives the
  // tick count's wrap.
  while (static_cast<std::uint32_t>(platform::TickCount() - start) < transmission) {
  }
  return kLinkOk;
}

std::uint32_t HartLink::ReceiveFrame(bool longFrame, std::uint8_t* reply) {
  if (reply == nullptr) return kLinkMissingBuffer;
  const std::uint32_t result = Receive(longFrame, reply);
  theSerialPort.Purge();
  return result;
}

}  // namespace serial
