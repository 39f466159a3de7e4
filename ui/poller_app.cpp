#include "ui/poller_app.h"

#include "hart/hart_device.h"
#include "platform/frame_trace.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "platform_qt/resources.h"
#include "ui/poll_dialog.h"
#include "ui/resources.h"

namespace ui {

PollerApp::PollerApp() {
  appVersion = VELTROP_VERSION;
  appSummary =
      "Checks HART communication with a field device through the HART modem on COM8:\n"
      "(/dev/com8 unless --port names another device).";
  appOptions = {
      {"service", "", "show the PV button: loop current and PV, or the error-rate test"},
      {"port", "PATH", "the modem's device for COM8: (default /dev/com8)"},
      {"trace", "FILE", "write every HART frame to FILE, a capture Wireshark reads"},
      {"modem", "KIND", "self (default), or rts: DTR powers the modem, RTS keys it"},
  };
}

bool PollerApp::OnCommandLine(const platform::CommandLine& given, std::string& error) {
  for (const char* name : {"port", "trace"}) {
    if (given.IsSet(name) && given.Value(name).empty()) {
      error = std::string("option '--") + name + "' needs a non-empty value";
      return false;
    }
  }
  serviceView = given.IsSet("service");
  if (given.IsSet("port")) platform::SetPortPath(serial::kPortName, given.Value("port"));
  traceFile = given.Value("trace");
  if (given.IsSet("modem")) {
    const std::string kind = given.Value("modem");
    if (kind != "self" && kind != "rts") {
      error = "option '--modem' takes self or rts, not '" + kind + "'";
      return false;
    }
    hart::UseModemKeying(kind == "rts" ? serial::Keying::kRts : serial::Keying::kSelf);
  }
  return true;
}

bool PollerApp::InitInstance() {
  RegisterResources();
  if (!platform::InitSocketLayer()) {
    platform::MessageBox(kStringSocketsFailed, platform::Icon::None);
    return false;
  }
  if (!traceFile.empty()) {
    std::string error;
    if (!platform::OpenFrameTrace(traceFile, error)) {
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
  platform::CloseFrameTrace();
  // False ends the program instead of running a message loop.
  return false;
}

}  // namespace ui
