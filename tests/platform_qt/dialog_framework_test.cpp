// The dialog framework on Qt's offscreen platform: layout from templates,
// keys and clicks routed to the message map, data exchange, window timers.
#include <gtest/gtest.h>

#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QGroupBox>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform_qt/busy.h"
#include "platform_qt/dialog.h"
#include "platform_qt/message_box.h"
#include "platform_qt/resources.h"
#include "platform_qt/win_app.h"
#include "tests/support/qt_environment.h"
#include "tests/support/queued_input.h"
#include "tests/support/scripted_operator.h"
#include "tests/support/toolkit_timers.h"

namespace {

using platform::BaseUnits;
using platform::CDialog;
using platform::ControlKind;
using platform::ControlTemplate;
using platform::DataExchange;
using platform::DialogTemplate;
using platform::kNoControlId;

[[maybe_unused]] const auto* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new support::QtEnvironment);

constexpr int kName = 1001;
constexpr int kTag = 1002;
constexpr int kNumber = 1003;
constexpr int kCycles = 1004;
constexpr int kPoll = 1005;
constexpr int kHiddenButton = 1006;

// No default push button: Enter in an edit box means OK. The group box comes
// last and covers the Poll button, as group boxes in real templates do.
constexpr ControlTemplate kFormControls[] = {
    {kName, ControlKind::Edit, "", 40, 10, 60, 14},
    {kNoControlId, ControlKind::Label, "Name:", 8, 12, 30, 8},
    {kTag, ControlKind::Edit, "", 40, 28, 60, 12, platform::kReadOnly | platform::kNoBorder},
    {kNumber, ControlKind::Edit, "", 40, 46, 30, 14},
    {kCycles, ControlKind::Edit, "", 75, 46, 30, 14},
    {kPoll, ControlKind::PushButton, "Poll", 8, 70, 30, 14},
    {kHiddenButton, ControlKind::PushButton, "PV", 45, 70, 20, 14,
     platform::kHidden | platform::kNoTabStop},
    {kNoControlId, ControlKind::GroupBox, "", 4, 4, 150, 90},
};
constexpr DialogTemplate kForm{
    "Form",       platform::kSystemMenu | platform::kVisible, "MS Sans Serif", 8, 160, 110,
    kFormControls};

// A default push button with the OK identifier.
constexpr ControlTemplate kOkControls[] = {
    {kName, ControlKind::Edit, "", 10, 10, 60, 14},
    {kPoll, ControlKind::PushButton, "Poll", 10, 30, 30, 14},
    {platform::kIdOk, ControlKind::DefaultPushButton, "OK", 45, 30, 30, 14},
};
constexpr DialogTemplate kOkForm{"OK form", platform::kVisible, "System", 8, 90, 50, kOkControls};

class FormDialog : public CDialog {
 public:
  explicit FormDialog(const DialogTemplate& t = kForm) : CDialog(t) {
    OnClicked(kPoll, &FormDialog::OnPoll);
    OnTimerMessage(&FormDialog::OnTimer);
  }

  std::string name;
  std::string tag;
  int number = 0;
  std::uint32_t cycles = 0;

  int polls = 0;
  std::function<void()> onPoll;
  std::vector<std::uintptr_t> ticks;
  std::function<void(std::uintptr_t)> onTick;
  bool refuseCancel = false;

 protected:
  void DoDataExchange(DataExchange& dx) override {
    DdxText(dx, kName, name);
    DdxText(dx, kTag, tag);
    DdxInt(dx, kNumber, number);
    DdxUnsigned(dx, kCycles, cycles);
  }
  void OnCancel() override {
    if (!refuseCancel) CDialog::OnCancel();
  }

 private:
  void OnPoll() {
    ++polls;
    if (onPoll) onPoll();
  }
  void OnTimer(std::uintptr_t id) {
    ticks.push_back(id);
    if (onTick) onTick(id);
    DefaultTimer(id);
  }
};

class DialogTest : public ::testing::Test {
 protected:
  // Creates `dialog` non-modally and waits until the window is active.
  static void Open(CDialog& dialog) {
    ASSERT_TRUE(dialog.Create());
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.Window()));
  }
  static QLineEdit* Edit(const CDialog& dialog, int id) {
    return qobject_cast<QLineEdit*>(dialog.Control(id));
  }

  support::ScriptedOperator op;
  platform::ScopedServices guard{{nullptr, nullptr, &op}};
};

