#include "command_line/config_file.h"

#include <algorithm>

namespace platform {

namespace {

std::string_view Trimmed(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::string_view WithoutComment(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
      return line.substr(0, i);
    }
  }
  return line;
}

std::string KeyList(const std::vector<std::string>& keys) {
  std::string list;
  for (const auto& k : keys) list += (list.empty() ? "" : ", ") + k;
  return list;
}

}  // namespace

bool ParseConfig(std::string_view text, const std::string& path,
                 const std::vector<std::string>& keys, ConfigFile& file, std::string& error) {
  ConfigFile parsed;
  parsed.path = path;
  int number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    const std::string_view line = Trimmed(WithoutComment(raw));
    if (line.empty()) continue;
    const std::string where = path + ":" + std::to_string(number) + ": ";
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || Trimmed(line.substr(0, equals)).empty()) {
      error = where + "'" + std::string(line) + "' is not a 'key = value' line";
      return false;
    }
    const std::string key(Trimmed(line.substr(0, equals)));
    const std::string_view value = Trimmed(line.substr(equals + 1));
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      error = where + "unknown setting '" + key + "' (known: " + KeyList(keys) + ")";
      return false;
    }
    if (value.empty()) {
      error = where + "'" + key + "' needs a value";
      return false;
    }
    parsed.values[key] = {std::string(value), number};
  }
  file = std::move(parsed);
  return true;
}

}  // namespace platform
