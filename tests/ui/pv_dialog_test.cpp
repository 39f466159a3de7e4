#include "ui/pv_dialog.h"

#include <random>

#include "platform/errors.h"
#include "tests/support/toolkit_timers.h"
#include "tests/ui/gui_fixture.h"

namespace {

using support::Op;
using ui::PvDialog;

// A PV dialog opened on a device found by a poll, as the Poll dialog's PV
// button would open it.
class PvDialogTest : public uitest::GuiTest {
 protected:
  void Open(std::uint8_t revision = 7) {
    sim::Device& d = AddDevice(0, {0, 1, 2}, revision);
    d.config.loopCurrent = 16.0f;
    d.config.variables = {{sim::kUnitBar, 3.14159f}};
    ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
    ASSERT_TRUE(device.Poll(0, 2));
    device.Close();
    dialog.device = &device;
    dialog.tag = "PT-101  ";
    ASSERT_TRUE(dialog.Create());
  }
  void Start(const std::string& cycles) {
    dialog.SetDlgItemText(ui::kIdCycles, cycles);
    Click(dialog, ui::kIdStart);
  }
  void Tick() { dialog.DispatchTimer(1); }
  std::string Text(int id) const { return dialog.GetDlgItemText(id); }
  sim::Device& Field() { return segment.At(0); }

