// Dialog data exchange: moving values between a dialog's members and its
// boxes, and refusing what the operator typed when it is not a number.
#include <charconv>
#include <climits>
#include <string>

#include "platform/services.h"
#include "platform_qt/dialog.h"
#include "platform_qt/dialog_window.h"

namespace platform {

namespace {

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

bool CDialog::UpdateData(bool saveAndValidate) {
  if (impl_->window == nullptr) return false;
  DataExchange dx(*this, saveAndValidate);
  DoDataExchange(dx);
  return !dx.failed;
}

void CDialog::DoDataExchange(DataExchange&) {}

}  // namespace platform
