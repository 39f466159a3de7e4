#pragma once

#include <string>

#include "platform_qt/win_app.h"

namespace ui {

// The application object: runs the Poll dialog as the main window and lets
// the program end when it closes.
class PollerApp : public platform::CWinApp {
 public:
  // Declares the version and the program's options (ui/headless/options.h).
  PollerApp();

  // --service shows the PV button; --port PATH is the device behind
  // "COM8:"; --trace FILE is opened by InitInstance. An empty PATH or FILE
  // is refused.
  bool OnCommandLine(const platform::CommandLine& given, std::string& error) override;
  // Opens the trace once the display is up, so that a start that fails
  // never touches the file; a trace that cannot be written is one error box
  // and status 2, before the main window shows.
  bool InitInstance() override;

  bool serviceView = false;
  std::string traceFile;
};

}  // namespace ui
