// The program's command line: its own options, --help and --version, read
// with Qt's parser before any window exists; Qt's own options (-platform,
// -display, ...) are let through for the toolkit to take.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// An option of the program's own: --name, or --name VALUE (also
// --name=VALUE) when valueName is set.
struct CommandLineOption {
  std::string name;
  std::string valueName;
  std::string description;
};

// The options given, the program's and Qt's, by name without dashes.
class CommandLine {
 public:
  bool IsSet(std::string_view name) const;
  // The value given last; empty for a flag or an option not given.
  std::string Value(std::string_view name) const;
  void Set(std::string name, std::string value);

 private:
  std::vector<std::pair<std::string, std::string>> values_;
};

enum class CommandLineAction { Run, Help, Version, Error };

struct ParsedCommandLine {
  CommandLineAction action = CommandLineAction::Run;
  std::string error;  // with Error: what is wrong, naming the option
  CommandLine given;
};

// Reads argv[1...]. --help (-h) and --version win over everything else on
// the line except an error; the program takes no arguments besides options.
ParsedCommandLine ParseCommandLine(int argc, const char* const* argv,
                                   const std::vector<CommandLineOption>& options);

// The text --help prints.
std::string UsageText(std::string_view program, std::string_view summary,
                      const std::vector<CommandLineOption>& options);

}  // namespace platform
