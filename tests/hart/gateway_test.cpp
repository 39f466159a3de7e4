// Devices behind a gateway: the master's decoding of the gateway's own
// answers, and the scan that lists its sub-devices, against the in-process
// gateway served over HART-IP on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hart/check.h"
#include "hart/gateway.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "serial/hart_ip_transport.h"
#include "sim/gateway.h"
#include "sim/hartsim/hart_ip_server.h"
#include "tests/support/virtual_clock.h"

namespace {

// 84's answer for index 0x0102 on card 3 channel 4: manufacturer 0x001A,
// expanded type 0x1A11, identifier 0x200007, revision 7, long tag "LT-7",
// device revision 2, profile 1, distributor 0x001A.
std::vector<std::uint8_t> Summary() {
  std::vector<std::uint8_t> d = {0x01, 0x02, 3, 4, 0x00, 0x1A, 0x1A, 0x11, 0x20, 0x00, 0x07, 7};
  const std::string tag = "LT-7";
  d.insert(d.end(), tag.begin(), tag.end());
  d.resize(12 + 32, 0);
  d.insert(d.end(), {2, 1, 0x00, 0x1A});
  return d;
}

TEST(GatewayDecoding, IdentitySummaryFieldsAndLongTagWithoutPadding) {
  const auto d = Summary();
  const auto s = hart::DecodeSubDeviceSummary(d.data(), d.size());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->index, 0x0102);
  EXPECT_EQ(s->card, 3);
  EXPECT_EQ(s->channel, 4);
  EXPECT_EQ(s->manufacturer, 0x001A);
  EXPECT_EQ(s->expandedDeviceType, 0x1A11);
  EXPECT_EQ(s->identifier, 0x200007u);
  EXPECT_EQ(s->universalRevision, 7);
  EXPECT_EQ(s->longTag, "LT-7");
  EXPECT_EQ(s->deviceRevision, 2);
  EXPECT_EQ(s->distributor, 0x001A);
}

// A count short of each layout is no answer at all, never a read past the
// bytes that came; a long tag that fills its field keeps all 32 characters
// and stops there.
TEST(GatewayDecoding, ShortAnswersAreRefusedAndFullFieldsStayInside) {
  const auto d = Summary();
  EXPECT_FALSE(hart::DecodeSubDeviceSummary(d.data(), d.size() - 1));
  const std::uint8_t caps[8] = {2, 16, 1, 0x01, 0x2C, 8, 1, 0};
  EXPECT_FALSE(hart::DecodeIoCapabilities(caps, 7));
  EXPECT_FALSE(hart::DecodeIoCapabilities(nullptr, 8));
  const auto c = hart::DecodeIoCapabilities(caps, 8);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->devicesKnown, 300);  // big-endian
  EXPECT_EQ(c->maxOutstanding, 8);

  std::vector<std::uint8_t> full(33, 'A');
  full[32] = 'B';  // beyond the field
  EXPECT_EQ(hart::DecodeLongTag(full.data(), full.size()), std::string(32, 'A'));
  EXPECT_FALSE(hart::DecodeLongTag(full.data(), 31));
}

// Counts the requests outstanding as the transport hands them on, the
// busy answers a gateway gives once it holds more than it says, and the
// requests that went to a sub-device by its long address (device type
// 0x11) rather than to the gateway.
class InFlight final : public serial::FrameObserver {
 public:
  void Sent(std::span<const std::uint8_t> bytes) override {
    most = std::max(most, ++now);
    std::size_t at = 0;
    while (at < bytes.size() && bytes[at] == 0xFF) ++at;
    if (at + 3 < bytes.size() && bytes[at] == 0x82 && bytes[at + 2] == 0x11) ++byLongAddress;
  }
  void Received(std::span<const std::uint8_t> bytes, serial::LinkResult result,
                std::size_t at) override {
    --now;
    if (result != serial::LinkResult::kOk) return;
    const auto frame = bytes.subspan(at);
    if (frame[serial::HeaderLength(frame[0]) + 1] == sim::kRcGatewayBusy) ++busy;
  }
  int now = 0;
  int most = 0;
  int busy = 0;
  int byLongAddress = 0;
};

// Runs `fn` with COM8: naming `server` on loopback, started here if it is
// not yet.
void ThroughGateway(sim::HartIpServer& server, const std::function<void()>& fn) {
  std::string error;
  if (server.Port() == 0) {
    EXPECT_EQ(server.Start({"127.0.0.1", "0"}, error), 0) << error;
  }
  platform::PosixSerialDriver driver(
      {{"COM8:", "hart-ip://127.0.0.1:" + std::to_string(server.Port())}});
  support::VirtualClock clock;
  platform::ScopedServices useIt({&driver, &clock, nullptr});
  fn();
}

