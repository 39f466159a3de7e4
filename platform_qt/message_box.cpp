// The operator message as a modal Qt message box, captioned with the
// application's name.
#include "platform_qt/message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <string>

#include "platform/services.h"
#include "platform_qt/busy.h"

namespace platform {

namespace {

class QtOperator final : public Operator {
 public:
  int Message(std::string_view text, Icon icon, Buttons buttons, std::string_view detail) override {
    const std::string caption = ApplicationName();
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    if (!detail.empty()) {
      box.setInformativeText(
          QString::fromLocal8Bit(detail.data(), static_cast<qsizetype>(detail.size())));
    }
    switch (icon) {
      case Icon::Error:
        box.setIcon(QMessageBox::Critical);
        break;
      case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
      case Icon::Question:
        box.setIcon(QMessageBox::Question);
        break;
      case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    if (buttons == Buttons::YesNo) {
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      box.setDefaultButton(QMessageBox::Yes);
    } else {
      box.setStandardButtons(QMessageBox::Ok);
    }
    // exec() runs a nested event loop, so window timers keep ticking while
    // the box is open.
    const int pressed = [&box] {
      NestedLoopScope operatorAnswers;
      return box.exec();
    }();
    if (buttons == Buttons::YesNo) return pressed == QMessageBox::Yes ? kIdYes : kIdNo;
    return kIdOk;
  }
};

}  // namespace

Operator& MessageBoxOperator() {
  static QtOperator op;
  return op;
}

}  // namespace platform
