#include "ui/poller_app.h"

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "platform_qt/resources.h"
#include "serial/frame_trace.h"
#include "ui/headless/options.h"
#include "ui/poll_dialog.h"
#include "ui/resources.h"

namespace ui {

PollerApp::PollerApp() {
  appVersion = VELTROP_VERSION;
  appNotice =
      "Copyright (C) 2026 The Veltrop developers.\n"
      "License MIT: <https://opensource.org/licenses/MIT>.\n"
      "This is free software: you are free to change and redistribute it.\n"
      "There is NO WARRANTY, to the extent permitted by law.\n";
  appSummary =
      "Checks HART communication with a field device through the HART modem on COM8:\n"
      "(/dev/com8 unless --port, VELTROP_PORT or ~/.config/veltrop/veltrop.conf names\n"
      "another device).";
  appOptions = ProgramOptions();
}

bool PollerApp::OnCommandLine(const platform::CommandLine& given, std::string& error) {
  // The veltrop program runs these itself and hands the window only the
  // lines without them; the window program started on its own refuses them.
  HeadlessOptions headless;
  if (!ReadHeadlessOptions(given, headless, error)) return false;
  if (headless.mode != Mode::Window) {
    error =
        "this is the window; --poll, --scan, --monitor and --list-ports are run by the veltrop "
        "program";
    return false;
  }
  serviceView = given.IsSet("service");
  // The trace is opened once the display is known to be there.
  traceFile = given.Value("trace");
  return ApplySharedOptions(given, error);
}

bool PollerApp::InitInstance() {
  RegisterResources();
  if (!platform::InitSocketLayer()) {
    platform::MessageBox(kStringSocketsFailed, platform::Icon::None);
    return false;
  }
  if (!traceFile.empty()) {
    std::string error;
    if (!serial::OpenFrameTrace(traceFile, error)) {
      platform::MessageBox(error, platform::Icon::Error);
      exitCode = 2;
      return false;
    }
  }
  PollDialog dialog;
  dialog.serviceView = serviceView;
  SetMainWindow(&dialog);
  dialog.DoModal();
  SetMainWindow(nullptr);
  serial::CloseFrameTrace();
  // False ends the program instead of running a message loop.
  return false;
}

}  // namespace ui