// A press through `server`.
hart::PollResult PollThrough(sim::HartIpServer& server, hart::HartDevice& device,
                             const hart::PollPlan& plan,
                             serial::FrameObserver* observer = nullptr) {
  hart::PollResult result;
  ThroughGateway(server, [&] {
    serial::HartLink::SetObserver(observer);
    result = hart::RunPoll(device, plan);
    serial::HartLink::SetObserver(nullptr);
  });
  return result;
}

// Sub-device `n` of GatewayServer::Add listed with all it was asked.
void ExpectListedWhole(const hart::SubDeviceRecord& d, int n) {
  SCOPED_TRACE(n);
  EXPECT_EQ(d.why, "");
  EXPECT_EQ(d.tag, ("SD-" + std::to_string(n) + "    ").substr(0, 8));
  EXPECT_EQ(d.longTag, n % 4 == 0 ? std::nullopt
                                  : std::optional<std::string>("SUB-DEVICE " + std::to_string(n)));
  EXPECT_TRUE(d.read);
  EXPECT_FLOAT_EQ(d.pv, static_cast<float>(n));
}

struct GatewayServer {
  explicit GatewayServer(std::uint8_t held) : gateway(Config(held)), server(gateway) {}
  static sim::GatewayConfig Config(std::uint8_t held) {
    sim::GatewayConfig c = sim::DefaultGatewayConfig();
    c.maxOutstanding = held;
    c.channelsPerCard = 8;
    return c;
  }
  // Sub-device `n` (from 1): identifier 0x2000nn, tag SD-n, every fourth
  // of revision 5 (no long tag), PV n bar.
  sim::DeviceConfig& Add(int n) {
    sim::DeviceConfig d;
    d.universalRevision = n % 4 == 0 ? 5 : 7;
    d.deviceId = {0x20, 0x00, static_cast<std::uint8_t>(n)};
    d.tag = "SD-" + std::to_string(n);
    d.longTag = "SUB-DEVICE " + std::to_string(n);
    d.variables = {{sim::kUnitBar, static_cast<float>(n)}};
    return gateway.Add(d, 20'000).device.config;
  }
  hart::PollResult Scan(InFlight* observer = nullptr) {
    hart::HartDevice device;
    hart::PollPlan plan;
    plan.gateway = true;
    return PollThrough(server, device, plan, observer);
  }
  sim::Gateway gateway;
  sim::HartIpServer server;
};

// Twelve devices on two cards, each listed with identity, tags and PV;
// requests overlap, and never more of them than command 74 says the
// gateway holds (it would answer the next one busy).
TEST(GatewayScan, ListsEveryDeviceWithinTheGatewaysBound) {
  GatewayServer gw(3);
  for (int n = 1; n <= 12; ++n) gw.Add(n);
  InFlight inFlight;
  const hart::PollResult result = gw.Scan(&inFlight);
  ASSERT_EQ(result.outcome, hart::PollOutcome::kSingleDevice);
  ASSERT_TRUE(result.gateway);
  EXPECT_EQ(result.gateway->capabilities.maxOutstanding, 3);
  ASSERT_EQ(result.gateway->devices.size(), 12u);
  for (int n = 1; n <= 12; ++n) {
    const hart::SubDeviceRecord& d = result.gateway->devices[n - 1];
    ExpectListedWhole(d, n);
    ASSERT_TRUE(d.summary);
    EXPECT_EQ(d.summary->identifier, 0x200000u + n);
    EXPECT_EQ(d.summary->card, (n - 1) / 8);
    EXPECT_EQ(d.summary->channel, (n - 1) % 8);
  }
  EXPECT_GT(inFlight.most, 1);
  EXPECT_LE(inFlight.most, 3);
  EXPECT_EQ(inFlight.busy, 0);
}

// The gateway's waits kept short, for tests where a request goes
// unanswered.
struct ShortWaits {
  ShortWaits() { serial::SetHartIpSettings({200, false}); }
  ~ShortWaits() { serial::SetHartIpSettings({}); }
};

// A silent device is listed with why, asked both by long address and by
// card and channel; one that misses a request is asked again in the next
// round and listed whole; one its gateway reaches only by card and channel
// is read through command 77; the rest are untouched.
TEST(GatewayScan, SilentDeviceListedWithItsReason) {
  const ShortWaits shortWaits;
  GatewayServer gw(4);
  for (int n = 1; n <= 4; ++n) gw.Add(n);
  gw.gateway.At(1).device.faults.silent = true;
  gw.gateway.At(2).device.faults.dropNext = 1;
  gw.gateway.At(3).byChannelOnly = true;
  const hart::PollResult result = gw.Scan();
  ASSERT_TRUE(result.gateway);
  const auto& devices = result.gateway->devices;
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_FALSE(devices[1].tag);
  EXPECT_FALSE(devices[1].read);
  EXPECT_EQ(devices[1].why,
            "no valid answer to command 13 in 4 requests; no valid answer to command 13 through "
            "command 77 in 4 requests");
  ASSERT_TRUE(devices[1].summary);  // the gateway still knows it
  EXPECT_EQ(devices[1].summary->identifier, 0x200002u);
  for (const int n : {1, 3, 4}) {
    ExpectListedWhole(devices[n - 1], n);
    EXPECT_EQ(devices[n - 1].byChannel, n == 4);
  }
}

// Behind a gateway that routes only by card and channel, every device is
// read through command 77, and only the first is tried by long address:
// trying each would cost every device all its attempts.
TEST(GatewayScan, AGatewayThatRoutesOnlyByChannelIsReadThroughCommand77) {
  const ShortWaits shortWaits;
  GatewayServer gw(3);
  for (int n = 1; n <= 9; ++n) gw.Add(n);
  for (std::size_t i = 0; i < gw.gateway.Size(); ++i) gw.gateway.At(i).byChannelOnly = true;
  InFlight inFlight;
  const hart::PollResult result = gw.Scan(&inFlight);
  ASSERT_TRUE(result.gateway);
  ASSERT_EQ(result.gateway->devices.size(), 9u);
  for (int n = 1; n <= 9; ++n) {
    ExpectListedWhole(result.gateway->devices[n - 1], n);
    EXPECT_TRUE(result.gateway->devices[n - 1].byChannel);
  }
  EXPECT_LE(inFlight.byLongAddress, 4);
}

// A device named by identifier is found through 84 and then asked by its
// own long address: its tag, not the gateway's. One its gateway reaches
// only by card and channel gets its tag through command 77, and so do the
// monitor's readings after it. One the gateway does not know is nobody.
TEST(GatewayScan, PollNamesOneDeviceBehindTheGateway) {
  const ShortWaits shortWaits;
  GatewayServer gw(8);
  for (int n = 1; n <= 3; ++n) gw.Add(n);
  gw.gateway.At(2).byChannelOnly = true;
  hart::HartDevice device;
  hart::PollPlan plan;
  plan.subDevice = 0x200002;
  const hart::PollResult found = PollThrough(gw.server, device, plan);
  ASSERT_EQ(found.outcome, hart::PollOutcome::kSingleDevice);
  EXPECT_EQ(found.devices.front().identity.identifier, 0x200002u);
  EXPECT_EQ(found.devices.front().tag, "SD-2    ");
  EXPECT_EQ(device.Identifier(), 0x200002u);  // what --monitor goes on to read
  EXPECT_FALSE(device.relay);

  plan.subDevice = 0x200003;
  EXPECT_EQ(PollThrough(gw.server, device, plan).devices.front().tag, "SD-3    ");
  ASSERT_TRUE(device.relay);
  hart::DynamicReading reading;
  ThroughGateway(gw.server, [&] {
    ASSERT_EQ(device.Open(hart::kPortNumber, hart::kHartBaudRate), serial::LinkResult::kOk);
    reading = hart::ReadDynamicVariables(device);
    device.Close();
  });
  ASSERT_FALSE(reading.variables.empty());
  EXPECT_FLOAT_EQ(reading.variables.front().value, 3.0f);

  plan.subDevice = 0x200004;
  EXPECT_EQ(PollThrough(gw.server, device, plan).outcome, hart::PollOutcome::kNobody);
}

// A device at address 0 that is no gateway refuses command 74: no listing.
TEST(GatewayScan, PlainDeviceIsNoGateway) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::HartIpServer server(segment);
  hart::HartDevice device;
  hart::PollPlan plan;
  plan.gateway = true;
  const hart::PollResult result = PollThrough(server, device, plan);
  EXPECT_EQ(result.outcome, hart::PollOutcome::kSingleDevice);
  EXPECT_FALSE(result.gateway);
}

}  // namespace
