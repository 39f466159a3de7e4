// The veltrop program: the Poll dialog as its main window.
#include "platform_qt/win_app.h"
#include "serial/frame_trace.h"
#include "serial/hart_link.h"
#include "serial/link_trace.h"
#include "ui/poller_app.h"

ui::PollerApp theApp;

int main(int argc, char** argv) {
  // The link shows the trace every frame; it records them only once
  // --trace has opened one.
  serial::LinkTrace trace;
  serial::HartLink::SetObserver(&trace);
  // Killed at logout or with Ctrl+C: the port's lock and lines are released
  // before the program ends, so the next operator can open it.
  theApp.onTerminate = [] {
    serial::HartLink::CloseLink();
    serial::CloseFrameTrace();
  };
  const int status = platform::RunApplication(argc, argv);
  serial::HartLink::SetObserver(nullptr);
  return status;
}
