#include "ui/poller_app.h"

#include "hart/hart_device.h"
#include "platform/frame_trace.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "ui/poll_dialog.h"
#include "ui/resources.h"

namespace ui {

PollerApp::PollerApp() {
  appVersion = VELTROP_VERSION;
  appSummary =
      "Checks HART communication with a field device through the HART modem on COM8: "
      "(/dev/com8).";
  appOptions = {
      {"service", "",
       "show the PV button: loop current and PV, or the error-rate test (for service staff)"},
      {"trace", "FILE", "write every HART frame sent and read to FILE, a capture Wireshark reads"},
      {"modem", "KIND", "self (default), or rts: DTR powers the modem, RTS keys it"},
  };
}

bool PollerApp::OnCommandLine(const platform::CommandLine& given, std::string& error) {
  serviceView = given.IsSet("service");
  if (given.IsSet("modem")) {
    const std::string kind = given.Value("modem");
    if (kind != "self" && kind != "rts") {
      error = "option '--modem' takes self or rts, not '" + kind + "'";
      return false;
    }
    hart::UseModemKeying(kind == "rts" ? serial::Keying::kRts : serial::Keying::kSelf);
  }
  if (given.IsSet("trace") && !platform::OpenFrameTrace(given.Value("trace"), error)) return false;
  return true;
}

bool PollerApp::InitInstance() {
  RegisterResources();
  if (!platform::InitSocketLayer()) {
    platform::MessageBox(kStringSocketsFailed, platform::Icon::None);
    return false;
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
