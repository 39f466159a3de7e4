#include "serial/hart_link.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/posix_serial.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"
#include "tests/support/pty_pair.h"

namespace {

using serial::HartLink;
using support::Op;
using Bytes = std::vector<std::uint8_t>;
using support::Hex;
using support::WithChecksum;

constexpr std::uint64_t kChar = support::CharacterMicros(1200);

// A short command-0 style reply: 5 preambles, delimiter 06, address 80,
// command 00, byte count 04, status 00 00, data 12 34, checksum.
const Bytes kShortReply = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0x80,
                           0x00, 0x04, 0x00, 0x00, 0x12, 0x34, 0xA4};

class HartLinkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk); }

  serial::LinkResult Receive() {
    reply.fill(0xEE);
    return HartLink::ReceiveFrame(reply.data());
  }

  support::FakePlatform fake;
  std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
};

TEST_F(HartLinkTest, OpenLinkResultCodes) {
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kAlreadyOpen);
  EXPECT_EQ(HartLink::OpenLink(0, 1200), serial::LinkResult::kAlreadyOpen);
  EXPECT_EQ(HartLink::OpenLink(8, 250), serial::LinkResult::kAlreadyOpen);
  EXPECT_EQ(HartLink::CloseLink(), platform::kErrorSuccess);

  EXPECT_EQ(HartLink::OpenLink(0, 1200), serial::LinkResult::kBadPort);
  EXPECT_EQ(HartLink::OpenLink(256, 1200), serial::LinkResult::kBadPort);
  EXPECT_EQ(fake.line.Calls(Op::Open), 1);

  // An unsupported rate leaves the port open as Open set it up.
  EXPECT_EQ(HartLink::OpenLink(8, 250), serial::LinkResult::kBadBaudRate);
  EXPECT_TRUE(HartLink::theSerialPort.IsOpen());
  EXPECT_EQ(HartLink::theSerialPort.GetBaudRate(), 9600);
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kAlreadyOpen);
  HartLink::CloseLink();

  EXPECT_EQ(HartLink::OpenLink(3, 1200), serial::LinkResult::kOk);
  EXPECT_EQ(fake.line.openedNames.back(), "COM8:");
  EXPECT_EQ(fake.line.settings.parity, platform::kParityOdd);
  EXPECT_EQ(fake.line.inQueue, 2048u);
  EXPECT_TRUE(fake.op.shown().empty());
}

TEST_F(HartLinkTest, OpenFailureShowsThePortNameOnce) {
  HartLink::CloseLink();
  fake.line.Fail(Op::Open, 0, platform::kErrorFileNotFound);
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kFailure);
  ASSERT_EQ(fake.op.texts(), std::vector<std::string>{"COM8:"});
  EXPECT_EQ(fake.op.shown()[0].icon, platform::Icon::Error);
}

TEST_F(HartLinkTest, ConfigureFailureIsSilentAndLeavesThePortOpen) {
  HartLink::CloseLink();
  // SetUp's open wrote the settings twice; this open's second write fails.
  fake.line.Fail(Op::SetSettings, 4, platform::kErrorInvalidParameter);
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kFailure);
  EXPECT_TRUE(fake.op.shown().empty());
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kAlreadyOpen);
}

TEST(HartLinkTiming, TransmissionTimeFormula) {
  EXPECT_EQ(HartLink::TransmissionMillis(10), 118u);
  EXPECT_EQ(HartLink::TransmissionMillis(11), 127u);
  EXPECT_EQ(HartLink::TransmissionMillis(12), 137u);
  EXPECT_EQ(HartLink::TransmissionMillis(14), 155u);
  EXPECT_EQ(HartLink::TransmissionMillis(0), 27u);
  EXPECT_EQ(HartLink::TransmissionMillis(100), 943u);
}

