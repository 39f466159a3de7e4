// The master through a HART-IP gateway: the real driver's gateway client
// against hartsim's HART-IP server on loopback, in real time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "serial/hart_ip_transport.h"
#include "sim/hartsim/hart_ip_server.h"
#include "tests/support/scripted_operator.h"
#include "tests/support/virtual_clock.h"

namespace {

using hart::HartDevice;

struct Gateway {
  explicit Gateway(std::size_t sessions = sim::HartIpServer::kDefaultMaxSessions)
      : server(segment, sessions) {}
  bool Start() {
    std::string error;
    const bool ok = server.Start({"127.0.0.1", "0"}, error) == 0;
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  std::string Name(bool tcp) const {
    return std::string(tcp ? "hart-ip+tcp://" : "hart-ip://") +
           "127.0.0.1:" + std::to_string(server.Port());
  }
  sim::Segment segment;
  sim::HartIpServer server;
};

class HartIpPoll : public testing::TestWithParam<bool> {};

// Poll, tag by revision and a command-3 read, each answer taken from the
// response PDU. The fixed waits are skipped (a virtual clock): what is
// left is the gateway's own pace.
TEST_P(HartIpPoll, PollTagAndVariablesThroughTheGateway) {
  Gateway gateway;
  sim::DeviceConfig seven;
  seven.pollAddress = 0;
  seven.tag = "PT-101";
  gateway.segment.Add(seven);
  sim::DeviceConfig four;
  four.pollAddress = 3;
  four.universalRevision = 4;
  four.deviceId = {0x00, 0x00, 0x33};
  four.tag = "TT-3";
  gateway.segment.Add(four);
  ASSERT_TRUE(gateway.Start());

  platform::PosixSerialDriver driver({{"COM8:", gateway.Name(GetParam())}});
  support::VirtualClock clock;
  platform::ScopedServices useIt({&driver, &clock, nullptr});
  struct CloseLinkAtEnd {
    ~CloseLinkAtEnd() { serial::HartLink::CloseLink(); }
  } closeLinkAtEnd;
  HartDevice device;
  ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
  char text[hart::kTagTextSize] = {};
  ASSERT_TRUE(device.Poll(0, 2));
  EXPECT_EQ(device.Identifier(), 0x000102u);
  EXPECT_TRUE(hart::ReadTag(device, text));
  EXPECT_STREQ(text, "PT-101  ");
  std::uint8_t reply[serial::kReplyBufferSize] = {};
  EXPECT_TRUE(device.SendCommand(3, reply));

  ASSERT_TRUE(device.Poll(3, 1));
  EXPECT_EQ(device.Identifier(), 0x000033u);
  EXPECT_TRUE(hart::ReadTag(device, text));  // command 4 in a short frame
  EXPECT_STREQ(text, "TT-3    ");
  device.Close();
}

INSTANTIATE_TEST_SUITE_P(UdpAndTcp, HartIpPoll, testing::Bool(),
                         [](const auto& info) { return info.param ? "Tcp" : "Udp"; });

// The session bound: one host more than the gateway serves is refused with
// the port "in use" and advice, and a session closed with its port frees
// its place at once.
TEST(HartIpSessions, OneMoreThanTheGatewayServesIsRefusedUntilOneCloses) {
  Gateway gateway(2);
  gateway.segment.Add(sim::DeviceConfig{});
  ASSERT_TRUE(gateway.Start());
  support::ScriptedOperator op;
  platform::ScopedServices quiet({nullptr, nullptr, &op});
  std::vector<std::unique_ptr<serial::HartIpTransport>> held;
  for (const bool tcp : {false, true}) {
    held.push_back(std::make_unique<serial::HartIpTransport>());
    ASSERT_EQ(held.back()->Open(1, gateway.Name(tcp), 1200), serial::LinkResult::kOk);
  }
  serial::HartIpTransport third;
  for (const bool tcp : {false, true}) {
    EXPECT_EQ(third.Open(1, gateway.Name(tcp), 1200), serial::LinkResult::kFailure);
    EXPECT_EQ(third.OpenError(), platform::kErrorSharingViolation);
    EXPECT_NE(third.Advice().find("no free session"), std::string::npos) << third.Advice();
  }
  held[0].reset();
  EXPECT_EQ(third.Open(1, gateway.Name(true), 1200), serial::LinkResult::kOk);
}

}  // namespace
