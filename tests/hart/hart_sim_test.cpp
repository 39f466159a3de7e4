// The master against simulated field devices: the simulator has its own
// frame code, so each side checks the other. Everything runs the real
// SerialPort and HartLink on the in-memory line in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "sim/pty_server.h"
#include "sim/segment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/serial_tap.h"
#include "tests/support/sim_line.h"

namespace {

using hart::HartDevice;
using serial::HartLink;

sim::DeviceConfig Config(std::uint8_t revision, bool legacy = false, std::uint8_t address = 0) {
  sim::DeviceConfig c;
  c.pollAddress = address;
  c.universalRevision = revision;
  c.legacyCommandZero = legacy;
  c.manufacturer = 0x26;
  c.deviceType = 0x42;
  c.deviceId = {0xA1, 0xB2, 0xC3};
  c.tag = "TT-" + std::to_string(revision);
  c.loopCurrent = 16.0f;
  c.variables = {{sim::kUnitBar, 1.5f}, {32, 21.25f}, {39, 16.0f}, {7, -3.0f}};
  return c;
}

std::string Tag(HartDevice& device) {
  char text[hart::kTagTextSize] = {};
  return hart::ReadTag(device, text) ? std::string(text) : std::string("<failed>");
}

class HartSimTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk); }

  sim::Device& Add(std::uint8_t revision, bool legacy = false, std::uint8_t address = 0) {
    return segment.Add(Config(revision, legacy, address));
  }
  std::string Tag() { return ::Tag(device); }

  support::FakePlatform fake;
  sim::Segment segment;
  support::SimLine simLine{fake.line, segment};
  HartDevice device;
};

TEST(HartSimIdentity, EveryRevisionAndLayoutGivesIdentityAndTag) {
  struct Case {
    std::uint8_t revision;
    bool legacy;
  };
  for (const Case c : {Case{5, false}, Case{6, false}, Case{7, false}, Case{4, true}}) {
    SCOPED_TRACE(int{c.revision});
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    sim::Device& field = segment.Add(Config(c.revision, c.legacy));
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    ASSERT_TRUE(device.Poll(0, 2));
    EXPECT_EQ(device.universalRevision, c.revision);
    EXPECT_EQ(device.Identifier(), 0xA1B2C3u);
    EXPECT_EQ(device.deviceType, 0x42);
    EXPECT_EQ(device.manufacturerCode, c.legacy ? 38 : 0x26);
    EXPECT_EQ(Tag(device), "TT-" + std::to_string(c.revision) + "    ");
    EXPECT_EQ(field.Seen(c.legacy ? 4 : 13), 1u);
  }
}

TEST_F(HartSimTest, LoopCurrentAndFourVariablesAtTrueTimingWithSlowTurnaround) {
  sim::Device& field = Add(7);
  // 250 ms before the first reply byte; the 40-byte reply itself takes
  // about 370 ms, so it is still arriving when the write pause ends.
  field.config.turnaroundChars = 27;
  ASSERT_TRUE(device.Poll(0, 1));
  std::uint8_t data[hart::kCommandDataSize];
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 1u) << "read whole at the first attempt";
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data), 16.0f);
  EXPECT_EQ(data[4], sim::kUnitBar);
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data + 5), 1.5f);
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data + 10), 21.25f);
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data + 20), -3.0f);
}

