// Input the operator makes while a handler runs: posted to the queue, so it
// reaches the window only when the event loop next runs, as a click and a
// close request made during a poll would.
#pragma once

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

namespace support {

// A left click on `button` and a close request for `window`, queued.
inline void QueueClickAndClose(QWidget* button, QWidget* window) {
  const QPointF centre = QRectF(button->rect()).center();
  const QPointF global = button->mapToGlobal(centre);
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonPress, centre, global, Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier));
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton,
                              Qt::NoButton, Qt::NoModifier));
  QCoreApplication::postEvent(window->windowHandle(), new QCloseEvent);
}

}  // namespace support
