// The toolkit timers behind a dialog's window timers, for tests that drive
// them without waiting for real periods to pass.
//
// A toolkit timer that falls due is delivered as a timer event, with the
// toolkit's timer id, sent to the object that started it. Sending that event
// is exactly what the event dispatcher does when the period elapses, so a
// test can run any number of ticks at once, and after the timer is stopped
// can show that the same event no longer reaches the dialog's handlers.
#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QList>
#include <QObject>
#include <QTimerEvent>

namespace support {

// The timers the event dispatcher runs for `object` (id, period, kind).
inline QList<QAbstractEventDispatcher::TimerInfo> ToolkitTimers(QObject* object) {
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (dispatcher == nullptr || object == nullptr) return {};
  return dispatcher->registeredTimers(object);
}

// Delivers one elapsed period of toolkit timer `toolkitId` to `object`.
inline void FireToolkitTimer(QObject* object, int toolkitId) {
  QTimerEvent event(toolkitId);
  QCoreApplication::sendEvent(object, &event);
}

}  // namespace support
