#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "tests/support/fake_platform.h"

namespace {

using support::Op;
namespace line = platform::line;

class SerialPortTest : public ::testing::Test {
 protected:
  support::FakePlatform fake;
  serial::SerialPort port;
};

TEST_F(SerialPortTest, OpenConfiguresQueuesMaskAndDefaultLine) {
  ASSERT_EQ(port.Open("COM8:", 2048, 1024), platform::kErrorSuccess);
  EXPECT_TRUE(fake.line.IsOpen());
  EXPECT_EQ(fake.line.inQueue, 2048u);
  EXPECT_EQ(fake.line.outQueue, 1024u);
  EXPECT_EQ(fake.line.eventMask, 0xC1u);
  EXPECT_EQ(port.GetBaudRate(), 9600);
  EXPECT_EQ(port.GetByteSize(), 8);
  EXPECT_EQ(port.GetParity(), 0);
  EXPECT_EQ(port.GetStopBits(), 0);
  EXPECT_EQ(fake.line.timeouts.readInterval, platform::kMaxTimeout);
}

TEST_F(SerialPortTest, SecondOpenIsRefusedAndFirstHandleStaysUsable) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  platform::SerialDevice* first = port.handle.get();
  EXPECT_EQ(port.Open("COM8:", 16, 16), platform::kErrorAlreadyOpen);
  EXPECT_EQ(port.lastError, platform::kErrorAlreadyOpen);
  EXPECT_EQ(port.handle.get(), first);
  EXPECT_EQ(fake.line.Calls(Op::Open), 1);
  std::uint32_t n = 0;
  EXPECT_EQ(port.Write(reinterpret_cast<const std::uint8_t*>("x"), 1, &n), platform::kErrorSuccess);
  EXPECT_EQ(n, 1u);
}

TEST_F(SerialPortTest, OpenFailuresLeaveThePortClosedWithThePlatformError) {
  fake.line.Fail(Op::Open, 1, platform::kErrorFileNotFound);
  EXPECT_EQ(port.Open("COM8:", 16, 16), platform::kErrorFileNotFound);
  EXPECT_FALSE(port.IsOpen());

  // The queue-size error is reported, not Close's result of 0.
  fake.line.Fail(Op::SetQueueSizes, 1, platform::kErrorIoDevice);
  EXPECT_EQ(port.Open("COM8:", 16, 16), platform::kErrorIoDevice);
  EXPECT_EQ(port.lastError, platform::kErrorIoDevice);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(SerialPortTest, OpenReportsOnlyTheTimeoutStep) {
  fake.line.Fail(Op::SetEventMask, 1, platform::kErrorIoDevice);
  fake.line.Fail(Op::SetSettings, 1, platform::kErrorIoDevice);
  EXPECT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  ASSERT_EQ(port.Close(), platform::kErrorSuccess);
  fake.line.Fail(Op::SetTimeouts, 2, platform::kErrorIoDevice);
  EXPECT_EQ(port.Open("COM8:", 16, 16), platform::kErrorIoDevice);
  EXPECT_TRUE(port.IsOpen());
}

TEST_F(SerialPortTest, ClosedPortAnswersSixEverywhere) {
  EXPECT_EQ(port.Close(), platform::kErrorSuccess);
  EXPECT_EQ(port.SetState(1200, 8, 1, 0), platform::kErrorInvalidHandle);
  EXPECT_EQ(port.SetMask(1), platform::kErrorInvalidHandle);
  EXPECT_EQ(port.SetFlowControl(3), platform::kErrorInvalidHandle);
  EXPECT_EQ(port.SetTimeouts(2), platform::kErrorInvalidHandle);
  EXPECT_EQ(port.GetBaudRate(), -1);
  EXPECT_EQ(port.GetFlowControl(), -1);
  EXPECT_EQ(port.lastError, platform::kErrorInvalidHandle);
  EXPECT_EQ(port.ClearErrors(), 0u);
  EXPECT_EQ(port.Purge(), platform::kErrorInvalidHandle);
  EXPECT_EQ(port.ConfigureLine(1200), platform::kErrorInvalidHandle);
  EXPECT_TRUE(fake.op.shown().empty());
}

TEST_F(SerialPortTest, UnknownTypeCodesAreInvalidArgumentsAndChangeNothing) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  const auto settings = fake.line.settings;
  const auto timeouts = fake.line.timeouts;
  const int writes = fake.line.Calls(Op::SetSettings) + fake.line.Calls(Op::SetTimeouts);
  EXPECT_EQ(port.SetFlowControl(3), platform::kEInvalidArg);
  EXPECT_EQ(port.SetTimeouts(2), platform::kEInvalidArg);
  EXPECT_EQ(port.lastError, platform::kEInvalidArg);
  EXPECT_EQ(fake.line.settings, settings);
  EXPECT_EQ(fake.line.timeouts, timeouts);
  EXPECT_EQ(fake.line.Calls(Op::SetSettings) + fake.line.Calls(Op::SetTimeouts), writes);
}

