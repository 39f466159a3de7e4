#include "platform/dialog.h"

#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimerEvent>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

#include "platform/busy.h"
#include "platform/icon_image.h"
#include "platform/resources.h"
#include "platform/services.h"

namespace platform {

// The toolkit window behind a CDialog. It turns the toolkit's keys, clicks,
// closes and timer events into the dialog's commands and timer messages.
class DialogWindow final : public QDialog {
 public:
  explicit DialogWindow(CDialog& owner) : owner_(&owner) {}

  CDialog* owner() const { return owner_; }
  // Called when the dialog lets go of the window: events that are still in
  // flight must not reach it any more.
  void Detach() { owner_ = nullptr; }

  // QDialog routes Esc and the window's close button here.
  void reject() override {
    if (owner_ != nullptr) owner_->DispatchCommand(kIdCancel);
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  CDialog* owner_;
};

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

struct CDialog::Impl {
  const DialogTemplate* dialogTemplate = nullptr;
  int templateId = 0;  // looked up when the window is built, if no template given

  std::map<int, std::function<void()>> commands;
  std::function<void(std::uintptr_t)> timerHandler;

  DialogWindow* window = nullptr;
  std::vector<QWidget*> controls;  // template order; owned by the window
  BaseUnits units;
  std::map<std::uintptr_t, int> timers;  // timer id -> toolkit timer id
  int bigIconId = -1;
  int smallIconId = -1;
  int result = -1;
  bool open = false;
  // Handlers of this dialog currently on the stack; a window destroyed from
  // inside one of them is deleted once control is back in the event loop.
  int dispatchDepth = 0;
};

namespace {

const DialogTemplate kEmptyTemplate{};

std::map<int, const DialogTemplate*>& Templates() {
  static std::map<int, const DialogTemplate*> templates;
  return templates;
}

class DispatchScope {
 public:
  explicit DispatchScope(int& depth) : depth_(depth) { ++depth_; }
  ~DispatchScope() { --depth_; }
  DispatchScope(const DispatchScope&) = delete;
  DispatchScope& operator=(const DispatchScope&) = delete;

