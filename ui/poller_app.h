#pragma once

#include <string>

#include "platform/win_app.h"

namespace ui {

// The application object: runs the Poll dialog as the main window and lets
// the program end when it closes.
class PollerApp : public platform::CWinApp {
 public:
  // Declares the version and the program's options (ui/options.h).
  PollerApp();

  // --service shows the PV button; --trace FILE opens the frame trace, and
  // a FILE that cannot be written is refused.
  bool OnCommandLine(const platform::CommandLine& given, std::string& error) override;
  bool InitInstance() override;

  bool serviceView = false;
};

}  // namespace ui