// --- Layout -----------------------------------------------------------------

int Px(int du, int unit, int divisor) {
  return static_cast<int>(std::lround(static_cast<double>(du) * unit / divisor));
}

TEST_F(DialogTest, DialogEveryControlSitsAtItsScaledDialogUnitRectangle) {
  FormDialog dialog;
  Open(dialog);
  const BaseUnits units = dialog.GetBaseUnits();
  // Dialog units come from the controls' own face a step larger (6/5 of its
  // size), so that each text has room beyond its width in the layout's font.
  QFont unitFont = dialog.Window()->font();
  EXPECT_EQ(QFontInfo(unitFont).family(), QString("DejaVu Sans"));
  unitFont.setPointSizeF(unitFont.pointSizeF() * 6 / 5);
  const QFontMetrics metrics(unitFont);
  ASSERT_GT(units.charWidth, 0);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ(units.charWidth, (letters / 26 + 1) / 2);
  EXPECT_EQ(units.charHeight, metrics.height());

  EXPECT_EQ(dialog.Window()->size(),
            QSize(Px(kForm.cx, units.charWidth, 4), Px(kForm.cy, units.charHeight, 8)));
  for (std::size_t i = 0; i < std::size(kFormControls); ++i) {
    const ControlTemplate& c = kFormControls[i];
    const QRect expected(Px(c.x, units.charWidth, 4), Px(c.y, units.charHeight, 8),
                         Px(c.cx, units.charWidth, 4), Px(c.cy, units.charHeight, 8));
    ASSERT_NE(dialog.ControlAt(i), nullptr) << i;
    EXPECT_EQ(dialog.ControlAt(i)->geometry(), expected) << "control " << i;
  }
}

TEST_F(DialogTest, DialogControlsCarryTheirKindAndStyle) {
  FormDialog dialog;
  Open(dialog);
  EXPECT_EQ(dialog.Window()->windowTitle(), QString("Form"));
  EXPECT_TRUE(Edit(dialog, kName)->hasFrame());
  EXPECT_FALSE(Edit(dialog, kName)->isReadOnly());
  EXPECT_FALSE(Edit(dialog, kTag)->hasFrame());
  EXPECT_TRUE(Edit(dialog, kTag)->isReadOnly());
  const auto* label = qobject_cast<QLabel*>(dialog.ControlAt(1));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(dialog.GetDlgItemText(kPoll), "Poll");
  EXPECT_EQ(label->text(), QString("Name:"));
  EXPECT_TRUE(label->alignment() & Qt::AlignLeft);
  EXPECT_FALSE(dialog.IsControlVisible(kHiddenButton));
  EXPECT_TRUE(dialog.IsControlVisible(kPoll));
  // Only a template's default push button may be the Enter target.
  for (const auto* button : dialog.Window()->findChildren<QPushButton*>()) {
    EXPECT_FALSE(button->autoDefault());
    EXPECT_FALSE(button->isDefault());
  }
  ASSERT_NE(qobject_cast<QGroupBox*>(dialog.ControlAt(7)), nullptr);
}

TEST_F(DialogTest, DialogFocusStartsAtFirstTabStopAndTabFollowsTemplateOrder) {
  FormDialog dialog;
  Open(dialog);
  EXPECT_TRUE(dialog.HasFocus(kName));
  // The label is never a tab stop; the hidden, no-tab-stop button is skipped.
  std::vector<int> visited;
  for (int i = 0; i < 5; ++i) {
    QTest::keyClick(dialog.Window()->focusWidget(), Qt::Key_Tab);
    for (int id : {kName, kTag, kNumber, kCycles, kPoll, kHiddenButton}) {
      if (dialog.HasFocus(id)) visited.push_back(id);
    }
  }
  EXPECT_EQ(visited, (std::vector<int>{kTag, kNumber, kCycles, kPoll, kName}));
}