TEST_F(SerialPortTest, FlowControlModesRoundTripAndKeepOtherFlags) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  fake.line.settings.flags |= line::kNullStrip | (1u << 20);
  for (std::uint32_t type : {1u, 2u, 0u}) {
    ASSERT_EQ(port.SetFlowControl(type), platform::kErrorSuccess);
    EXPECT_EQ(port.GetFlowControl(), static_cast<std::int32_t>(type));
    EXPECT_TRUE(fake.line.settings.flags & line::kNullStrip);
    EXPECT_TRUE(fake.line.settings.flags & (1u << 20));
  }
  ASSERT_EQ(port.SetFlowControl(1), platform::kErrorSuccess);
  EXPECT_EQ(line::DtrMode(fake.line.settings.flags), line::kLineModeHandshake);
  EXPECT_TRUE(fake.line.settings.flags & line::kCtsOutFlow);
  ASSERT_EQ(port.SetFlowControl(2), platform::kErrorSuccess);
  EXPECT_EQ(line::RtsMode(fake.line.settings.flags), line::kLineModeDisabled);
  EXPECT_FALSE(fake.line.settings.flags & line::kCtsOutFlow);
}

TEST_F(SerialPortTest, ParityIsReportedOnlyWhenChecked) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  ASSERT_EQ(port.SetState(1200, 8, 1, 0), platform::kErrorSuccess);
  EXPECT_EQ(port.GetParity(), 1);
  fake.line.settings.flags &= ~line::kParityCheck;
  EXPECT_EQ(port.GetParity(), 0);
  EXPECT_EQ(fake.line.settings.parity, 1);
}

TEST_F(SerialPortTest, GetterFailureGivesMinusOneAndThePlatformError) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  fake.line.Fail(Op::GetSettings, 0, platform::kErrorIoDevice);
  EXPECT_EQ(port.GetStopBits(), -1);
  EXPECT_EQ(port.lastError, platform::kErrorIoDevice);
}

TEST_F(SerialPortTest, WriteOnClosedPortTellsTheOperatorAndDoesNotPause) {
  std::uint32_t n = 99;
  EXPECT_EQ(port.Write(reinterpret_cast<const std::uint8_t*>("ab"), 2, &n),
            platform::kErrorInvalidHandle);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(port.Read(nullptr, 2, nullptr), platform::kErrorInvalidHandle);
  ASSERT_EQ(fake.op.shown().size(), 2u);
  EXPECT_EQ(fake.op.shown()[0].text, "Write device not open");
  EXPECT_EQ(fake.op.shown()[0].icon, platform::Icon::Information);
  EXPECT_EQ(fake.op.shown()[1].text, "Read device not open");
  EXPECT_TRUE(fake.clock.sleeps().empty());
}

TEST_F(SerialPortTest, WritePausesHalfASecondAfterSuccessOrPending) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  std::uint32_t n = 0;
  EXPECT_EQ(port.WriteString("abc", &n), platform::kErrorSuccess);
  EXPECT_EQ(n, 3u);
  fake.line.writeResult = platform::kErrorIoPending;
  EXPECT_EQ(port.Write(reinterpret_cast<const std::uint8_t*>("abc"), 3, &n),
            platform::kErrorSuccess);
  EXPECT_EQ(port.lastError, platform::kErrorSuccess);
  EXPECT_EQ(fake.clock.sleeps(), (std::vector<std::uint32_t>{500, 500}));
  EXPECT_EQ(fake.line.AllWritten(), (std::vector<std::uint8_t>{'a', 'b', 'c', 'a', 'b', 'c'}));
}

