// What reaches the master on a bad line, and what it makes of it: each case
// puts a reply on the in-memory line as a modem would hand it over (noise,
// parity errors read as 0x00, lost and cut bytes, other senders' frames, a
// reply that comes too late) and states the outcome of a Poll. Whatever the
// line does, a wrong identity is never accepted.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hart/hart_device.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"
#include "tests/support/scripted_device.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

using support::Hex;
using support::WithChecksum;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Command-0 reply from polling address 0, identifier AB CD EF.
const Bytes kAnswer =
    WithChecksum(Hex("FFFFFFFFFF 06 80 00 0E 0000 FE 1A 11 05 07 01 02 03 00 AB CD EF"));
constexpr std::uint32_t kAnswerId = 0xABCDEF;
constexpr std::size_t kFrameStart = 5;  // after the preambles

// A burst-mode device's command-3 frame and a secondary master's command-1
// request, both well formed.
const Bytes kBurst = WithChecksum(Hex("FFFFFFFFFF 01 80 03 0B 0000 41800000 07 40490FD0"));
const Bytes kOtherMaster = WithChecksum(Hex("FFFFFFFFFF 82 1A 11 AB CD EF 01 00"));
// The device's answer to that request: address bit 7 clear, for the
// secondary master.
const Bytes kAnswerToOtherMaster =
    WithChecksum(Hex("FFFFFFFFFF 86 1A 11 AB CD EF 01 07 0000 07 41480000"));

using Reply = support::ScriptedReply;

class WireFaults : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk); }

  // Polls address 0 with two attempts. Returns the identifier taken, if any.
  std::optional<std::uint32_t> Poll(std::uint8_t address = 0) {
    const auto before = fake.line.writes().size();
    const std::uint64_t start = fake.clock.NowMicros();
    const bool answered = device.Poll(address, 2);
    requests = fake.line.writes().size() - before;
    elapsedMs = (fake.clock.NowMicros() - start) / 1000;
    if (!answered) return std::nullopt;
    return device.Identifier();
  }

  support::FakePlatform fake;
  support::ScriptedDevice field{fake.line};
  hart::HartDevice device;
  std::size_t requests = 0;
  std::uint64_t elapsedMs = 0;
};