TEST_F(DialogTest, DialogIconComesFromTheRegisteredImage) {
  const std::uint32_t pixels[] = {0xFFFF0000u, 0xFF00FF00u, 0xFF0000FFu, 0x80FFFFFFu};
  ASSERT_TRUE(platform::RegisterIcon(128, 2, 2, pixels));
  FormDialog dialog;
  Open(dialog);
  EXPECT_FALSE(dialog.SetIcon(4711, true));
  ASSERT_TRUE(dialog.SetIcon(128, true));
  ASSERT_TRUE(dialog.SetIcon(128, false));
  const QImage image = dialog.Window()
                           ->windowIcon()
                           .pixmap(QSize(2, 2))
                           .toImage()
                           .convertToFormat(QImage::Format_ARGB32);
  ASSERT_EQ(image.size(), QSize(2, 2));
  EXPECT_EQ(image.pixel(0, 0), 0xFFFF0000u);
  EXPECT_EQ(image.pixel(1, 0), 0xFF00FF00u);
  EXPECT_EQ(image.pixel(0, 1), 0xFF0000FFu);
}

TEST_F(DialogTest, DialogFromRegisteredTemplateIdOrNoneForAnUnknownId) {
  platform::RegisterDialogTemplate(777, kOkForm);
  CDialog known(777);
  ASSERT_TRUE(known.Create());
  EXPECT_EQ(known.Window()->windowTitle(), QString("OK form"));
  CDialog unknown(778);
  EXPECT_FALSE(unknown.Create());
  EXPECT_EQ(unknown.DoModal(), -1);
}

// --- Commands: clicks, keys, close ------------------------------------------

TEST_F(DialogTest, DialogClickOnButtonBeneathGroupBoxReachesItsHandler) {
  FormDialog dialog;
  Open(dialog);
  QWidget* poll = dialog.Control(kPoll);
  // Through the window, so the click is hit-tested like a real one.
  QTest::mouseClick(dialog.Window()->windowHandle(), Qt::LeftButton, {}, poll->geometry().center());
  EXPECT_EQ(dialog.polls, 1);
  EXPECT_FALSE(dialog.DispatchCommand(4242));
  EXPECT_TRUE(dialog.IsOpen());
}

TEST_F(DialogTest, DialogEnterInEditWithoutDefaultButtonSavesFieldsAndClosesWithOk) {
  FormDialog dialog;
  Open(dialog);
  Edit(dialog, kName)->setText("pump 7");
  Edit(dialog, kNumber)->setText("-12");
  QTest::keyClick(Edit(dialog, kName), Qt::Key_Return);
  EXPECT_FALSE(dialog.IsOpen());
  EXPECT_EQ(dialog.Result(), platform::kIdOk);
  EXPECT_EQ(dialog.name, "pump 7");
  EXPECT_EQ(dialog.number, -12);
  EXPECT_EQ(dialog.polls, 0);
}

