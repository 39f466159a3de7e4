// The reply classifier on frames written out by hand, as the link delivers
// them: delimiter, header, data (checksum already checked and dropped).
#include "hart/reply.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "serial/hart_link.h"
#include "tests/support/frames.h"

namespace {

using hart::Asked;
using hart::ReplyKind;

Asked Short(std::uint8_t address, std::uint8_t command, std::uint8_t dataBytes) {
  Asked a;
  a.address[0] = address;
  a.command = command;
  a.dataBytes = dataBytes;
  return a;
}

// Command 13 to manufacturer 0x1A, device type 0x11, identifier 00 12 34.
Asked LongTagRequest() {
  Asked a;
  a.longFrame = true;
  a.address = {0x9A, 0x11, 0x00, 0x12, 0x34};
  a.command = 13;
  a.dataBytes = 6;
  return a;
}

std::array<std::uint8_t, serial::kReplyBufferSize> Reply(const std::string& hex) {
  std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
  const auto bytes = support::Hex(hex);
  std::copy(bytes.begin(), bytes.end(), reply.begin());
  return reply;
}

ReplyKind Classify(const std::string& hex, const Asked& asked) {
  return hart::ClassifyReply(Reply(hex).data(), asked);
}

struct Case {
  const char* what;
  const char* frame;
  ReplyKind kind;
};

TEST(ClassifyReply, ShortFrameRepliesToCommandZero) {
  const Asked poll = Short(0, 0, 12);
  const Case cases[] = {
      {"identity", "06 80 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF", ReplyKind::kAnswer},
      {"short burst frame", "01 C0 03 0B 0000 41400000 07 41480000", ReplyKind::kForeign},
      {"long burst frame", "81 DA 11 00 01 02 03 0B 0000 41400000 07 41480000",
       ReplyKind::kForeign},
      {"another master's long request", "82 1A 11 AB CD EF 01 00", ReplyKind::kForeign},
      {"a short request with an answer's length",
       "02 80 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF", ReplyKind::kForeign},
      {"the answer to the secondary master", "06 00 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF",
       ReplyKind::kForeign},
      {"long reply to a short request",
       "86 80 00 00 00 00 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF", ReplyKind::kNotOurs},
      {"communication error", "06 80 00 02 8800", ReplyKind::kCommunicationError},
      {"busy", "06 80 00 02 2000", ReplyKind::kBusy},
      {"not implemented, no data", "06 80 00 02 4000", ReplyKind::kRefused},
      {"no status bytes at all", "06 80 00 00", ReplyKind::kTooShort},
      {"eleven identity bytes", "06 80 00 0D 0000 FE 1A 11 05 05 01 02 03 00 AB CD",
       ReplyKind::kTooShort},
      {"address 3 answering", "06 83 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF",
       ReplyKind::kNotOurs},
      {"answer to command 13", "06 80 0D 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF",
       ReplyKind::kNotOurs},
      {"burst-mode bit in the address", "06 C0 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF",
       ReplyKind::kAnswer},
  };
  for (const Case& c : cases) EXPECT_EQ(Classify(c.frame, poll), c.kind) << c.what;
}

TEST(ClassifyReply, LongFrameRepliesToTheTagCommand) {
  const Asked tag = LongTagRequest();
  const Case cases[] = {
      {"tag", "86 9A 11 00 12 34 0D 08 0000 414B71C31820", ReplyKind::kAnswer},
      {"warning with its data", "86 9A 11 00 12 34 0D 08 0800 414B71C31820", ReplyKind::kAnswer},
      {"not implemented, no data", "86 9A 11 00 12 34 0D 02 4000", ReplyKind::kRefused},
      {"invalid selection with data", "86 9A 11 00 12 34 0D 08 0200 414B71C31820",
       ReplyKind::kRefused},
      {"device-specific warning with data", "86 9A 11 00 12 34 0D 08 7000 414B71C31820",
       ReplyKind::kAnswer},
      {"busy, no data", "86 9A 11 00 12 34 0D 02 2000", ReplyKind::kBusy},
      {"delayed response running", "86 9A 11 00 12 34 0D 02 2200", ReplyKind::kBusy},
      {"busy from another device is not ours", "86 9A 11 00 12 35 0D 02 2100", ReplyKind::kNotOurs},
      {"communication error", "86 9A 11 00 12 34 0D 02 8200", ReplyKind::kCommunicationError},
      {"another identifier", "86 9A 11 00 12 35 0D 08 0000 414B71C31820", ReplyKind::kNotOurs},
      {"another device type", "86 9A 12 00 12 34 0D 08 0000 414B71C31820", ReplyKind::kNotOurs},
      {"another manufacturer", "86 9B 11 00 12 34 0D 08 0000 414B71C31820", ReplyKind::kNotOurs},
      {"master bit clear: for the secondary master", "86 1A 11 00 12 34 0D 08 0000 414B71C31820",
       ReplyKind::kForeign},
      {"answer to command 3", "86 9A 11 00 12 34 03 08 0000 414B71C31820", ReplyKind::kNotOurs},
      {"short reply to a long request", "06 80 0D 08 0000 414B71C31820", ReplyKind::kNotOurs},
  };
  for (const Case& c : cases) EXPECT_EQ(Classify(c.frame, tag), c.kind) << c.what;
}

// The same tag request carried by the gateway 9A 90 F0 00 01 to card 0
// channel 3 in command 77: the gateway's answer is judged, then the
// sub-device's inside it, and the response code is the judged frame's.
TEST(ClassifyReply, RelayedRepliesAreJudgedInsideTheGatewaysAnswer) {
  Asked tag = LongTagRequest();
  tag.relay = hart::Relayed{0, 3, {0x9A, 0x90, 0xF0, 0x00, 0x01}};
  struct Relayed {
    const char* what;
    const char* frame;
    ReplyKind kind;
    std::uint8_t code;
  };
  const Relayed cases[] = {
      {"the tag", "86 9A 90 F0 00 01 4D 14 0000 00 03 86 9A 11 00 12 34 0D 08 0000 414B71C31820",
       ReplyKind::kAnswer, 0},
      {"another channel's answer",
       "86 9A 90 F0 00 01 4D 14 0000 00 04 86 9A 11 00 12 34 0D 08 0000 414B71C31820",
       ReplyKind::kNotOurs, 0},
      {"another device on the channel",
       "86 9A 90 F0 00 01 4D 14 0000 00 03 86 9A 11 00 12 35 0D 08 0000 414B71C31820",
       ReplyKind::kNotOurs, 0},
      {"the inner frame longer than the gateway's count",
       "86 9A 90 F0 00 01 4D 12 0000 00 03 86 9A 11 00 12 34 0D 08 0000 414B71C31820",
       ReplyKind::kNotOurs, 0},
      {"the gateway knows no such channel", "86 9A 90 F0 00 01 4D 02 0200", ReplyKind::kRefused, 2},
      {"the gateway busy", "86 9A 90 F0 00 01 4D 02 2000", ReplyKind::kBusy, 0x20},
      {"the sub-device refuses", "86 9A 90 F0 00 01 4D 0E 0000 00 03 86 9A 11 00 12 34 0D 02 4000",
       ReplyKind::kRefused, 64},
      {"the sub-device busy", "86 9A 90 F0 00 01 4D 0E 0000 00 03 86 9A 11 00 12 34 0D 02 2000",
       ReplyKind::kBusy, 0x20},
      {"the sub-device's frame alone, not through the gateway",
       "86 9A 11 00 12 34 0D 08 0000 414B71C31820", ReplyKind::kNotOurs, 0},
  };
  for (const Relayed& c : cases) {
    const auto reply = Reply(c.frame);
    EXPECT_EQ(hart::ClassifyReply(reply.data(), tag), c.kind) << c.what;
    if (c.kind == ReplyKind::kAnswer || c.kind == ReplyKind::kRefused ||
        c.kind == ReplyKind::kBusy) {
      EXPECT_EQ(hart::JudgedResponseCode(reply.data(), tag), c.code) << c.what;
    }
  }
  const auto reply = Reply(cases[0].frame);
  EXPECT_EQ(hart::JudgedFrame(reply.data(), tag), reply.data() + 12);  // the sub-device's delimiter
}

}  // namespace
