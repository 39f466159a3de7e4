#include "hart/packed_ascii.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Unpack(const std::vector<std::uint8_t>& packed) {
  char out[hart::kUnpackedSize];
  std::fill(std::begin(out), std::end(out), 'x');
  hart::UnpackAscii(packed.data(), packed.size(), out);
  return std::string(out, hart::kUnpackedSize);
}

TEST(PackedAscii, ProtocolVectors) {
  const std::string zeros(14, '\0');
  EXPECT_EQ(Unpack({0x41, 0x4B, 0x71, 0xC3, 0x18, 0x20}), "PT-101  " + zeros);
  EXPECT_EQ(Unpack({0x20, 0x82, 0x08, 0x20, 0x82, 0x08}), "HHHHHHHH" + zeros);
  EXPECT_EQ(Unpack({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), "@@@@@@@@" + zeros);
  EXPECT_EQ(Unpack({0x82, 0x08, 0x20, 0x82, 0x08, 0x20}), "        " + zeros);
  // Top and bottom of both halves of the code table.
  EXPECT_EQ(Unpack({0x7E, 0x0C, 0x3F}).substr(0, 4), "_ 0?");
}

TEST(PackedAscii, DecodesWholeGroupsOnly) {
  EXPECT_EQ(Unpack({0x41, 0x4B, 0x71, 0xC3, 0x18}), "PT-1" + std::string(18, '\0'));
  EXPECT_EQ(Unpack({0x41, 0x4B}), std::string(22, '\0'));
}

TEST(PackedAscii, LongInputStopsAtTheEndOfTheOutput) {
  // 24 bytes would decode to 32 characters; only 22 positions exist and the
  // ones past 21 clear position 21 instead of writing beyond it.
  std::vector<std::uint8_t> packed;
  for (int g = 0; g < 8; ++g) packed.insert(packed.end(), {0x20, 0x82, 0x08});  // "HHHH"
  EXPECT_EQ(Unpack(packed), std::string(21, 'H') + '\0');
  // Eighteen bytes: the sixth group's third character would land on the
  // terminator's place.
  packed.resize(18);
  EXPECT_EQ(Unpack(packed), std::string(21, 'H') + '\0');
}

}  // namespace
