// A dialog's life: the toolkit window's keys and timer events turned into
// the dialog's commands and timer messages, modal and modeless running,
// message maps, timers, and access to its controls.
#include "platform_qt/dialog.h"

#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimerEvent>
#include <chrono>
#include <climits>
#include <map>
#include <utility>
#include <vector>

#include "platform/services.h"
#include "platform_qt/busy.h"
#include "platform_qt/dialog_edit.h"
#include "platform_qt/dialog_window.h"
#include "platform_qt/resources.h"

namespace platform {

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

}  // namespace

const DialogTemplate* RegisteredTemplate(int id) {
  const auto it = Templates().find(id);
  return it == Templates().end() ? nullptr : it->second;
}

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
    impl_->window->setWindowIcon(WindowIcon(impl_->bigIconId, impl_->smallIconId));
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
