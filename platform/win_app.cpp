#include "platform/win_app.h"

#include <QApplication>
#include <memory>

namespace platform {

namespace {

CWinApp*& Registered() {
  static CWinApp* app = nullptr;
  return app;
}

}  // namespace

CWinApp::CWinApp() {
  Registered() = this;
}

CWinApp::~CWinApp() {
  if (Registered() == this) Registered() = nullptr;
}

bool CWinApp::InitInstance() {
  return true;
}

CWinApp* CurrentApp() {
  return Registered();
}

int RunApplication(int argc, char** argv) {
  CWinApp* app = CurrentApp();
  if (app == nullptr) return 1;
  // QApplication keeps a reference to argc for its whole life.
  int qtArgc = argc;
  std::unique_ptr<QApplication> owned;
  if (QCoreApplication::instance() == nullptr) owned = std::make_unique<QApplication>(qtArgc, argv);
  if (!app->InitInstance()) return 0;
  return QApplication::exec();
}

bool InitSocketLayer() {
  return true;
}

}  // namespace platform
