// The real termios driver against a pseudo-terminal. A pty ignores speed and
// parity and has no modem lines, so these tests prove the plumbing: settings
// records, exclusivity, bytes both ways, purge, hang-up, error numbers.
#include "platform/posix_serial.h"

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "platform/errors.h"
#include "tests/support/pty_pair.h"

namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr Timeouts kNonBlocking{kMaxTimeout, 0, 0, 0, 0};
constexpr Timeouts kBlocking{0, 0, 0, 0, 0};

// Reserved upper bits set on purpose: the driver must hand them back.
constexpr std::uint32_t kReservedBits = 0xA5A50000u;

// 1200-8-O-1 with parity checking, DTR and RTS held off.
LineSettings HartLine() {
  LineSettings s;
  s.baudRate = 1200;
  s.byteSize = 8;
  s.parity = kParityOdd;
  s.stopBits = kOneStopBit;
  s.flags = kReservedBits | line::kBinary | line::kParityCheck;
  return s;
}

// Waits until thread `tid` of this process sits in poll(), as the kernel
// reports it (the first field of /proc/.../syscall is the call it is blocked
// in). False if it never gets there; the bound only keeps a broken driver
// from hanging the test.
bool WaitUntilBlockedInPoll(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  for (int step = 0; step < 2000; ++step) {
    std::ifstream in(path);
    long call = -1;
    if (in >> call && (call == SYS_ppoll
#ifdef SYS_poll
                       || call == SYS_poll
#endif
                       )) {
      return true;
    }
    usleep(5000);
  }
  return false;
}

class PosixSerialTest : public support::PtyFixture {
 protected:
  std::unique_ptr<SerialDevice> OpenSlave() {
    std::unique_ptr<SerialDevice> device;
    EXPECT_EQ(driver.Open(pty.slavePath(), device), kErrorSuccess) << driver.LastOpenErrno();
    return device;
  }
  termios SlaveTermios() {
    termios t{};
    EXPECT_EQ(tcgetattr(pty.slaveFd(), &t), 0);
    return t;
  }

  PosixSerialDriver driver;
};

TEST_F(PosixSerialTest, OpenDetectsThePseudoTerminalAndMakesTheLineRaw) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  EXPECT_TRUE(static_cast<PosixSerialDevice&>(*device).IsPseudoTerminal());
  const termios t = SlaveTermios();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
}

TEST_F(PosixSerialTest, InitialRecordIsReadFromTheDevice) {
  termios before = SlaveTermios();
  cfsetispeed(&before, B4800);
  cfsetospeed(&before, B4800);
  before.c_cflag |= CSTOPB | CRTSCTS;
  before.c_iflag |= IXON | IXOFF;
  ASSERT_EQ(tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);

  auto device = OpenSlave();
  ASSERT_TRUE(device);
  LineSettings s;
  ASSERT_EQ(device->GetSettings(s), kErrorSuccess);
  EXPECT_EQ(s.baudRate, 4800u);
  EXPECT_EQ(s.byteSize, 8);
  EXPECT_EQ(s.stopBits, kTwoStopBits);
  EXPECT_EQ(s.flags & line::kLowerFlagsMask, line::kBinary | line::kCtsOutFlow | line::kXonXoffOut |
                                                 line::kXonXoffIn |
                                                 (line::kLineModeHandshake << line::kRtsModeShift));
}

