#include "serial/link_trace.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "hartip/pcap_writer.h"
#include "serial/frame_trace.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"
#include "tests/support/pcap_records.h"

namespace {

using hartip::Origin;
using serial::HartLink;
using support::Hex;
using Bytes = std::vector<std::uint8_t>;

const Bytes kRequest = Hex("FF FF FF FF FF 02 80 00 00 82");
// Five preambles, then a reply with status 00 00 and data 12 34.
const Bytes kReply = Hex("FF FF FF FF FF 06 80 00 04 00 00 12 34 A4");

// The real link on the in-memory line, with the trace the program installs
// writing to a file.
class LinkTraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(serial::OpenFrameTrace(file.path(), error)) << error;
    HartLink::SetObserver(&trace);
    ASSERT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);
  }
  void TearDown() override {
    HartLink::SetObserver(nullptr);
    serial::CloseFrameTrace();
  }

  serial::LinkResult Exchange(const Bytes& request, const Bytes& answer) {
    HartLink::SendFrame(request.data(), static_cast<std::uint32_t>(request.size()));
    if (!answer.empty()) fake.line.DeliverNow(answer);
    return HartLink::ReceiveFrame(reply.data());
  }

  std::vector<Bytes> Records() {
    std::vector<Bytes> out;
    for (auto& r : support::ReadPcap(file.path())) out.push_back(r.bytes);
    return out;
  }

  support::FakePlatform fake;
  support::TempPath file;
  serial::LinkTrace trace;
  std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
};

TEST_F(LinkTraceTest, RequestAndReplyAreRecordedAsFramesWithoutPreamblesOrNoise) {
  // Line noise before the reply's preambles is skipped by the read; only the
  // frame is the device's answer.
  Bytes noisy = Hex("00 3C");
  noisy.insert(noisy.end(), kReply.begin(), kReply.end());
  ASSERT_EQ(Exchange(kRequest, noisy), serial::LinkResult::kOk);
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], hartip::FramePacket(Origin::Master, Hex("02 80 00 00 82"), 1));
  EXPECT_EQ(records[1], hartip::FramePacket(Origin::Field, Hex("06 80 00 04 00 00 12 34 A4"), 1));
}

// What makes a poll fail is in the trace with every byte the read took.
TEST_F(LinkTraceTest, ReadsThatMadeNoFrameAreRecordedWithTheirBytesAndWhy) {
  const Bytes cut(kReply.begin(), kReply.begin() + 10);
  EXPECT_EQ(Exchange(kRequest, cut), serial::LinkResult::kDataIncomplete);
  Bytes corrupt = kReply;
  corrupt.back() ^= 0x01;
  EXPECT_EQ(Exchange(kRequest, corrupt), serial::LinkResult::kChecksumError);
  EXPECT_EQ(Exchange(kRequest, {}), serial::LinkResult::kNoReply);

  const auto records = Records();
  ASSERT_EQ(records.size(), 6u);
  EXPECT_EQ(records[1], hartip::NoFramePacket(Origin::Field, cut, "reply data incomplete"));
  EXPECT_EQ(records[3], hartip::NoFramePacket(Origin::Field, corrupt, "checksum error"));
  EXPECT_EQ(records[5], hartip::NoFramePacket(Origin::Field, {}, "no reply"));
  // The requests between them advance the sequence.
  EXPECT_EQ(records[4], hartip::FramePacket(Origin::Master, Hex("02 80 00 00 82"), 3));
}

TEST_F(LinkTraceTest, ARequestThePortTookOnlyPartOfIsNotRecordedAsAFrame) {
  fake.line.writeShortBy = 3;
  HartLink::SendFrame(kRequest.data(), static_cast<std::uint32_t>(kRequest.size()));
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0],
            hartip::NoFramePacket(Origin::Master, Bytes(kRequest.begin(), kRequest.end() - 3),
                                  "request cut short (7 bytes written)"));
}

}  // namespace
