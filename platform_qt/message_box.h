// The operator message of an application with a window: a modal message
// box. The application object installs it once its QApplication exists.
#pragma once

#include "platform/services.h"

namespace platform {

Operator& MessageBoxOperator();

}  // namespace platform
