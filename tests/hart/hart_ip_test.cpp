// The master through a HART-IP gateway: the real driver's gateway client
// against hartsim's HART-IP server on loopback, in real time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "sim/hartsim/hart_ip_server.h"
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
  platform::PosixSerialDriver driver;
  std::vector<std::unique_ptr<platform::SerialDevice>> held(2);
  ASSERT_EQ(driver.Open(gateway.Name(false), held[0]), platform::kErrorSuccess);
  ASSERT_EQ(driver.Open(gateway.Name(true), held[1]), platform::kErrorSuccess);
  std::unique_ptr<platform::SerialDevice> third;
  for (const bool tcp : {false, true}) {
    EXPECT_EQ(driver.Open(gateway.Name(tcp), third), platform::kErrorSharingViolation);
    EXPECT_NE(driver.OpenFailureAdvice(gateway.Name(tcp), platform::kErrorSharingViolation)
                  .find("no free session"),
              std::string::npos);
  }
  held[0].reset();
  EXPECT_EQ(driver.Open(gateway.Name(true), third), platform::kErrorSuccess);
}

}  // namespace