TEST_F(PosixSerialTest, HartLineFormatReadsBackAsWrittenAndReachesTheTty) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetSettings(HartLine()), kErrorSuccess);
  ASSERT_EQ(device->SetTimeouts(kNonBlocking), kErrorSuccess);

  LineSettings s;
  ASSERT_EQ(device->GetSettings(s), kErrorSuccess);
  EXPECT_EQ(s, HartLine());  // reserved bits and odd parity, though the pty dropped PARENB
  Timeouts t;
  ASSERT_EQ(device->GetTimeouts(t), kErrorSuccess);
  EXPECT_EQ(t, kNonBlocking);

  const termios tty = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&tty), B1200);
  EXPECT_NE(tty.c_iflag & INPCK, 0u);
  EXPECT_EQ(tty.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tty.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(PosixSerialTest, SpeedOutsideTheTermiosTableGoesThroughTermios2) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  LineSettings s = HartLine();
  s.baudRate = 14400;
  ASSERT_EQ(device->SetSettings(s), kErrorSuccess);
  EXPECT_EQ(pty.SlaveSpeed(), 14400u);
  s.baudRate = 9600;  // and back to a table speed
  ASSERT_EQ(device->SetSettings(s), kErrorSuccess);
  EXPECT_EQ(pty.SlaveSpeed(), 9600u);
}

TEST_F(PosixSerialTest, RefusedRecordChangesNothing) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetSettings(HartLine()), kErrorSuccess);
  LineSettings bad[5] = {HartLine(), HartLine(), HartLine(), HartLine(), HartLine()};
  bad[0].byteSize = 9;
  bad[1].byteSize = 4;
  bad[2].stopBits = 1;  // one and a half
  bad[3].parity = 3;
  bad[4].baudRate = 0;
  for (const LineSettings& s : bad) {
    EXPECT_EQ(device->SetSettings(s), kErrorInvalidParameter);
    LineSettings now;
    ASSERT_EQ(device->GetSettings(now), kErrorSuccess);
    EXPECT_EQ(now, HartLine());
  }
  const termios tty = SlaveTermios();
  EXPECT_EQ(cfgetospeed(&tty), B1200);
}

TEST_F(PosixSerialTest, SecondOpenIsRefusedUntilTheFirstCloses) {
  auto first = OpenSlave();
  ASSERT_TRUE(first);
  std::unique_ptr<SerialDevice> second;
  EXPECT_EQ(driver.Open(pty.slavePath(), second), kErrorSharingViolation);
  EXPECT_FALSE(second);
  // Another driver object is another program as far as the locks go.
  PosixSerialDriver other;
  EXPECT_EQ(other.Open(pty.slavePath(), second), kErrorSharingViolation);

  first.reset();
  EXPECT_EQ(driver.Open(pty.slavePath(), second), kErrorSuccess);
  EXPECT_TRUE(second);
}

