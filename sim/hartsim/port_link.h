// hartsim --link PATH: the symbolic link that puts the simulated terminal
// where a program expects its serial port (/dev/com8), and the record that
// says whose link it is.
#pragma once

#include <string>

namespace sim {

// Makes `path` a symbolic link to `target` (a pseudo-terminal). An existing
// `path` is replaced only when it is a link a simulator left behind: its
// terminal is gone, or is `target` itself (the kernel hands a killed
// simulator's number to the next terminal opened), or the record in
// `recordDir` says a simulator made it and that process is dead. Anything
// else there is refused. With a `recordDir`, the link is recorded there (the
// process and its start time), since a record, unlike the link, tells whose
// it is after the terminal's number has gone to someone else. Returns true on
// success; `message` says what was done, or why not and what to do.
bool CreateLink(const std::string& path, const std::string& target, std::string& message,
                const std::string& recordDir = {});
// Removes `path` if it is still our link to `target`, and our record of it.
bool RemoveLink(const std::string& path, const std::string& target,
                const std::string& recordDir = {});

// Where hartsim keeps its link records: /run/hartsim as root (cleared at
// boot with /dev/pts and the links into it), else $XDG_RUNTIME_DIR/hartsim;
// empty when there is neither.
std::string DefaultRecordDir();

}  // namespace sim
