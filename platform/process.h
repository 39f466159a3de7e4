// The running program and its neighbours: a program installed beside it,
// handing the process over to it, its environment and the user's settings
// file, the local time for a record.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// `relative` taken from the directory of the running executable.
std::string ProgramBeside(std::string_view relative);

// Replaces this process with the program at `path`, with `argv` as given
// (argv[0] included). Returns only when it could not: then the reason.
std::string ReplaceProcess(const std::string& path, char** argv);

// The environment variable `name`; nullopt when it is not set or empty.
std::optional<std::string> EnvironmentValue(std::string_view name);

// `relative` in the user's configuration directory: $XDG_CONFIG_HOME, else
// ~/.config. Empty when there is no home directory to be found.
std::string UserConfigFile(std::string_view relative);

// Reads the whole of a small file (a settings file: at most 64 KiB).
// Returns 0, or the errno value that kept it from being read (EFBIG when
// it is larger).
int ReadSmallFile(const std::string& path, std::string& text);

// The local time now in ISO 8601, to the second (or the millisecond), with
// the offset from UTC: 2026-12-08T15:04:05+01:00, 2026-12-08T15:04:05.250+01:00.
std::string LocalTimeIso8601(bool milliseconds = false);

// Whether standard error is a terminal someone watches (not a file or a
// pipe): only then is progress worth drawing there.
bool StandardErrorIsTerminal();

}  // namespace platform