 private:
  int& depth_;
};

QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

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

QString ControlText(const QWidget* w) {
  if (const auto* edit = qobject_cast<const QLineEdit*>(w)) return edit->text();
  if (const auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  if (const auto* group = qobject_cast<const QGroupBox*>(w)) return group->title();
  return {};
}

bool IsTabStop(const QWidget* w, const QWidget* window) {
  return (w->focusPolicy() & Qt::TabFocus) != 0 && w->isVisibleTo(window) && w->isEnabled();
}

// Whole decimal number with optional surrounding blanks.
bool ParseWhole(std::string_view text, bool allowSign, long long lo, long long hi, long long& out) {
  const auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (text.empty()) return false;
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    if (!allowSign) return false;
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would accept a second sign; only digits may follow.
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  unsigned long long magnitude = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (magnitude > static_cast<unsigned long long>(LLONG_MAX)) return false;
  const long long value =
      negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (value < lo || value > hi) return false;
  out = value;
  return true;
}

void FailExchange(DataExchange& dx, int controlId, std::string_view message) {
  MessageBox(message, Icon::Error);
  dx.failed = true;
  dx.dialog.GotoDlgCtrl(controlId);
}

// Reads an integer box into `out`, or fails the exchange with `message`.
bool ReadWhole(DataExchange& dx, int controlId, bool allowSign, long long lo, long long hi,
               std::string_view message, long long& out) {
  if (dx.dialog.Control(controlId) == nullptr) return false;
  if (ParseWhole(dx.dialog.GetDlgItemText(controlId), allowSign, lo, hi, out)) return true;
  FailExchange(dx, controlId, message);
  return false;
}

}  // namespace

void DialogWindow::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const bool plain = event->modifiers() == Qt::NoModifier ||
                     (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
  if (owner_ == nullptr || !enter || !plain) {
    QDialog::keyPressEvent(event);  // Esc -> reject()
    return;
  }
  // A focused push button takes Enter itself; otherwise the template's default
  // push button, and with none the edit box's Enter means OK.
  if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
    if (button->isVisible() && button->isEnabled()) button->click();
    return;
  }
  for (QWidget* w : owner_->impl_->controls) {
    auto* button = qobject_cast<QPushButton*>(w);
    if (button != nullptr && button->isDefault()) {
      if (button->isVisible() && button->isEnabled()) button->click();
      return;
    }
  }
  owner_->DispatchCommand(kIdOk);
}

void DialogWindow::timerEvent(QTimerEvent* event) {
  if (owner_ != nullptr) {
    for (const auto& [id, toolkitId] : owner_->impl_->timers) {
      if (toolkitId == event->timerId()) {
        owner_->DispatchTimer(id);
        return;
      }
    }
  }
  QDialog::timerEvent(event);
}

void RegisterDialogTemplate(int id, const DialogTemplate& dialogTemplate) {
  Templates()[id] = &dialogTemplate;
}

// ---------------------------------------------------------------------------
// Data exchange.

void DdxText(DataExchange& dx, int controlId, std::string& value) {
  if (dx.failed) return;
  if (dx.saveAndValidate) {
    if (dx.dialog.Control(controlId) != nullptr) value = dx.dialog.GetDlgItemText(controlId);
  } else {
    dx.dialog.SetDlgItemText(controlId, value);
  }
}

void DdxInt(DataExchange& dx, int controlId, int& value) {
  if (dx.failed) return;
  if (!dx.saveAndValidate) {
    dx.dialog.SetDlgItemText(controlId, std::to_string(value));
    return;
  }
  long long parsed = 0;
  if (ReadWhole(dx, controlId, true, INT_MIN, INT_MAX, "Please enter an integer.", parsed)) {
    value = static_cast<int>(parsed);
  }
}

void DdxUnsigned(DataExchange& dx, int controlId, std::uint32_t& value) {
  if (dx.failed) return;
  if (!dx.saveAndValidate) {
    dx.dialog.SetDlgItemText(controlId, std::to_string(value));
    return;
  }
  long long parsed = 0;
  if (ReadWhole(dx, controlId, false, 0, UINT32_MAX, "Please enter a whole number, 0 or more.",
                parsed)) {
    value = static_cast<std::uint32_t>(parsed);
  }
}

// ---------------------------------------------------------------------------
// CDialog.

CDialog::CDialog(const DialogTemplate& dialogTemplate) : impl_(std::make_unique<Impl>()) {
  impl_->dialogTemplate = &dialogTemplate;
}

CDialog::CDialog(int templateId) : impl_(std::make_unique<Impl>()) {
  impl_->templateId = templateId;
}

CDialog::~CDialog() {
  DestroyWindow();
}

const DialogTemplate& CDialog::Template() const {
  if (impl_->dialogTemplate != nullptr) return *impl_->dialogTemplate;
  const auto it = Templates().find(impl_->templateId);
  return it == Templates().end() ? kEmptyTemplate : *it->second;
}

bool CDialog::BuildWindow() {
  if (impl_->dialogTemplate == nullptr) {
    const auto it = Templates().find(impl_->templateId);
    if (it == Templates().end()) return false;
    impl_->dialogTemplate = it->second;
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

  QIcon icon;
  for (const int id : {impl_->bigIconId, impl_->smallIconId}) {
    if (const IconResource* resource = FindIcon(id)) icon.addPixmap(Pixmap(*resource));
  }
  if (!icon.isNull()) window->setWindowIcon(icon);
  return true;
}

void CDialog::Initialise() {
  impl_->result = -1;
  impl_->open = true;
  bool focusFirst = false;
  {
    DispatchScope scope(impl_->dispatchDepth);
    focusFirst = OnInitDialog();
  }
  if (!focusFirst || impl_->window == nullptr) return;
  for (QWidget* control : impl_->controls) {
    if (IsTabStop(control, impl_->window)) {
      control->setFocus(Qt::TabFocusReason);
      if (auto* edit = qobject_cast<QLineEdit*>(control)) edit->selectAll();
      break;
    }
  }
}

int CDialog::DoModal() {
  if (impl_->window != nullptr || !BuildWindow()) return -1;
  Initialise();
  if (impl_->open && impl_->window != nullptr) {
    NestedLoopScope operatorUsesIt;
    impl_->window->exec();
  }
  const int result = impl_->result;
  DestroyWindow();
  return result;
}

bool CDialog::Create() {
  if (impl_->window != nullptr || !BuildWindow()) return false;
  Initialise();
  if (impl_->window == nullptr) return false;
  if (impl_->open && (Template().style & kVisible) != 0) impl_->window->show();
  return true;
}

void CDialog::DestroyWindow() {
  DialogWindow* window = impl_->window;
  if (window == nullptr) return;
  for (const auto& [id, toolkitId] : impl_->timers) window->killTimer(toolkitId);
  impl_->timers.clear();
  impl_->window = nullptr;
  impl_->controls.clear();
  impl_->units = {};
  impl_->open = false;
  window->Detach();
  window->hide();
  if (impl_->dispatchDepth > 0) {
    window->deleteLater();
  } else {
    delete window;
  }
}

void CDialog::EndDialog(int result) {
  if (impl_->window == nullptr) return;
  impl_->result = result;
  impl_->open = false;
  FrameworkCloseScope closing;
  impl_->window->done(result);
}

bool CDialog::IsOpen() const {
  return impl_->window != nullptr && impl_->open;
}

int CDialog::Result() const {
  return impl_->result;
}

bool CDialog::UpdateData(bool saveAndValidate) {
  if (impl_->window == nullptr) return false;
  DataExchange dx(*this, saveAndValidate);
  DoDataExchange(dx);
  return !dx.failed;
}

bool CDialog::OnInitDialog() {
  UpdateData(false);
  return true;
}

void CDialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(kIdOk);
}

void CDialog::OnCancel() {
  EndDialog(kIdCancel);
}

void CDialog::DoDataExchange(DataExchange&) {}

void CDialog::DefaultTimer(std::uintptr_t) {}

void CDialog::MapCommand(int controlId, std::function<void()> handler) {
  impl_->commands[controlId] = std::move(handler);
}

void CDialog::MapTimer(std::function<void(std::uintptr_t)> handler) {
  impl_->timerHandler = std::move(handler);
}

bool CDialog::DispatchCommand(int id) {
  DispatchScope scope(impl_->dispatchDepth);
  HandlerScope busy;
  if (const auto it = impl_->commands.find(id); it != impl_->commands.end()) {
    // A copy: the handler may replace its own map entry.
    const auto handler = it->second;
    handler();
    return true;
  }
  if (id == kIdOk) {
    OnOK();
    return true;
  }
  if (id == kIdCancel) {
    OnCancel();
    return true;
  }
  return false;
}

void CDialog::DispatchTimer(std::uintptr_t timerId) {
  DispatchScope scope(impl_->dispatchDepth);
  HandlerScope busy;
  if (impl_->timerHandler) {
    const auto handler = impl_->timerHandler;
    handler(timerId);
  } else {
    DefaultTimer(timerId);
  }
}

std::uintptr_t CDialog::SetTimer(std::uintptr_t id, std::uint32_t periodMs) {
  DialogWindow* window = impl_->window;
  if (window == nullptr || id == 0 || periodMs > static_cast<std::uint32_t>(INT_MAX)) return 0;
  if (const auto it = impl_->timers.find(id); it != impl_->timers.end()) {
    window->killTimer(it->second);
    impl_->timers.erase(it);
  }
  // The toolkit re-arms a late timer from the moment it fired instead of
  // catching up, which gives the single late tick a blocked thread expects.
  const int toolkitId = window->startTimer(std::chrono::milliseconds(periodMs), Qt::PreciseTimer);
  if (toolkitId == 0) return 0;
  impl_->timers[id] = toolkitId;
  return id;
}

bool CDialog::KillTimer(std::uintptr_t id) {
  const auto it = impl_->timers.find(id);
  if (impl_->window == nullptr || it == impl_->timers.end()) return false;
  impl_->window->killTimer(it->second);
  impl_->timers.erase(it);
  return true;
}

void CDialog::UpdateWindow() {
  if (impl_->window != nullptr) impl_->window->repaint();
}

bool CDialog::SetIcon(int iconResourceId, bool big) {
  if (FindIcon(iconResourceId) == nullptr) return false;
  (big ? impl_->bigIconId : impl_->smallIconId) = iconResourceId;
  if (impl_->window != nullptr) {
    QIcon icon;
    for (const int id : {impl_->bigIconId, impl_->smallIconId}) {
      if (const IconResource* resource = FindIcon(id)) icon.addPixmap(Pixmap(*resource));
    }
    impl_->window->setWindowIcon(icon);
  }
  return true;
}

void CDialog::CenterWindow() {
  DialogWindow* window = impl_->window;
  if (window == nullptr) return;
  QScreen* screen = window->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QRect frame = window->frameGeometry();
  window->move(area.x() + (area.width() - frame.width()) / 2,
               area.y() + (area.height() - frame.height()) / 2);
}

std::string CDialog::GetDlgItemText(int id) const {
  const QWidget* control = Control(id);
  return control == nullptr ? std::string() : ControlText(control).toLatin1().toStdString();
}

bool CDialog::SetDlgItemText(int id, std::string_view text) {
  QWidget* control = Control(id);
  if (control == nullptr) return false;
  const QString value = Latin1(text);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(value);
    // Show the start of a text longer than the box, as a fresh box does.
    edit->setCursorPosition(0);
  } else if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(value);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    button->setText(value);
  } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
    group->setTitle(value);
  }
  return true;
}

