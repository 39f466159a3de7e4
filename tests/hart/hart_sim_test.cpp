// The master against simulated field devices: the simulator has its own
// frame code, so each side checks the other. Everything runs the real
// SerialPort and HartLink on the in-memory line in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
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
    std::uint8_t need = 5;  // preambles the device needs to hear a request
  };
  for (const Case c : {Case{5, false}, Case{6, false, 7}, Case{7, false}, Case{4, true, 7}}) {
    SCOPED_TRACE(int{c.revision});
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    sim::DeviceConfig config = Config(c.revision, c.legacy);
    config.requestPreambles = c.need;
    sim::Device& field = segment.Add(config);
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

// One press in virtual time against a revision-7 device bursting on a
// strict period, as the Poll button makes it: open, the modem's 1000 ms
// settle, Poll(0, 2), 500 ms, the tag (tried twice); then a PV read.
struct Press {
  bool found = false, tag = false, pv = false;
  std::uint64_t millis = 0;  // press to verdict
};

Press PressAgainstBursts(std::uint64_t periodMicros, std::size_t variables,
                         std::uint64_t phaseMicros) {
  support::FakePlatform fake;
  sim::Segment segment;
  sim::DeviceConfig c = Config(7);
  c.variables.resize(variables);
  sim::Device& field = segment.Add(c);
  field.faults.burst = true;
  field.faults.burstStrict = true;
  field.faults.burstPeriodMicros = periodMicros;
  support::SimLine link(fake.line, segment);
  fake.clock.Advance(phaseMicros);

  Press press;
  const std::uint64_t start = fake.clock.NowMicros();
  HartDevice device;
  if (device.Open(8, 1200) != serial::LinkResult::kOk) return press;
  HartDevice::Settle(1000);
  press.found = device.Poll(0, 2) && device.Identifier() == 0xA1B2C3u;
  if (press.found) {
    platform::Sleep(500);
    press.tag = Tag(device) == "TT-7    ";
    if (!press.tag) press.tag = Tag(device) == "TT-7    ";
  }
  press.millis = (fake.clock.NowMicros() - start) / 1000;
  std::uint8_t data[hart::kCommandDataSize];
  press.pv = press.found && device.SendCommand(3, data) && hart::ToHostFloat(data) == 16.0f;
  device.Close();
  return press;
}

// Periods from `first` to `last` ms in `step` ms steps, 40-character (four
// variables) and 25-character (one) burst frames, `phases` phases each.
// Every press must find the device, read its tag and then its PV, and end
// within 8 s.
void SweepBurstPeriods(int first, int last, int step, int phases) {
  int failed = 0;
  std::uint64_t worst = 0;
  for (const std::size_t variables : {std::size_t{4}, std::size_t{1}}) {
    for (int period = first; period <= last; period += step) {
      for (int phase = 0; phase < phases; ++phase) {
        const std::uint64_t periodMicros = static_cast<std::uint64_t>(period) * 1000;
        const Press p = PressAgainstBursts(periodMicros, variables, periodMicros * phase / phases);
        worst = std::max(worst, p.millis);
        if (!p.found || !p.tag || !p.pv || p.millis >= 8000) {
          if (++failed <= 5) {
            ADD_FAILURE() << variables << " variables, period " << period << " ms, phase " << phase
                          << ": found " << p.found << ", tag " << p.tag << ", pv " << p.pv << ", "
                          << p.millis << " ms";
          }
        }
      }
    }
  }
  EXPECT_EQ(failed, 0);
  std::printf("burst periods %d-%d ms every %d ms, %d phases: %d failed, worst press %llu ms\n",
              first, last, step, phases, failed, static_cast<unsigned long long>(worst));
}

// A request begun while a burst frame is on the line is lost, and the
// device bursts on regardless: only a master that talks in the quiet after
// a frame gets through at every phase.
TEST(HartSimBurst, EveryPressFindsADeviceBurstingOnAStrictPeriod) {
  SweepBurstPeriods(250, 1000, 7, 8);
}

// The whole table: 1 ms steps, 50 phases (about 75 000 presses). Run with
// --gtest_also_run_disabled_tests.
TEST(HartSimBurst, DISABLED_EveryPeriodAndPhase) {
  SweepBurstPeriods(250, 1000, 1, 50);
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

// A modem that echoes hands each request back before the reply: every
// command is answered at its first attempt, in both frame formats.
TEST(HartSimEcho, EveryCommandIsAnsweredAtTheFirstAttempt) {
  for (const std::uint8_t revision : {7, 4}) {
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    segment.Add(Config(revision, revision < 5)).faults.echo = true;
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    ASSERT_TRUE(device.Poll(0, 2));
    EXPECT_EQ(Tag(device), "TT-" + std::to_string(revision) + "    ");
    std::uint8_t data[hart::kCommandDataSize];
    EXPECT_TRUE(device.SendCommand(3, data));
    EXPECT_EQ(fake.line.writes().size(), 3u) << int{revision};
  }
}

// A poll through a modem keyed by RTS: RTS up, 5 ms, the request, RTS down
// one character after it has left; DTR held on. The reply is read 500 ms
// after the request has left, as with a modem that keys itself, so the
// press is only the lead longer.
TEST(HartSimKeying, RtsFramesEachRequestAndTheReplyIsReadWhenItWasBefore) {
  struct Press {
    std::vector<support::TimedLineEvent> events;
    std::uint64_t readAfterWrite = 0, took = 0;
    std::uint32_t dtrMode = 0;
  };
  const auto press = [](serial::Keying keying) {
    Press p;
    support::FakePlatform fake;
    sim::Segment segment;
    support::SimLine simLine(fake.line, segment);
    segment.Add(Config(7));
    support::SerialTap tap(fake.driver);
    std::uint64_t writtenAt = 0;
    tap.afterWrite = [&](std::uint32_t) { writtenAt = fake.clock.NowMicros(); };
    tap.afterRead = [&](std::uint32_t) {
      if (p.readAfterWrite == 0) p.readAfterWrite = fake.clock.NowMicros() - writtenAt;
    };
    platform::ScopedServices useTap({&tap, nullptr, nullptr});
    HartLink::SetKeying(keying);
    HartDevice device;
    EXPECT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    HartLink::SetKeying(serial::Keying::kSelf);
    p.dtrMode = platform::line::DtrMode(fake.line.settings.flags);
    const std::uint64_t start = fake.clock.NowMicros();
    EXPECT_TRUE(device.Poll(0, 1));
    p.took = fake.clock.NowMicros() - start;
    p.events = fake.line.lineEvents();
    return p;
  };
  const Press self = press(serial::Keying::kSelf);
  const Press rts = press(serial::Keying::kRts);

  using support::LineEvent;
  ASSERT_EQ(rts.events.size(), 3u);
  const std::uint64_t t = rts.events[0].atMicros;
  EXPECT_EQ(rts.events[0].event, LineEvent::RtsOn);
  EXPECT_EQ(rts.events[1].event, LineEvent::Written);
  EXPECT_EQ(rts.events[1].atMicros - t, 5'000 + 12 * support::CharacterMicros(1200));
  EXPECT_EQ(rts.events[2].event, LineEvent::RtsOff);
  EXPECT_EQ(rts.events[2].atMicros - rts.events[1].atMicros, 10'000u);
  EXPECT_EQ(rts.dtrMode, platform::line::kLineModeEnabled);
  EXPECT_EQ(self.dtrMode, platform::line::kLineModeDisabled);
  EXPECT_EQ(self.events.size(), 1u) << "a modem that keys itself: no line is touched";
  EXPECT_EQ(self.readAfterWrite, 500'000u);
  EXPECT_EQ(rts.readAfterWrite, self.readAfterWrite);
  EXPECT_EQ(rts.took - self.took, 5'000u);
}

TEST_F(HartSimTest, AKeyedWriteThatFailsStillDropsRts) {
  HartLink::theSerialPort.keying = serial::Keying::kRts;
  fake.line.writeResult = platform::kErrorTimeout;
  const std::uint8_t request[] = {0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
  EXPECT_EQ(HartLink::SendFrame(request, sizeof request), serial::LinkResult::kWriteIncomplete);
  EXPECT_EQ(fake.line.lineEvents().back().event, support::LineEvent::RtsOff);
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

// Served in real time on a pty to the real driver: a revision-7 device
// bursting four variables on a strict 445 ms period (a 40-character frame
// and 8 quiet characters), and a secondary master asking it every second.
// Every press finds the device and reads its tag, and the master never
// takes the secondary master's exchange for its own.
TEST(HartPty, SharedLineWithStrictBurstsAndASecondaryMaster) {
  sim::Segment segment;
  sim::DeviceConfig c;
  c.universalRevision = 7;
  c.variables = {{sim::kUnitBar, 1.5f}, {32, 21.25f}, {39, 16.0f}, {7, -3.0f}};
  sim::Device& field = segment.Add(c);
  field.faults.burst = true;
  field.faults.burstStrict = true;
  field.faults.burstPeriodMicros = 445'000;
  field.faults.otherMaster = true;
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;

  platform::PosixSerialDriver driver({{"COM8:", server.SlavePath()}});
  platform::ScopedServices useIt({&driver, nullptr, nullptr});
  int passed = 0;
  for (int i = 0; i < 4; ++i) {
    HartDevice device;
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    if (device.Poll(0, 2) && device.Identifier() == 258u && ::Tag(device) == "PT-101  ") ++passed;
    device.Close();
  }
  server.Stop();
  std::uint32_t bursts = 0, secondary = 0;
  server.WithSegment([&](sim::Segment& s) {
    bursts = s.At(0).BurstsSent();
    secondary = s.At(0).Answered(1);
  });
  EXPECT_EQ(passed, 4);
  EXPECT_GT(bursts, 4u);
  EXPECT_GT(secondary, 0u) << "the secondary master was never on the line";
}

}  // namespace