TEST_F(HartSimTest, NobodyAnsweringCostsTwoAttemptsOfAboutHalfASecond) {
  const std::uint64_t start = fake.clock.NowMicros();
  EXPECT_FALSE(device.Poll(0, 2));
  EXPECT_EQ(fake.line.writes().size(), 2u);
  // Each attempt: 12 characters on the wire and the 500 ms write pause; the
  // four empty reads before any preamble take no time.
  const std::uint64_t perAttempt = 12 * support::CharacterMicros(1200) + 500'000;
  // (The virtual tick count may add a millisecond when read twice at the
  // same instant.)
  EXPECT_GE(fake.clock.NowMicros() - start, 2 * perAttempt);
  EXPECT_LE(fake.clock.NowMicros() - start, 2 * perAttempt + 2'000);
}

// Bursting with one variable: a 25-character frame three times a second.
sim::DeviceConfig Bursting(std::uint8_t revision) {
  sim::DeviceConfig c = Config(revision);
  c.variables.resize(1);
  return c;
}

TEST_F(HartSimTest, BurstModeDeviceIsStillPolled) {
  sim::Device& field = segment.Add(Bursting(7));
  field.faults.burst = true;
  ASSERT_TRUE(device.Poll(0, 2));
  EXPECT_EQ(device.Identifier(), 0xA1B2C3u);
  EXPECT_GT(field.BurstsSent(), 0u);
}

// A revision-7 device bursting long frames three times a second, polled at
// 200 phases of its burst cycle: a request lost in a collision leaves a
// burst frame in the reply slot, the master waits a second and tries again
// within its widened budget, and every poll finds the device.
TEST(HartSimBurst, PollFindsABurstingDeviceAtEveryPhase) {
  int failed = 0;
  int foreignSeen = 0;
  for (int phase = 0; phase < 200; ++phase) {
    support::FakePlatform fake;
    sim::Segment segment;
    sim::Device& field = segment.Add(Bursting(7));
    field.faults.burst = true;
    support::SimLine link(fake.line, segment);
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    fake.clock.Sleep(static_cast<std::uint32_t>(phase * 7));
    fake.clock.ClearSleeps();
    if (!device.Poll(0, 2)) ++failed;
    const auto& sleeps = fake.clock.sleeps();
    foreignSeen += std::count(sleeps.begin(), sleeps.end(), 1000u) > 0 ? 1 : 0;
    device.Close();
  }
  EXPECT_EQ(failed, 0);
  EXPECT_GT(foreignSeen, 0) << "no phase put a burst frame in the reply slot";
}

// A slow device: 250 ms of turnaround, 20 preambles and a 35-byte command-3
// frame is read whole at the first request.
TEST_F(HartSimTest, SlowLongReplyIsReadAtTheFirstAttempt) {
  sim::DeviceConfig c = Config(7);
  c.responsePreambles = 20;
  c.turnaroundChars = 27;
  sim::Device& field = segment.Add(c);
  ASSERT_TRUE(device.Poll(0, 1));
  std::uint8_t data[hart::kCommandDataSize];
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 1u);
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data), 16.0f);
}

TEST_F(HartSimTest, BusyAndCommunicationErrorsAreRetried) {
  sim::Device& field = Add(6);
  ASSERT_TRUE(device.Poll(0, 1));
  field.faults.busy = 3;
  std::uint8_t data[hart::kCommandDataSize];
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 4u);
  field.faults.commErrors = 2;
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 7u);
  field.faults.commErrors = sim::kEvery;
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 11u);
}

TEST_F(HartSimTest, CorruptedRepliesAndLineNoiseAreSurvived) {
  sim::Device& field = Add(7);
  field.faults.badChecksums = 1;
  field.faults.garbage = {0x00, 0x00, 0x13, 0x00};
  ASSERT_TRUE(device.Poll(0, 2));
  EXPECT_EQ(field.Seen(0), 2u) << "the corrupted answer was not taken";
  field.faults.truncateAfter = 9;
  field.faults.truncations = 1;
  std::uint8_t data[hart::kCommandDataSize];
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 2u);
}

TEST_F(HartSimTest, OnlyTheAddressedDropDeviceAnswers) {
  Add(7, false, 2);
  sim::Device& five = Add(5, false, 5);
  five.config.deviceId = {0, 0, 5};
  EXPECT_FALSE(device.Poll(0, 1));
  ASSERT_TRUE(device.Poll(5, 1));
  EXPECT_EQ(device.Identifier(), 5u);
  EXPECT_EQ(device.pollAddress, 5);
  EXPECT_EQ(Tag(), "TT-5    ");
}

// A modem that echoes hands each request back before the reply. Every
// command is answered at its first attempt, in both frame formats; with
// nobody answering, the echo of a long-frame request (delimiter 82) is no
// other master's frame, so the command keeps its four attempts.
TEST(HartSimEcho, EveryCommandIsAnsweredAtTheFirstAttempt) {
  for (const std::uint8_t revision : {7, 4}) {
    SCOPED_TRACE(int{revision});
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    segment.Add(Config(revision, revision < 5)).faults.echo = true;
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    ASSERT_TRUE(device.Poll(0, 2));
    EXPECT_EQ(Tag(device), "TT-" + std::to_string(revision) + "    ");
    std::uint8_t data[hart::kCommandDataSize];
    EXPECT_EQ(device.SendCommand(3, data), true);
    EXPECT_EQ(fake.line.writes().size(), 3u);
  }
}