TEST_F(DialogTest, DialogEnterOnFocusedButtonPressesThatButtonOnly) {
  FormDialog dialog(kOkForm);
  Open(dialog);
  dialog.GotoDlgCtrl(kPoll);
  QTest::keyClick(dialog.Control(kPoll), Qt::Key_Return);
  EXPECT_EQ(dialog.polls, 1);
  EXPECT_TRUE(dialog.IsOpen());
  // From an edit box Enter goes to the default push button: OK.
  dialog.GotoDlgCtrl(kName);
  QTest::keyClick(Edit(dialog, kName), Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(dialog.polls, 1);
  EXPECT_FALSE(dialog.IsOpen());
  EXPECT_EQ(dialog.Result(), platform::kIdOk);
}

TEST_F(DialogTest, DialogEscAndCloseButtonGoToOnCancel) {
  FormDialog dialog;
  Open(dialog);
  dialog.refuseCancel = true;
  dialog.Window()->close();
  EXPECT_TRUE(dialog.Window()->isVisible());  // the override kept it open
  dialog.refuseCancel = false;
  QTest::keyClick(Edit(dialog, kName), Qt::Key_Escape);
  EXPECT_FALSE(dialog.IsOpen());
  EXPECT_FALSE(dialog.Window()->isVisible());
  EXPECT_EQ(dialog.Result(), platform::kIdCancel);

  FormDialog closed;
  Open(closed);
  closed.Window()->close();
  EXPECT_EQ(closed.Result(), platform::kIdCancel);
}

// --- Data exchange ----------------------------------------------------------

TEST_F(DialogTest, DialogDataExchangeRoundTripsTextAndDecimalNumbers) {
  FormDialog dialog;
  dialog.name = "Caf\xE9";  // 8-bit text passes through unchanged
  dialog.tag = "TT-101";
  dialog.number = -2147483647 - 1;
  dialog.cycles = 4294967295u;
  ASSERT_TRUE(dialog.Create());  // OnInitDialog: fields -> controls
  EXPECT_EQ(dialog.GetDlgItemText(kName), "Caf\xE9");
  EXPECT_EQ(dialog.GetDlgItemText(kNumber), "-2147483648");
  EXPECT_EQ(dialog.GetDlgItemText(kCycles), "4294967295");

  dialog.SetDlgItemText(kTag, "XYZ");
  dialog.SetDlgItemText(kNumber, " 258 ");
  dialog.SetDlgItemText(kCycles, "0");
  ASSERT_TRUE(dialog.UpdateData(true));
  EXPECT_EQ(dialog.name, "Caf\xE9");
  EXPECT_EQ(dialog.tag, "XYZ");
  EXPECT_EQ(dialog.number, 258);
  EXPECT_EQ(dialog.cycles, 0u);
  EXPECT_TRUE(op.shown().empty());
}

TEST_F(DialogTest, DialogSaveStopsAtFirstBadNumberAfterMessageAndFocusesIt) {
  FormDialog dialog;
  dialog.number = 5;
  dialog.cycles = 9;
  Open(dialog);
  dialog.SetDlgItemText(kName, "new name");
  dialog.SetDlgItemText(kNumber, "12x");
  dialog.SetDlgItemText(kCycles, "33");
  EXPECT_FALSE(dialog.UpdateData(true));
  EXPECT_EQ(dialog.name, "new name");  // boxes before the bad one are read
  EXPECT_EQ(dialog.number, 5);
  EXPECT_EQ(dialog.cycles, 9u);  // boxes after it are not
  ASSERT_EQ(op.shown().size(), 1u);
  EXPECT_EQ(op.shown()[0].text, "Please enter an integer.");
  EXPECT_EQ(op.shown()[0].icon, platform::Icon::Error);
  EXPECT_TRUE(dialog.HasFocus(kNumber));
  EXPECT_EQ(Edit(dialog, kNumber)->selectedText(), QString("12x"));

  // OK goes through the same check and keeps the dialog open.
  EXPECT_TRUE(dialog.DispatchCommand(platform::kIdOk));
  EXPECT_TRUE(dialog.IsOpen());
  EXPECT_EQ(op.shown().size(), 2u);
}

TEST_F(DialogTest, DialogNumberBoxesAcceptOnlyWholeNumbersInRange) {
  struct Case {
    const char* text;
    bool intOk;
    bool unsignedOk;
  };
  const Case cases[] = {
      {"0", true, true},
      {" 42 ", true, true},
      {"+7", true, false},
      {"-3", true, false},
      {"", false, false},
      {"-", false, false},
      {"4x", false, false},
      {"1 2", false, false},
      {"--1", false, false},
      {"0x10", false, false},
      {"2147483647", true, true},
      {"2147483648", false, true},
      {"-2147483649", false, false},
      {"4294967295", false, true},
      {"4294967296", false, false},
  };
  FormDialog dialog;
  ASSERT_TRUE(dialog.Create());
  for (const Case& c : cases) {
    dialog.SetDlgItemText(kNumber, "1");
    dialog.SetDlgItemText(kCycles, c.text);
    EXPECT_EQ(dialog.UpdateData(true), c.unsignedOk) << "unsigned '" << c.text << "'";
    dialog.SetDlgItemText(kNumber, c.text);
    dialog.SetDlgItemText(kCycles, "1");
    EXPECT_EQ(dialog.UpdateData(true), c.intOk) << "int '" << c.text << "'";
  }
  for (const auto& shown : op.shown()) {
    EXPECT_TRUE(shown.text == "Please enter an integer." ||
                shown.text == "Please enter a whole number, 0 or more.")
        << shown.text;
  }
}

// --- Timers, repaint, modal run ---------------------------------------------

TEST_F(DialogTest, DialogTimerStartAndStopReportSuccess) {
  FormDialog dialog;
  EXPECT_EQ(dialog.SetTimer(1, 20), 0u);  // no window yet
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(dialog.SetTimer(0, 20), 0u);
  EXPECT_EQ(dialog.SetTimer(7, 2000), 7u);
  EXPECT_TRUE(dialog.KillTimer(7));
  EXPECT_FALSE(dialog.KillTimer(7));
  EXPECT_FALSE(dialog.KillTimer(99));
}

// The toolkit timer behind the dialog's one window timer; a second one would
// be a timer the framework failed to stop.
QAbstractEventDispatcher::TimerInfo OnlyToolkitTimer(const CDialog& dialog) {
  const auto timers = support::ToolkitTimers(dialog.Window());
  EXPECT_EQ(timers.size(), 1);
  return timers.isEmpty() ? QAbstractEventDispatcher::TimerInfo(0, 0, Qt::CoarseTimer) : timers[0];
}

// Each elapsed period reaches the map with the dialog's own timer id, and a
// killed timer leaves nothing behind in the event dispatcher that could tick.
TEST_F(DialogTest, DialogTimerTicksReachTheMapUntilKilled) {
  FormDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ASSERT_EQ(dialog.SetTimer(3, 20), 3u);
  const auto timer = OnlyToolkitTimer(dialog);
  ASSERT_NE(timer.timerId, 0);
  EXPECT_EQ(timer.interval, 20);
  for (int period = 0; period < 3; ++period) {
    support::FireToolkitTimer(dialog.Window(), timer.timerId);
  }
  EXPECT_EQ(dialog.ticks, (std::vector<std::uintptr_t>{3, 3, 3}));
  ASSERT_TRUE(dialog.KillTimer(3));
  EXPECT_TRUE(support::ToolkitTimers(dialog.Window()).isEmpty()) << "the killed timer still runs";
  support::FireToolkitTimer(dialog.Window(), timer.timerId);
  EXPECT_EQ(dialog.ticks.size(), 3u) << "a stale toolkit tick reached the map";
}

// Restarting a running timer replaces it: a second toolkit timer left running
// would double every tick. Each of two timers ticks with its own id.
TEST_F(DialogTest, DialogTimerRestartReplacesItAndTwoTimersKeepTheirIds) {
  FormDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ASSERT_EQ(dialog.SetTimer(3, 20), 3u);
  ASSERT_EQ(dialog.SetTimer(3, 50), 3u);
  const auto restarted = OnlyToolkitTimer(dialog);
  EXPECT_EQ(restarted.interval, 50);

  ASSERT_EQ(dialog.SetTimer(4, 30), 4u);
  const auto timers = support::ToolkitTimers(dialog.Window());
  ASSERT_EQ(timers.size(), 2);
  for (const auto& timer : timers) support::FireToolkitTimer(dialog.Window(), timer.timerId);
  std::vector<std::uintptr_t> ids = dialog.ticks;
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uintptr_t>{3, 4}));
}