  hart::HartDevice device;
  PvDialog dialog;
};

TEST_F(PvDialogTest, OpensIdleWithTheTagAndZeroCounters) {
  Open();
  EXPECT_EQ(Text(ui::kIdTag), "PT-101  ");
  EXPECT_EQ(Text(ui::kIdPvValue), "");
  EXPECT_EQ(Text(ui::kIdCycles), "0");
  EXPECT_EQ(Text(ui::kIdErrors), "0");
  EXPECT_TRUE(dialog.HasFocus(ui::kIdOk));
  EXPECT_EQ(dialog.timerId, 0u);
}

TEST_F(PvDialogTest, MonitorShowsLoopCurrentAndPvEachTick) {
  Open();
  Start("0");
  EXPECT_EQ(dialog.timerId, 1u);
  EXPECT_TRUE(fake.line.IsOpen());
  EXPECT_EQ(Text(ui::kIdCycle), "1");
  Tick();
  EXPECT_EQ(Text(ui::kIdLoopCurrent), "16.000 mA");
  EXPECT_EQ(Text(ui::kIdPvValue), "3.142");
  Field().config.loopCurrent = 4.0f;
  Tick();
  EXPECT_EQ(Text(ui::kIdLoopCurrent), "4.000 mA");
  EXPECT_EQ(Text(ui::kIdCycle), "2");
  EXPECT_EQ(Field().Seen(3), 2u);
  EXPECT_TRUE(fake.op.shown().empty());
}

TEST_F(PvDialogTest, RevisionFourDeviceIsRefusedWithoutSendingAnything) {
  Open(4);
  Start("0");
  const auto writes = fake.line.writes().size();
  Tick();
  EXPECT_EQ(fake.line.writes().size(), writes);
  EXPECT_EQ(fake.op.texts(), std::vector<std::string>{"HART Error"});
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(PvDialogTest, FailedMonitorReadStopsSamplingThenReportsIt) {
  Open();
  Start("0");
  Tick();
  Field().faults.silent = true;
  Tick();
  EXPECT_EQ(fake.op.texts(), std::vector<std::string>{"HART Error"});
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_FALSE(fake.line.IsOpen());
  EXPECT_EQ(Text(ui::kIdLoopCurrent), "16.000 mA") << "the last good reading stays";
}

// Code 64 and no data to command 3: no loop current or PV to show, so the
// reading fails like any other instead of showing 0.000 mA.
TEST_F(PvDialogTest, Command3NotImplementedIsAFailedReading) {
  Open();
  Field().faults.notImplemented = {3};
  Start("0");
  Tick();
  EXPECT_EQ(fake.op.texts(), std::vector<std::string>{"HART Error"});
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_NE(Text(ui::kIdLoopCurrent), "0.000 mA");
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(PvDialogTest, ErrorTestRunsExactlyTheCyclesAndCountsDroppedPolls) {
  Open();
  Start("3");
  EXPECT_EQ(Text(ui::kIdPvValue), "Error Test");
  const auto polls = Field().Seen(0);
  Field().faults.dropNext = 1;
  Tick();
  Tick();
  Tick();
  EXPECT_EQ(Text(ui::kIdCycle), "3");
  EXPECT_EQ(Text(ui::kIdErrors), "1");
  EXPECT_EQ(Text(ui::kIdPvValue), "Complete");
  EXPECT_EQ(Field().Seen(0) - polls, 3u);
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_FALSE(fake.line.IsOpen());
  EXPECT_TRUE(fake.op.shown().empty());
}

TEST_F(PvDialogTest, StartWhileRunningRestartsTheCountersOnly) {
  Open();
  Start("5");
  Tick();
  Tick();
  Start("7");
  EXPECT_EQ(fake.op.texts(), std::vector<std::string>{"Timer already active"});
  EXPECT_EQ(Text(ui::kIdCycle), "1");
  EXPECT_EQ(Text(ui::kIdErrors), "0");
  EXPECT_EQ(dialog.cycles, 7u);
  EXPECT_EQ(dialog.timerId, 1u);
  EXPECT_TRUE(fake.line.IsOpen());
}

TEST_F(PvDialogTest, StopWhileIdleSaysSo) {
  Open();
  Click(dialog, ui::kIdStop);
  EXPECT_EQ(fake.op.texts(), std::vector<std::string>{"No active timers"});
  EXPECT_EQ(fake.op.shown()[0].icon, platform::Icon::Error);
}

TEST_F(PvDialogTest, FailedOpenLeavesTheDialogIdle) {
  Open();
  fake.line.Fail(Op::Open, 0, platform::kErrorSharingViolation);
  Start("0");
  EXPECT_EQ(fake.op.texts(), (std::vector<std::string>{"COM8:", "Error opening COM port"}));
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_FALSE(fake.line.IsOpen());
  Tick();  // a stale tick does nothing
  EXPECT_EQ(fake.op.shown().size(), 2u);
}

TEST_F(PvDialogTest, CyclesBoxTakesOnlyWholeNumbers) {
  Open();
  for (const char* bad : {"-3", "2.5", "lots"}) {
    fake.op.Clear();
    Start(bad);
    EXPECT_EQ(fake.op.shown().size(), 1u) << bad;
    EXPECT_EQ(dialog.timerId, 0u) << bad;
    EXPECT_FALSE(fake.line.IsOpen()) << bad;
  }
}

TEST_F(PvDialogTest, ClosingMidRunStopsAndClosesTheLink) {
  Open();
  Start("0");
  ASSERT_TRUE(fake.line.IsOpen());
  QTest::keyClick(dialog.Window(), Qt::Key_Escape);
  EXPECT_FALSE(dialog.IsOpen());
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_FALSE(fake.line.IsOpen());
}

TEST_F(PvDialogTest, ThousandCycleErrorTestCountsEveryDroppedPoll) {
  Open();
  Field().faults.dropFraction = 0.05;
  Field().faults.seed = 20261207;
  Start("1000");
  const auto droppedBefore = Field().Dropped();
  for (int i = 0; i < 1000; ++i) Tick();
  const auto dropped = Field().Dropped() - droppedBefore;
  EXPECT_GT(dropped, 20u);
  EXPECT_LT(dropped, 90u);
  EXPECT_EQ(Text(ui::kIdErrors), std::to_string(dropped));
  EXPECT_EQ(Text(ui::kIdCycle), "1000");
  EXPECT_EQ(Text(ui::kIdPvValue), "Complete");
  EXPECT_FALSE(fake.line.IsOpen());
}

// The real window timer on the offscreen platform: the dialog runs one
// toolkit timer with the 2 s period, each of its periods is a tick, and the
// run stops it by itself after its two ticks, with only virtual time spent in
// each tick's poll. The periods are delivered as the event dispatcher
// delivers them, without waiting for them to pass.
TEST_F(PvDialogTest, RealTimerDrivesAShortErrorTest) {
  Open();
  Start("2");
  ASSERT_EQ(dialog.timerId, 1u);
  const auto timers = support::ToolkitTimers(dialog.Window());
  ASSERT_EQ(timers.size(), 1);
  EXPECT_EQ(timers[0].interval, 2000);
  support::FireToolkitTimer(dialog.Window(), timers[0].timerId);
  EXPECT_EQ(Text(ui::kIdCycle), "1");
  support::FireToolkitTimer(dialog.Window(), timers[0].timerId);
  EXPECT_EQ(Text(ui::kIdPvValue), "Complete");
  EXPECT_EQ(Text(ui::kIdCycle), "2");
  EXPECT_EQ(Text(ui::kIdErrors), "0");
  EXPECT_EQ(Field().Seen(0), 3u) << "one poll to find it, then one per tick";
  EXPECT_TRUE(support::ToolkitTimers(dialog.Window()).isEmpty())
      << "the timer still runs after the run completed";
  support::FireToolkitTimer(dialog.Window(), timers[0].timerId);
  EXPECT_EQ(Field().Seen(0), 3u) << "no tick after the run completed";
}

}  // namespace
