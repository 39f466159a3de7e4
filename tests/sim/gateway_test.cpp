// The simulated gateway: what it answers as itself, how it routes to its
// sub-devices, and when. Requests and the replies that matter are written
// out in hex.
#include "sim/gateway.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sim/wire.h"

using simtest::Hex;

namespace {

constexpr std::uint64_t kMs = 1000;

// Two sub-devices: A (revision 7, PT-101) on card 0 channel 0 answering in
// 300 ms, B (revision 5, TT-2) on card 0 channel 1 answering in 100 ms.
struct TwoSubDevices : testing::Test {
  TwoSubDevices() {
    gateway.Add(sim::DeviceConfig{}, 300 * kMs);
    sim::DeviceConfig b;
    b.universalRevision = 5;
    b.deviceId = {0x00, 0x01, 0x03};
    b.tag = "TT-2";
    gateway.Add(b, 100 * kMs);
  }
  std::optional<sim::Gateway::Reply> Ask(const std::string& request, std::uint64_t now = 0) {
    return gateway.Handle(Hex(request), now);
  }
  sim::Gateway gateway;
};

// The bytes after the two status bytes of a reply frame (no checksum).
std::vector<std::uint8_t> Data(const std::vector<std::uint8_t>& frame) {
  const std::size_t at = (frame.at(0) & 0x80) != 0 ? 10 : 6;
  return {frame.begin() + static_cast<std::ptrdiff_t>(at), frame.end() - 1};
}
std::uint8_t Code(const std::vector<std::uint8_t>& frame) {
  return frame.at((frame.at(0) & 0x80) != 0 ? 8 : 4);
}
std::vector<std::uint8_t> Address(const std::vector<std::uint8_t>& frame) {
  return {frame.begin() + 1, frame.begin() + ((frame.at(0) & 0x80) != 0 ? 6 : 2)};
}

TEST_F(TwoSubDevices, AddressZeroIsTheGatewayItselfAndAnsweredAtOnce) {
  const auto reply = Ask("02 80 00 00 82", 7 * kMs);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->dueMicros, 7 * kMs);
  const auto data = Data(reply->frame);
  ASSERT_GE(data.size(), 12u);
  EXPECT_EQ(data[2], 0x90);  // the gateway's device type, not a sub-device's
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin() + 9, data.begin() + 12), Hex("F0 00 01"));
}

TEST_F(TwoSubDevices, NobodyAnswersWhatNamesNoneOfThemOrIsNoWholeFrame) {
  gateway.At(0).byChannelOnly = true;
  for (const char* request : {
           "02 81 00 00 83",              // sub-devices have no polling address behind it
           "82 9A 11 00 01 09 0D 00 0C",  // nobody of that long address
           "82 9A 11 00 01 02 0D 00 07",  // A, reached by card and channel only
           // A PDU carries the frame alone: bytes before it make it no
           // frame, and so does a frame cut short or followed by more.
           "09 00 FF FF 02 80 00 00 82",
           "02 80 00 00",
           "02 80 00 00 82 00",
       }) {
    EXPECT_FALSE(Ask(request)) << request;
  }
}

TEST_F(TwoSubDevices, LongAddressReachesItsSubDeviceAfterThatDevicesLatency) {
  const auto b = Ask("82 9A 11 00 01 03 0D 00 06", 50 * kMs);
  ASSERT_TRUE(b);
  EXPECT_EQ(Address(b->frame), Hex("9A 11 00 01 03"));
  EXPECT_EQ(b->dueMicros, 150 * kMs);
  const auto tag = Data(b->frame);
  EXPECT_EQ(std::vector<std::uint8_t>(tag.begin(), tag.begin() + 6), sim::PackAscii("TT-2", 8));
  const auto a = Ask("82 9A 11 00 01 02 0D 00 07", 50 * kMs);
  ASSERT_TRUE(a);
  EXPECT_EQ(Address(a->frame), Hex("9A 11 00 01 02"));
  EXPECT_EQ(a->dueMicros, 350 * kMs);
  // B, of revision 5, has no long tag to give.
  const auto noLongTag = Ask("82 9A 11 00 01 03 14 00 1F");
  ASSERT_TRUE(noLongTag);
  EXPECT_EQ(Code(noLongTag->frame), sim::kRcNotImplemented);
  // A bad checksum is answered by the device, as on its loop.
  const auto bad = Ask("82 9A 11 00 01 03 0D 00 07");
  ASSERT_TRUE(bad);
  EXPECT_EQ(Code(bad->frame), sim::kCommError | sim::kCommParityError);
}

TEST(Gateway, Command74ReportsCardsChannelsDevicesAndRequestsHeldAtOnce) {
  sim::GatewayConfig config = sim::DefaultGatewayConfig();
  config.channelsPerCard = 16;
  config.maxOutstanding = 4;
  sim::Gateway gateway(config);
  for (int i = 0; i < 18; ++i) gateway.Add(sim::DeviceConfig{}, 0);
  const auto reply = gateway.Handle(Hex("02 80 4A 00 C8"), 0);
  ASSERT_TRUE(reply);
  // 2 cards of 16 channels, 1 device a channel, 19 devices with itself,
  // 4 held at once, primary master, no retries.
  EXPECT_EQ(reply->frame, Hex("06 80 4A 0A 00 00 02 10 01 00 13 04 01 00 C3"));
  // Asked at its long address, the same data.
  const auto byLong = gateway.Handle(Hex("82 9A 90 F0 00 01 4A 00 33"), 0);
  ASSERT_TRUE(byLong);
  EXPECT_EQ(Data(byLong->frame), Hex("02 10 01 00 13 04 01 00"));
}

