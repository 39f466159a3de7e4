// Writes the program's icon, exactly as ui/resources.cpp draws it, to a PNG
// for the desktop menu, so the menu and the window show the same picture.
//
//   export_icon OUTPUT.png
#include <cstdio>

#include "platform_qt/resources.h"
#include "ui/resources.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argc > 0 ? argv[0] : "export_icon");
    return 2;
  }
  ui::RegisterResources();
  if (!platform::SaveIconPng(ui::kIconApp, argv[1])) {
    std::fprintf(stderr, "export_icon: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
