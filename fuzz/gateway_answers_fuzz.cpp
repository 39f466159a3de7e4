// A gateway's answers to commands 74, 84 and 20 of any length: each
// decoded from a buffer exactly as long as the bytes that came, so that a
// read past them is caught. The same bytes as the link would deliver a
// reply to a request relayed in command 77: the frame judged is the
// gateway's own or lies wholly inside its data.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hart/gateway.h"
#include "hart/hart_device.h"
#include "hart/reply.h"
#include "serial/hart_link.h"

namespace {

void JudgeRelayed(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
  std::copy(data, data + std::min(size, reply.size()), reply.begin());
  // The tag of 9A 11 00 12 34 on card 0 channel 3 of gateway 9A 90 F0 00 01.
  hart::Asked asked;
  asked.longFrame = true;
  asked.address = {0x9A, 0x11, 0x00, 0x12, 0x34};
  asked.command = hart::kCommandReadTag;
  asked.dataBytes = 6;
  asked.relay = hart::Relayed{0, 3, {0x9A, 0x90, 0xF0, 0x00, 0x01}};
  const hart::ReplyKind kind = hart::ClassifyReply(reply.data(), asked);
  const std::uint8_t* frame = hart::JudgedFrame(reply.data(), asked);
  (void)hart::JudgedResponseCode(reply.data(), asked);
  if (frame != reply.data()) {
    // Inside the gateway's data, after its card and channel, and ending
    // within the gateway's byte count.
    const std::uint8_t* gatewayData = reply.data() + hart::kLongStatus + 2;
    const std::uint8_t* gatewayEnd = gatewayData + (reply[hart::kLongByteCount] - 2);
    FUZZ_CHECK(reply[hart::kLongByteCount] >= 2 + 8);
    FUZZ_CHECK(frame == gatewayData + 2);
    const std::size_t header = serial::HeaderLength(frame[0]) + 1;
    FUZZ_CHECK(frame + header + frame[header - 1] <= gatewayEnd);
  }
  if (kind == hart::ReplyKind::kAnswer) {
    FUZZ_CHECK(frame != reply.data());
    FUZZ_CHECK((frame[0] & serial::kLongAddressBit) != 0);
    FUZZ_CHECK(std::equal(asked.address.begin() + 1, asked.address.end(), frame + 2));
    FUZZ_CHECK(frame[6] == hart::kCommandReadTag);
    FUZZ_CHECK(frame[7] >= 2 + 6);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::uint8_t* at = bytes.data();
  const auto capabilities = hart::DecodeIoCapabilities(at, size);
  FUZZ_CHECK(capabilities.has_value() == (size >= 8));
  const auto summary = hart::DecodeSubDeviceSummary(at, size);
  FUZZ_CHECK(summary.has_value() == (size >= 48));
  if (summary) {
    FUZZ_CHECK(summary->identifier <= 0xFFFFFF);
    FUZZ_CHECK(summary->longTag.size() <= hart::kLongTagSize);
    FUZZ_CHECK(summary->longTag.find('\0') == std::string::npos);
  }
  const auto longTag = hart::DecodeLongTag(at, size);
  FUZZ_CHECK(longTag.has_value() == (size >= hart::kLongTagSize));
  if (longTag) {
    FUZZ_CHECK(longTag->size() <= hart::kLongTagSize);
    FUZZ_CHECK(longTag->find('\0') == std::string::npos);
    FUZZ_CHECK(std::memcmp(longTag->data(), at, longTag->size()) == 0);
  }
  JudgeRelayed(at, size);
  return 0;
}
