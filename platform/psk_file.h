// The key file a protected HART-IP session is keyed from: one line
// IDENTITY:KEY, the key in hexadecimal. A secret belongs in a file only its
// owner can read, never on a command line where any user's `ps` shows it.
#pragma once

#include <string>
#include <string_view>

#include "platform/secure_channel.h"

namespace platform {

// Reads `path` into `key`. False, with `error` saying what is wrong and
// what to do, when the file is not a regular file, is not the caller's own,
// may be read or written by its group or others, or holds anything but one
// well-formed line. What was read is wiped from memory either way.
bool ReadPskFile(const std::string& path, PreSharedKey& key, std::string& error);

// The line's rules alone: identity 1 to 128 printable characters, no
// spaces or colons; key 16 to 64 bytes as an even number of hex digits.
bool ParsePskLine(std::string_view line, PreSharedKey& key, std::string& error);

}  // namespace platform
