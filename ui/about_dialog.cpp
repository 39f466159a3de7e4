#include "ui/about_dialog.h"

#include "ui/resources.h"

namespace ui {

AboutDialog::AboutDialog() : CDialog(AboutDialogTemplate()) {}

}  // namespace ui
