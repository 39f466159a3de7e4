#include "platform_qt/icon_image.h"

namespace platform {

QImage IconImage(const IconResource& icon) {
  QImage image(icon.width, icon.height, QImage::Format_ARGB32);
  for (int y = 0; y < icon.height; ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < icon.width; ++x) {
      line[x] = icon.argb[static_cast<std::size_t>(y) * static_cast<std::size_t>(icon.width) +
                          static_cast<std::size_t>(x)];
    }
  }
  return image;
}

bool SaveIconPng(int id, const std::string& path) {
  const IconResource* icon = FindIcon(id);
  if (icon == nullptr) return false;
  // PNG support is built into Qt's GUI library: no application object or
  // platform plugin is needed, so a build step can call this.
  return IconImage(*icon).save(QString::fromStdString(path), "PNG");
}

}  // namespace platform
