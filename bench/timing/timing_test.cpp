// The timing harness's instruments: if they miscount, every figure in the
// performance notes is wrong without anything looking odd.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench/timing/counting_clock.h"
#include "bench/timing/figures.h"
#include "bench/timing/recording_serial.h"
#include "hart/hart_device.h"
#include "platform/errors.h"
#include "platform/posix_serial.h"
#include "serial/hart_link.h"
#include "sim/pty_server.h"
#include "sim/segment.h"
#include "tests/support/fake_platform.h"

namespace {

using timing::Exchange;

TEST(CountingClock, SumsSleepsSeparatesReplyPollsAndStillSleeps) {
  support::VirtualClock inner;
  timing::CountingClock clock(inner);
  clock.Sleep(500);
  clock.Sleep(5);
  clock.Sleep(1000);
  clock.Sleep(5);
  EXPECT_EQ(clock.SleptMillis(), 1510u);
  EXPECT_EQ(clock.PollSleptMillis(), 10u);
  EXPECT_EQ(clock.sleeps(), (std::vector<std::uint32_t>{500, 5, 1000, 5}));
  EXPECT_EQ(inner.NowMillis(), 1510u) << "the inner clock must really sleep";

  const std::uint32_t before = clock.TickCount();
  clock.TickCount();
  EXPECT_EQ(clock.TickReads(), 2u);
  EXPECT_GE(clock.TickCount(), before) << "tick counts come from the inner clock";

  clock.Reset();
  EXPECT_EQ(clock.SleptMillis(), 0u);
  EXPECT_EQ(clock.PollSleptMillis(), 0u);
  EXPECT_EQ(clock.TickReads(), 0u);
  EXPECT_TRUE(clock.sleeps().empty());
}

// The recorder between the real link code and the in-memory line.
class RecordingSerialTest : public ::testing::Test {
 protected:
  support::FakePlatform fake;
  timing::RecordingSerialDriver recorder{fake.driver, [this] { return fake.clock.NowMicros(); }};
  platform::ScopedServices useRecorder{{&recorder, nullptr, nullptr}};
};

TEST_F(RecordingSerialTest, EachWriteStartsAnExchangeThatCollectsTheReplyBytes) {
  ASSERT_EQ(serial::HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);
  std::vector<std::uint8_t> reply(20, 0xFF);
  fake.line.onWrite = [&](const std::vector<std::uint8_t>&, std::uint64_t end) {
    fake.line.DeliverPaced(reply, end + 10'000);
  };
  const std::uint8_t request[12] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0x80, 0, 0, 0x82};
  ASSERT_EQ(serial::HartLink::SendFrame(request, 12), serial::LinkResult::kOk);
  std::uint8_t buffer[32];
  std::uint32_t got = 0;
  // The write pause has passed on the virtual clock: the whole reply is in.
  ASSERT_EQ(serial::HartLink::theSerialPort.Read(buffer, 8, &got), platform::kErrorSuccess);
  ASSERT_EQ(serial::HartLink::theSerialPort.Read(buffer, 32, &got), platform::kErrorSuccess);
  ASSERT_EQ(recorder.exchanges().size(), 1u);
  EXPECT_EQ(recorder.exchanges()[0].requestBytes, 12u);
  EXPECT_EQ(recorder.exchanges()[0].replyBytes, 20u);
  EXPECT_GT(recorder.exchanges()[0].lastByteAtMicros, recorder.exchanges()[0].writtenAtMicros);

  reply.assign(3, 0xFF);
  ASSERT_EQ(serial::HartLink::SendFrame(request, 12), serial::LinkResult::kOk);
  ASSERT_EQ(serial::HartLink::theSerialPort.Read(buffer, 32, &got), platform::kErrorSuccess);
  ASSERT_EQ(recorder.exchanges().size(), 2u);
  EXPECT_EQ(recorder.exchanges()[0].replyBytes, 20u) << "a later reply is not added to the first";
  EXPECT_EQ(recorder.exchanges()[1].replyBytes, 3u);
}

TEST_F(RecordingSerialTest, BytesBeforeAnyRequestAreUnsolicitedAndClearForgetsAll) {
  ASSERT_EQ(serial::HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);
  fake.line.DeliverNow({0x01, 0x02, 0x03});
  std::uint8_t buffer[8];
  std::uint32_t got = 0;
  ASSERT_EQ(serial::HartLink::theSerialPort.Read(buffer, 8, &got), platform::kErrorSuccess);
  EXPECT_TRUE(recorder.exchanges().empty());
  EXPECT_EQ(recorder.UnsolicitedBytes(), 3u);
  const std::uint8_t request[1] = {0xFF};
  ASSERT_EQ(serial::HartLink::theSerialPort.Write(request, 1, &got), platform::kErrorSuccess);
  recorder.Clear();
  EXPECT_TRUE(recorder.exchanges().empty());
  EXPECT_EQ(recorder.UnsolicitedBytes(), 0u);
}

TEST_F(RecordingSerialTest, AFailedOpenPassesTheErrorThroughAndLeavesNoDevice) {
  fake.line.Fail(support::Op::Open, 1, platform::kErrorAccessDenied);
  std::unique_ptr<platform::SerialDevice> device;
  EXPECT_EQ(recorder.Open("COM8:", device), platform::kErrorAccessDenied);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(recorder.Open("COM8:", device), platform::kErrorSuccess);
  EXPECT_NE(device, nullptr);
}

// The rig veltrop_timing builds: the real termios driver on the simulator's
// pty behind the recorder, the real clock behind the counting one.
TEST(TimingRig, APollOnThePtyIsRecordedWithItsFrameSizesAndItsPause) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;
  platform::PosixSerialDriver posix({{serial::kPortName, server.SlavePath()}});
  timing::RecordingSerialDriver recorder(posix);
  timing::CountingClock clock(platform::RealClock());
  {
    platform::ScopedServices useRig({&recorder, &clock, nullptr});
    hart::HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    // Two attempts, as the Poll dialog makes: a loaded machine may starve
    // the simulator's thread past the first one.
    EXPECT_TRUE(device.Poll(0, 2));
    device.Close();
  }
  server.Stop();
  ASSERT_FALSE(recorder.exchanges().empty());
  // Seven preambles and a 5-byte short frame; five preambles and the
  // revision-7 identity reply.
  EXPECT_EQ(recorder.exchanges().back().requestBytes, 12u);
  EXPECT_EQ(recorder.exchanges().back().replyBytes, 34u);
  EXPECT_EQ(clock.SleptMillis() - clock.PollSleptMillis(), 500u * recorder.exchanges().size())
      << "one write pause a request, nothing else but reply polls";
  EXPECT_GE(clock.TickReads(), 2u);
}

