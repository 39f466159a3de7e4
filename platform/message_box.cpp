// The operator message: a Qt message box when the application has a GUI,
// standard error otherwise (tools and tests without a QApplication).
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <string>

#include "platform/busy.h"
#include "platform/services.h"

namespace platform {

namespace {

class QtOperator final : public Operator {
 public:
  int Message(std::string_view text, Icon icon, Buttons buttons, std::string_view detail) override {
    const std::string caption = ApplicationName();
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
      std::fprintf(stderr, "%s: %.*s\n", caption.c_str(), static_cast<int>(text.size()),
                   text.data());
      if (!detail.empty()) {
        std::fprintf(stderr, "%s: %.*s\n", caption.c_str(), static_cast<int>(detail.size()),
                     detail.data());
      }
      // Without anyone to ask, a question is answered No: nothing is started
      // that the operator did not agree to.
      return buttons == Buttons::YesNo ? kIdNo : kIdOk;
    }
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

Operator& RealOperator() {
  static QtOperator op;
  return op;
}

}  // namespace platform
