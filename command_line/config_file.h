// The user's settings file: "key = value" lines, read as the options are,
// so that a line it cannot use is reported as an option error would be.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ConfigValue {
  std::string value;
  int line = 0;  // where it was set, for the error that refuses it
};

struct ConfigFile {
  std::string path;
  std::map<std::string, ConfigValue, std::less<>> values;  // the last line for a key wins
};

// Reads `text`, the contents of `path`. Blank lines and comments are
// skipped: '#' first on a line, or after a blank ("port = /dev/ttyUSB0  #
// the FTDI one"). Blanks around the key and the value do not count. False,
// with `error` as "PATH:LINE: what is wrong", for a line that is not
// "key = value", a key not in `keys` or a key without a value.
bool ParseConfig(std::string_view text, const std::string& path,
                 const std::vector<std::string>& keys, ConfigFile& file, std::string& error);

}  // namespace platform