// The dispatcher re-arms a late timer from the moment it fires (a precise
// timer does), so periods missed while the UI thread is blocked come as one
// late tick, not as a burst that catches up.
TEST_F(DialogTest, DialogTimerBlockedHandlerYieldsOneLateTickNotABacklog) {
  constexpr int kPeriodMs = 20;
  FormDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ASSERT_EQ(dialog.SetTimer(1, kPeriodMs), 1u);
  const auto timer = OnlyToolkitTimer(dialog);
  ASSERT_NE(timer.timerId, 0);
  EXPECT_EQ(timer.timerType, Qt::PreciseTimer);
  dialog.onTick = [&](std::uintptr_t) {
    if (dialog.ticks.size() != 1) return;
    // Blocks the UI thread for at least ten periods. Only the lower bound
    // matters: a loaded machine blocks longer, which misses more periods.
    QElapsedTimer blocked;
    blocked.start();
    while (!blocked.hasExpired(10 * kPeriodMs)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs));
    }
  };
  support::FireToolkitTimer(dialog.Window(), timer.timerId);  // the first tick, now
  ASSERT_EQ(dialog.ticks.size(), 1u);
  QCoreApplication::processEvents();
  EXPECT_LE(dialog.ticks.size(), 2u) << "missed periods came as a backlog";
  QCoreApplication::processEvents();
  EXPECT_LE(dialog.ticks.size(), 3u);
}

