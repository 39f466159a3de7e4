#include "hartip/pcap_writer.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>
#include <vector>

#include "tests/support/frames.h"
#include "tests/support/pcap_records.h"

namespace {

using hartip::Origin;

using support::Hex;

using support::ReadPcap;
using support::TempPath;

// IPv4 header with its checksum, UDP 5094 both ways, HART-IP version 1,
// request, token-passing PDU, sequence 7, length 13, then the command-0
// request 02 80 00 00 82; worked out by hand, not by the writer.
TEST(HartIpPacket, CommandZeroRequestIsTheDatagramByteForByte) {
  EXPECT_EQ(hartip::FramePacket(Origin::Master, Hex("02 80 00 00 82"), 7),
            Hex("45 00 00 29 00 00 00 00 40 11 f6 c0 c0 00 02 01 c0 00 02 02"
                "13 e6 13 e6 00 15 00 00"
                "01 00 03 00 00 07 00 0d"
                "02 80 00 00 82"));
}

// The message type follows the frame type in the delimiter's low bits, for
// either address length: a long-frame request must not pass for a reply,
// nor a burst frame for an answer to the master.
TEST(HartIpPacket, MessageTypeFollowsTheFrameTypeForBothAddressLengths) {
  struct Case {
    std::uint8_t delimiter;
    std::uint8_t type;
  };
  for (const Case c :
       {Case{0x02, 0}, Case{0x82, 0}, Case{0x06, 1}, Case{0x86, 1}, Case{0x01, 2}, Case{0x81, 2}}) {
    const auto packet =
        hartip::FramePacket(Origin::Field, std::vector<std::uint8_t>{c.delimiter}, 1);
    ASSERT_EQ(packet.size(), 20u + 8u + 8u + 1u);
    EXPECT_EQ(packet[28 + 1], c.type) << "delimiter " << int{c.delimiter};
    EXPECT_EQ(packet[28 + 2], 3) << "token-passing PDU";
  }
  // Replies come from the field side: source 192.0.2.2, destination .1.
  const auto reply = hartip::FramePacket(Origin::Field, Hex("06 80 00 00 86"), 1);
  EXPECT_EQ(reply[15], 2);
  EXPECT_EQ(reply[19], 1);
}

TEST(HartIpPacket, BytesThatWereNoFrameGoElsewhereBehindTheirReason) {
  const auto packet = hartip::NoFramePacket(Origin::Field, Hex("FF FF 06 80"), "data incomplete");
  const std::string marker = "no frame: data incomplete\n";
  ASSERT_EQ(packet.size(), 28 + marker.size() + 4);
  EXPECT_EQ(packet[20] << 8 | packet[21], 5095);
  EXPECT_EQ(packet[22] << 8 | packet[23], 5095);
  EXPECT_EQ(std::string(packet.begin() + 28, packet.begin() + 28 + marker.size()), marker);
  EXPECT_EQ(std::vector<std::uint8_t>(packet.end() - 4, packet.end()), Hex("FF FF 06 80"));
  // Nothing at all came: the reason alone.
  EXPECT_EQ(hartip::NoFramePacket(Origin::Field, {}, "no reply").size(), 28 + 19u);
}

// A flood of line bytes longer than a datagram holds is cut, not wrapped
// into a bad length field.
TEST(HartIpPacket, AFloodLongerThanADatagramIsCutToFit) {
  const std::vector<std::uint8_t> flood(70000, 0x55);
  const auto packet = hartip::NoFramePacket(Origin::Field, flood, "no reply");
  ASSERT_EQ(packet.size(), 65535u);
  EXPECT_EQ(packet[2] << 8 | packet[3], 65535);
  EXPECT_EQ(packet[24] << 8 | packet[25], 65535 - 20);
}

TEST(PcapWriter, RecordsAreOnDiskAsTheyAreWrittenInOrderToTheMicrosecond) {
  TempPath file;
  hartip::PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(file.path(), error)) << error;
  writer.WriteFrame(Origin::Master, Hex("02 80 00 00 82"), 1'700'000'000'000'001);
  writer.WriteNoFrame(Origin::Field, Hex("FF FF 06"), "data incomplete", 1'700'000'000'500'002);
  writer.WriteFrame(Origin::Field, Hex("06 80 00 02 00 00 84"), 1'700'000'000'999'999);

  // Read while the writer is still open: a program killed now leaves this.
  int linkType = 0;
  const auto records = ReadPcap(file.path(), &linkType);
  EXPECT_EQ(linkType, DLT_RAW);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].micros, 1'700'000'000'000'001u);
  EXPECT_EQ(records[1].micros, 1'700'000'000'500'002u);
  EXPECT_EQ(records[2].micros, 1'700'000'000'999'999u);
  EXPECT_EQ(records[0].bytes, hartip::FramePacket(Origin::Master, Hex("02 80 00 00 82"), 1));
  EXPECT_EQ(records[1].bytes,
            hartip::NoFramePacket(Origin::Field, Hex("FF FF 06"), "data incomplete"));
  // The reply carries its request's sequence number.
  EXPECT_EQ(records[2].bytes, hartip::FramePacket(Origin::Field, Hex("06 80 00 02 00 00 84"), 1));
}

TEST(PcapWriter, OnlyTheMastersRequestsAdvanceTheSequence) {
  TempPath file;
  hartip::PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(file.path(), error)) << error;
  writer.WriteFrame(Origin::Master, Hex("02 80 00 00 82"), 1);
  writer.WriteFrame(Origin::Field, Hex("82 A6 06 00 01 02 00 00 21"), 2);  // another master's
  writer.WriteFrame(Origin::Field, Hex("01 80 03 00 82"), 3);              // burst
  writer.WriteFrame(Origin::Master, Hex("82 A6 06 00 01 02 0D 00 2E"), 4);
  writer.WriteFrame(Origin::Field, {}, 5);  // nothing to type: written as no frame
  const auto records = ReadPcap(file.path());
  ASSERT_EQ(records.size(), 5u);
  auto sequence = [&](std::size_t i) { return records[i].bytes[32] << 8 | records[i].bytes[33]; };
  EXPECT_EQ(sequence(0), 1);
  EXPECT_EQ(sequence(1), 1);
  EXPECT_EQ(sequence(2), 1);
  EXPECT_EQ(sequence(3), 2);
  EXPECT_EQ(records[4].bytes[21], 5095 & 0xFF);
}

TEST(PcapWriter, AFileThatCannotBeWrittenIsRefusedByName) {
  hartip::PcapWriter writer;
  std::string error;
  EXPECT_FALSE(writer.Open("/nonexistent-dir/trace.pcap", error));
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_NE(error.find("/nonexistent-dir/trace.pcap"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  // Writing to a writer that is not open does nothing and does not crash.
  writer.WriteFrame(Origin::Master, Hex("02 80 00 00 82"), 1);
}

}  // namespace
