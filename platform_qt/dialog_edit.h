#pragma once

#include <QEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>

namespace platform {

// An edit box that shows when its text goes on past its right edge. A text
// can outgrow its box by nature (the address list of a full multi-drop loop):
// while the box is not being edited an ellipsis stands at its right edge,
// and the whole text is its tool tip, which screen readers also read out as
// its description. A text that fits is drawn exactly as by a plain QLineEdit.
class DialogEdit final : public QLineEdit {
 public:
  DialogEdit(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
    connect(this, &QLineEdit::textChanged, this, [this] { Refresh(); });
  }
  void SetOwnTip(const QString& tip) {
    ownTip_ = tip;
    Refresh();
  }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override {
    QLineEdit::resizeEvent(event);
    Refresh();
  }
  void changeEvent(QEvent* event) override {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) Refresh();
  }

 private:
  // QLineEdit keeps this many pixels free either side of the text.
  static constexpr int kInnerMargin = 2;

  // The rectangle QLineEdit draws its text in.
  QRect ContentsRect() const {
    QStyleOptionFrame opt;
    initStyleOption(&opt);
    return style()
        ->subElementRect(QStyle::SE_LineEditContents, &opt, this)
        .marginsRemoved(textMargins());
  }
  bool Overflows() const {
    const QString shown = text();
    const QFontMetrics fm = fontMetrics();
    const int ink = std::max(fm.horizontalAdvance(shown), fm.boundingRect(shown).right() + 1);
    const int cursor = 1;
    return ink + cursor > ContentsRect().width() - 2 * kInnerMargin;
  }
  void Refresh() {
    QString tip = Overflows() ? text() : QString();
    if (!ownTip_.isEmpty()) tip = tip.isEmpty() ? ownTip_ : tip + "\n" + ownTip_;
    if (toolTip() != tip) setToolTip(tip);
  }

  QString ownTip_;
};

}  // namespace platform
