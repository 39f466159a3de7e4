// Writes the program's icon, exactly as ui/resources.cpp draws it, to a PNG
// for the desktop menu, so the menu and the window show the same picture.
//
//   export_icon SIZE OUTPUT.png
#include <cstdio>
#include <cstdlib>

#include "platform_qt/resources.h"
#include "ui/resources.h"

int main(int argc, char** argv) {
  const int size = argc == 3 ? std::atoi(argv[1]) : 0;
  if (size < 16 || size > 512) {
    std::fprintf(stderr, "usage: %s SIZE OUTPUT.png (SIZE 16 to 512)\n",
                 argc > 0 ? argv[0] : "export_icon");
    return 2;
  }
  // Under the window icon's own id: this program shows no window.
  const auto pixels = ui::DrawAppIcon(size);
  if (!platform::RegisterIcon(ui::kIconApp, size, size, pixels.data()) ||
      !platform::SaveIconPng(ui::kIconApp, argv[2])) {
    std::fprintf(stderr, "export_icon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
