#pragma once

#include "platform_qt/dialog.h"

namespace ui {

// The About box: version and the maker's contact lines; OK closes it.
class AboutDialog : public platform::CDialog {
 public:
  AboutDialog();
};

}  // namespace ui
