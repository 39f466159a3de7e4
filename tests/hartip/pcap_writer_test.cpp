#include "hartip/pcap_writer.h"

#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

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

// What --trace must never harm: the target of a link, a FIFO (open would
// wait for a reader for ever), a device, another user's file (root only).
// Each is refused by name and left as it was; a missing folder too.
TEST(PcapWriter, AnythingButANewFileOrTheUsersOwnIsRefusedUntouched) {
  char folder[] = "/tmp/veltrop-refuse-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string dir = folder, kept = dir + "/kept", others = dir + "/others";
  std::ofstream(kept) << "someone's capture";
  std::ofstream(others) << "someone's capture";
  ASSERT_EQ(::symlink(kept.c_str(), (dir + "/link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  std::vector<std::pair<std::string, std::string>> cases = {
      {dir + "/link", "symbolic link"},
      {dir + "/fifo", "FIFO"},
      {"/dev/null", "not a regular file"},
      {dir, "Is a directory"},
      {dir + "/missing/trace.pcap", "No such file or directory"}};
  if (::geteuid() == 0 && ::chown(others.c_str(), 65534, 65534) == 0) {
    cases.push_back({others, "belongs to another user"});
  }
  for (const auto& [path, reason] : cases) {
    hartip::PcapWriter writer;
    std::string error;
    EXPECT_FALSE(writer.Open(path, error)) << path;
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_EQ(error.rfind("cannot write " + path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
  for (const auto& file : {kept, others}) {
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    EXPECT_EQ(text.str(), "someone's capture") << file;
  }
  std::filesystem::remove_all(dir);
}

// A disk that fills: the write that fails is reported once, naming the
// file, and the writer stops with what it had; writing on does nothing.
// The file-size limit stands in for a full disk (the same failed write).
TEST(PcapWriter, AWriteThatFailsStopsTheTraceAndSaysWhy) {
  support::TempPath file;
  hartip::PcapWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(file.path(), error)) << error;
  const auto frame = Hex("02 80 00 00 82");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 200;  // the header and a record or two
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::size_t written = 0;
  while (written < 100 && writer.WriteFrame(Origin::Master, frame, 1)) ++written;
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);

  EXPECT_LT(written, 100u);
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(writer.Failure().rfind("cannot write " + file.path() + ": ", 0), 0u)
      << writer.Failure();
  EXPECT_TRUE(writer.WriteFrame(Origin::Master, frame, 2));
  // The records written before are all there, and the file ends on a whole
  // record (file header 24 bytes, record header 16), so it still opens.
  EXPECT_EQ(ReadPcap(file.path()).size(), written);
  const std::size_t record = 16 + hartip::FramePacket(Origin::Master, frame, 1).size();
  EXPECT_EQ(std::filesystem::file_size(file.path()), 24 + written * record);
}

}  // namespace
