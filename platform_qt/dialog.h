// The dialog framework: dialogs built from templates in dialog units, message
// maps from control identifiers and the timer message to member handlers,
// data exchange between controls and member fields, window timers.
//
// ui/ uses it without any toolkit header. Everything here runs on the one
// user-interface thread; handlers are plain member calls made from the event
// loop (or from a nested loop: a modal dialog, a message box).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

class QDialog;
class QWidget;

namespace platform {

// ---------------------------------------------------------------------------
// Dialog templates: constant data describing a dialog and its controls.

inline constexpr int kNoControlId = -1;  // a control nothing refers to

enum class ControlKind {
  PushButton,
  DefaultPushButton,  // pressed by Enter unless another push button has the focus
  Edit,               // bordered, scrolls horizontally, editable unless kReadOnly
  Label,              // static text, left-aligned, never a tab stop
  GroupBox,           // frame with optional title, drawn behind the other controls
};

// Control style bits.
inline constexpr std::uint32_t kReadOnly = 1u << 0;   // edit box: operator cannot type
inline constexpr std::uint32_t kNoBorder = 1u << 1;   // edit box: frameless
inline constexpr std::uint32_t kHidden = 1u << 2;     // created hidden
inline constexpr std::uint32_t kNoTabStop = 1u << 3;  // Tab skips it (a click may still focus)

// Dialog style bits.
inline constexpr std::uint32_t kSystemMenu = 1u << 0;  // title bar has a close button
inline constexpr std::uint32_t kModalFrame = 1u << 1;  // fixed-size dialog frame
inline constexpr std::uint32_t kVisible = 1u << 2;     // Create() shows the window
// A title-bar OK button. Window managers here offer no such button; the close
// button stands in for it and, like every close, goes to Cancel handling.
inline constexpr std::uint32_t kCaptionOk = 1u << 3;
// Listed in the task bar. Every window without a parent already is on Linux.
inline constexpr std::uint32_t kAppWindow = 1u << 4;

// Positions and sizes in dialog units: a quarter of the unit font's average
// character width horizontally, an eighth of its height vertically (BaseUnits).
struct ControlTemplate {
  int id = kNoControlId;
  ControlKind kind = ControlKind::Label;
  const char* text = "";
  int x = 0;
  int y = 0;
  int cx = 0;
  int cy = 0;
  std::uint32_t style = 0;
  // What a screen reader calls the control when its drawn text does not say
  // (a "?" button, a box without a label). A box with a label beside it,
  // ending just left of it on the same line, is named after that label.
  const char* accessibleName = nullptr;
};

struct DialogTemplate {
  const char* caption = "";
  std::uint32_t style = 0;
  // The face the layout was drawn for. Every dialog here draws in DejaVu Sans
  // at 5/4 of `pointSize`, and takes its dialog units from the same face at
  // 3/2 of it, so each text has room beyond its width in the original font.
  const char* fontName = "";
  int pointSize = 8;
  int cx = 0;  // client area, dialog units
  int cy = 0;
  std::span<const ControlTemplate> controls;  // template order = creation = tab order
};

// Registers a template under a resource identifier for CDialog(int). The
// template must outlive every dialog built from it (static data does).
void RegisterDialogTemplate(int id, const DialogTemplate& dialogTemplate);

// Dialog base units in pixels: the unit font's average character width and
// its height (the dialog face a step larger than the controls' text). x pixels = du * charWidth /
// 4, y pixels = du * charHeight / 8, rounded to the nearest pixel.
struct BaseUnits {
  int charWidth = 0;
  int charHeight = 0;
};

// ---------------------------------------------------------------------------
// Data exchange.

class CDialog;

// Passed to DoDataExchange; `saveAndValidate` is true for controls -> fields.
// After the first failing box, every further Ddx call does nothing, so the
// fields bound after it keep their values.
class DataExchange {
 public:
  DataExchange(CDialog& dialog, bool saveAndValidate)
      : dialog(dialog), saveAndValidate(saveAndValidate) {}
  CDialog& dialog;
  const bool saveAndValidate;
  bool failed = false;
};

// Text box <-> 8-bit text (each character one byte, no translation).
void DdxText(DataExchange& dx, int controlId, std::string& value);
// Integer box <-> int, shown in decimal. Reading accepts optional blanks
// around an optional sign and decimal digits within the range of int;
// anything else shows "Please enter an integer." with the error icon, then
// puts the focus on the box with its text selected and fails the exchange.
void DdxInt(DataExchange& dx, int controlId, int& value);
// As DdxInt for whole numbers 0 .. 4294967295: a sign of either kind fails
// ("Please enter a whole number, 0 or more.").
void DdxUnsigned(DataExchange& dx, int controlId, std::uint32_t& value);

// ---------------------------------------------------------------------------
// Dialogs.

class CDialog {
 public:
  explicit CDialog(const DialogTemplate& dialogTemplate);
  // The template registered under `templateId`; with none registered the
  // dialog cannot be created (DoModal returns -1, Create returns false).
  explicit CDialog(int templateId);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Builds the window (no parent), runs OnInitDialog, shows the dialog and
  // runs a nested event loop until EndDialog; then destroys the window and
  // returns the value given to EndDialog, or -1 if the window could not be
  // built. EndDialog during OnInitDialog returns without showing anything.
  int DoModal();

