// The simulator behind the platform's serial device, in virtual time.
#include "tests/support/sim_line.h"

#include <gtest/gtest.h>

#include "platform/services.h"
#include "tests/sim/wire.h"
#include "tests/support/fake_platform.h"

using simtest::Hex;

namespace {

class SimLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::OpenSerialDevice("COM8:", port), platform::kErrorSuccess);
    platform::LineSettings s;
    s.baudRate = 1200;
    s.parity = platform::kParityOdd;
    ASSERT_EQ(port->SetSettings(s), platform::kErrorSuccess);
    platform::Timeouts nonBlocking;
    nonBlocking.readInterval = platform::kMaxTimeout;
    ASSERT_EQ(port->SetTimeouts(nonBlocking), platform::kErrorSuccess);
  }

  void Write(const std::string& hex) {
    const auto bytes = Hex(hex);
    std::uint32_t written = 0;
    ASSERT_EQ(port->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), written),
              platform::kErrorSuccess);
  }
  std::vector<std::uint8_t> Read(std::uint32_t max = 300) {
    std::vector<std::uint8_t> buf(max);
    std::uint32_t got = 0;
    EXPECT_EQ(port->Read(buf.data(), max, got), platform::kErrorSuccess);
    buf.resize(got);
    return buf;
  }

  support::FakePlatform fp;
  sim::Segment segment;
  sim::Device& device = segment.Add(sim::DeviceConfig{});
  support::SimLine link{fp.line, segment};
  std::unique_ptr<platform::SerialDevice> port;
};

TEST_F(SimLineTest, ReplyArrivesByteByByteAfterTheRequest) {
  Write(simtest::kCmd0Short);
  // Right after the write nothing has come back yet.
  EXPECT_TRUE(Read().empty());
  // Two characters of turnaround and the first three bytes later, three bytes are there.
  fp.clock.Advance(4 * simtest::kChar);
  EXPECT_EQ(Read(), Hex("FF FF FF"));
  fp.clock.Sleep(500);
  const auto rest = Read();
  ASSERT_EQ(rest.size(), 34u - 3);
  EXPECT_EQ(rest[2], 0x06);
  EXPECT_EQ(rest.back(), 0x67);
  EXPECT_EQ(device.Answered(0), 1u);
}

TEST_F(SimLineTest, NothingWrittenMeansNothingSeen) {
  fp.clock.Sleep(2000);
  EXPECT_TRUE(Read().empty());
  EXPECT_EQ(device.SeenTotal(), 0u);
}

TEST_F(SimLineTest, BurstTrafficAppearsAsTimePasses) {
  device.faults.burst = true;
  fp.clock.Sleep(1000);
  const auto bytes = Read();
  ASSERT_GE(bytes.size(), 21u);
  EXPECT_EQ(bytes[5], 0x81);
  EXPECT_GE(device.BurstsSent(), 3u);
}

}  // namespace
