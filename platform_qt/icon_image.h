// A registered icon as a Qt image: the one conversion behind the dialogs'
// window icons and the PNG written for the desktop menu.
#pragma once

#include <QImage>

#include "platform_qt/resources.h"

namespace platform {

// Straight (not premultiplied) ARGB, so the PNG keeps the drawn alpha exactly.
QImage IconImage(const IconResource& icon);

}  // namespace platform