TEST_F(HartLinkTest, SendFrameEndsWithTheWritePauseForShortFrames) {
  const Bytes frame(12, 0xFF);
  const std::uint64_t start = fake.clock.NowMicros();
  EXPECT_EQ(HartLink::SendFrame(frame.data(), 12), serial::LinkResult::kOk);
  // 12 characters on the wire, then the 500 ms pause; the 137 ms
  // transmission wait adds nothing.
  EXPECT_EQ(fake.clock.NowMicros() - start, 12 * kChar + 500'000);
  EXPECT_EQ(fake.line.writes().back(), frame);
}

TEST_F(HartLinkTest, SendFrameWaitsOutLongFramesAcrossTheTickWrap) {
  support::VirtualClock nearWrap(0xFFFFFF00ull * 1000);
  platform::ScopedServices useIt({nullptr, &nearWrap, nullptr});
  const Bytes frame(100, 0x00);
  ASSERT_EQ(HartLink::SendFrame(frame.data(), 100), serial::LinkResult::kOk);
  // 943 ms must pass in unsigned tick arithmetic even though the tick count
  // wrapped during the wait.
  EXPECT_GE(nearWrap.NowMillis() - 0xFFFFFF00ull, 943u);
  EXPECT_LT(nearWrap.NowMillis() - 0xFFFFFF00ull, 1000u);
}

TEST_F(HartLinkTest, SendFrameFailures) {
  EXPECT_EQ(HartLink::SendFrame(nullptr, 12), serial::LinkResult::kMissingBuffer);
  const Bytes frame(12, 0xFF);
  fake.line.writeShortBy = 1;
  EXPECT_EQ(HartLink::SendFrame(frame.data(), 12), serial::LinkResult::kWriteIncomplete);
  fake.line.writeShortBy = 0;
  fake.line.writeResult = platform::kErrorTimeout;
  EXPECT_EQ(HartLink::SendFrame(frame.data(), 12), serial::LinkResult::kWriteIncomplete);
  fake.line.writeResult = platform::kErrorIoDevice;
  EXPECT_EQ(HartLink::SendFrame(frame.data(), 12), serial::LinkResult::kFailure);
  fake.line.writeResult = platform::kErrorIoPending;
  EXPECT_EQ(HartLink::SendFrame(frame.data(), 12), serial::LinkResult::kOk);
}

TEST_F(HartLinkTest, ClosedLinkTellsTheOperator) {
  HartLink::CloseLink();
  const Bytes frame(12, 0xFF);
  EXPECT_EQ(HartLink::SendFrame(frame.data(), 12), serial::LinkResult::kWriteIncomplete);
  EXPECT_EQ(Receive(), serial::LinkResult::kNoReply);
  EXPECT_EQ(fake.op.texts(),
            (std::vector<std::string>{"Write device not open", "Read device not open",
                                      "Read device not open", "Read device not open",
                                      "Read device not open"}));
}

TEST_F(HartLinkTest, ReadsAWholeShortReply) {
  fake.line.DeliverNow(kShortReply);
  ASSERT_EQ(Receive(), serial::LinkResult::kOk);
  const Bytes delivered(reply.begin(), reply.begin() + 8);
  EXPECT_EQ(delivered, Bytes(kShortReply.begin() + 5, kShortReply.end() - 1));
  EXPECT_EQ(reply[8], 0xEE) << "the checksum is not delivered";
}

TEST_F(HartLinkTest, SkipsNoiseBeforeThePreambles) {
  Bytes noisy = {0x00, 0x13};
  noisy.insert(noisy.end(), kShortReply.begin() + 3, kShortReply.end());  // 00 13 FF FF 06 ...
  fake.line.DeliverNow(noisy);
  ASSERT_EQ(Receive(), serial::LinkResult::kOk);
  EXPECT_EQ(reply[0], 0x06);
  EXPECT_EQ(reply[7], 0x34);
}

TEST_F(HartLinkTest, ReadsALongReplyWithMaximumByteCount) {
  Bytes frame = {0xFF, 0xFF, 0xFF, 0x86, 0x9A, 0x11, 0x00, 0x12, 0x34, 0x03, 0xFF};
  for (int i = 0; i < 255; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  std::uint8_t check = 0;
  for (std::size_t i = 3; i < frame.size(); ++i) check ^= frame[i];
  frame.push_back(check);
  fake.line.DeliverNow(frame);
  ASSERT_EQ(Receive(), serial::LinkResult::kOk);
  EXPECT_EQ(reply[6], 0x03);
  EXPECT_EQ(reply[7], 0xFF);
  EXPECT_EQ(reply[8], 0);
  EXPECT_EQ(reply[262], 254);
}

TEST_F(HartLinkTest, NoPreambleMeansNoReplyAfterFourEmptyReads) {
  fake.line.DeliverNow({0x06, 0x80, 0x00});
  fake.clock.ClearSleeps();
  EXPECT_EQ(Receive(), serial::LinkResult::kNoReply);
  EXPECT_EQ(fake.line.Calls(Op::Read), 3 + 4);
  EXPECT_TRUE(fake.clock.sleeps().empty()) << "no reply before any preamble is immediate";
}

TEST_F(HartLinkTest, ShortReplyIsIncomplete) {
  // Byte count 14 with only 10 bytes after the header.
  Bytes frame = {0xFF, 0xFF, 0x06, 0x80, 0x00, 0x0E};
  for (int i = 0; i < 10; ++i) frame.push_back(0);
  fake.line.DeliverNow(frame);
  EXPECT_EQ(Receive(), serial::LinkResult::kDataIncomplete);
  // Missing only the checksum is incomplete as well.
  Bytes noCheck(kShortReply.begin(), kShortReply.end() - 1);
  fake.line.DeliverNow(noCheck);
  EXPECT_EQ(Receive(), serial::LinkResult::kDataIncomplete);
}

TEST_F(HartLinkTest, MissingHeaderIsNoReply) {
  fake.line.DeliverNow({0xFF, 0xFF, 0x06, 0x80});
  EXPECT_EQ(Receive(), serial::LinkResult::kNoReply);
}

TEST_F(HartLinkTest, CorruptedByteIsAChecksumError) {
  for (std::size_t at : {5u, 6u, 8u, 11u, 13u}) {
    Bytes bad = kShortReply;
    bad[at] ^= 0x10;
    fake.line.DeliverNow(bad);
    // A corrupted delimiter is no delimiter: no frame is found at all.
    EXPECT_EQ(Receive(), at == 5   ? serial::LinkResult::kNoReply
                         : at == 8 ? serial::LinkResult::kDataIncomplete
                                   : serial::LinkResult::kChecksumError)
        << "corrupted byte " << at;
    EXPECT_EQ(reply[0], 0xEE) << "a corrupted frame is never delivered";
  }
}

TEST_F(HartLinkTest, HardReadErrorsFailOnlyWhenTheCountWasFull) {
  // A failing read that moved nothing is one more empty read.
  fake.line.DeliverNow(kShortReply);
  fake.line.Fail(Op::Read, fake.line.Calls(Op::Read) + 2, platform::kErrorIoDevice);
  EXPECT_EQ(Receive(), serial::LinkResult::kOk);

  // The same error with its byte delivered, in each phase: preamble (read 1),
  // header (read 7: five preambles and the delimiter come first), data (8).
  for (int nth : {1, 7, 8}) {
    fake.line.DeliverNow(kShortReply);
    fake.line.FailAfterTransfer(Op::Read, fake.line.Calls(Op::Read) + nth,
                                platform::kErrorIoDevice);
    EXPECT_EQ(Receive(), serial::LinkResult::kFailure) << "read " << nth;
  }
}

TEST_F(HartLinkTest, EveryOutcomePurgesBothBuffers) {
  const auto purgesAfter = [&](const Bytes& wire) {
    const std::size_t before = fake.line.purges().size();
    fake.line.DeliverNow(wire);
    Receive();
    EXPECT_EQ(fake.line.purges().size(), before + 1);
    EXPECT_EQ(fake.line.purges().back(), 12u);
    return fake.line.Buffered();
  };
  Bytes corrupted = kShortReply;
  corrupted[11] ^= 1;
  EXPECT_EQ(purgesAfter(kShortReply), 0u);                     // 0
  EXPECT_EQ(purgesAfter(corrupted), 0u);                       // 2
  EXPECT_EQ(purgesAfter({0xFF, 0x06, 0x80, 0x00, 0x09}), 0u);  // 3
  EXPECT_EQ(purgesAfter({}), 0u);                              // 5
  EXPECT_EQ(purgesAfter(Bytes(21, 0xFF)), 0u);                 // 5 (too many preambles)
  const std::size_t before = fake.line.purges().size();
  EXPECT_EQ(HartLink::ReceiveFrame(nullptr), serial::LinkResult::kMissingBuffer);
  EXPECT_EQ(fake.line.purges().size(), before);
}

TEST_F(HartLinkTest, OneBytePerReadStillReadsTheReply) {
  fake.line.maxBytesPerRead = 1;
  fake.line.DeliverNow(kShortReply);
  ASSERT_EQ(Receive(), serial::LinkResult::kOk);
  EXPECT_EQ(reply[7], 0x34);
}

// A reply still on the wire when reading starts: the device answered late,
// and the bytes arrive one character time apart over more than 600 ms.
TEST_F(HartLinkTest, ReplyStillArrivingIsReadWhole) {
  Bytes frame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x9A, 0x11,
                 0x00, 0x12, 0x34, 0x03, 0x1A, 0x00, 0x00};
  for (int i = 0; i < 24; ++i) frame.push_back(static_cast<std::uint8_t>(0x40 + i));
  // 64 more bytes of payload to stretch the frame past 600 ms.
  frame[12] = 0x1A + 64;
  for (int i = 0; i < 64; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  std::uint8_t check = 0;
  for (std::size_t i = 5; i < frame.size(); ++i) check ^= frame[i];
  frame.push_back(check);
  ASSERT_GT(frame.size() * kChar, 600'000u);

  const std::uint64_t t0 = fake.clock.NowMicros();
  fake.line.DeliverPaced(frame, t0);
  fake.clock.Advance(kChar);  // one byte has arrived when the read starts
  ASSERT_EQ(Receive(), serial::LinkResult::kOk);
  EXPECT_EQ(reply[7], 0x1A + 64);
  EXPECT_EQ(reply[7 + 0x1A + 64], 63);
  EXPECT_EQ(fake.line.InFlight(), 0u);
}

TEST_F(HartLinkTest, ReplyThatStopsArrivingGivesUpAfterTheGap) {
  Bytes frame = {0xFF, 0xFF, 0x06, 0x80, 0x00, 0x08, 0x00, 0x00, 0x01};  // 5 data bytes missing
  fake.line.DeliverPaced(frame, fake.clock.NowMicros());
  const std::uint64_t start = fake.clock.NowMicros();
  EXPECT_EQ(Receive(), serial::LinkResult::kDataIncomplete);
  const std::uint64_t lastByte = start + (frame.size() - 1) * kChar;
  EXPECT_GE(fake.clock.NowMicros(), lastByte + 50'000);
  EXPECT_LT(fake.clock.NowMicros(), lastByte + 70'000);
}

// A glitching loop or a device stuck in its preambles (0xFF every 30 ms for
// two minutes), and noise that keeps looking like a frame (two 0xFF, a
// delimiter, byte count 0xFF, data that never ends): the first outgrows any
// legal preamble run, the second the longest legal reply.
TEST_F(HartLinkTest, NoiseThatNeverEndsEndsTheReadWithinTheLongestReply) {
  struct Case {
    Bytes pattern;
    serial::LinkResult result;
    std::uint64_t atLeastMicros;  // the data case runs into the deadline
  };
  for (const Case& c :
       {Case{{0xFF}, serial::LinkResult::kNoReply, 0}, Case{{0xFF, 0xFF, 0x06, 0x80, 0x00, 0xFF},
                                                            serial::LinkResult::kDataIncomplete,
                                                            2'600'000}}) {
    for (std::uint64_t t = fake.clock.NowMicros(), i = 0; i < 4000; t += 30'000, ++i) {
      fake.line.Deliver(c.pattern[i % c.pattern.size()], t);
    }
    const std::uint64_t start = fake.clock.NowMicros();
    EXPECT_EQ(Receive(), c.result);
    EXPECT_GE(fake.clock.NowMicros() - start, c.atLeastMicros);
    EXPECT_LT(fake.clock.NowMicros() - start, 3'000'000u);
    fake.clock.Advance(120'000'000);
    HartLink::ReceiveFrame(reply.data());  // the rest of the noise, purged
  }
}

TEST_F(HartLinkTest, TwentyPreamblesAreLegalTwentyOneAreNot) {
  Bytes twenty(20, 0xFF);
  twenty.insert(twenty.end(), kShortReply.begin() + 5, kShortReply.end());
  fake.line.DeliverNow(twenty);
  EXPECT_EQ(Receive(), serial::LinkResult::kOk);
  twenty.insert(twenty.begin(), 0xFF);
  fake.line.DeliverNow(twenty);
  EXPECT_EQ(Receive(), serial::LinkResult::kNoReply);
}

// A long-address burst frame (0x81) arriving while a short reply is
// expected is read whole by its own delimiter, checksum and all.
TEST_F(HartLinkTest, TheDelimiterReceivedSizesTheFrame) {
  const Bytes burst =
      WithChecksum(Hex("FFFFFFFFFF 81 DA 11 00 01 02 03 0B 0000 41400000 07 41480000"));
  fake.line.DeliverNow(burst);
  ASSERT_EQ(Receive(), serial::LinkResult::kOk);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 19), Bytes(burst.begin() + 5, burst.end() - 1));
  EXPECT_EQ(fake.line.Buffered(), 0u);
}

// The same stuck device on a pty through the real driver: 0xFF every 30 ms
// for as long as the read goes on. The read ends with "no reply" once the
// run outgrows any legal preamble count, while the bytes are still coming.
TEST(HartLinkPty, EndlessPreamblesEndTheReadThroughTheRealDriver) {
  support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  platform::PosixSerialDriver driver({{"COM8:", pty.slavePath()}});
  platform::ScopedServices useIt({&driver, nullptr, nullptr});
  ASSERT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);

  std::atomic<bool> done{false};
  std::atomic<int> written{0};
  std::thread device([&] {
    // Two minutes' worth at most; the read must end long before.
    for (int i = 0; i < 4000 && !done; ++i) {
      if (!pty.WriteMaster({0xFF})) break;
      ++written;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  });
  while (written == 0) std::this_thread::yield();
  std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
  const serial::LinkResult result = HartLink::ReceiveFrame(reply.data());
  done = true;
  device.join();
  // The link reads a byte at a time, so what it took is what is missing from
  // the line: at most the run one past the longest legal preamble count,
  // however the two threads were scheduled. A read that went on for the
  // whole stream would have taken every byte.
  const auto taken = static_cast<std::size_t>(serial::kMaxPreambles + 1);
  const auto sent = static_cast<std::size_t>(written.load());
  const bool restStayed = sent <= taken || pty.WaitSlaveBuffered(sent - taken);
  HartLink::CloseLink();
  EXPECT_EQ(result, serial::LinkResult::kNoReply);
  EXPECT_TRUE(restStayed) << "the read took more than " << taken << " of " << sent << " bytes";
}

}  // namespace
