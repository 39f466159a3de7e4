// The checks every view runs, against simulated devices in virtual time:
// the loop check's verdict at and around its limit and where a device
// cannot be checked, and a reading the device refuses.
#include "hart/check.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "sim/segment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/sim_line.h"

namespace {

struct Checked {
  support::FakePlatform fake;
  sim::Segment segment;
  support::SimLine line{fake.line, segment};
  hart::HartDevice device;

  explicit Checked(const sim::DeviceConfig& config, const sim::Faults& faults = {}) {
    segment.Add(config).faults = faults;
    EXPECT_EQ(device.Open(hart::kPortNumber, hart::kHartBaudRate), serial::LinkResult::kOk);
    EXPECT_TRUE(device.Poll(config.pollAddress, 1));
  }
};

struct LoopCase {
  const char* name;
  std::function<void(sim::DeviceConfig&, sim::Faults&)> set;
  hart::LoopVerdict verdict;
  const char* why;  // for kNotChecked
  bool range;
};

// The default device: PV 12.5 bar on a range of 0 to 25 bar, 50 %, which
// asks for 12 mA; 0.25 % of the 16 mA span is 0.04 mA.
const LoopCase kLoopCases[] = {
    // 12.04f is a hair above 12.04: a deviation at the limit passes.
    {"DeviationAtTheLimitPasses", [](auto& c, auto&) { c.loopCurrent = 12.04f; },
     hart::LoopVerdict::kPass, "", true},
    {"JustBeyondTheLimitFails", [](auto& c, auto&) { c.loopCurrent = 12.0416f; },
     hart::LoopVerdict::kFail, "", true},
    {"TooLittleCurrentFailsToo", [](auto& c, auto&) { c.loopCurrent = 11.9f; },
     hart::LoopVerdict::kFail, "", true},
    {"PvOnAnotherRangeAsksForAnotherCurrent",
     [](auto& c, auto&) {
       c.lowerRange = 10.0f;
       c.upperRange = 20.0f;
       c.loopCurrent = 8.0f;  // 25 %
     },
     hart::LoopVerdict::kPass, "", true},
    {"WithoutCommand15TheCurrentIsStillChecked", [](auto&, auto& f) { f.notImplemented = {15}; },
     hart::LoopVerdict::kPass, "", false},
    {"WithoutCommand2ThereIsNothingToCheck", [](auto&, auto& f) { f.notImplemented = {2}; },
     hart::LoopVerdict::kNotChecked, "command 2 refused: 64 command not implemented", true},
    {"AFixedCurrentIsNotChecked",
     [](auto& c, auto&) {
       c.deviceStatus = 0x08;
       c.loopCurrent = 4.0f;
     },
     hart::LoopVerdict::kNotChecked, "the device holds its loop current fixed", true},
    {"AnEmptyRangeGivesNoPercent", [](auto& c, auto&) { c.upperRange = c.lowerRange; },
     hart::LoopVerdict::kNotChecked,
     "the device gives no number for its loop current or percent of range", true},
};

void PrintTo(const LoopCase& c, std::ostream* os) {
  *os << c.name;
}

class LoopCheck : public ::testing::TestWithParam<LoopCase> {};

TEST_P(LoopCheck, Judges) {
  sim::DeviceConfig config;
  sim::Faults faults;
  GetParam().set(config, faults);
  Checked checked(config, faults);
  const hart::LoopCheck loop = hart::CheckLoop(checked.device, hart::kLoopTolerance);
  EXPECT_EQ(loop.verdict, GetParam().verdict) << "deviation " << loop.deviation;
  EXPECT_EQ(loop.why, GetParam().why);
  ASSERT_EQ(loop.range.has_value(), GetParam().range);
  if (loop.range) {
    EXPECT_EQ(loop.range->lower, config.lowerRange);
    EXPECT_EQ(loop.range->upper, config.upperRange);
    EXPECT_EQ(loop.range->unit, config.variables[0].unit);
  }
  if (loop.verdict != hart::LoopVerdict::kNotChecked) {
    EXPECT_FLOAT_EQ(loop.measuredMa, config.loopCurrent);
    EXPECT_NEAR(loop.deviation, (config.loopCurrent - loop.expectedMa) / 16 * 100, 1e-4);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LoopCheck, ::testing::ValuesIn(kLoopCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DynamicReading, ARefusalIsToldApartFromSilence) {
  sim::Faults refuses;
  refuses.notImplemented = {3};
  Checked checked(sim::DeviceConfig{}, refuses);
  const hart::DynamicReading r = hart::ReadDynamicVariables(checked.device);
  EXPECT_EQ(r.outcome, hart::ReadOutcome::kRefused);
  EXPECT_EQ(r.refusal, 64);

  // The refusal is the last operation's, not left over for the next one.
  checked.segment.Find(0)->faults.silent = true;
  EXPECT_EQ(hart::ReadDynamicVariables(checked.device).outcome, hart::ReadOutcome::kNoAnswer);
  EXPECT_EQ(hart::CommandFailure(checked.device, 3), "no valid answer to command 3 in 4 requests");
}

}  // namespace
