#include "platform_qt/resources.h"

#include <map>
#include <utility>

namespace platform {

namespace {

std::map<int, IconResource>& Icons() {
  static std::map<int, IconResource> icons;
  return icons;
}

std::map<int, std::string>& Strings() {
  static std::map<int, std::string> strings;
  return strings;
}

}  // namespace

bool RegisterIcon(int id, int width, int height, const std::uint32_t* argb) {
  if (width <= 0 || height <= 0 || argb == nullptr) return false;
  const auto count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  Icons()[id] = IconResource{width, height, std::vector<std::uint32_t>(argb, argb + count)};
  return true;
}

const IconResource* FindIcon(int id) {
  const auto it = Icons().find(id);
  return it == Icons().end() ? nullptr : &it->second;
}

void RegisterString(int id, std::string text) {
  Strings()[id] = std::move(text);
}

std::string LoadString(int id) {
  const auto it = Strings().find(id);
  return it == Strings().end() ? std::string() : it->second;
}

int MessageBox(int stringId, Icon icon, Buttons buttons) {
  return MessageBox(std::string_view(LoadString(stringId)), icon, buttons);
}

}  // namespace platform
