#include "hartip/pdu.h"

#include <algorithm>

namespace hartip {

namespace {

void Put16(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

std::uint16_t Get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

}  // namespace

std::vector<std::uint8_t> Encode(std::uint8_t messageType, std::uint8_t messageId,
                                 std::uint8_t status, std::uint16_t sequence,
                                 std::span<const std::uint8_t> body, std::uint8_t version) {
  const std::size_t size = std::min(body.size(), kMaxPduSize - kHeaderSize);
  std::vector<std::uint8_t> out(kHeaderSize + size);
  out[0] = version;
  out[1] = messageType;
  out[2] = messageId;
  out[3] = status;
  Put16(&out[4], sequence);
  Put16(&out[6], static_cast<std::uint32_t>(out.size()));
  std::copy_n(body.begin(), size, out.begin() + kHeaderSize);
  return out;
}

std::vector<std::uint8_t> SessionInitiateBody(std::uint8_t hostType, std::uint32_t timerMs) {
  return {hostType, static_cast<std::uint8_t>(timerMs >> 24),
          static_cast<std::uint8_t>(timerMs >> 16), static_cast<std::uint8_t>(timerMs >> 8),
          static_cast<std::uint8_t>(timerMs)};
}

bool ReadSessionInitiateBody(std::span<const std::uint8_t> body, std::uint8_t& hostType,
                             std::uint32_t& timerMs) {
  if (body.size() < kSessionInitiateBody) return false;
  hostType = body[0];
  timerMs = static_cast<std::uint32_t>(body[1]) << 24 | static_cast<std::uint32_t>(body[2]) << 16 |
            static_cast<std::uint32_t>(body[3]) << 8 | body[4];
  return true;
}

ReadResult ReadPdu(std::span<const std::uint8_t> bytes, Pdu& pdu, std::size_t& used) {
  used = 0;
  if (bytes.size() < kHeaderSize) return ReadResult::kNeedMore;
  const std::uint16_t count = Get16(&bytes[6]);
  if (count < kHeaderSize || count > kMaxPduSize) return ReadResult::kMalformed;
  if (bytes.size() < count) return ReadResult::kNeedMore;
  pdu.header = {bytes[0], bytes[1], bytes[2], bytes[3], Get16(&bytes[4]), count};
  pdu.body.assign(bytes.begin() + kHeaderSize, bytes.begin() + count);
  used = count;
  return ReadResult::kComplete;
}

bool ReadDatagram(std::span<const std::uint8_t> datagram, Pdu& pdu) {
  std::size_t used = 0;
  return ReadPdu(datagram, pdu, used) == ReadResult::kComplete && used == datagram.size();
}

bool StreamReader::Feed(std::span<const std::uint8_t> bytes) {
  if (malformed_) return false;
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return true;
}

ReadResult StreamReader::Next(Pdu& pdu) {
  if (malformed_) return ReadResult::kMalformed;
  std::size_t used = 0;
  const ReadResult r = ReadPdu(buffer_, pdu, used);
  if (r == ReadResult::kMalformed) {
    malformed_ = true;
    buffer_.clear();
    buffer_.shrink_to_fit();
  } else if (r == ReadResult::kComplete) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
  }
  return r;
}

}  // namespace hartip
