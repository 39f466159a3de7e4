#include "hart/reply.h"

#include <algorithm>

#include "hart/hart_device.h"
#include "serial/hart_link.h"

namespace hart {

namespace {

constexpr std::uint8_t kAddressMask = 0x3F;  // without the master and burst-mode bits
constexpr std::uint8_t kStatusBytes = 2;     // response code and field device status

bool IsBusy(std::uint8_t responseCode) {
  return responseCode == kResponseBusy || responseCode == kResponseDelayedInitiated ||
         responseCode == kResponseDelayedRunning;
}

// What the gateway's own answer to a relayed request must be: command 77
// from its long address, with at least the card, channel and the
// sub-device's shortest answer.
Asked GatewayAsk(const Relayed& relay) {
  Asked outer;
  outer.longFrame = true;
  outer.address = relay.gateway;
  outer.command = kCommandSendToSubDevice;
  outer.dataBytes = FindMasterCommand(kCommandSendToSubDevice)->decodedDataBytes;
  return outer;
}

ReplyKind ClassifyOne(const std::uint8_t* reply, const Asked& asked) {
  // Only an answer (ACK) naming the primary master answers us. A burst
  // frame, any master's request, and the answer to the secondary master (a
  // handheld on the same loop) are another station's traffic.
  const std::uint8_t delimiter = reply[0];
  if ((delimiter & serial::kFrameTypeMask) != serial::kFrameAnswer ||
      (reply[1] & serial::kPrimaryMasterBit) == 0) {
    return ReplyKind::kForeign;
  }
  // A reply in the other address type does not answer this request, and its
  // fields are not where this request's reply has them.
  const bool longFrame = (delimiter & serial::kLongAddressBit) != 0;
  if (longFrame != asked.longFrame) return ReplyKind::kNotOurs;

  const std::size_t byteCount = longFrame ? kLongByteCount : kShortByteCount;
  const std::size_t status = byteCount + 1;
  if (reply[byteCount] < kStatusBytes) return ReplyKind::kTooShort;
  if (HartDevice::CheckStatus(&reply[status])) return ReplyKind::kCommunicationError;

  // A reply that turns up late, after its own read gave up, must not be
  // taken as the answer to whatever was asked next (another address in a
  // scan, another command); nor does another device's busy say anything
  // about the one asked.
  const bool sameDevice =
      longFrame ? ((reply[1] ^ asked.address[0]) & kAddressMask) == 0 &&
                      std::equal(asked.address.begin() + 1, asked.address.end(), &reply[2])
                : ((reply[1] ^ asked.address[0]) & kAddressMask) == 0;
  if (!sameDevice || reply[byteCount - 1] != asked.command) return ReplyKind::kNotOurs;

  const std::uint8_t code = reply[status];
  if (IsBusy(code)) return ReplyKind::kBusy;
  // An error response carries no command data worth decoding, whatever
  // bytes follow it.
  if (code != 0 && !IsWarning(code)) return ReplyKind::kRefused;
  if (reply[byteCount] - kStatusBytes < asked.dataBytes) return ReplyKind::kTooShort;
  return ReplyKind::kAnswer;
}

// The sub-device's frame inside the gateway's answer, which ClassifyOne
// has judged an answer: null unless it comes from the card and channel
// asked and its header and byte count lie within the gateway's data.
const std::uint8_t* Inner(const std::uint8_t* reply, const Relayed& relay) {
  const std::size_t count = reply[kLongByteCount] - kStatusBytes;
  const std::uint8_t* data = reply + kLongStatus + kStatusBytes;
  if (data[0] != relay.card || data[1] != relay.channel) return nullptr;
  const std::uint8_t* frame = data + 2;
  const std::size_t header = serial::HeaderLength(frame[0]) + 1;  // with the byte count
  if (count < 2 + header || count < 2 + header + frame[header - 1]) return nullptr;
  return frame;
}

}  // namespace

bool IsWarning(std::uint8_t code) {
  // Classes of HART's common response-code table: 8 (update failure, set
  // to nearest possible value), 14 (span too small, dynamic variables
  // returned for device variables), 24-27, 30 (command response truncated),
  // 31 and the device-specific 112-127 are warnings; 1-7, 9-13, 15-23,
  // 28-29, 32-111 (busy, delayed response, not implemented among them) are
  // errors.
  return code == 8 || code == 14 || (code >= 24 && code <= 27) || code == 30 || code == 31 ||
         (code >= 112 && code <= 127);
}

ReplyKind ClassifyReply(const std::uint8_t* reply, const Asked& asked) {
  if (!asked.relay) return ClassifyOne(reply, asked);
  const ReplyKind gateway = ClassifyOne(reply, GatewayAsk(*asked.relay));
  if (gateway != ReplyKind::kAnswer) return gateway;
  const std::uint8_t* inner = Inner(reply, *asked.relay);
  // Another channel's answer, or one cut short inside the gateway's, does
  // not answer this request.
  if (inner == nullptr) return ReplyKind::kNotOurs;
  Asked plain = asked;
  plain.relay.reset();
  return ClassifyOne(inner, plain);
}

const std::uint8_t* JudgedFrame(const std::uint8_t* reply, const Asked& asked) {
  if (!asked.relay || ClassifyOne(reply, GatewayAsk(*asked.relay)) != ReplyKind::kAnswer) {
    return reply;
  }
  const std::uint8_t* inner = Inner(reply, *asked.relay);
  return inner != nullptr ? inner : reply;
}

std::uint8_t JudgedResponseCode(const std::uint8_t* reply, const Asked& asked) {
  const std::uint8_t* frame = JudgedFrame(reply, asked);
  return frame[serial::HeaderLength(frame[0]) + 1];
}

const MasterCommand* FindMasterCommand(std::uint8_t number) {
  for (const MasterCommand& row : kMasterCommands) {
    if (row.number == number) return &row;
  }
  return nullptr;
}

}  // namespace hart
