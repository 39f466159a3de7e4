// The running program and its neighbours: a program installed beside it,
// handing the process over to it, the local time for a record.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// `relative` taken from the directory of the running executable.
std::string ProgramBeside(std::string_view relative);

// Replaces this process with the program at `path`, with `argv` as given
// (argv[0] included). Returns only when it could not: then the reason.
std::string ReplaceProcess(const std::string& path, char** argv);

// The local time now in ISO 8601, to the second (or the millisecond), with
// the offset from UTC: 2026-12-08T15:04:05+01:00, 2026-12-08T15:04:05.250+01:00.
std::string LocalTimeIso8601(bool milliseconds = false);

// Whether standard error is a terminal someone watches (not a file or a
// pipe): only then is progress worth drawing there.
bool StandardErrorIsTerminal();

}  // namespace platform
