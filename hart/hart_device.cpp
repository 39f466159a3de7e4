#include "hart/hart_device.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "hart/device_info.h"
#include "hart/packed_ascii.h"
#include "hart/reply.h"
#include "platform/services.h"
#include "serial/hart_link.h"

namespace hart {

namespace {

using serial::HartLink;
using Reply = std::array<std::uint8_t, serial::kReplyBufferSize>;

constexpr std::uint8_t kPreamble = 0xFF;
constexpr int kPollPreambles = 7;
constexpr std::uint8_t kRequestPreambles = 5;
constexpr std::uint8_t kMostPreambles = 20;

// Devices without the expanded command-0 layout carry no manufacturer code;
// this one stands in for it in their long address.
constexpr std::uint8_t kLegacyManufacturer = 38;

// Another station's frame in the reply slot of a request that did not go
// out in a granted turn means the request was probably lost in a collision:
// allow more attempts, each in the master's turn (Turns). After a granted
// turn it means only that nobody answered first, as at an empty address of
// a scan on a loop with a bursting device.
constexpr std::uint8_t kForeignAttemptLimit = 10;
constexpr std::uint32_t kRetryPauseMs = 300;
constexpr std::uint32_t kFailedWritePauseMs = 1000;
constexpr std::uint32_t kBusyPauseMs = 500;
constexpr std::uint32_t kFourthAttemptPauseMs = 1000;
// Attempts a command gets before any foreign frame was seen.
constexpr std::uint8_t kCommandAttempts = 4;
// A device that never stops answering busy would hold the master forever.
constexpr int kBusyLimit = 30;

Asked ShortAsk(std::uint8_t pollAddress, std::uint8_t command) {
  Asked asked;
  asked.address[0] = pollAddress;
  asked.command = command;
  const MasterCommand* row = FindMasterCommand(command);
  asked.dataBytes = row != nullptr ? row->decodedDataBytes : 0;
  return asked;
}

// On a line shared with other stations, an operation starts no new attempt
// once it has spent this long: a poll at address 0 against a bursting
// device or a noisy line ends within 8 s of the press, the modem's settle
// included, and a command takes no longer than its four attempts on a quiet
// line. A device answering busy keeps its own budget (kBusyLimit).
constexpr std::uint32_t kPollSharedBudgetMs = 4000;
constexpr std::uint32_t kCommandSharedBudgetMs = 5000;
// The longest wait for a turn before one request: two periods of a slow
// burst device (its frames name each master in turn) and a frame.
constexpr std::uint32_t kTurnWaitMs = 2500;

// One operation's requests on the line: on a loop where another station
// has been heard, each waits for the master's turn, within a time budget.
class Turns {
 public:
  explicit Turns(std::uint32_t budgetMs) : start_(platform::TickCount()), budget_(budgetMs) {}

  // Whether another attempt may start. A quiet line leaves it to the
  // attempt counts, so its timing is exactly as it always was.
  bool MayTry() const { return !HartLink::LineShared() || Elapsed() < budget_; }

  struct Sent {
    serial::LinkResult result;
    // The request went out right after a frame that handed the master the
    // line, where nothing else could start.
    bool inTurn;
  };
  Sent Send(const std::uint8_t* request, std::size_t length) const {
    bool granted = false;
    if (HartLink::LineShared()) {
      const std::uint32_t spent = Elapsed();
      granted = HartLink::AwaitTurn(std::min(kTurnWaitMs, spent < budget_ ? budget_ - spent : 0)) ==
                HartLink::Turn::kGranted;
    }
    return {HartLink::SendFrame(request, static_cast<std::uint32_t>(length)), granted};
  }