TEST_F(HartSimTest, AnEchoWithoutAReplyIsNotAnotherMastersFrame) {
  sim::Device& field = Add(7);
  field.faults.echo = true;
  ASSERT_TRUE(device.Poll(0, 1));
  field.faults.silent = true;
  std::uint8_t data[hart::kCommandDataSize];
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(field.Seen(3), 4u);
}

// A poll and a tag read through a modem keyed by RTS, against the same
// press through one that keys itself. Keyed, each request goes out as
// RTS up, 5 ms, the request, one character after it has left RTS down;
// DTR is held on while the port is open. Either way the reply is read
// exactly 500 ms after the request has left.
TEST(HartSimKeying, RtsFramesEachRequestAndTheReplyIsReadWhenItWasBefore) {
  struct Press {
    std::vector<support::TimedLineEvent> events;
    std::vector<std::uint64_t> readAfterWrite;
    std::uint64_t took = 0;
    std::uint32_t flags = 0;
  };
  const auto press = [](serial::Keying keying) {
    Press p;
    HartLink::SetKeying(keying);
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    segment.Add(Config(7));
    // Carrier detect hears our own transmitter for 3 ms after RTS drops.
    fake.line.carrierTailMicros = 3'000;
    support::SerialTap tap(fake.driver);
    std::uint64_t writtenAt = 0;
    tap.afterWrite = [&](std::uint32_t) { writtenAt = fake.clock.NowMicros(); };
    tap.afterRead = [&](std::uint32_t) {
      if (writtenAt == 0) return;
      p.readAfterWrite.push_back(fake.clock.NowMicros() - writtenAt);
      writtenAt = 0;
    };
    platform::ScopedServices useTap({&tap, nullptr, nullptr});
    HartDevice device;
    EXPECT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    p.flags = fake.line.settings.flags;
    const std::uint64_t start = fake.clock.NowMicros();
    EXPECT_TRUE(device.Poll(0, 2));
    EXPECT_EQ(Tag(device), "TT-7    ");
    p.took = fake.clock.NowMicros() - start;
    p.events = fake.line.lineEvents();
    HartLink::CloseLink();
    HartLink::SetKeying(serial::Keying::kSelf);
    return p;
  };
  const Press self = press(serial::Keying::kSelf);
  const Press rts = press(serial::Keying::kRts);

  using support::LineEvent;
  const auto at = [&](std::size_t i) { return rts.events[i].atMicros; };
  ASSERT_EQ(rts.events.size(), 6u);
  const std::size_t requestChars[] = {12, 14};  // command 0, then command 13
  for (std::size_t r = 0; r < 2; ++r) {
    SCOPED_TRACE(r);
    const std::size_t i = 3 * r;
    EXPECT_EQ(rts.events[i].event, LineEvent::RtsOn);
    EXPECT_EQ(rts.events[i + 1].event, LineEvent::Written);
    EXPECT_EQ(rts.events[i + 2].event, LineEvent::RtsOff);
    EXPECT_EQ(at(i + 1) - at(i), 5'000 + requestChars[r] * support::CharacterMicros(1200));
    EXPECT_EQ(at(i + 2) - at(i + 1), 10'000u);
  }
  EXPECT_EQ(platform::line::DtrMode(rts.flags), platform::line::kLineModeEnabled);
  EXPECT_EQ(platform::line::DtrMode(self.flags), platform::line::kLineModeDisabled);
  EXPECT_EQ(platform::line::RtsMode(rts.flags), platform::line::kLineModeDisabled);
  EXPECT_EQ(self.events.size(), 2u) << "a modem that keys itself: no line is touched";

  EXPECT_EQ(self.readAfterWrite, (std::vector<std::uint64_t>{500'000, 500'000}));
  EXPECT_EQ(rts.readAfterWrite, self.readAfterWrite);
  EXPECT_EQ(rts.took - self.took, 2 * 5'000u) << "only the RTS lead is added, per request";
}

TEST_F(HartSimTest, AKeyedWriteThatFailsStillDropsRts) {
  HartLink::theSerialPort.keying = serial::Keying::kRts;
  fake.line.writeResult = platform::kErrorTimeout;
  const std::uint8_t request[] = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
  EXPECT_EQ(HartLink::SendFrame(request, sizeof request), serial::LinkResult::kWriteIncomplete);
  ASSERT_FALSE(fake.line.lineEvents().empty());
  EXPECT_EQ(fake.line.lineEvents().back().event, support::LineEvent::RtsOff);
}

// A modem unplugged while a command waits for its answer: the command ends
// at once, without another attempt, and says why.
TEST(HartSimLostPort, ACommandEndsAtTheFirstFailedTransfer) {
  enum class Ask { kPoll, kCommand, kLegacyTag };
  for (const Ask ask : {Ask::kPoll, Ask::kCommand, Ask::kLegacyTag}) {
    SCOPED_TRACE(static_cast<int>(ask));
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    segment.Add(Config(ask == Ask::kLegacyTag ? 4 : 7, ask == Ask::kLegacyTag));
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    if (ask != Ask::kPoll) {
      ASSERT_TRUE(device.Poll(0, 1));
    }
    support::SerialTap tap(fake.driver);
    tap.afterWrite = [&](std::uint32_t) { fake.line.hungUp = true; };
    platform::ScopedServices useTap({&tap, nullptr, nullptr});
    HartLink::CloseLink();
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    const std::size_t writesBefore = fake.line.writes().size();
    std::uint8_t data[hart::kCommandDataSize];
    bool ok = true;
    switch (ask) {
      case Ask::kPoll:
        ok = device.Poll(0, 2);
        break;
      case Ask::kCommand:
        ok = device.SendCommand(3, data);
        break;
      case Ask::kLegacyTag:
        ok = device.SendCommandByte(4, data, 1);
        break;
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(device.portLost);
    EXPECT_EQ(fake.line.writes().size(), writesBefore + 1);
    EXPECT_TRUE(fake.op.shown().empty()) << "the caller tells the operator, once";
  }
}

// The real termios driver on a pseudo-terminal, the simulator serving the
// other end in real time.
TEST(HartPty, PollAndTagThroughTheRealDriver) {
  sim::Segment segment;
  sim::DeviceConfig c;
  c.deviceId = {0x00, 0x01, 0x02};
  c.tag = "PT-101";
  segment.Add(c);
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;

  platform::PosixSerialDriver driver({{"COM8:", server.SlavePath()}});
  platform::ScopedServices useIt({&driver, nullptr, nullptr});
  HartDevice device;
  ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
  EXPECT_TRUE(device.Poll(0, 2));
  EXPECT_EQ(device.Identifier(), 258u);
  char text[hart::kTagTextSize] = {};
  EXPECT_TRUE(hart::ReadTag(device, text));
  EXPECT_STREQ(text, "PT-101  ");
  device.Close();
  server.Stop();
}

// A revision-7 device bursting long frames, served in real time on a pty to
// the real driver: a request lost in a collision leaves a burst frame in the
// reply slot, and the master still finds the device every time.
TEST(HartPty, BurstingRevisionSevenDeviceIsFoundFifteenTimesOutOfFifteen) {
  sim::Segment segment;
  sim::DeviceConfig c;
  c.universalRevision = 7;
  segment.Add(c).faults.burst = true;
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;

  platform::PosixSerialDriver driver({{"COM8:", server.SlavePath()}});
  platform::ScopedServices useIt({&driver, nullptr, nullptr});
  int found = 0;
  for (int i = 0; i < 15; ++i) {
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    if (device.Poll(0, 2) && device.Identifier() == 258u) ++found;
    device.Close();
  }
  server.Stop();
  std::uint32_t bursts = 0;
  server.WithSegment([&](sim::Segment& s) { bursts = s.At(0).BurstsSent(); });
  EXPECT_EQ(found, 15);
  EXPECT_GT(bursts, 0u);
}

}  // namespace