// Ticks reach the dialog while a button handler waits in a message box's own
// loop: the box's loop delivers the timer events, and the framework passes
// them on although a handler of the same dialog is still running.
TEST(DialogMessageBox, DialogTimerTicksWhileAMessageBoxIsOpen) {
  // The operator the application object installs: a QMessageBox with its
  // own loop.
  platform::ScopedServices messageBox({nullptr, nullptr, &platform::MessageBoxOperator()});
  FormDialog dialog;
  ASSERT_TRUE(dialog.Create());
  QObject guard;
  const auto closeBox = [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
  };
  bool inBox = false;
  dialog.onPoll = [&] {
    dialog.SetTimer(1, 20);
    const auto timer = OnlyToolkitTimer(dialog);
    // Runs in the box's loop: three periods elapse there.
    QTimer::singleShot(0, &guard, [&, timer] {
      inBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
      for (int period = 0; period < 3; ++period) {
        support::FireToolkitTimer(dialog.Window(), timer.timerId);
      }
      closeBox();
    });
    QTimer::singleShot(10000, &guard, closeBox);  // only if the box never ran its loop
    platform::MessageBox("Polling", platform::Icon::Information);
  };
  dialog.DispatchCommand(kPoll);
  EXPECT_TRUE(inBox) << "the ticks were not delivered inside the box";
  EXPECT_EQ(dialog.ticks, (std::vector<std::uintptr_t>{1, 1, 1}));
}

TEST_F(DialogTest, DialogUpdateWindowPaintsBeforeReturning) {
  FormDialog dialog;
  Open(dialog);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.Window()));
  QCoreApplication::processEvents();
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  dialog.Control(kName)->installEventFilter(&counter);
  dialog.SetDlgItemText(kName, "Polling...");
  dialog.UpdateWindow();  // no event processing in between, as in a blocking handler
  EXPECT_GT(counter.paints, 0);
  dialog.Control(kName)->removeEventFilter(&counter);
}

// --- While a handler blocks -------------------------------------------------

struct EventCounter : QObject {
  QEvent::Type type;
  int seen = 0;
  explicit EventCounter(QEvent::Type type) : type(type) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == type) ++seen;
    return false;
  }
};

// A wait inside a handler (the real clock's sleep) paints what the window
// system exposes, but runs neither a timer tick nor the click and the close
// request queued meanwhile; the tick arrives once afterwards, the input never.
TEST_F(DialogTest, DialogWaitInAHandlerPaintsButRunsNoTickNoInputAndNoClose) {
  platform::ScopedServices windowClock({nullptr, &platform::WindowServingClock(), nullptr});
  FormDialog dialog;
  Open(dialog);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog.Window()));
  QCoreApplication::processEvents();
  EventCounter paints(QEvent::Paint);
  dialog.Control(kName)->installEventFilter(&paints);
  int paintsInWait = -1;
  std::size_t ticksInWait = 99;
  int pollsInWait = -1;
  dialog.onPoll = [&] {
    if (dialog.polls > 1) return;
    dialog.SetTimer(1, 10);
    support::QueueClickAndClose(dialog.Control(kPoll), dialog.Window());
    // An uncovered window has lost its pixels; the offscreen platform keeps
    // them, so the box is also marked for redrawing, as lost pixels are.
    dialog.Control(kName)->update();
    QCoreApplication::postEvent(dialog.Window()->windowHandle(),
                                new QExposeEvent(QRegion(dialog.Window()->rect())));
    const int paintsBefore = paints.seen;
    platform::Sleep(120);  // the application's clock: twelve timer periods
    paintsInWait = paints.seen - paintsBefore;
    ticksInWait = dialog.ticks.size();
    pollsInWait = dialog.polls;
  };
  QTest::mouseClick(dialog.Control(kPoll), Qt::LeftButton);
  EXPECT_GT(paintsInWait, 0) << "the exposed window was not painted during the wait";
  EXPECT_EQ(ticksInWait, 0u);
  EXPECT_EQ(pollsInWait, 1);

  QCoreApplication::processEvents();
  EXPECT_EQ(dialog.ticks.size(), 1u) << "the tick that fell due in the wait comes once, after it";
  EXPECT_EQ(dialog.polls, 1) << "the click made during the wait ran afterwards";
  EXPECT_TRUE(dialog.IsOpen()) << "the close request made during the wait closed the dialog";
  dialog.KillTimer(1);
  // Afterwards the dialog takes input as before.
  QTest::mouseClick(dialog.Control(kPoll), Qt::LeftButton);
  EXPECT_EQ(dialog.polls, 2);
  dialog.Control(kName)->removeEventFilter(&paints);
}