bool CDialog::IsControlVisible(int id) const {
  const QWidget* control = Control(id);
  return control != nullptr && control->isVisibleTo(impl_->window);
}

bool CDialog::SetDlgItemToolTip(int id, std::string_view tip) {
  QWidget* control = Control(id);
  if (control == nullptr) return false;
  if (auto* edit = dynamic_cast<DialogEdit*>(control)) {
    edit->SetOwnTip(Latin1(tip));
  } else {
    control->setToolTip(Latin1(tip));
  }
  return true;
}

bool CDialog::ShowDlgItem(int id, bool show) {
  QWidget* control = Control(id);
  if (control == nullptr) return false;
  control->setVisible(show);
  return true;
}

bool CDialog::HasFocus(int id) const {
  const QWidget* control = Control(id);
  return control != nullptr && impl_->window->focusWidget() == control;
}

bool CDialog::GotoDlgCtrl(int id) {
  QWidget* control = Control(id);
  if (control == nullptr) return false;
  control->setFocus(Qt::OtherFocusReason);
  if (auto* edit = qobject_cast<QLineEdit*>(control)) edit->selectAll();
  return true;
}

BaseUnits CDialog::GetBaseUnits() const {
  return impl_->units;
}

QDialog* CDialog::Window() const {
  return impl_->window;
}

QWidget* CDialog::Control(int id) const {
  if (id == kNoControlId) return nullptr;
  const auto& controls = Template().controls;
  for (std::size_t i = 0; i < impl_->controls.size() && i < controls.size(); ++i) {
    if (controls[i].id == id) return impl_->controls[i];
  }
  return nullptr;
}

QWidget* CDialog::ControlAt(std::size_t templateIndex) const {
  return templateIndex < impl_->controls.size() ? impl_->controls[templateIndex] : nullptr;
}

}  // namespace platform
