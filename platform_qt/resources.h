// Application resources: icons and strings registered by identifier.
//
// The program's resources are plain data compiled into ui/; it registers them
// once at start-up (before the first dialog needs them) and the dialog
// framework and the operator message look them up by number. Registering an
// identifier again replaces the earlier entry. Everything here runs on the
// user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/services.h"

namespace platform {

// One image: `width` x `height` pixels, rows top to bottom, each pixel
// 0xAARRGGBB (alpha in the top byte, not premultiplied).
struct IconResource {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> argb;
};

// Copies width * height pixels from `argb`. Returns false (and registers
// nothing) for a non-positive size or a null pointer.
bool RegisterIcon(int id, int width, int height, const std::uint32_t* argb);

// The icon registered under `id`, or nullptr.
const IconResource* FindIcon(int id);

// Writes the icon registered under `id` to `path` as a PNG with its alpha
// channel. False when there is no such icon or the file cannot be written.
bool SaveIconPng(int id, const std::string& path);

void RegisterString(int id, std::string text);

// The string registered under `id`; empty when there is none.
std::string LoadString(int id);

// The operator message with its text taken from string resource `stringId`
// (an unknown identifier shows an empty text, as a missing resource would).
int MessageBox(int stringId, Icon icon, Buttons buttons = Buttons::Ok);

}  // namespace platform
