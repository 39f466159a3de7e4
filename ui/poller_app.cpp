#include "ui/poller_app.h"

#include "platform/resources.h"
#include "platform/services.h"
#include "ui/poll_dialog.h"
#include "ui/resources.h"

namespace ui {

bool PollerApp::InitInstance() {
  RegisterResources();
  if (!platform::InitSocketLayer()) {
    platform::MessageBox(kStringSocketsFailed, platform::Icon::None);
    return false;
  }
  PollDialog dialog;
  SetMainWindow(&dialog);
  dialog.DoModal();
  SetMainWindow(nullptr);
  // False ends the program instead of running a message loop.
  return false;
}

}  // namespace ui
