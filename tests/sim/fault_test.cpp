// Faults a device shows on demand, each checked on the bytes it produces.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/segment.h"
#include "tests/sim/wire.h"

using simtest::Hex;
using simtest::kChar;
using simtest::Send;
using simtest::Values;

namespace {

constexpr std::uint64_t kSecond = 1'000'000;

class SimFault : public ::testing::Test {
 protected:
  sim::Segment segment;
  sim::Device& device = segment.Add(sim::DeviceConfig{});
  std::uint64_t t = kSecond;

  // A command-3 request, long frame, one second after the previous one.
  std::vector<std::uint8_t> Poll() {
    t += kSecond;
    return Values(Send(segment, simtest::kCmd3Long, t));
  }
  static std::uint8_t Code(const std::vector<std::uint8_t>& longReply) { return longReply.at(13); }
};

TEST_F(SimFault, SilentDeviceSendsNothingButCountsWhatItSaw) {
  device.faults.silent = true;
  EXPECT_TRUE(Poll().empty());
  EXPECT_EQ(device.Seen(3), 1u);
  EXPECT_EQ(device.AnsweredTotal(), 0u);
}

TEST_F(SimFault, BusyForTheNextTwoThenAnswers) {
  device.faults.busy = 2;
  EXPECT_EQ(Poll(), Hex("FF FF FF FF FF 86 9A 11 00 01 02 03 02 20 00 2F"));
  EXPECT_EQ(Code(Poll()), 0x20);
  const auto third = Poll();
  EXPECT_EQ(Code(third), 0);
  EXPECT_EQ(third.size(), 5u + 8 + 2 + 9 + 1);  // current and PV
}

TEST_F(SimFault, DelayedResponseInitiatedThenRunning) {
  device.faults.delayed = 3;
  EXPECT_EQ(Code(Poll()), 0x21);
  EXPECT_EQ(Code(Poll()), 0x22);
  EXPECT_EQ(Code(Poll()), 0x22);
  EXPECT_EQ(Code(Poll()), 0);
  device.faults.delayed = 1;  // a new delayed response starts afresh
  EXPECT_EQ(Code(Poll()), 0x21);
}

TEST_F(SimFault, CommunicationErrorOnTheNextRequestOnly) {
  device.faults.commErrors = 1;
  device.faults.commErrorBits = 0x10;  // overrun
  EXPECT_EQ(Poll(), Hex("FF FF FF FF FF 86 9A 11 00 01 02 03 02 90 00 9F"));
  EXPECT_EQ(Code(Poll()), 0);
}

TEST_F(SimFault, WrongChecksumOnEveryReply) {
  device.faults.badChecksums = sim::kEvery;
  for (int i = 0; i < 2; ++i) {
    const auto r = Poll();
    std::uint8_t sum = 0;
    for (std::size_t k = 5; k + 1 < r.size(); ++k) sum ^= r[k];
    EXPECT_NE(sum, r.back());
  }
}

TEST_F(SimFault, GarbageBeforePreamblesAndMorePreambles) {
  device.faults.garbage = {0x00, 0x00, 0x5A};
  device.config.responsePreambles = 20;
  const auto r = Poll();
  ASSERT_GT(r.size(), 24u);
  EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.begin() + 3), Hex("00 00 5A"));
  EXPECT_EQ(std::vector<std::uint8_t>(r.begin() + 3, r.begin() + 23),
            std::vector<std::uint8_t>(20, 0xFF));
  EXPECT_EQ(r[23], 0x86);
}

TEST_F(SimFault, TruncatedAfterKBytesForTheNextReply) {
  device.faults.truncateAfter = 12;
  device.faults.truncations = 1;
  EXPECT_EQ(Poll(), Hex("FF FF FF FF FF 86 9A 11 00 01 02 03"));
  EXPECT_EQ(Poll().size(), 25u);
}

TEST_F(SimFault, SlowTurnaroundDelaysTheFirstByte) {
  device.config.turnaroundChars = 28;
  const auto r = Send(segment, simtest::kCmd3Long, 7 * kSecond);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r.front().atMicros, 7 * kSecond + 28 * kChar);
}

TEST_F(SimFault, EchoReturnsTheRequestAsItWentOutThenTheReply) {
  device.faults.echo = true;
  const auto r = Send(segment, simtest::kCmd3Long, 3 * kSecond);
  ASSERT_EQ(r.size(), 14u + 25);
  const auto v = Values(r);
  EXPECT_EQ(std::vector<std::uint8_t>(v.begin(), v.begin() + 14), Hex(simtest::kCmd3Long));
  EXPECT_EQ(r[13].atMicros, 3 * kSecond);
  EXPECT_EQ(r[14].atMicros, 3 * kSecond + 2 * kChar);
}

TEST_F(SimFault, DropNextNIgnoresExactlyThoseRequests) {
  device.faults.dropNext = 2;
  EXPECT_TRUE(Poll().empty());
  EXPECT_TRUE(Poll().empty());
  EXPECT_FALSE(Poll().empty());
  EXPECT_EQ(device.Dropped(), 2u);
  EXPECT_EQ(device.Seen(3), 3u);
  EXPECT_EQ(device.Answered(3), 1u);
}

TEST_F(SimFault, RandomDropsAreCountedAndRepeatWithTheSeed) {
  device.faults.dropFraction = 0.05;
  device.faults.seed = 42;
  std::vector<bool> silentPolls;
  for (int i = 0; i < 1000; ++i) silentPolls.push_back(Poll().empty());
  const auto missed =
      static_cast<std::uint32_t>(std::count(silentPolls.begin(), silentPolls.end(), true));
  EXPECT_EQ(device.Dropped(), missed);
  EXPECT_GT(missed, 25u);
  EXPECT_LT(missed, 80u);

  sim::Segment again;
  auto& twin = again.Add(sim::DeviceConfig{});
  twin.faults = device.faults;
  twin.faults.dropFraction = 0.05;
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(Send(again, simtest::kCmd3Long, (i + 2) * kSecond).empty(), silentPolls[i]) << i;
  }
}

