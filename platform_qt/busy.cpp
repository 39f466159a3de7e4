#include "platform_qt/busy.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace platform {

namespace {

enum class Frame { Handler, NestedLoop };

// Only the window system's events and posted ones: no timers (a dialog's
// timer message would re-enter its handlers), no socket notifiers (their
// callbacks are nobody's business during a wait).
constexpr QEventLoop::ProcessEventsFlags kServeOnly =
    QEventLoop::ExcludeSocketNotifiers | QEventLoop::X11ExcludeTimers;

// How often a wait looks at the window system: short enough that an
// uncovered window is repainted without a visible delay.
constexpr std::chrono::milliseconds kServeSlice{10};

// What the operator does, as opposed to what the window system asks for.
// Releases and moves pass: a press made before the handler started must see
// its release, or the toolkit keeps the mouse grabbed by that button; a click
// that completes this way is refused by the framework while busy.
bool IsOperatorInput(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
      return true;
    default:
      return false;
  }
}

struct State {
  std::vector<Frame> frames;
  int frameworkClosing = 0;     // EndDialog closing a window itself
  QPointer<QObject> discarder;  // owned by the application object
  bool cursorShown = false;
};

State& Busy() {
  static State state;
  return state;
}

// A close request (the window manager's close button) is the operator's;
// the close events of a dialog the framework ends itself are not.
bool IsCloseRequest(const QEvent* event) {
  return event->type() == QEvent::Close && Busy().frameworkClosing == 0;
}

class InputDiscarder final : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject*, QEvent* event) override {
    return (IsOperatorInput(event->type()) || IsCloseRequest(event)) && IsBusy();
  }
};

bool OnUiThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return qobject_cast<const QApplication*>(app) != nullptr &&
         QThread::currentThread() == app->thread();
}

void InstallDiscarder() {
  State& s = Busy();
  if (s.discarder != nullptr || !OnUiThread()) return;
  s.discarder = new InputDiscarder(QCoreApplication::instance());
  QCoreApplication::instance()->installEventFilter(s.discarder);
}

// Shows or takes back the busy cursor when the state changed.
void Follow(bool wasBusy) {
  State& s = Busy();
  const bool busy = IsBusy();
  if (busy == wasBusy || !OnUiThread()) return;
  if (busy && !s.cursorShown) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    s.cursorShown = true;
  } else if (!busy && s.cursorShown) {
    QApplication::restoreOverrideCursor();
    s.cursorShown = false;
  }
}

void Push(Frame frame) {
  const bool was = IsBusy();
  Busy().frames.push_back(frame);
  Follow(was);
}

void Pop() {
  const bool was = IsBusy();
  Busy().frames.pop_back();
  Follow(was);
}

}  // namespace

HandlerScope::HandlerScope() {
  InstallDiscarder();
  Push(Frame::Handler);
}

HandlerScope::~HandlerScope() {
  // Input made while the handler blocked is still queued (in the window
  // system's queue, or posted); delivered by the next loop it would act now.
  if (IsBusy() && OnUiThread()) QCoreApplication::processEvents(kServeOnly);
  Pop();
}

FrameworkCloseScope::FrameworkCloseScope() {
  ++Busy().frameworkClosing;
}

FrameworkCloseScope::~FrameworkCloseScope() {
  --Busy().frameworkClosing;
}

NestedLoopScope::NestedLoopScope() {
  Push(Frame::NestedLoop);
}

NestedLoopScope::~NestedLoopScope() {
  Pop();
}

bool IsBusy() {
  const State& s = Busy();
  return !s.frames.empty() && s.frames.back() == Frame::Handler;
}

bool WaitServingWindows(std::uint32_t milliseconds) {
  if (!IsBusy() || !OnUiThread()) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    QCoreApplication::processEvents(kServeOnly);
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return true;
    // Never past the deadline: the pauses are the protocol's timing.
    std::this_thread::sleep_for(
        std::min<Clock::duration>(deadline - now, Clock::duration(kServeSlice)));
  }
}

namespace {

class WindowServing final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    if (!WaitServingWindows(milliseconds)) RealClock().Sleep(milliseconds);
  }
  std::uint32_t TickCount() override { return RealClock().TickCount(); }
};

}  // namespace

Clock& WindowServingClock() {
  static WindowServing clock;
  return clock;
}

}  // namespace platform
