// Replies of simulated devices, compared with frames written out by hand.
#include <gtest/gtest.h>

#include "sim/segment.h"
#include "tests/sim/wire.h"

using simtest::Hex;
using simtest::kChar;
using simtest::Send;
using simtest::Values;

namespace {

sim::DeviceConfig Revision(std::uint8_t rev) {
  sim::DeviceConfig c;
  c.universalRevision = rev;
  return c;
}

struct GoldenCase {
  const char* name;
  sim::DeviceConfig device;
  const char* request;
  const char* reply;
};

sim::DeviceConfig Legacy() {
  sim::DeviceConfig c;
  c.pollAddress = 2;
  c.universalRevision = 4;
  c.legacyCommandZero = true;
  c.deviceId = {0x0A, 0x0B, 0x0C};
  return c;
}

sim::DeviceConfig FourVariables() {
  sim::DeviceConfig c;
  c.loopCurrent = 16.0f;
  c.variables = {{7, 12.5f}, {32, 21.5f}, {39, 1.0f}, {12, -2.0f}};
  return c;
}

TEST(SimReply, MatchesHandWrittenFrames) {
  const GoldenCase cases[] = {
      {"command 0, revision 7", Revision(7), simtest::kCmd0Short,
       "FF FF FF FF FF 06 80 00 18 00 00 FE 1A 11 05 07 01 01 08 00 00 01 02"
       " 05 01 00 00 00 00 1A 00 1A 01 67"},
      {"command 0, revision 5", Revision(5), simtest::kCmd0Short,
       "FF FF FF FF FF 06 80 00 0E 00 00 FE 1A 11 05 05 01 01 08 00 00 01 02 76"},
      {"command 0, legacy layout", Legacy(), "FF FF FF FF FF FF FF 02 82 00 00 80",
       "FF FF FF FF FF 06 82 00 0E 00 00 11 05 04 01 01 01 00 0A 0B 0C 00 00 96"},
      {"command 3, four variables, long frame", FourVariables(), simtest::kCmd3Long,
       "FF FF FF FF FF 86 9A 11 00 01 02 03 1A 00 00 41 80 00 00 07 41 48 00 00"
       " 20 41 AC 00 00 27 3F 80 00 00 0C C0 00 00 00 41"},
      {"command 13", Revision(7), "FF FF FF FF FF 02 80 0D 00 8F",
       "FF FF FF FF FF 06 80 0D 17 00 00 41 4B 71 C3 18 20 82 08 20 82 08 20 82 08 20"
       " 82 08 20 01 01 64 78"},
      {"unknown command", Revision(7), "FF FF FF FF FF 02 80 C8 00 4A",
       "FF FF FF FF FF 06 80 C8 02 40 00 0C"},
      {"bad request checksum", Revision(7), "FF FF FF FF FF FF FF 02 80 00 00 83",
       "FF FF FF FF FF 06 80 00 02 88 00 0C"},
  };
  for (const auto& c : cases) {
    sim::Segment segment;
    segment.Add(c.device);
    EXPECT_EQ(Values(Send(segment, c.request)), Hex(c.reply)) << c.name;
  }
}

TEST(SimReply, Revision6CommandZeroCarriesSeventeenBytes) {
  sim::Segment segment;
  auto c = Revision(6);
  c.responsePreambles = 8;
  c.configChangeCounter = 0x0102;
  segment.Add(c);
  const auto reply = Values(Send(segment, simtest::kCmd0Short));
  ASSERT_EQ(reply.size(), 8u + 6 + 17 + 1);
  EXPECT_EQ(reply[8 + 3], 2 + 17);  // byte count
  const std::vector<std::uint8_t> tail(reply.begin() + 8 + 6 + 12, reply.end() - 1);
  EXPECT_EQ(tail, Hex("08 01 01 02 00"));
}

TEST(SimReply, LegacyTagReadCarriesTheTagAfterTheBlockNumber) {
  sim::Segment segment;
  auto c = Legacy();
  c.tag = "tt-3";
  segment.Add(c);
  const auto reply = Values(Send(segment, "FF FF FF FF FF 02 82 04 01 01 84"));
  ASSERT_GE(reply.size(), 5u + 6 + 7);
  EXPECT_EQ(reply[5 + 4], 0);  // response code
  const std::vector<std::uint8_t> data(reply.begin() + 11, reply.begin() + 18);
  EXPECT_EQ(data, Hex("01 51 4B 73 82 08 20"));  // block 1, "TT-3    "
}

TEST(SimReply, LongFrameToAnotherIdentifierIsIgnored) {
  sim::Segment segment;
  auto& device = segment.Add(Revision(7));
  // Same manufacturer and type, id 000103.
  EXPECT_TRUE(Send(segment, "FF FF FF FF FF 82 9A 11 00 01 03 03 00 08").empty());
  // The manufacturer's upper bits are not part of the long address.
  EXPECT_FALSE(Send(segment, "FF FF FF FF FF 82 DA 11 00 01 02 03 00 49", 2'000'000).empty());
  EXPECT_EQ(device.Seen(3), 1u);
}

TEST(SimReply, GarbledAddressGetsSilence) {
  sim::Segment segment;
  auto& device = segment.Add(Revision(7));
  // Address 0x80 arrived as 0x84, so the checksum is wrong as well: no device
  // can tell it was meant for it.
  EXPECT_TRUE(Send(segment, "FF FF FF FF FF FF FF 02 84 00 00 82").empty());
  EXPECT_EQ(device.SeenTotal(), 0u);
  EXPECT_EQ(device.AnsweredTotal(), 0u);
}

TEST(SimReply, OnlyTheAddressedDeviceOfAMultiDropSegmentAnswers) {
  sim::Segment segment;
  auto& first = segment.Add(Revision(7));
  auto c = Revision(5);
  c.pollAddress = 3;
  auto& third = segment.Add(c);
  const auto reply = Values(Send(segment, "FF FF FF FF FF FF FF 02 83 00 00 81"));
  ASSERT_GT(reply.size(), 10u);
  EXPECT_EQ(reply[6], 0x83);
  EXPECT_EQ(first.SeenTotal(), 0u);
  EXPECT_EQ(third.Seen(0), 1u);
  EXPECT_EQ(third.Answered(0), 1u);
}

TEST(SimReplyTiming, FirstByteAfterTurnaroundThenOneCharacterApart) {
  sim::Segment segment;
  auto c = Revision(5);
  c.turnaroundChars = 3;
  segment.Add(c);
  const auto reply = Send(segment, simtest::kCmd0Short, 5'000'000);
  ASSERT_EQ(reply.size(), 24u);
  EXPECT_EQ(reply.front().atMicros, 5'000'000u + 3 * kChar);
  for (std::size_t i = 1; i < reply.size(); ++i) {
    EXPECT_EQ(reply[i].atMicros - reply[i - 1].atMicros, kChar) << i;
  }
}

TEST(SimReplyTiming, DefaultTurnaroundIsTwoCharacters) {
  sim::Segment segment;
  segment.Add(Revision(7));
  const auto reply = Send(segment, simtest::kCmd0Short, 2'000'000);
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply.front().atMicros, 2'000'000u + 2 * kChar);
}

}  // namespace