  // The non-modal path: builds the window and runs OnInitDialog like DoModal,
  // shows it when the template has kVisible, and returns at once. Events reach
  // it from whatever loop runs next (QTest clicks, qWait). EndDialog hides it;
  // DestroyWindow (or the destructor) destroys it. False if a window already
  // exists or the template is unknown.
  bool Create();
  void DestroyWindow();

  // Closes the dialog with `result`: leaves the modal loop, or hides a dialog
  // from Create(). Does nothing without a window.
  void EndDialog(int result);

  // True from Create()/DoModal() until EndDialog or the window's destruction.
  bool IsOpen() const;
  // The value last given to EndDialog; -1 before that.
  int Result() const;

  // Controls -> fields (true) or fields -> controls (false) through
  // DoDataExchange. False if a box failed validation (the framework has
  // already told the operator) or there is no window.
  bool UpdateData(bool saveAndValidate = true);

  // Delivers a button-clicked notification exactly as a click does: the
  // mapped handler, else OnOK for 1 and OnCancel for 2. Returns false if
  // nothing handled it.
  bool DispatchCommand(int id);
  // Delivers the timer message exactly as a tick does: the mapped handler,
  // else DefaultTimer.
  void DispatchTimer(std::uintptr_t timerId);

  // Starts (or restarts) window timer `id` with `periodMs`; returns `id`, or 0
  // if there is no window or `id` is 0. Each period delivers the timer message
  // through the map. A period that elapses while the UI thread is busy yields
  // one late tick, never a backlog, and a tick never re-enters its own handler:
  // while that handler runs (also inside a message box it opened) further
  // ticks of the same timer wait until it returns. Ticks of other timers, and
  // ticks during a box opened by a button handler, are delivered.
  std::uintptr_t SetTimer(std::uintptr_t id, std::uint32_t periodMs);
  // Stops timer `id`; false if no such timer runs. Destroying the window
  // stops all of its timers.
  bool KillTimer(std::uintptr_t id);

  // Redraws the dialog and its controls at once, before returning, so text
  // set by a handler is on screen while that handler goes on blocking.
  void UpdateWindow();
  // Sets the window's icon from icon resource `iconResourceId` (big: the
  // task-bar/switcher image, small: the title bar; Qt chooses from one icon
  // holding both). False if the resource is unknown.
  bool SetIcon(int iconResourceId, bool big);
  // Centres the dialog on the screen it is on.
  void CenterWindow();

  // The text of control `id` (8-bit); empty if there is no such control.
  std::string GetDlgItemText(int id) const;
  bool SetDlgItemText(int id, std::string_view text);
  // Sets control `id`'s own tool tip (empty: none). An edit box whose text
  // runs past its edge shows that text first, then this tip.
  bool SetDlgItemToolTip(int id, std::string_view tip);
  // Whether control `id` is shown when the dialog is (its own visibility).
  bool IsControlVisible(int id) const;
  // Shows or hides control `id`, e.g. one the template creates hidden.
  // False if there is no such control.
  bool ShowDlgItem(int id, bool show);
  // Whether control `id` is the dialog's focus control (the one that has, or
  // will have when the window becomes active, the keyboard focus).
  bool HasFocus(int id) const;
  // Moves the focus to control `id`; an edit box gets its text selected.
  bool GotoDlgCtrl(int id);

  const DialogTemplate& Template() const;
  BaseUnits GetBaseUnits() const;  // zero until the window is built

  // For tests: the toolkit objects behind the dialog; nullptr without a window.
  QDialog* Window() const;
  QWidget* Control(int id) const;
  QWidget* ControlAt(std::size_t templateIndex) const;

 protected:
  // Default initialisation: fields -> controls. Returning true lets the
  // framework put the focus on the first visible, enabled tab stop in
  // template order; return false after placing the focus yourself.
  virtual bool OnInitDialog();
  // OK (identifier 1: the default push button, Enter in an edit box when no
  // push button is the default one, or a click on a button with id 1):
  // controls -> fields; on success EndDialog(1), else the dialog stays open.
  virtual void OnOK();
  // Cancel (identifier 2: Esc, or the window's close button): EndDialog(2).
  virtual void OnCancel();
  // Binds fields to controls with DdxText/DdxInt/DdxUnsigned, in order.
  virtual void DoDataExchange(DataExchange& dx);
  // The framework's default handling of a timer message: nothing.
  void DefaultTimer(std::uintptr_t timerId);

  // Message map entries, normally made in the derived constructor:
  //   OnClicked(1000, &PollDialog::OnPoll);
  //   OnTimerMessage(&PvDialog::OnTimer);
  // A later entry for the same identifier replaces the earlier one.
  template <class Derived>
  void OnClicked(int controlId, void (Derived::*handler)()) {
    static_assert(std::is_base_of_v<CDialog, Derived>, "handler must be a dialog member");
    MapCommand(controlId, [this, handler] { (static_cast<Derived*>(this)->*handler)(); });
  }
  template <class Derived>
  void OnTimerMessage(void (Derived::*handler)(std::uintptr_t)) {
    static_assert(std::is_base_of_v<CDialog, Derived>, "handler must be a dialog member");
    MapTimer([this, handler](std::uintptr_t id) { (static_cast<Derived*>(this)->*handler)(id); });
  }

 private:
  struct Impl;
  friend struct Impl;
  friend class DialogWindow;

  void MapCommand(int controlId, std::function<void()> handler);
  void MapTimer(std::function<void(std::uintptr_t)> handler);
  bool BuildWindow();
  void Initialise();

  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