// Frame sizes as a revision-7 device and our master put them on the wire.
TEST(WireModel, OnAPtyOnlyTheReplyPastTheWritePauseSticksOut) {
  const timing::WireModel pty;
  // Command 0: a 12-character request, 2 characters' turnaround, a
  // 34-character reply.
  const Exchange poll{12, 34, 0, 0};
  EXPECT_NEAR(timing::WireMillis(poll, pty), 48 * 9.1667, 0.01);
  EXPECT_EQ(timing::StickOutMillis(poll, pty), 0.0);
  // A 255-byte reply runs far past the pause; the request is not counted.
  const Exchange big{14, 5 + 1 + 5 + 1 + 1 + 255 + 1, 0, 0};
  EXPECT_NEAR(timing::StickOutMillis(big, pty), (2 + 269) * 9.1667 - 500, 0.01);
  // Nobody answered: the request alone, no turnaround.
  const Exchange silent{12, 0, 0, 0};
  EXPECT_NEAR(timing::WireMillis(silent, pty), 12 * 9.1667, 0.01);
  EXPECT_EQ(timing::StickOutMillis(silent, pty), 0.0);
  EXPECT_NEAR(timing::StickOutMillis({poll, big, silent, big}, pty),
              2 * timing::StickOutMillis(big, pty), 0.01);
}

