#include "sim/codec.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "tests/sim/wire.h"

using simtest::Hex;

namespace {

struct PackCase {
  const char* text;
  const char* packed;
};

TEST(SimPackedAscii, PacksKnownTagsToTheirBytes) {
  const PackCase cases[] = {
      {"PT-101  ", "41 4B 71 C3 18 20"}, {"HHHHHHHH", "20 82 08 20 82 08"},
      {"        ", "82 08 20 82 08 20"}, {"@@@@@@@@", "00 00 00 00 00 00"},
      {"pt-101", "41 4B 71 C3 18 20"},  // folded to upper case, padded with spaces
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim::PackAscii(c.text, 8), Hex(c.packed)) << c.text;
  }
}

TEST(SimPackedAscii, CutsLongTextAndUnpacksBack) {
  EXPECT_EQ(sim::PackAscii("ABCDEFGHIJ", 8), sim::PackAscii("ABCDEFGH", 8));
  const auto bytes = Hex("41 4B 71 C3 18 20");
  EXPECT_EQ(sim::UnpackAscii(bytes.data(), bytes.size()), "PT-101  ");
  const auto mixed = sim::PackAscii("_?@ Z9", 8);
  EXPECT_EQ(sim::UnpackAscii(mixed.data(), mixed.size()), "_?@ Z9  ");
}

TEST(SimFloat, EncodesBigEndianIeee) {
  std::vector<std::uint8_t> out;
  sim::AppendFloat(out, 12.5f);
  sim::AppendFloat(out, -2.0f);
  EXPECT_EQ(out, Hex("41 48 00 00 C0 00 00 00"));
  EXPECT_EQ(sim::ReadFloat(out.data() + 4), -2.0f);
}

std::optional<sim::Request> FeedAll(sim::RequestAssembler& a, const std::string& hex,
                                    std::uint64_t at = 0, std::uint64_t step = 9167) {
  std::optional<sim::Request> last;
  for (auto b : Hex(hex)) {
    if (auto r = a.Feed(b, at)) last = r;
    at += step;
  }
  return last;
}

TEST(SimRequestAssembler, TakesAShortRequestAfterNoise) {
  sim::RequestAssembler a;
  auto r = FeedAll(a, "00 13 FF 06 FF FF 02 83 00 00 81");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->IsLong());
  EXPECT_EQ(r->address, Hex("83"));
  EXPECT_EQ(r->command, 0);
  EXPECT_TRUE(r->checksumOk);
  EXPECT_EQ(r->raw.size(), 7u);  // from the first preamble of the last run
}

TEST(SimRequestAssembler, TakesALongRequestWithData) {
  sim::RequestAssembler a;
  auto r = FeedAll(a, "FF FF FF FF FF 82 9A 11 00 01 02 04 01 01 0E");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->address, Hex("9A 11 00 01 02"));
  EXPECT_EQ(r->command, 4);
  EXPECT_EQ(r->data, Hex("01"));
  EXPECT_TRUE(r->checksumOk);
}

TEST(SimRequestAssembler, FlagsABadChecksum) {
  sim::RequestAssembler a;
  auto r = FeedAll(a, "FF FF 02 80 00 00 83");
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->checksumOk);
}

TEST(SimRequestAssembler, NeedsTwoPreamblesAndARequestDelimiter) {
  sim::RequestAssembler a;
  EXPECT_FALSE(FeedAll(a, "FF 02 80 00 00 82"));
  EXPECT_FALSE(FeedAll(a, "FF FF 06 80 00 00 86"));  // a reply, not a request
}

TEST(SimRequestAssembler, AbandonsAFrameInterruptedByAPause) {
  sim::RequestAssembler a;
  EXPECT_FALSE(FeedAll(a, "FF FF 02 80", 0));
  // The rest of a request comes a second later: the old start is dropped and
  // a fresh complete request is taken.
  EXPECT_FALSE(FeedAll(a, "00 00 82", 1'000'000));
  EXPECT_TRUE(FeedAll(a, "FF FF 02 80 00 00 82", 2'000'000));
}

}  // namespace

// The hand-written hex every test's frames go through: both the spaced and
// the run-together spelling, and a typo fails instead of losing a byte.
TEST(SupportHex, ReadsPairsInGroupsAndRejectsTypos) {
  const std::vector<std::uint8_t> expected = {0xFF, 0xFF, 0x06, 0x80, 0x0E, 0xab};
  EXPECT_EQ(support::Hex("FF FF 06 80 0E AB"), expected);
  EXPECT_EQ(support::Hex("FFFF 0680\t0e\nab "), expected);
  EXPECT_TRUE(support::Hex("").empty());
  EXPECT_THROW(support::Hex("FF F"), std::invalid_argument);
  EXPECT_THROW(support::Hex("0 12"), std::invalid_argument);
  EXPECT_THROW(support::Hex("FFF 06"), std::invalid_argument);
  EXPECT_THROW(support::Hex("0x10"), std::invalid_argument);
  EXPECT_THROW(support::Hex("G0"), std::invalid_argument);
}