TEST_F(PosixSerialTest, CloseRestoresTheTerminalAsItWas) {
  const termios before = SlaveTermios();
  ASSERT_NE(before.c_lflag & ICANON, 0u);  // a fresh pty starts cooked
  {
    auto device = OpenSlave();
    ASSERT_TRUE(device);
    ASSERT_EQ(device->SetSettings(HartLine()), kErrorSuccess);
  }
  const termios after = SlaveTermios();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(PosixSerialTest, FramesPassWholeBothWays) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetSettings(HartLine()), kErrorSuccess);
  ASSERT_EQ(device->SetTimeouts(kNonBlocking), kErrorSuccess);

  // Bytes a raw line must pass untouched: CR, LF, XON, XOFF, DEL, 0xFF.
  const Bytes request = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82, 0x0D, 0x0A, 0x11, 0x13, 0x7F};
  std::uint32_t written = 99;
  ASSERT_EQ(device->Write(request.data(), static_cast<std::uint32_t>(request.size()), written),
            kErrorSuccess);
  EXPECT_EQ(written, request.size());
  EXPECT_EQ(pty.ReadMaster(request.size()), request);

  std::uint8_t buffer[64];
  std::uint32_t got = 99;
  ASSERT_EQ(device->Read(buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(got, 0u) << "nothing sent yet";

  const Bytes reply = {0x06, 0x80, 0x00, 0x0E, 0x00, 0x00, 0xFE, 0x11, 0x13, 0x0D, 0x0A, 0xFF};
  ASSERT_TRUE(pty.WriteMaster(reply));
  ASSERT_TRUE(pty.WaitSlaveBuffered(reply.size()));
  ASSERT_EQ(device->Read(buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(Bytes(buffer, buffer + got), reply);
}

// The rest is written only once the driver has taken the first part off the
// line, so a read that returned what it had would end with three bytes.
TEST_F(PosixSerialTest, BlockingReadWaitsForTheWholeCount) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetTimeouts(kBlocking), kErrorSuccess);
  ASSERT_TRUE(pty.WriteMaster({1, 2, 3}));
  ASSERT_TRUE(pty.WaitSlaveBuffered(3));
  std::atomic<bool> returned{false};
  std::uint8_t buffer[5] = {};
  std::uint32_t got = 0;
  Error result = kErrorGenFailure;
  std::thread reader([&] {
    result = device->Read(buffer, sizeof buffer, got);
    returned = true;
  });
  const bool drained = pty.WaitSlaveDrained();
  const bool returnedEarly = returned;
  pty.WriteMaster({4, 5});
  reader.join();
  EXPECT_TRUE(drained) << "the read never took the first bytes";
  EXPECT_FALSE(returnedEarly) << "the read returned before the whole count came";
  EXPECT_EQ(result, kErrorSuccess);
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(PosixSerialTest, TotalTimeoutEndsAReadShortWithoutError) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetTimeouts(Timeouts{0, 0, 20, 0, 0}), kErrorSuccess);
  ASSERT_TRUE(pty.WriteMaster({0x42}));
  ASSERT_TRUE(pty.WaitSlaveBuffered(1));
  std::uint8_t buffer[8];
  std::uint32_t got = 0;
  EXPECT_EQ(device->Read(buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(Bytes(buffer, buffer + got), Bytes{0x42});
}

TEST_F(PosixSerialTest, PurgeDiscardsReceivedBytes) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetTimeouts(kNonBlocking), kErrorSuccess);
  ASSERT_TRUE(pty.WriteMaster({1, 2, 3, 4}));
  ASSERT_TRUE(pty.WaitSlaveBuffered(4));

  ASSERT_EQ(device->Purge(kPurgeAbortTransmit | kPurgeAbortReceive | kPurgeClearTransmit |
                          kPurgeClearReceive),
            kErrorSuccess);
  std::uint8_t buffer[8];
  std::uint32_t got = 99;
  ASSERT_EQ(device->Read(buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(got, 0u);

  // Clearing only the transmit side leaves received bytes alone.
  ASSERT_TRUE(pty.WriteMaster({5}));
  ASSERT_TRUE(pty.WaitSlaveBuffered(1));
  ASSERT_EQ(device->Purge(kPurgeClearTransmit), kErrorSuccess);
  ASSERT_EQ(device->Read(buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(Bytes(buffer, buffer + got), Bytes{5});
}

TEST_F(PosixSerialTest, QueueSizesEventMaskAndLineErrorsSucceedOnAPty) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  EXPECT_EQ(device->SetQueueSizes(2048, 2048), kErrorSuccess);
  EXPECT_EQ(device->SetEventMask(0), kErrorSuccess);
  std::uint32_t errors = 99;
  EXPECT_EQ(device->ClearErrors(errors), kErrorSuccess);
  EXPECT_EQ(errors, 0u);
}

TEST_F(PosixSerialTest, HangUpMidReadIsAnErrorNotAnEndlessWait) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetTimeouts(kBlocking), kErrorSuccess);
  const pid_t readerThread = gettid();
  std::atomic<bool> blocked{false};
  std::thread unplug([&] {
    // Unplugged only once the read waits for data, so the hang-up comes in
    // the middle of the read rather than before it.
    blocked = WaitUntilBlockedInPoll(readerThread);
    pty.CloseMaster();
  });
  // A read that mistook the hang-up for "no data yet" would wait forever;
  // the alarm turns that into a killed test rather than a hung suite.
  alarm(30);
  std::uint8_t buffer[16];
  std::uint32_t got = 99;
  const Error result = device->Read(buffer, sizeof buffer, got);
  alarm(0);
  unplug.join();
  EXPECT_TRUE(blocked) << "the read never waited in poll()";
  EXPECT_EQ(result, kErrorDeviceNotConnected);
  EXPECT_EQ(got, 0u);

  // Everything after it fails the same way, at once.
  EXPECT_EQ(device->Read(buffer, sizeof buffer, got), kErrorDeviceNotConnected);
  std::uint32_t written = 99;
  EXPECT_EQ(device->Write(buffer, 4, written), kErrorDeviceNotConnected);
  EXPECT_EQ(written, 0u);
}

TEST_F(PosixSerialTest, WriteAfterHangUpIsAnError) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  pty.CloseMaster();
  const std::uint8_t frame[] = {0xFF, 0x02};
  std::uint32_t written = 99;
  EXPECT_EQ(device->Write(frame, sizeof frame, written), kErrorDeviceNotConnected);
  EXPECT_EQ(static_cast<PosixSerialDevice&>(*device).LastErrno(), EIO);
}