TEST(WireModel, OnAModemTheRequestComesBeforeThePause) {
  timing::WireModel modem;
  modem.line = timing::Line::Modem;
  EXPECT_NEAR(timing::StickOutMillis(Exchange{12, 34, 0, 0}, modem), 12 * 9.1667, 0.01);
  EXPECT_NEAR(timing::StickOutMillis(Exchange{12, 0, 0, 0}, modem), 12 * 9.1667, 0.01)
      << "an unanswered request still took its time";
  EXPECT_NEAR(timing::StickOutMillis(Exchange{14, 269, 0, 0}, modem),
              14 * 9.1667 + (2 + 269) * 9.1667 - 500, 0.01);
}

TEST(WireModel, LatenessIsMeasuredFromTheEndOfTheWritePause) {
  const timing::WireModel model;
  EXPECT_EQ(timing::LateMillis(Exchange{12, 34, 1'000'000, 1'400'000}, model), 0.0);
  EXPECT_NEAR(timing::LateMillis(Exchange{12, 34, 1'000'000, 1'530'000}, model), 30.0, 1e-9);
  EXPECT_EQ(timing::LateMillis(Exchange{12, 0, 1'000'000, 0}, model), 0.0) << "no reply";
  EXPECT_NEAR(
      timing::LateMillis({Exchange{12, 34, 0, 510'000}, Exchange{12, 34, 0, 520'000}}, model), 30.0,
      1e-9);
}

TEST(Summarise, MedianOfOddAndEvenCountsWithMinAndMax) {
  const timing::Summary odd = timing::Summarise({30, 10, 20});
  EXPECT_EQ(odd.median, 20);
  EXPECT_EQ(odd.min, 10);
  EXPECT_EQ(odd.max, 30);
  EXPECT_EQ(odd.count, 3u);
  const timing::Summary even = timing::Summarise({4, 1, 3, 2});
  EXPECT_EQ(even.median, 2.5);
  EXPECT_EQ(even.min, 1);
  EXPECT_EQ(even.max, 4);
  const timing::Summary none = timing::Summarise({});
  EXPECT_EQ(none.count, 0u);
  EXPECT_EQ(none.median, 0);
}

TEST(CpuClocks, ThreadCpuGrowsWithWorkAndNeverExceedsTheProcess) {
  // The process's readings enclose the thread's, so the process interval
  // holds the whole of the thread's work.
  const double process0 = timing::ProcessCpuMillis();
  const double thread0 = timing::ThreadCpuMillis();
  volatile std::uint64_t sink = 0;
  for (std::uint64_t i = 0; i < 20'000'000; ++i) sink = sink + i;
  const double thread = timing::ThreadCpuMillis() - thread0;
  const double process = timing::ProcessCpuMillis() - process0;
  EXPECT_GT(thread, 0.0);
  EXPECT_GE(process + 0.01, thread);
}

TEST(CpuClocks, EachThreadIsListedByIdAndNameWithItsOwnCpu) {
  std::atomic<int> tid{0};
  std::atomic<bool> done{false};
  std::thread burner([&] {
    pthread_setname_np(pthread_self(), "burner");
    const double start = timing::ThreadCpuMillis();
    volatile std::uint64_t sink = 0;
    while (timing::ThreadCpuMillis() - start < 60) sink = sink + 1;
    tid = timing::ThreadId();
    while (!done) std::this_thread::yield();
  });
  while (tid == 0) std::this_thread::yield();
  const auto threads = timing::ThreadsCpuMillis();
  done = true;
  burner.join();

  ASSERT_EQ(threads.count(tid), 1u);
  EXPECT_EQ(threads.at(tid).name, "burner");
  // 60 ms of its own CPU, seen at the kernel's tick resolution.
  EXPECT_GE(threads.at(tid).millis, 30.0);
  ASSERT_EQ(threads.count(timing::ThreadId()), 1u) << "the calling thread is listed too";
}

}  // namespace
