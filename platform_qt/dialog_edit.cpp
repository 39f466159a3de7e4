#include "platform_qt/dialog_edit.h"

#include <QPainter>

namespace platform {

void DialogEdit::paintEvent(QPaintEvent* event) {
  QLineEdit::paintEvent(event);
  // While edited, the cursor scrolls the text and shows where it is.
  if (hasFocus() || !Overflows()) return;
  const QString mark = QStringLiteral("\u2026");
  const QRect r = ContentsRect();
  const int width = fontMetrics().horizontalAdvance(mark) + 2 * kInnerMargin;
  const QRect at(r.right() + 1 - width, r.top(), width, r.height());
  QPainter painter(this);
  painter.fillRect(at, palette().brush(QPalette::Base));
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  painter.drawText(at, Qt::AlignCenter, mark);
}

}  // namespace platform