 private:
  std::uint32_t Elapsed() const {
    return static_cast<std::uint32_t>(platform::TickCount() - start_);
  }
  std::uint32_t start_;
  std::uint32_t budget_;
};

std::uint8_t Checksum(const std::uint8_t* from, const std::uint8_t* to) {
  std::uint8_t x = 0;
  for (; from != to; ++from) x ^= *from;
  return x;
}

serial::LinkResult Receive(Reply& reply) {
  // Bytes beyond a short reply's data read as zero rather than as whatever
  // the last reply left.
  reply.fill(0);
  return HartLink::ReceiveFrame(reply.data());
}

// Notes a lost port in the record. Retrying a port that is gone would only
// keep the operator waiting for the same failure.
bool Lost(HartDevice& device, serial::LinkResult result) {
  if (result == serial::LinkResult::kPortLost) device.portLost = true;
  return device.portLost;
}

// One request, sent in the master's turn, and the read of its reply slot.
struct Attempt {
  bool sent = false;  // the request went out
  bool lost = false;  // the port went away: stop
  bool inTurn = false;
  serial::LinkResult received = serial::LinkResult::kOk;
};

Attempt TryOnce(HartDevice& device, const Turns& turns, const std::uint8_t* request,
                std::size_t length, Reply& reply) {
  Attempt a;
  const Turns::Sent sent = turns.Send(request, length);
  if (Lost(device, sent.result)) {
    a.lost = true;
    return a;
  }
  a.sent = true;
  a.inTurn = sent.inTurn;
  a.received = Receive(reply);
  a.lost = Lost(device, a.received);
  return a;
}

}  // namespace

std::size_t BuildShortRequest(std::uint8_t* out, int preambles, std::uint8_t pollAddress,
                              std::uint8_t command, const std::uint8_t* data,
                              std::uint8_t dataLength) {
  std::size_t n = 0;
  for (int i = 0; i < preambles; ++i) out[n++] = kPreamble;
  const std::size_t start = n;
  out[n++] = kDelimiterShortRequest;
  out[n++] = static_cast<std::uint8_t>(pollAddress + kPrimaryMaster);
  out[n++] = command;
  out[n++] = dataLength;
  for (std::uint8_t i = 0; i < dataLength; ++i) out[n++] = data[i];
  out[n] = Checksum(out + start, out + n);
  return n + 1;
}

std::size_t BuildLongRequest(std::uint8_t* out, const HartDevice& device, std::uint8_t command) {
  std::size_t n = 0;
  for (int i = 0; i < device.requestPreambles; ++i) out[n++] = kPreamble;
  const std::size_t start = n;
  out[n++] = kDelimiterLongRequest;
  out[n++] = static_cast<std::uint8_t>((device.manufacturerCode & 0x3F) | kPrimaryMaster);
  out[n++] = device.deviceType;
  out[n++] = device.deviceId[0];
  out[n++] = device.deviceId[1];
  out[n++] = device.deviceId[2];
  out[n++] = command;
  out[n++] = 0;
  out[n] = Checksum(out + start, out + n);
  return n + 1;
}

serial::LinkResult HartDevice::Open(std::uint8_t portNumber, std::uint32_t baudRate) {
  portLost = false;
  return HartLink::OpenLink(portNumber, baudRate);
}

platform::Error HartDevice::Close() {
  return HartLink::CloseLink();
}

void HartDevice::ReportLostPort() {
  HartLink::ReportLostPort();
}

void UseModemKeying(serial::Keying keying) {
  HartLink::SetKeying(keying);
}

bool HartDevice::CheckStatus(const std::uint8_t* statusBytes) {
  // Bit 7 of the first status byte marks a communication error; the other
  // bits then say which (parity, overrun, framing, checksum, buffer).
  return (statusBytes[0] & 0x80) != 0;
}

void HartDevice::KeepAnswer(const std::uint8_t* reply, std::size_t statusOffset) {
  // The classifier has seen at least the two status bytes counted.
  const std::size_t count = reply[statusOffset - 1] - 2u;
  lastAnswer_.responseCode = reply[statusOffset];
  lastAnswer_.deviceStatus = reply[statusOffset + 1];
  lastAnswer_.dataLength = static_cast<std::uint8_t>(std::min(count, kCommandDataSize));
  std::memcpy(lastAnswer_.data, reply + statusOffset + 2, lastAnswer_.dataLength);
}

bool HartDevice::Poll(std::uint8_t address, std::uint8_t attempts) {
  pollAddress = address;
  lastRequests_ = 0;
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      BuildShortRequest(request, kPollPreambles, address, kCommandReadUniqueId, nullptr, 0);
  const Asked asked = ShortAsk(address, kCommandReadUniqueId);
  Reply reply;
  std::uint8_t limit = attempts;
  const Turns turns(kPollSharedBudgetMs);
  for (std::uint8_t attempt = 0; attempt < limit && !portLost && (attempt == 0 || turns.MayTry());
       ++attempt) {
    const Attempt tried = TryOnce(*this, turns, request, length, reply);
    if (tried.sent) ++lastRequests_;
    if (tried.lost) break;
    if (tried.received != serial::LinkResult::kOk) continue;
    const bool inTurn = tried.inTurn;
    const ReplyKind kind = ClassifyReply(reply.data(), asked);
    if (kind == ReplyKind::kForeign) {
      if (!inTurn) limit = kForeignAttemptLimit;
      HartLink::NoteOtherStation();
      continue;
    }
    if (kind != ReplyKind::kAnswer) continue;

    // The classifier has seen at least the identity's bytes.
    const std::uint8_t* d = &reply[kShortStatus + 2];
    Identity id;
    DecodeIdentity(d, reply[kShortByteCount] - 2u, id);
    // The long address takes the first byte after the 254 marker (the
    // expanded device type's high byte from revision 7 on).
    manufacturerCode = id.expanded ? d[1] : kLegacyManufacturer;
    deviceType = id.deviceType;
    universalRevision = id.universalRevision;
    deviceId[0] = static_cast<std::uint8_t>(id.identifier >> 16);
    deviceId[1] = static_cast<std::uint8_t>(id.identifier >> 8);
    deviceId[2] = static_cast<std::uint8_t>(id.identifier);
    KeepAnswer(reply.data(), kShortStatus);
    // The preambles the device needs to hear a request: a device that
    // needs more than we send never hears the tag or PV request.
    requestPreambles = std::clamp(id.requestPreambles, kRequestPreambles, kMostPreambles);
    return true;
  }
  return false;
}

bool HartDevice::SendCommand(std::uint8_t command, std::uint8_t* data) {
  const MasterCommand* row = FindMasterCommand(command);
  const bool longFrame =
      universalRevision > 4 && (row == nullptr || row->frame == RequestFrame::kByRevision);
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      longFrame ? BuildLongRequest(request, *this, command)
                : BuildShortRequest(request, requestPreambles, pollAddress, command, nullptr, 0);
  Asked asked = ShortAsk(pollAddress, command);
  asked.busyWaits = true;
  if (longFrame) {
    asked.longFrame = true;
    // The address bytes as the request carries them.
    std::copy(request + requestPreambles + 1, request + requestPreambles + 6,
              asked.address.begin());
  }
  const std::size_t status = longFrame ? kLongStatus : kShortStatus;

  Reply reply;
  std::uint8_t i = 0;
  std::uint8_t limit = 1;
  int busyInARow = 0;
  lastRequests_ = 0;
  lastRefusal_ = 0;
  const Turns turns(kCommandSharedBudgetMs);
  while (!portLost) {
    ++lastRequests_;
    const Turns::Sent sent = turns.Send(request, length);
    if (Lost(*this, sent.result)) break;
    if (sent.result != serial::LinkResult::kOk) platform::Sleep(kFailedWritePauseMs);
    // Before the fourth read, give a struggling device a second to recover.
    if (i == kCommandAttempts - 1) platform::Sleep(kFourthAttemptPauseMs);

    bool busy = false;
    const serial::LinkResult received = Receive(reply);
    if (Lost(*this, received)) break;
    if (received != serial::LinkResult::kOk) {
      ++i;
      platform::Sleep(kRetryPauseMs);
    } else {
      switch (ClassifyReply(reply.data(), asked)) {
        case ReplyKind::kAnswer:
          std::memcpy(data, &reply[status + 2], kCommandDataSize);
          KeepAnswer(reply.data(), status);
          return true;
        case ReplyKind::kForeign:
          if (!sent.inTurn) limit = kForeignAttemptLimit;
          HartLink::NoteOtherStation();
          ++i;
          break;
        case ReplyKind::kBusy:
          // Busy and delayed-response replies do not use up attempts.
          busy = true;
          if (++busyInARow >= kBusyLimit) return false;
          platform::Sleep(kBusyPauseMs);
          break;
        case ReplyKind::kRefused:
          lastRefusal_ = reply[status];
          ++i;
          break;
        case ReplyKind::kCommunicationError:
        case ReplyKind::kNotOurs:
        case ReplyKind::kTooShort:
          ++i;
          break;
      }
    }
    if (!busy) busyInARow = 0;
    if (i >= limit + kCommandAttempts - 1 || (!busy && !turns.MayTry())) return false;
  }
  return false;
}

bool HartDevice::SendCommandByte(std::uint8_t command, std::uint8_t* data,
                                 std::uint8_t requestByte) {
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      BuildShortRequest(request, requestPreambles, pollAddress, command, &requestByte, 1);
  const Asked asked = ShortAsk(pollAddress, command);
  Reply reply;
  std::uint8_t limit = 1;
  lastRequests_ = 0;
  lastRefusal_ = 0;
  const Turns turns(kCommandSharedBudgetMs);
  for (std::uint8_t i = 0;
       i < limit + kCommandAttempts - 1 && !portLost && (i == 0 || turns.MayTry());) {
    const Attempt tried = TryOnce(*this, turns, request, length, reply);
    if (tried.sent) ++lastRequests_;
    if (tried.lost) break;
    const bool inTurn = tried.inTurn;
    if (tried.received != serial::LinkResult::kOk) {
      ++i;
      continue;
    }
    const ReplyKind kind = ClassifyReply(reply.data(), asked);
    if (kind == ReplyKind::kAnswer) {
      std::memcpy(data, &reply[kShortStatus + 2], kCommandByteDataSize);
      KeepAnswer(reply.data(), kShortStatus);
      return true;
    }
    ++i;
    if (kind == ReplyKind::kRefused) lastRefusal_ = reply[kShortStatus];
    if (kind == ReplyKind::kForeign) {
      if (!inTurn) limit = kForeignAttemptLimit;
      HartLink::NoteOtherStation();
    }
  }
  return false;
}

float ToHostFloat(const std::uint8_t* bytes4) {
  const std::uint32_t bits = (std::uint32_t{bytes4[0]} << 24) | (std::uint32_t{bytes4[1]} << 16) |
                             (std::uint32_t{bytes4[2]} << 8) | bytes4[3];
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

bool ReadTag(HartDevice& device, char* text) {
  std::uint8_t data[kCommandDataSize] = {};
  const std::uint8_t* packed = data;
  if (device.universalRevision <= 4) {
    // Devices before revision 5 give the tag with command 4, block 1; the
    // first reply byte echoes the block number.
    if (!device.SendCommandByte(kCommandReadLegacyTag, data, 1)) return false;
    packed = data + 1;
  } else {
    if (!device.SendCommand(kCommandReadTag, data)) return false;
  }
  char decoded[kUnpackedSize];
  UnpackAscii(packed, 6, decoded);
  for (int i = 0; i < 8 && decoded[i] != '\0'; ++i) text[i] = decoded[i];
  return true;
}

}  // namespace hart
