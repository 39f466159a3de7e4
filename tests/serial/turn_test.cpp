// The master's turn on a shared loop, against a scripted line in virtual
// time: what the link hears while it waits, and when it lets a request go.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/hart_link.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"

namespace {

using serial::HartLink;
using Turn = serial::HartLink::Turn;
using Bytes = std::vector<std::uint8_t>;
using support::Hex;
using support::WithChecksum;

constexpr std::uint64_t kChar = support::CharacterMicros(1200);
constexpr std::uint64_t kRt1 = serial::CharactersMillis(serial::kPrimaryRt1Chars) * 1000;

// Frames as they stand on the line, preambles included.
const Bytes kBurstToPrimary = WithChecksum(Hex("FFFFFFFFFF 01 80 03 06 0000 41800000"));
const Bytes kBurstToSecondary = WithChecksum(Hex("FFFFFFFFFF 01 00 03 06 0000 41800000"));
const Bytes kAnswerToSecondary = WithChecksum(Hex("FFFFFFFFFF 06 00 01 07 0000 07 41800000"));
const Bytes kAnswerToPrimary = WithChecksum(Hex("FFFFFFFFFF 06 80 01 07 0000 07 41800000"));
const Bytes kSecondaryRequest = WithChecksum(Hex("FFFFFFFFFF 02 00 01 00"));

Bytes Then(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class TurnTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk); }
  void TearDown() override { HartLink::CloseLink(); }

  // Puts `bytes` on the line back to back from 10 ms on; returns the time
  // its last byte is readable.
  std::uint64_t Line(const Bytes& bytes) {
    const std::uint64_t first = fake.clock.NowMicros() + 10'000;
    fake.line.DeliverPaced(bytes, first);
    return first + (bytes.size() - 1) * kChar;
  }

  support::FakePlatform fake;
};

// Each row: what the line carries while the master waits (`before`: heard
// in an earlier wait on this link), and when the master's turn comes. A
// slave's frame to one master hands the line to the other; an answer never
// does on a loop with a bursting device, whose burst frame comes first; a
// frame with bytes right behind it has not ended; RT1 counts from the last
// byte heard, stray or not.
TEST_F(TurnTest, TheFrameHeardDecidesWhoseTurnItIs) {
  enum class When { kAtEnd, kAfterRt1 };
  struct Case {
    const char* what;
    Bytes before;
    Bytes line;
    Turn turn;
    When when;
    bool atOnce = false;  // the line's bytes all arrive in one read
  };
  const Case cases[] = {
      {"burst frame naming the secondary master",
       {},
       kBurstToSecondary,
       Turn::kGranted,
       When::kAtEnd},
      {"burst frame naming us: the secondary's turn, left unused",
       {},
       kBurstToPrimary,
       Turn::kQuiet,
       When::kAfterRt1},
      {"answer to the secondary master", {}, kAnswerToSecondary, Turn::kGranted, When::kAtEnd},
      {"answer to the primary master", {}, kAnswerToPrimary, Turn::kQuiet, When::kAfterRt1},
      {"a master's request", {}, kSecondaryRequest, Turn::kQuiet, When::kAfterRt1},
      {"answer on a bursting loop: the burst frame after it decides", kBurstToPrimary,
       Then(kAnswerToSecondary, kBurstToSecondary), Turn::kGranted, When::kAtEnd},
      {"answer on a bursting loop, then a burst naming us", kBurstToPrimary,
       Then(kAnswerToSecondary, kBurstToPrimary), Turn::kQuiet, When::kAfterRt1},
      {"a frame with the next one's preambles right behind it",
       {},
       Then(kBurstToSecondary, Hex("FFFFFFFF")),
       Turn::kQuiet,
       When::kAfterRt1,
       true},
      {"stray bytes", {}, Hex("00 3C"), Turn::kQuiet, When::kAfterRt1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HartLink::CloseLink();
    ASSERT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);
    if (!c.before.empty()) {
      Line(c.before);
      EXPECT_NE(HartLink::AwaitTurn(2500), Turn::kNone);
    }
    std::uint64_t end = 0;
    if (c.atOnce) {
      end = fake.clock.NowMicros() + 10'000;
      for (const std::uint8_t b : c.line) fake.line.Deliver(b, end);
    } else {
      end = Line(c.line);
    }
    EXPECT_EQ(HartLink::AwaitTurn(2500), c.turn);
    const std::uint64_t now = fake.clock.NowMicros();
    if (c.when == When::kAtEnd) {
      EXPECT_GE(now, end);
      EXPECT_LT(now, end + 2 * kChar) << "within the link-grant time";
    } else {
      EXPECT_GE(now, end + kRt1);
      EXPECT_LT(now, end + kRt1 + 2 * kChar);
    }
  }
}