TEST(DialogMessageBox, DialogBusyCursorWhileAHandlerRunsButNotInTheBoxItOpens) {
  platform::ScopedServices messageBox({nullptr, nullptr, &platform::MessageBoxOperator()});
  FormDialog dialog;
  ASSERT_TRUE(dialog.Create());
  QObject guard;
  const auto shape = [] {
    const QCursor* cursor = QApplication::overrideCursor();
    return cursor == nullptr ? Qt::ArrowCursor : cursor->shape();
  };
  Qt::CursorShape inHandler = Qt::ArrowCursor;
  Qt::CursorShape inBox = Qt::WaitCursor;
  Qt::CursorShape afterBox = Qt::ArrowCursor;
  dialog.onPoll = [&] {
    inHandler = shape();
    QTimer::singleShot(0, &guard, [&] {
      inBox = shape();
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
    });
    platform::MessageBox("Polling", platform::Icon::Information);
    afterBox = shape();
  };
  EXPECT_EQ(shape(), Qt::ArrowCursor);
  dialog.DispatchCommand(kPoll);
  EXPECT_EQ(inHandler, Qt::WaitCursor);
  EXPECT_EQ(inBox, Qt::ArrowCursor) << "the operator answers the box with the normal cursor";
  EXPECT_EQ(afterBox, Qt::WaitCursor);
  EXPECT_EQ(shape(), Qt::ArrowCursor);
}

// A text longer than its box shows a mark at the box's edge and gives the
// whole text as tool tip (and so to screen readers); a text that fits is
// drawn exactly as a plain edit box draws it.
TEST_F(DialogTest, DialogEditBoxShowsThatItsTextGoesOnAndGivesItWhole) {
  FormDialog dialog;
  Open(dialog);
  QLineEdit* box = Edit(dialog, kNumber);  // 30 dialog units wide
  QLineEdit plain(dialog.Window());
  plain.setGeometry(box->geometry());
  plain.setFont(box->font());
  dialog.GotoDlgCtrl(kName);  // neither box is being edited
  const auto render = [](QLineEdit& edit, const QString& text) {
    edit.setText(text);
    edit.setCursorPosition(0);
    return edit.grab().toImage();
  };
  EXPECT_EQ(render(*box, "12"), render(plain, "12"));
  EXPECT_TRUE(box->toolTip().isEmpty());

  const QString list = "1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14";
  EXPECT_NE(render(*box, list), render(plain, list)) << "no mark where the text goes on";
  EXPECT_EQ(box->toolTip(), list);
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(box);
  ASSERT_NE(accessible, nullptr);
  EXPECT_EQ(accessible->text(QAccessible::Description), list);
  EXPECT_EQ(accessible->text(QAccessible::Value), list);
  EXPECT_EQ(dialog.GetDlgItemText(kNumber), list.toStdString()) << "the box keeps the whole text";

  render(*box, "3");
  EXPECT_TRUE(box->toolTip().isEmpty()) << "a tool tip left over from a longer text";
}

TEST_F(DialogTest, DialogDoModalReturnsWhatAHandlerPassesToEndDialog) {
  FormDialog dialog;
  dialog.name = "before";
  QObject guard;
  dialog.onPoll = [&] { dialog.EndDialog(42); };
  QTimer::singleShot(0, &guard, [&] {
    EXPECT_TRUE(dialog.HasFocus(kName));
    EXPECT_EQ(dialog.GetDlgItemText(kName), "before");
    QTest::mouseClick(dialog.Control(kPoll), Qt::LeftButton);
  });
  QTimer::singleShot(10000, &guard, [&] { dialog.EndDialog(-99); });  // only if stuck
  EXPECT_EQ(dialog.DoModal(), 42);
  EXPECT_EQ(dialog.polls, 1);
  EXPECT_EQ(dialog.Window(), nullptr);  // the window goes with the modal run

  // Run again: Enter saves the fields and ends with OK.
  QTimer::singleShot(0, &guard, [&] {
    Edit(dialog, kName)->setText("after");
    QTest::keyClick(Edit(dialog, kName), Qt::Key_Return);
  });
  EXPECT_EQ(dialog.DoModal(), platform::kIdOk);
  EXPECT_EQ(dialog.name, "after");
}

class CountingApp : public platform::CWinApp {
 public:
  bool InitInstance() override {
    ++calls;
    return false;
  }
  int calls = 0;
};

TEST(DialogApplication, DialogAppInitInstanceReturningFalseEndsWithoutALoop) {
  CountingApp app;
  EXPECT_EQ(platform::CurrentApp(), &app);
  char name[] = "veltrop";
  char* argv[] = {name, nullptr};
  EXPECT_EQ(platform::RunApplication(1, argv), 0);
  EXPECT_EQ(app.calls, 1);
}

}  // namespace