TEST_F(SerialPortTest, FailedWriteReturnsItsErrorWithoutPause) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  fake.line.writeResult = platform::kErrorTimeout;
  std::uint32_t n = 0;
  EXPECT_EQ(port.WriteString("abc", &n), platform::kErrorTimeout);
  EXPECT_EQ(port.lastError, platform::kErrorTimeout);
  EXPECT_TRUE(fake.clock.sleeps().empty());
}

TEST_F(SerialPortTest, NonBlockingReadOfNothingSucceedsWithZero) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  std::uint8_t b[4];
  std::uint32_t n = 7;
  EXPECT_EQ(port.Read(b, 4, &n), platform::kErrorSuccess);
  EXPECT_EQ(n, 0u);
  fake.line.DeliverNow({1, 2});
  EXPECT_EQ(port.Read(b, 4, &n), platform::kErrorSuccess);
  EXPECT_EQ(n, 2u);
}

TEST_F(SerialPortTest, HangUpIsAnErrorNotEmptyData) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  fake.line.hungUp = true;
  std::uint8_t b[4];
  std::uint32_t n = 0;
  EXPECT_EQ(port.Read(b, 4, &n), platform::kErrorDeviceNotConnected);
  EXPECT_EQ(port.WriteString("a", &n), platform::kErrorDeviceNotConnected);
}

TEST_F(SerialPortTest, ConfigureLineSetsTheHartFormat) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  ASSERT_EQ(port.SetFlowControl(1), platform::kErrorSuccess);
  fake.line.settings.flags |= line::kNullStrip | line::kAbortOnError | (0x5u << 17);
  fake.line.DeliverNow({0xFF, 0xFF});
  fake.line.lineErrors = platform::kLineErrorParity;

  ASSERT_EQ(port.ConfigureLine(1200), platform::kErrorSuccess);
  EXPECT_EQ(port.GetBaudRate(), 1200);
  EXPECT_EQ(port.GetByteSize(), 8);
  EXPECT_EQ(port.GetParity(), 1);
  EXPECT_EQ(port.GetStopBits(), 0);
  EXPECT_EQ(port.GetFlowControl(), 0);
  EXPECT_EQ(fake.line.settings.flags, line::kBinary | line::kParityCheck | (0x5u << 17));
  EXPECT_EQ(line::DtrMode(fake.line.settings.flags), line::kLineModeDisabled);
  EXPECT_EQ(line::RtsMode(fake.line.settings.flags), line::kLineModeDisabled);
  EXPECT_EQ(fake.line.timeouts.readInterval, platform::kMaxTimeout);
  EXPECT_EQ(fake.line.purges().back(), 15u);
  EXPECT_EQ(fake.line.Buffered(), 0u);
  EXPECT_EQ(fake.line.lineErrors, 0u);
}

TEST_F(SerialPortTest, ConfigureLineFailures) {
  ASSERT_EQ(port.Open("COM8:", 16, 16), platform::kErrorSuccess);
  fake.line.Fail(Op::SetSettings, 2, platform::kErrorInvalidParameter);
  EXPECT_EQ(port.ConfigureLine(1200), platform::kErrorInvalidParameter);
  EXPECT_TRUE(port.IsOpen());

  // A failed time-out step is not reported; a failed purge releases the port.
  fake.line.Fail(Op::SetTimeouts, 0, platform::kErrorIoDevice);
  fake.line.Fail(Op::Purge, 0, platform::kErrorIoDevice);
  EXPECT_EQ(port.ConfigureLine(1200), platform::kErrorIoDevice);
  EXPECT_EQ(port.lastError, platform::kErrorIoDevice);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(SerialPortTest, DestructionClosesTheDevice) {
  {
    serial::SerialPort local;
    ASSERT_EQ(local.Open("COM8:", 16, 16), platform::kErrorSuccess);
    EXPECT_TRUE(fake.line.IsOpen());
  }
  EXPECT_FALSE(fake.line.IsOpen());
}

}  // namespace