// Past its bound the wait lets the request go, but never into another
// station's frame: once the frame has ended, or the line has been idle for
// the link-grant time.
TEST_F(TurnTest, AtTheBoundTheRequestWaitsForTheFrameOnTheLine) {
  // A request sent on silence that met a burst frame: silence no longer
  // counts, so only the bound ends the next wait.
  const Bytes request = Hex("FFFFFFFFFFFFFF 02 80 00 00 82");
  ASSERT_EQ(HartLink::AwaitTurn(2500), Turn::kQuiet);
  ASSERT_EQ(HartLink::SendFrame(request.data(), request.size()), serial::LinkResult::kOk);
  fake.line.DeliverNow(kBurstToPrimary);
  std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
  ASSERT_EQ(HartLink::ReceiveFrame(reply.data()), serial::LinkResult::kOk);

  // A long frame begins 50 ms before the bound of 400 ms.
  const Bytes longFrame =
      WithChecksum(Then(Hex("FFFFFFFFFF 01 80 03 20"), Bytes(0x20, 0x00)));  // 43 characters
  const std::uint64_t start = fake.clock.NowMicros();
  fake.line.DeliverPaced(longFrame, start + 350'000);
  const std::uint64_t end = start + 350'000 + (longFrame.size() - 1) * kChar;
  EXPECT_EQ(HartLink::AwaitTurn(400), Turn::kNone);
  EXPECT_GE(fake.clock.NowMicros(), end);
  EXPECT_LT(fake.clock.NowMicros(), end + 2 * kChar);

  // Noise until 150 ms, past the bound of 100 ms: the request goes the
  // link-grant time (8 characters) after its last byte.
  const std::uint64_t from = fake.clock.NowMicros();
  for (std::uint64_t at = 60'000; at <= 150'000; at += 30'000) fake.line.Deliver(0x3C, from + at);
  EXPECT_EQ(HartLink::AwaitTurn(100), Turn::kNone);
  EXPECT_GE(fake.clock.NowMicros(), from + 150'000 + 8 * kChar);
  EXPECT_LT(fake.clock.NowMicros(), from + 150'000 + 8 * kChar + 10'000);
}

// What a reply slot holds tells the link whether other stations share the
// line: a whole frame of theirs or the wreck of a collision does; the
// modem's echo of our own request and a stray byte or two do not.
TEST_F(TurnTest, OnlyAnotherStationsTrafficMarksTheLineShared) {
  const Bytes request = Hex("FFFFFFFFFFFFFF 02 80 00 00 82");
  struct Case {
    const char* what;
    Bytes slot;
    bool shared;
  };
  const Case cases[] = {
      {"the modem's echo of the request alone", request, false},
      {"a stray byte", Hex("3C"), false},
      {"the echo and two stray bytes", Then(request, Hex("00 3C")), false},
      {"the tail of a frame the request collided with", Hex("00 41 80 00 00 C7"), true},
      {"a garbled frame", Hex("FFFFFFFFFF 01 80 03 02 00 00 7F"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HartLink::CloseLink();
    ASSERT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);
    ASSERT_EQ(HartLink::SendFrame(request.data(), request.size()), serial::LinkResult::kOk);
    fake.line.DeliverNow(c.slot);
    std::array<std::uint8_t, serial::kReplyBufferSize> reply{};
    EXPECT_NE(HartLink::ReceiveFrame(reply.data()), serial::LinkResult::kOk);
    EXPECT_EQ(HartLink::LineShared(), c.shared);
  }
}

// The modem's settle after the port opens is listened to: a frame of
// another station in it makes the first request wait its turn; noise does
// not.
TEST_F(TurnTest, TheSettleAfterOpeningIsHeard) {
  Line(Hex("00 3C 00"));
  HartLink::Settle(1000);
  EXPECT_FALSE(HartLink::LineShared());
  Line(Then(Hex("00"), kBurstToPrimary));
  HartLink::Settle(1000);
  EXPECT_TRUE(HartLink::LineShared());
}

// A capture of a shared loop shows what the master heard while it waited.
TEST_F(TurnTest, FramesHeardWhileWaitingGoToTheTrace) {
  struct Recorder final : serial::FrameObserver {
    void Sent(std::span<const std::uint8_t>) override {}
    void Received(std::span<const std::uint8_t> bytes, serial::LinkResult result,
                  std::size_t offset) override {
      if (result == serial::LinkResult::kOk)
        frames.emplace_back(bytes.begin() + offset, bytes.end());
    }
    std::vector<Bytes> frames;
  } recorder;
  HartLink::SetObserver(&recorder);
  Line(Then(kSecondaryRequest, kAnswerToSecondary));
  EXPECT_EQ(HartLink::AwaitTurn(2500), Turn::kGranted);
  HartLink::SetObserver(nullptr);
  ASSERT_EQ(recorder.frames.size(), 2u);
  EXPECT_EQ(recorder.frames[0], Bytes(kSecondaryRequest.begin() + 5, kSecondaryRequest.end()));
  EXPECT_EQ(recorder.frames[1], Bytes(kAnswerToSecondary.begin() + 5, kAnswerToSecondary.end()));
}

}  // namespace