TEST_F(TwoSubDevices, Command84SummarisesEachIndexAndRefusesOneBeyond) {
  const auto second = Ask("02 80 54 02 00 02 D6");
  ASSERT_TRUE(second);
  // Index, card 0 channel 1, manufacturer, expanded type, identifier,
  // revision 5, no long tag, device revision 1, process device, label.
  EXPECT_EQ(second->frame, Hex("06 80 54 32 00 00 00 02 00 01 00 1A 1A 11 00 01 03 05"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                               " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                               " 01 01 00 1A EF"));
  const auto self = Ask("02 80 54 02 00 00 D4");
  ASSERT_TRUE(self);
  const auto data = Data(self->frame);
  ASSERT_EQ(data.size(), 48u);
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + 11),
            Hex("00 00 FF FF 00 1A 1A 90 F0 00 01"));
  EXPECT_EQ(Code(Ask("02 80 54 02 00 03 D7")->frame), sim::kRcInvalidSelection);
  EXPECT_EQ(Code(Ask("02 80 54 01 00 D7")->frame), sim::kRcTooFewDataBytes);
}

TEST_F(TwoSubDevices, Command77CarriesTheRequestToTheChannelAndItsAnswerBack) {
  // Command 13 in a short frame to card 0 channel 1 (B).
  const auto reply = Ask("02 80 4D 07 00 01 05 02 80 0D 00 43", 20 * kMs);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->dueMicros, 120 * kMs);  // after B's own latency
  EXPECT_EQ(Address(reply->frame), Hex("80"));
  const auto data = Data(reply->frame);
  // Card, channel, then B's reply: delimiter, address, command, byte count
  // (2 status + 21 data), status, tag.
  ASSERT_EQ(data.size(), 2u + 4u + 2u + 21u);
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + 8),
            Hex("00 01 06 80 0D 17 00 00"));
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin() + 8, data.begin() + 14),
            sim::PackAscii("TT-2", 8));

  struct Refused {
    const char* what;
    const char* request;
    std::uint8_t code;
  };
  for (const Refused& r : {
           Refused{"no card 3", "02 80 4D 07 03 00 05 02 80 0D 00 41", sim::kRcInvalidSelection},
           Refused{"B's address on A's channel", "02 80 4D 0B 00 00 05 82 9A 11 00 01 03 0D 00 C7",
                   sim::kRcInvalidSelection},
           Refused{"cut after the delimiter", "02 80 4D 04 00 01 05 02 CD",
                   sim::kRcTooFewDataBytes},
       }) {
    const auto refused = Ask(r.request);
    ASSERT_TRUE(refused) << r.what;
    EXPECT_EQ(Code(refused->frame), r.code) << r.what;
    EXPECT_EQ(refused->dueMicros, 0u) << r.what;
  }
}

TEST(Gateway, NoMoreRequestsHeldThanItReportsOneMoreIsBusy) {
  sim::GatewayConfig config = sim::DefaultGatewayConfig();
  config.maxOutstanding = 2;
  sim::Gateway gateway(config);
  gateway.Add(sim::DeviceConfig{}, 300 * kMs);
  const auto first = gateway.Handle(Hex("82 9A 11 00 01 02 00 00 0A"), 0);
  const auto second = gateway.Handle(Hex("82 9A 11 00 01 02 0D 00 07"), 10 * kMs);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(Code(second->frame), 0);
  // The third, through 77 or by long address, while both are held.
  const auto through77 = gateway.Handle(Hex("02 80 4D 07 00 00 05 02 80 0D 00 42"), 20 * kMs);
  ASSERT_TRUE(through77);
  EXPECT_EQ(Code(through77->frame), sim::kRcGatewayBusy);
  const auto busy = gateway.Handle(Hex("82 9A 11 00 01 02 00 00 0A"), 20 * kMs);
  ASSERT_TRUE(busy);
  EXPECT_EQ(Code(busy->frame), sim::kRcGatewayBusy);
  EXPECT_EQ(busy->dueMicros, 20 * kMs);
  EXPECT_EQ(Address(busy->frame), Hex("9A 11 00 01 02"));
  // Once the first has been answered there is room for one again.
  const auto later = gateway.Handle(Hex("82 9A 11 00 01 02 00 00 0A"), 300 * kMs);
  ASSERT_TRUE(later);
  EXPECT_EQ(Code(later->frame), 0);
  EXPECT_EQ(later->dueMicros, 600 * kMs);
  // A restart forgets what was held.
  gateway.Restart();
  EXPECT_EQ(gateway.Outstanding(300 * kMs), 0u);
}

}  // namespace