// Output flow held off (the far end sent XOFF and never XON): the write has
// no time-outs of its own, yet it ends with a time-out instead of holding
// the program for good, and the request does not go out later.
TEST_F(PosixSerialTest, WriteHeldOffByFlowControlEndsWithATimeout) {
  auto device = OpenSlave();
  ASSERT_TRUE(device);
  LineSettings s = HartLine();
  s.flags |= line::kXonXoffOut;
  ASSERT_EQ(device->SetSettings(s), kErrorSuccess);
  ASSERT_EQ(device->SetTimeouts(kNonBlocking), kErrorSuccess);
  // XOFF, then a byte that shows the XOFF has been taken in.
  ASSERT_TRUE(pty.WriteMaster({0x13, 0x41}));
  ASSERT_TRUE(pty.WaitSlaveBuffered(1));

  const Bytes request = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
  std::uint32_t written = 99;
  EXPECT_EQ(device->Write(request.data(), static_cast<std::uint32_t>(request.size()), written),
            kErrorTimeout);
  EXPECT_LT(written, request.size());
  ASSERT_TRUE(pty.WriteMaster({0x11}));  // XON
  EXPECT_EQ(pty.ReadMaster(request.size()).size(), written) << "stalled bytes went out late";
}

TEST_F(PosixSerialTest, PortNameIsMappedToItsPath) {
  PosixSerialDriver mapped({{"COM8:", pty.slavePath()}});
  EXPECT_EQ(mapped.PathFor("COM8:"), pty.slavePath());
  EXPECT_EQ(mapped.PathFor("/dev/ttyUSB0"), "/dev/ttyUSB0");
  std::unique_ptr<SerialDevice> device;
  EXPECT_EQ(mapped.Open("COM8:", device), kErrorSuccess);
  EXPECT_TRUE(device);
  EXPECT_EQ(PosixSerialDriver().PathFor("COM8:"), "/dev/com8");
}

struct OpenFailureCase {
  const char* name;
  const char* path;
  Error error;
  int err;
};

class PosixSerialOpenFailure : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(PosixSerialOpenFailure, GivesItsErrorAndNoDevice) {
  PosixSerialDriver driver;
  std::unique_ptr<SerialDevice> device;
  EXPECT_EQ(driver.Open(GetParam().path, device), GetParam().error);
  EXPECT_FALSE(device);
  EXPECT_EQ(driver.LastOpenErrno(), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PosixSerialOpenFailure,
    ::testing::Values(OpenFailureCase{"MissingPath", "/dev/veltrop-no-such-port",
                                      kErrorFileNotFound, ENOENT},
                      OpenFailureCase{"NotATerminal", "/dev/null", kErrorInvalidFunction, ENOTTY}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform
