#include "hart/hart_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"
#include "tests/support/scripted_device.h"

namespace {

using hart::HartDevice;
using support::Op;
using Bytes = std::vector<std::uint8_t>;

using support::Hex;
using support::WithChecksum;

using support::ScriptedDevice;

// Command-0 replies at polling address 0.
const Bytes kExpandedIdentity =
    WithChecksum(Hex("FFFFFFFFFF 06 80 00 0E 0000 FE 1A 11 05 05 01 02 03 00 AB CD EF"));
const Bytes kLegacyIdentity =
    WithChecksum(Hex("FFFFFFFFFF 06 80 00 0E 0000 2C 05 04 01 02 03 00 12 34 56 00 00"));

class HartDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk); }

  support::FakePlatform fake;
  ScriptedDevice field{fake.line};
  HartDevice device;
  std::uint8_t data[hart::kCommandDataSize] = {};
};

TEST_F(HartDeviceTest, PollRequestFramesAreTheProtocolsBytes) {
  EXPECT_FALSE(device.Poll(0, 2));
  const Bytes poll0 = Hex("FFFFFFFFFFFFFF 02 80 00 00 82");
  EXPECT_EQ(fake.line.writes(), (std::vector<Bytes>{poll0, poll0}));

  EXPECT_FALSE(device.Poll(3, 1));
  EXPECT_EQ(fake.line.writes().back(), Hex("FFFFFFFFFFFFFF 02 83 00 00 81"));
  EXPECT_EQ(device.pollAddress, 3);

  const auto before = fake.line.writes().size();
  EXPECT_FALSE(device.Poll(4, 0));
  EXPECT_EQ(fake.line.writes().size(), before);
}

TEST_F(HartDeviceTest, CommandRequestFramesAreTheProtocolsBytes) {
  device.universalRevision = 5;
  device.manufacturerCode = 0x1A;
  device.deviceType = 0x11;
  device.deviceId[0] = 0x00;
  device.deviceId[1] = 0x12;
  device.deviceId[2] = 0x34;
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().front(), Hex("FFFFFFFFFF 82 9A 11 00 12 34 03 00 2C"));

  device.pollAddress = 0;
  std::uint8_t small[hart::kCommandByteDataSize];
  EXPECT_FALSE(device.SendCommandByte(4, small, 1));
  EXPECT_EQ(fake.line.writes().back(), Hex("FFFFFFFFFF 02 80 04 01 01 86"));

  device.universalRevision = 4;
  device.pollAddress = 2;
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().back(), Hex("FFFFFFFFFF 02 82 03 00 83"));
}

TEST_F(HartDeviceTest, PollDecodesBothIdentityLayouts) {
  field.Then(kExpandedIdentity);
  ASSERT_TRUE(device.Poll(0, 2));
  EXPECT_EQ(device.manufacturerCode, 0x1A);
  EXPECT_EQ(device.deviceType, 0x11);
  EXPECT_EQ(device.universalRevision, 5);
  EXPECT_EQ(device.Identifier(), 0xABCDEFu);

  field.Then(kLegacyIdentity);
  ASSERT_TRUE(device.Poll(0, 1));
  EXPECT_EQ(device.manufacturerCode, 38);
  EXPECT_EQ(device.deviceType, 0x2C);
  EXPECT_EQ(device.universalRevision, 4);
  EXPECT_EQ(device.Identifier(), 0x123456u);
}

TEST_F(HartDeviceTest, PollRefusesAnswersThatCannotFillTheRecord) {
  field.Then(kExpandedIdentity);
  ASSERT_TRUE(device.Poll(0, 1));
  // A communication error and a corrupted frame: failed attempts; then
  // "not implemented" without data, which ends the poll. Record unchanged.
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 00 02 88 00")));
  Bytes corrupted = kLegacyIdentity;
  corrupted[20] ^= 0x01;
  field.Then(corrupted);
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 00 02 40 00")));
  EXPECT_FALSE(device.Poll(0, 5));
  EXPECT_EQ(fake.line.writes().size(), 4u);
  EXPECT_EQ(device.LastResult().outcome, hart::Outcome::kRefused);
  EXPECT_EQ(device.LastResult().responseCode, 64);
  EXPECT_EQ(device.Identifier(), 0xABCDEFu);
  EXPECT_EQ(device.manufacturerCode, 0x1A);
}

// An error-class response code is no answer, whatever data follow it.
TEST_F(HartDeviceTest, PollRefusesAnErrorResponseWithIdentityData) {
  Bytes invalid = Hex("FFFFFFFFFF 06 80 00 0E 0200 FE 1A 11 05 05 01 02 03 00 00 01 02");
  field.Then(WithChecksum(invalid));
  EXPECT_FALSE(device.Poll(0, 1));
  EXPECT_EQ(device.Identifier(), 0u);
}

// A device answering busy or delayed is there: Poll waits 500 ms and asks
// again without spending an attempt, at most 30 busy answers in a row.
TEST_F(HartDeviceTest, PollWaitsOutABusyDevice) {
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 00 02 2000")), 2);
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 00 02 2100")));
  field.Then(kExpandedIdentity);
  fake.clock.ClearSleeps();
  ASSERT_TRUE(device.Poll(0, 1));
  EXPECT_EQ(fake.line.writes().size(), 4u);
  EXPECT_EQ(fake.clock.sleeps(), (std::vector<std::uint32_t>{500, 500, 500, 500, 500, 500, 500}));
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 00 02 2200")), 40);
  EXPECT_FALSE(device.Poll(0, 1));
  EXPECT_EQ(device.LastRequests(), 30);
  EXPECT_EQ(device.LastResult().outcome, hart::Outcome::kBusy);
}

// Another station's frame in the reply slot widens the budget, and every
// request after it waits for the master's turn: on this otherwise silent
// line first RT1 (33 characters, 302 ms) of silence. When the request sent
// on that silence meets a burst frame again, silence is no longer trusted
// and the next request waits for a frame that gives the turn: here none
// comes, and the poll's 4 s bound lets it go. No fixed pause.
TEST_F(HartDeviceTest, ForeignFramesInTheReplySlotMakeTheNextRequestsWaitTheirTurn) {
  field.Then(WithChecksum(Hex("FFFFFFFFFF 81 9A 11 AB CD EF 03 0B 0000 41800000 07 42480000")), 2);
  field.Then(kExpandedIdentity);
  fake.clock.ClearSleeps();
  std::uint64_t start = fake.clock.NowMicros();
  ASSERT_TRUE(device.Poll(0, 1));
  EXPECT_EQ(fake.line.writes().size(), 3u);
  const auto& sleeps = fake.clock.sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1000u), 0);
  const std::uint64_t attempt = 12 * support::CharacterMicros(1200) + 500'000;
  EXPECT_GE(fake.clock.NowMicros() - start, 4'000'000u);
  EXPECT_LT(fake.clock.NowMicros() - start, 4'000'000u + attempt + 50'000);

  // The line stays shared: the next poll waits for its turn before its
  // first request too.
  field.Then(kExpandedIdentity);
  start = fake.clock.NowMicros();
  ASSERT_TRUE(device.Poll(0, 1));
  EXPECT_GE(fake.clock.NowMicros() - start, attempt + 302'000);
}

// Command 4 answered "not implemented" without data: no tag to unpack.
TEST_F(HartDeviceTest, LegacyTagReadRefusesAnErrorResponse) {
  device.universalRevision = 4;
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 04 02 4000")), 4);
  char text[hart::kTagTextSize] = {};
  EXPECT_FALSE(hart::ReadTag(device, text));
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(fake.line.writes().size(), 1u) << "a refusal is not asked again";
}

// Foreign frames after requests sent on silence (no frame gave the master
// its turn) raise the budget to ten attempts, but on a shared line no
// attempt starts after 4 s: the press still ends in time.
TEST_F(HartDeviceTest, ForeignFramesRaiseThePollBudgetWithinFourSeconds) {
  field.Then(WithChecksum(Hex("FFFFFFFFFF 01 80 03 06 0000 41800000")), 12);
  const std::uint64_t start = fake.clock.NowMicros();
  EXPECT_FALSE(device.Poll(0, 1));
  EXPECT_EQ(fake.line.writes().size(), 3u);
  EXPECT_LT(fake.clock.NowMicros() - start, 4'000'000u + 700'000u);
}

TEST_F(HartDeviceTest, SendCommandRetriesFailedReadsFourTimes) {
  device.universalRevision = 5;
  fake.clock.ClearSleeps();
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().size(), 4u);
  // write pause and 300 ms after each failed read; a second before the fourth.
  EXPECT_EQ(fake.clock.sleeps(),
            (std::vector<std::uint32_t>{500, 300, 500, 300, 500, 300, 500, 1000, 300}));
}

class LongCommandTest : public HartDeviceTest {
 protected:
  void SetUp() override {
    HartDeviceTest::SetUp();
    device.universalRevision = 7;
    device.manufacturerCode = 0x1A;
    device.deviceType = 0x11;
    device.deviceId[0] = 0x00;
    device.deviceId[1] = 0x12;
    device.deviceId[2] = 0x34;
  }
  // A command-3 reply from this device (or another), loop current 16 mA.
  static Bytes Command3Reply(const std::string& status = "0000",
                             const std::string& address = "9A 11 00 12 34") {
    return WithChecksum(
        Hex("FFFFFFFFFF 86 " + address + " 03 0B " + status + " 41800000 07 42480000"));
  }
};

TEST_F(LongCommandTest, AnswerDataIsCopiedFromTheFirstDataByte) {
  field.Then(Command3Reply());
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data), 16.0f);
  EXPECT_EQ(data[4], 7);
  EXPECT_FLOAT_EQ(hart::ToHostFloat(data + 5), 50.0f);
}

TEST_F(LongCommandTest, BusyRepliesDoNotUseUpAttempts) {
  field.Then(Command3Reply("2000"), 2);
  field.Then(Command3Reply("2200"));
  field.Then(Command3Reply());
  fake.clock.ClearSleeps();
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().size(), 4u);
  EXPECT_EQ(fake.clock.sleeps(), (std::vector<std::uint32_t>{500, 500, 500, 500, 500, 500, 500}));
}

TEST_F(LongCommandTest, BusyForeverGivesUpAfterThirtyReplies) {
  field.Then(Command3Reply("2100"), 40);
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().size(), 30u);
}

TEST_F(LongCommandTest, AnotherDevicesReplyIsRetried) {
  field.Then(Command3Reply("0000", "9A 11 00 12 35"));
  field.Then(WithChecksum(Hex("FFFFFFFFFF 86 9A 11 00 12 34 0D 02 0000")));  // wrong command
  field.Then(Command3Reply());
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().size(), 3u);
}

// Response code 64 (not implemented) with only the two status bytes: there
// is no loop current or PV to decode, and the device would say so again.
TEST_F(LongCommandTest, AnErrorResponseWithoutDataIsNoAnswer) {
  field.Then(WithChecksum(Hex("FFFFFFFFFF 86 9A 11 00 12 34 03 02 4000")), 4);
  std::fill(std::begin(data), std::end(data), 0x55);
  EXPECT_FALSE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().size(), 1u);
  EXPECT_EQ(device.LastResult().outcome, hart::Outcome::kRefused);
  EXPECT_EQ(device.LastResult().responseCode, 64);
  EXPECT_EQ(data[0], 0x55) << "nothing is copied from an error response";
  field.Forget();

  // One data byte short of current, unit and PV is as short.
  field.Then(WithChecksum(Hex("FFFFFFFFFF 86 9A 11 00 12 34 03 0A 0000 41800000 07 424800")), 4);
  EXPECT_FALSE(device.SendCommand(3, data));
}

TEST_F(LongCommandTest, CommunicationErrorsAndForeignFramesAreRetried) {
  field.Then(Command3Reply("8800"));
  field.Then(WithChecksum(Hex("FFFFFFFFFF 81 9A 11 00 12 34 03 0B 0000 41800000 07 42480000")));
  field.Then(Command3Reply("8200"), 2);
  field.Then(Command3Reply());
  // 2 + 2 failed attempts: more than a quiet line's 4, in the budget the
  // burst frame opened, each request in its turn, within the 5 s.
  ASSERT_TRUE(device.SendCommand(3, data));
  EXPECT_EQ(fake.line.writes().size(), 5u);
}

TEST_F(HartDeviceTest, SendCommandByteRetriesWithoutPauses) {
  std::uint8_t small[hart::kCommandByteDataSize];
  field.Then({});
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 04 02 8800")));
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 04 09 0000 01 414B71C31820")));
  fake.clock.ClearSleeps();
  ASSERT_TRUE(device.SendCommandByte(4, small, 1));
  EXPECT_EQ(small[0], 1);
  EXPECT_EQ(small[1], 0x41);
  EXPECT_EQ(fake.clock.sleeps(), (std::vector<std::uint32_t>{500, 500, 500}));
}

TEST_F(HartDeviceTest, ReadTagUsesTheCommandTheRevisionCalls) {
  char text[hart::kTagTextSize] = {};
  field.Then(WithChecksum(Hex("FFFFFFFFFF 06 80 04 09 0000 01 414B71C31820")));
  device.universalRevision = 4;
  ASSERT_TRUE(hart::ReadTag(device, text));
  EXPECT_EQ(std::string(text), "PT-101  ");
  EXPECT_EQ(fake.line.writes().back()[7], 4);

  device.universalRevision = 6;
  device.manufacturerCode = 0x1A;
  device.deviceType = 0x11;
  device.deviceId[0] = 1;
  device.deviceId[1] = 2;
  device.deviceId[2] = 3;
  field.Then(
      WithChecksum(Hex("FFFFFFFFFF 86 9A 11 01 02 03 0D 17 0000 208208208208"
                       "000000000000000000000000 010203")));
  char tag2[hart::kTagTextSize] = {};
  ASSERT_TRUE(hart::ReadTag(device, tag2));
  EXPECT_EQ(std::string(tag2), "HHHHHHHH");
  EXPECT_EQ(fake.line.writes().back()[5], 0x82);
  EXPECT_EQ(fake.line.writes().back()[11], 13);
}

TEST_F(HartDeviceTest, FailedTagReadLeavesTheTextAlone) {
  char text[hart::kTagTextSize] = {};
  device.universalRevision = 4;
  EXPECT_FALSE(hart::ReadTag(device, text));
  EXPECT_EQ(text[0], '\0');
}

TEST(HartFloat, BigEndianSinglePrecision) {
  const std::uint8_t sixteen[] = {0x41, 0x80, 0x00, 0x00};
  const std::uint8_t minusOneAndHalf[] = {0xBF, 0xC0, 0x00, 0x00};
  const std::uint8_t nan[] = {0x7F, 0xA0, 0x00, 0x00};
  EXPECT_EQ(hart::ToHostFloat(sixteen), 16.0f);
  EXPECT_EQ(hart::ToHostFloat(minusOneAndHalf), -1.5f);
  EXPECT_TRUE(std::isnan(hart::ToHostFloat(nan)));
}

TEST(HartStatus, OnlyBitSevenOfTheFirstByteIsACommunicationError) {
  const std::uint8_t commError[] = {0x88, 0x00};
  const std::uint8_t busy[] = {0x20, 0xFF};
  EXPECT_TRUE(HartDevice::CheckStatus(commError));
  EXPECT_FALSE(HartDevice::CheckStatus(busy));
}

}  // namespace

namespace {

const Bytes kBurstToSecondary = WithChecksum(Hex("FFFFFFFFFF 01 00 03 06 0000 41800000"));
const Bytes kBurstToPrimary = WithChecksum(Hex("FFFFFFFFFF 01 80 03 06 0000 41800000"));

// A request sent right after a frame that handed the master the line
// cannot have collided: another station's frame in its reply slot means
// only that nobody answered first, as at an empty address of a scan on a
// loop with a bursting device. The attempt is spent; the budget stays.
TEST_F(HartDeviceTest, AForeignFrameAfterARequestSentInTurnSpendsTheAttempt) {
  serial::HartLink::NoteOtherStation();
  fake.line.DeliverPaced(kBurstToSecondary, fake.clock.NowMicros() + 10'000);
  field.Then(kBurstToPrimary, 10);
  EXPECT_FALSE(device.Poll(0, 1));
  EXPECT_EQ(fake.line.writes().size(), 1u);
}

// On a shared line no attempt starts that its budget cannot see through
// the shortest wait for the turn (RT1 of silence): it would go out blind.
TEST_F(HartDeviceTest, NoAttemptStartsWithoutTimeLeftToWaitForTheTurn) {
  serial::HartLink::NoteOtherStation();
  hart::RetryPolicy policy = hart::kCommandBytePolicy;
  // The first attempt on this silent line: RT1 (302 ms), the 11-character
  // request and the write pause, about 905 ms; 195 ms are left after it.
  policy.sharedBudgetMs = 1100;
  std::uint8_t request[hart::kMaxRequestSize];
  const std::uint8_t one = 1;
  const std::size_t length = hart::BuildShortRequest(request, 5, 0, 4, &one, 1);
  hart::ReplyBuffer reply;
  const hart::TransactionResult r = hart::Transact(request, length, {}, policy, reply);
  EXPECT_EQ(r.outcome, hart::Outcome::kNoAnswer);
  EXPECT_EQ(r.requests, 1);
}

}  // namespace