TEST_F(SimFault, BurstFramesAboutThreeTimesASecond) {
  EXPECT_TRUE(segment.Unsolicited(kSecond).empty());
  device.faults.burst = true;  // the schedule starts where the last window ended
  const auto bytes = segment.Unsolicited(2 * kSecond);
  EXPECT_EQ(device.BurstsSent(), 3u);
  // Each byte is readable at its stop bit, one character after it began.
  EXPECT_EQ(bytes.front().atMicros, kSecond + sim::kCharacterMicros);
  // A revision-7 device bursts long command-3 frames with the burst bit in
  // its address.
  const auto v = Values(bytes);
  ASSERT_GE(v.size(), 28u);
  EXPECT_EQ(std::vector<std::uint8_t>(v.begin() + 5, v.begin() + 15),
            Hex("81 DA 11 00 01 02 03 0B 00 00"));
  for (std::size_t i = 1; i < bytes.size(); ++i)
    EXPECT_GT(bytes[i].atMicros, bytes[i - 1].atMicros);

  // Before revision 5 the frames are short. This fourth frame names the
  // secondary master: the master bit alternates from frame to frame.
  device.config.universalRevision = 4;
  const auto old = Values(segment.Unsolicited(3 * kSecond));
  ASSERT_GE(old.size(), 24u);
  EXPECT_EQ(std::vector<std::uint8_t>(old.begin() + 5, old.begin() + 11), Hex("01 40 03 0B 00 00"));
}

TEST_F(SimFault, LongBurstFramesAndAnotherMastersRequests) {
  segment.Unsolicited(kSecond);
  device.config.universalRevision = 4;
  device.faults.burst = true;
  device.faults.burstLong = true;
  device.faults.otherMaster = true;
  const auto v = Values(segment.Unsolicited(kSecond + 840'000));
  // Both are due at one second. The burst goes first and names the primary
  // master, which hands the turn to the secondary: it asks at once and the
  // device answers it (master bit clear), then bursts again right after
  // the answer, naming the secondary master this time.
  ASSERT_EQ(v.size(), 25u + 14 + 21 + 25);
  EXPECT_EQ(v[5], 0x81);
  EXPECT_EQ(v[6], 0xDA);
  EXPECT_EQ(std::vector<std::uint8_t>(v.begin() + 25, v.begin() + 39),
            Hex("FF FF FF FF FF 82 1A 11 00 01 02 01 00 8B"));
  EXPECT_EQ(std::vector<std::uint8_t>(v.begin() + 39 + 5, v.begin() + 39 + 13),
            Hex("86 1A 11 00 01 02 01 07"));
  EXPECT_EQ(v[60 + 5], 0x81);
  EXPECT_EQ(v[60 + 6], 0x5A);
}

// The master does not listen before it talks. A request begun while a burst
// frame is on the line is lost in the collision, and the device, which
// cannot know, re-synchronises the loop a slave time-out (28 characters)
// after the line went quiet; one that finds the line quiet is answered
// after the turnaround, however busy the device is bursting, never behind
// a backlog, and the device bursts right after the answer.
TEST_F(SimFault, BurstingDeviceAnswersInItsTurnaroundOrLosesTheRequestToACollision) {
  device.faults.burst = true;
  segment.Unsolicited(t);
  int answered = 0;
  int collided = 0;
  std::uint64_t lineFreeAt = 0;  // the stop bit of the last byte the device sent
  const auto onLine = [&](const std::vector<sim::TimedByte>& bytes) {
    if (!bytes.empty()) lineFreeAt = std::max(lineFreeAt, bytes.back().atMicros);
  };
  for (int i = 1; i <= 40; ++i) {
    const std::uint64_t end = t + i * 610'000;
    const std::uint64_t start = end - 13 * kChar;
    onLine(segment.Unsolicited(start));
    const std::uint32_t collisions = segment.Collisions();
    const auto reply = Send(segment, simtest::kCmd3Long, end);
    const auto after = segment.Unsolicited(end + 500'000);
    const bool lineBusy = segment.Collisions() > collisions;
    if (lineBusy) {
      ++collided;
      EXPECT_TRUE(reply.empty()) << "request " << i;
      // The resynchronising burst (its delimiter after five preambles)
      // begins a slave time-out after the last byte before it: the garbled
      // rest of the frame the request met, or the request itself.
      const auto next = std::find_if(after.begin(), after.end(), [&](const sim::TimedByte& b) {
        return b.atMicros > end && b.value == 0x81;
      });
      ASSERT_NE(next, after.end()) << "request " << i;
      const auto first = next - 5;
      const std::uint64_t quiet =
          std::max(end, first == after.begin() ? lineFreeAt : std::prev(first)->atMicros);
      EXPECT_EQ(first->atMicros - quiet, 29 * kChar) << "request " << i;
    } else {
      ++answered;
      ASSERT_FALSE(reply.empty()) << "request " << i;
      EXPECT_EQ(reply.front().atMicros, end + 2 * kChar) << "request " << i;
      // The next burst waits until the answer is over.
      if (!after.empty()) {
        EXPECT_GT(after.front().atMicros, reply.back().atMicros);
      }
    }
  }
  EXPECT_GT(answered, 0);
  EXPECT_GT(collided, 0);
  EXPECT_EQ(device.Seen(3), static_cast<std::uint32_t>(answered));
}

}  // namespace