struct Case {
  const char* name;
  std::vector<Reply> replies;      // to the first, second, ... request
  bool answered;                   // the poll finds the device
  std::size_t requests;            // requests it takes
  std::uint32_t minElapsedMs = 0;  // pauses the outcome must include
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class WireFaultCases : public WireFaults, public ::testing::WithParamInterface<Case> {};

TEST_P(WireFaultCases, OutcomeAsStated) {
  for (const Reply& r : GetParam().replies) field.Then(r);
  const auto id = Poll();
  EXPECT_EQ(id.has_value(), GetParam().answered);
  if (id) {
    EXPECT_EQ(*id, kAnswerId);
  }
  EXPECT_EQ(requests, GetParam().requests);
  EXPECT_GE(elapsedMs, GetParam().minElapsedMs);
  // Two attempts with their pauses; a foreign frame adds a second's wait
  // and attempts, but nothing here may take longer than that.
  EXPECT_LT(elapsedMs, 6'000u);
}

Bytes Truncated(std::size_t keep) {
  return Bytes(kAnswer.begin(), kAnswer.begin() + static_cast<std::ptrdiff_t>(keep));
}

const Case kCases[] = {
    {"NoiseBeforePreambles", {{Hex("13 37 C0 00 FE 06 80") + kAnswer}}, true, 1},
    // A parity error arrives as 0x00; a run of them is line noise.
    {"ZeroRunBeforePreambles", {{Bytes(40, 0x00) + kAnswer}}, true, 1},
    // A start that looks like a reply but fails its checksum costs the
    // attempt: the real reply behind it is purged with it.
    {"FalseStartThenRealFrame", {{Hex("FFFF 06 80 00 00 55") + kAnswer}, {kAnswer}}, true, 2},
    {"HeaderCutShort", {{Truncated(kFrameStart + 2)}, {kAnswer}}, true, 2},
    {"DataCutShort", {{Truncated(kAnswer.size() - 4)}, {kAnswer}}, true, 2},
    {"ChecksumMissing", {{Truncated(kAnswer.size() - 1)}, {kAnswer}}, true, 2},
    {"EveryReplyCutShort", {{Truncated(kFrameStart + 9)}, {Truncated(kFrameStart + 9)}}, false, 2},
    // One 0xFF, or a byte that is no delimiter, just before a reply is
    // noise: skipped, and the reply behind it found.
    {"OnePreambleAndNoiseBeforeReply", {{Hex("FF 3C") + kAnswer}}, true, 1},
    {"NoDelimiterAfterPreambles", {{Hex("FF FF 7F") + kAnswer}}, true, 1},
    {"ParityErrorAfterOnePreamble", {{Hex("FF 00") + kAnswer}}, true, 1},
    // Another station's frame ahead of the reply: allow more attempts, the
    // next one in the master's turn (here the silent line's RT1, 302 ms).
    {"BurstFrameBeforeReply", {{kBurst + kAnswer}, {kAnswer}}, true, 2, 2 * 610 + 302},
    {"BurstFrameAfterReply", {{kAnswer + kBurst}}, true, 1},
    {"OtherMasterBeforeReply", {{kOtherMaster + kAnswer}, {kAnswer}}, true, 2, 2 * 610 + 302},
    {"AnswerToTheSecondaryMasterIsNotOurs", {{kAnswerToOtherMaster}, {kAnswer}}, true, 2},
    {"SilentDevice", {}, false, 2, 2 * 500},
};

INSTANTIATE_TEST_SUITE_P(Line, WireFaultCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A parity error in any one byte: the attempt fails, and the second one
// reads right, unless at least two preambles are left after it: then the
// frame is found behind it. Never a wrong identity.
TEST_F(WireFaults, OneByteReadAsZeroAnywhereNeverGivesAWrongIdentity) {
  for (std::size_t at = 0; at < kAnswer.size(); ++at) {
    SCOPED_TRACE("byte " + std::to_string(at));
    Bytes hit = kAnswer;
    hit[at] = 0x00;
    field.Then({hit});
    field.Then({kAnswer});
    const auto id = Poll();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, kAnswerId);
    // (a byte that was 0x00 already reads as it was sent)
    EXPECT_EQ(requests, at + 2 < kFrameStart || kAnswer[at] == 0x00 ? 1u : 2u);
    device = hart::HartDevice{};
    field.Forget();
  }
}

// A byte lost anywhere: the reply is short by one, so the read waits out
// the gap and the attempt fails.
TEST_F(WireFaults, OneByteDroppedAnywhereCostsTheAttempt) {
  for (std::size_t at = kFrameStart; at < kAnswer.size(); ++at) {
    SCOPED_TRACE("byte " + std::to_string(at));
    Bytes hit = kAnswer;
    hit.erase(hit.begin() + static_cast<std::ptrdiff_t>(at));
    field.Then({hit});
    field.Then({kAnswer});
    const auto id = Poll();
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(*id, kAnswerId);
    EXPECT_EQ(requests, 2u);
    device = hart::HartDevice{};
    field.Forget();
  }
}

TEST_F(WireFaults, PreamblesAndDataBytesOfFFAreToldApart) {
  // Identifier FF FF FF, manufacturer and device type FF too: data bytes of
  // 0xFF after the delimiter are data, not preambles.
  field.Then(
      {WithChecksum(Hex("FFFFFFFFFF 06 80 00 0E 0000 FE FF FF 05 07 01 02 03 00 FF FF FF"))});
  const auto id = Poll();
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(*id, 0xFFFFFFu);
  EXPECT_EQ(device.manufacturerCode, 0xFF);
  EXPECT_EQ(requests, 1u);
}

TEST_F(WireFaults, LargestByteCountIsReadWhole) {
  Bytes frame = Hex("FFFFFFFFFF 06 80 00 FF 0000 FE 1A 11 05 07 01 02 03 00 AB CD EF");
  frame.resize(kFrameStart + 4 + 255, 0xA5);
  field.Then({WithChecksum(frame)});
  const auto id = Poll();
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(*id, kAnswerId);
  EXPECT_EQ(requests, 1u);
  EXPECT_EQ(fake.line.Buffered() + fake.line.InFlight(), 0u);
}

// A device at address 1 that answers 700 ms after the request, long after
// the read gave up. Its answer turns up while the master is already asking
// address 2, where nobody lives: it must not count as address 2's answer.
TEST_F(WireFaults, LateReplyIsNotTakenForTheNextAddress) {
  const Bytes fromAddress1 =
      WithChecksum(Hex("FFFFFFFFFF 06 81 00 0E 0000 FE 1A 11 05 07 01 02 03 00 11 11 11"));
  field.Then({fromAddress1, 700'000});
  const std::uint64_t start = fake.clock.NowMicros();
  EXPECT_FALSE(device.Poll(1, 1));
  // The late answer is still on its way when the next request goes out.
  ASSERT_LT(fake.clock.NowMicros() - start, 700'000u);
  EXPECT_FALSE(Poll(2).has_value());
  EXPECT_EQ(requests, 2u);
}

// A late answer that arrived whole between two conversations is waiting in
// the input buffer: it is discarded before the next request, which gets its
// own answer at the first attempt.
TEST_F(WireFaults, LateReplyWaitingInTheBufferIsDiscardedBeforeTheNextRequest) {
  const Bytes fromAddress1 =
      WithChecksum(Hex("FFFFFFFFFF 06 81 00 0E 0000 FE 1A 11 05 07 01 02 03 00 11 11 11"));
  field.Then({fromAddress1, 700'000});
  EXPECT_FALSE(device.Poll(1, 1));
  fake.clock.Advance(2'000'000);
  ASSERT_GT(fake.line.Buffered(), 0u);
  field.Then({kAnswer});
  const auto id = Poll(0);
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(*id, kAnswerId);
  EXPECT_EQ(requests, 1u);
}

// The tag read of an old device: a command-0 answer (a repeat of the poll's,
// say) must not pass for the command-4 answer.
TEST_F(WireFaults, ReplyToAnotherCommandIsNotTakenForTheTag) {
  const Bytes legacy =
      WithChecksum(Hex("FFFFFFFFFF 06 80 00 0E 0000 2C 05 04 01 02 03 00 12 34 56 00 00"));
  field.Then({legacy, 20'000});
  ASSERT_TRUE(Poll(0).has_value());
  ASSERT_EQ(device.universalRevision, 4);
  // Every command-4 request gets a command-0 reply.
  field.Then({legacy, 20'000}, 4);
  char tag[hart::kTagTextSize] = {};
  EXPECT_FALSE(hart::ReadTag(device, tag));
  EXPECT_STREQ(tag, "");
}

}  // namespace
