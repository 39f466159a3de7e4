// Private to the dialog framework: the toolkit window behind a CDialog and
// the dialog's state, shared by its layout, data exchange and life.
#pragma once

#include <QDialog>
#include <QIcon>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "platform_qt/dialog.h"

class QKeyEvent;
class QTimerEvent;

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

// The template registered under `id`, or null.
const DialogTemplate* RegisteredTemplate(int id);

// The window icon made of a dialog's big and small icon resources; null when
// neither is set.
QIcon WindowIcon(int bigIconId, int smallIconId);

}  // namespace platform
