// The UI thread while a dialog handler runs.
//
// A handler talks to the device on the one UI thread and sleeps through the
// protocol's fixed pauses, for seconds at a time. Meanwhile the windows must
// still be painted (a window uncovered during a scan, a desktop pinging its
// windows), and what the operator types or clicks must not pile up and run
// once the handler returns: a second Enter would start a second poll, a close
// request would end the program before the verdict could be read. So while a
// handler runs the cursor shows it is busy, keyboard and mouse input and
// close requests are thrown away, and the waits serve only the window
// system's paint, expose and housekeeping events. Timer messages wait until
// the handler returns, then arrive once.
//
// The message boxes and modal dialogs a handler opens belong to the operator:
// inside them input flows and timer messages are delivered as usual.
#pragma once

#include <cstdint>

#include "platform/services.h"

namespace platform {

// For the length of one handler: a button's command or a timer message.
// Leaving it takes whatever input queued up meanwhile off the queue and drops
// it, before the event loop can deliver it.
class HandlerScope {
 public:
  HandlerScope();
  ~HandlerScope();
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

// For the length of a nested event loop (a message box, a modal dialog).
class NestedLoopScope {
 public:
  NestedLoopScope();
  ~NestedLoopScope();
  NestedLoopScope(const NestedLoopScope&) = delete;
  NestedLoopScope& operator=(const NestedLoopScope&) = delete;
};

// For the length of the framework closing a window itself (EndDialog): its
// close events are not the operator's close request.
class FrameworkCloseScope {
 public:
  FrameworkCloseScope();
  ~FrameworkCloseScope();
  FrameworkCloseScope(const FrameworkCloseScope&) = delete;
  FrameworkCloseScope& operator=(const FrameworkCloseScope&) = delete;
};

// True while a handler runs on the UI thread outside the loops it opened.
bool IsBusy();

// The real clock's sleep. While busy on the UI thread, waits `milliseconds`
// serving paint, expose and window-manager events, and returns true; anywhere
// else it does nothing and returns false, and the caller sleeps plainly.
bool WaitServingWindows(std::uint32_t milliseconds);

// The real clock, whose sleep is WaitServingWindows where that applies: the
// clock the application object installs.
Clock& WindowServingClock();

}  // namespace platform
