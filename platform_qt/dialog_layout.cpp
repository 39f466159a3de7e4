// Building a dialog's window from its template: the face every dialog draws
// in, dialog units turned into pixels, the toolkit control for each template
// entry, the names screen readers announce, and the window icon.
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <cmath>
#include <span>

#include "platform_qt/busy.h"
#include "platform_qt/dialog_edit.h"
#include "platform_qt/dialog_window.h"
#include "platform_qt/icon_image.h"
#include "platform_qt/resources.h"

namespace platform {

namespace {

// Every dialog draws in this face, whatever its template names: the templates
// name the small screen fonts they were drawn for ("System", "MS Sans
// Serif"), which do not exist here, and a desktop's own choice of font would
// give every machine a different layout. The package depends on
// fonts-dejavu-core for it.
constexpr char kDialogFace[] = "DejaVu Sans";

// The controls' text: 5/4 of the template's point size, because the layouts
// were drawn for a dense screen font and read poorly at the same size on a
// desktop.
QFont DialogFont(const DialogTemplate& t) {
  QFont font(QString::fromLatin1(kDialogFace));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF((t.pointSize > 0 ? t.pointSize : 8) * 1.25);
  return font;
}

// The font dialog units are measured in: the same face a step larger (3/2 of
// the template's size, 6/5 of the text). The layouts give their longest texts
// only the room those texts took in the font they were drawn for; measured in
// any desktop face's own letters, the multi-drop verdict needs 1.05 to 1.11
// times its box before the box's frame and margins. Units taken from the
// larger size leave that room, and every position keeps its proportion.
QFont UnitFont(const DialogTemplate& t) {
  QFont font = DialogFont(t);
  font.setPointSizeF((t.pointSize > 0 ? t.pointSize : 8) * 1.5);
  return font;
}

// The width of an average character as dialog layouts are drawn for: the
// mean advance of the 52 letters, rounded. A font's own "average" width is
// often narrower than running text, and labels sized on it get clipped.
int AverageCharWidth(const QFontMetrics& metrics) {
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return (letters / 26 + 1) / 2;
}

int Scale(int dialogUnits, int unit, int divisor) {
  return static_cast<int>(std::lround(static_cast<double>(dialogUnits) * unit / divisor));
}

QPixmap Pixmap(const IconResource& icon) {
  return QPixmap::fromImage(IconImage(icon));
}

QWidget* MakeControl(const ControlTemplate& c, QWidget* parent) {
  const QString text = QString::fromLatin1(c.text != nullptr ? c.text : "");
  switch (c.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefaultPushButton: {
      auto* button = new QPushButton(text, parent);
      // Inside a QDialog every push button is "auto default" and the first
      // one becomes the Enter target; here only the template's default push
      // button may be.
      button->setAutoDefault(false);
      button->setDefault(c.kind == ControlKind::DefaultPushButton);
      button->setFocusPolicy((c.style & kNoTabStop) != 0 ? Qt::ClickFocus : Qt::StrongFocus);
      return button;
    }
    case ControlKind::Edit: {
      auto* edit = new DialogEdit(text, parent);
      edit->setFrame((c.style & kNoBorder) == 0);
      edit->setReadOnly((c.style & kReadOnly) != 0);
      edit->setFocusPolicy((c.style & kNoTabStop) != 0 ? Qt::ClickFocus : Qt::StrongFocus);
      edit->setCursorPosition(0);
      return edit;
    }
    case ControlKind::GroupBox: {
      auto* group = new QGroupBox(text, parent);
      group->setFocusPolicy(Qt::NoFocus);
      // A group box surrounds controls created before it; it must neither
      // cover them nor take their clicks.
      group->setAttribute(Qt::WA_TransparentForMouseEvents);
      return group;
    }
    case ControlKind::Label:
      break;
  }
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setFocusPolicy(Qt::NoFocus);
  return label;
}

// The label that names an edit box: static text on the box's line (its middle
// within the box's height) ending at most this far left of the box.
constexpr int kLabelGapDu = 8;

const ControlTemplate* LabelOf(const ControlTemplate& box, std::span<const ControlTemplate> all) {
  for (const ControlTemplate& c : all) {
    if (c.kind != ControlKind::Label || c.text == nullptr || c.text[0] == '\0') continue;
    const int middle = c.y + c.cy / 2;
    const int gap = box.x - (c.x + c.cx);
    if (middle >= box.y && middle < box.y + box.cy && gap >= 0 && gap <= kLabelGapDu) return &c;
  }
  return nullptr;
}

// Screen readers announce a control by its accessible name; for an edit box
// the toolkit has nothing to take one from unless its label is its buddy.
void NameControls(std::span<const ControlTemplate> controls, const std::vector<QWidget*>& widgets) {
  for (std::size_t i = 0; i < controls.size() && i < widgets.size(); ++i) {
    const ControlTemplate& c = controls[i];
    if (c.accessibleName != nullptr) {
      widgets[i]->setAccessibleName(QString::fromLatin1(c.accessibleName));
      continue;
    }
    if (c.kind != ControlKind::Edit) continue;
    const ControlTemplate* label = LabelOf(c, controls);
    if (label == nullptr) continue;
    auto* labelWidget =
        qobject_cast<QLabel*>(widgets[static_cast<std::size_t>(label - &controls[0])]);
    if (labelWidget != nullptr) labelWidget->setBuddy(widgets[i]);
    QString name = QString::fromLatin1(label->text);
    if (name.endsWith(QLatin1Char(':'))) name.chop(1);
    widgets[i]->setAccessibleName(name);
  }
}

}  // namespace

QIcon WindowIcon(int bigIconId, int smallIconId) {
  QIcon icon;
  for (const int id : {bigIconId, smallIconId}) {
    if (const IconResource* resource = FindIcon(id)) icon.addPixmap(Pixmap(*resource));
  }
  return icon;
}

bool CDialog::BuildWindow() {
  if (impl_->dialogTemplate == nullptr) {
    impl_->dialogTemplate = RegisteredTemplate(impl_->templateId);
    if (impl_->dialogTemplate == nullptr) return false;
  }
  const DialogTemplate& t = *impl_->dialogTemplate;

  auto* window = new DialogWindow(*this);
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if ((t.style & (kSystemMenu | kCaptionOk)) != 0) {
    flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  }
  window->setWindowFlags(flags);
  window->setWindowTitle(QString::fromLatin1(t.caption != nullptr ? t.caption : ""));

  window->setFont(DialogFont(t));
  const QFontMetrics metrics(UnitFont(t));
  impl_->units = BaseUnits{AverageCharWidth(metrics), metrics.height()};
  const auto px = [this](int du) { return Scale(du, impl_->units.charWidth, 4); };
  const auto py = [this](int du) { return Scale(du, impl_->units.charHeight, 8); };
  window->setFixedSize(px(t.cx), py(t.cy));

  impl_->window = window;
  impl_->controls.clear();
  QWidget* previousTabStop = nullptr;
  for (const ControlTemplate& c : t.controls) {
    QWidget* control = MakeControl(c, window);
    control->setGeometry(px(c.x), py(c.y), px(c.cx), py(c.cy));
    if ((c.style & kHidden) != 0) control->hide();
    if (c.kind == ControlKind::GroupBox) control->lower();
    if (auto* button = qobject_cast<QPushButton*>(control); button != nullptr) {
      const int id = c.id;
      QObject::connect(button, &QAbstractButton::clicked, window, [window, id] {
        // A click completed while a handler blocks was made meanwhile: dropped.
        if (window->owner() != nullptr && id != kNoControlId && !IsBusy()) {
          window->owner()->DispatchCommand(id);
        }
      });
    }
    if (control->focusPolicy() != Qt::NoFocus) {
      if (previousTabStop != nullptr) QWidget::setTabOrder(previousTabStop, control);
      previousTabStop = control;
    }
    impl_->controls.push_back(control);
  }

  NameControls(t.controls, impl_->controls);

  const QIcon icon = WindowIcon(impl_->bigIconId, impl_->smallIconId);
  if (!icon.isNull()) window->setWindowIcon(icon);
  return true;
}

}  // namespace platform
