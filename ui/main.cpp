// The veltrop program: the Poll dialog as its main window.
#include "platform/win_app.h"
#include "ui/poller_app.h"

ui::PollerApp theApp;

int main(int argc, char** argv) {
  return platform::RunApplication(argc, argv);
}
