#pragma once

#include "platform/win_app.h"

namespace ui {

// The application object: runs the Poll dialog as the main window and lets
// the program end when it closes.
class PollerApp : public platform::CWinApp {
 public:
  bool InitInstance() override;
};

}  // namespace ui
