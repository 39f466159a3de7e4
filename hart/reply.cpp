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

}  // namespace

ReplyKind ClassifyReply(const std::uint8_t* reply, const Asked& asked) {
  const std::uint8_t delimiter = reply[0];
  if (delimiter == kDelimiterBurstShort || delimiter == kDelimiterBurstLong ||
      delimiter == kDelimiterLongRequest) {
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
  // Busy comes before the address check: a busy reply is judged busy
  // whoever it names.
  if (asked.busyWaits && IsBusy(reply[status])) return ReplyKind::kBusy;

  // A reply that turns up late, after its own read gave up, must not be
  // taken as the answer to whatever was asked next (another address in a
  // scan, another command).
  const bool sameDevice =
      longFrame ? ((reply[1] ^ asked.address[0]) & kAddressMask) == 0 &&
                      std::equal(asked.address.begin() + 1, asked.address.end(), &reply[2])
                : ((reply[1] ^ asked.address[0]) & kAddressMask) == 0;
  if (!sameDevice || reply[byteCount - 1] != asked.command) return ReplyKind::kNotOurs;

  if (reply[byteCount] - kStatusBytes < asked.dataBytes) return ReplyKind::kTooShort;
  return ReplyKind::kAnswer;
}

}  // namespace hart
