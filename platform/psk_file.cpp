#include "platform/psk_file.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t kMaxIdentity = 128;
// 128 bits at the least; 512 is more than any suite here can use.
constexpr std::size_t kMinKeyBytes = 16;
constexpr std::size_t kMaxKeyBytes = 64;
// An identity, a colon, the longest key and a newline fit many times over.
constexpr std::size_t kMaxFileBytes = 1024;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

bool ParsePskLine(std::string_view line, PreSharedKey& key, std::string& error) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    error = "expected one line IDENTITY:KEY, the key in hex";
    return false;
  }
  const std::string_view identity = line.substr(0, colon);
  const std::string_view hex = line.substr(colon + 1);
  if (identity.empty() || identity.size() > kMaxIdentity) {
    error = "the identity must be 1 to " + std::to_string(kMaxIdentity) + " characters";
    return false;
  }
  for (const char c : identity) {
    if (c <= ' ' || c > '~') {
      error = "the identity may hold printable characters only, no spaces";
      return false;
    }
  }
  if (hex.size() % 2 != 0 || hex.size() < 2 * kMinKeyBytes || hex.size() > 2 * kMaxKeyBytes) {
    error = "the key must be " + std::to_string(kMinKeyBytes) + " to " +
            std::to_string(kMaxKeyBytes) + " bytes, two hex digits each";
    return false;
  }
  std::vector<std::uint8_t> bytes(hex.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int hi = HexDigit(hex[2 * i]);
    const int lo = HexDigit(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      OPENSSL_cleanse(bytes.data(), bytes.size());
      error = "the key must be hex digits only (0-9, a-f), after the first colon";
      return false;
    }
    bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  key = PreSharedKey(std::string(identity), bytes);
  OPENSSL_cleanse(bytes.data(), bytes.size());
  return true;
}

bool ReadPskFile(const std::string& path, PreSharedKey& key, std::string& error) {
  // O_NONBLOCK: a FIFO put in the key file's place must not hang the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  // Judged on what was opened, not on the name, which could change between.
  struct stat st {};
  std::string refused;
  if (::fstat(fd, &st) != 0) {
    refused = path + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    refused = path + " is not a regular file; put the key in a file of its own";
  } else if (st.st_uid != ::geteuid()) {
    refused = path + " belongs to another user (uid " + std::to_string(st.st_uid) +
              "); a key file must be your own";
  } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    refused = path + " may be read or changed by others (mode " + Mode(st.st_mode) +
              "); a key others can read is not used. Run chmod 600 " + path;
  } else if (static_cast<std::size_t>(st.st_size) > kMaxFileBytes) {
    refused = path + " is too large for a key file (one line IDENTITY:KEY)";
  }
  if (!refused.empty()) {
    ::close(fd);
    error = refused;
    return false;
  }
  std::array<char, kMaxFileBytes + 1> text;
  std::size_t size = 0;
  while (size < text.size()) {
    const ssize_t n = ::read(fd, text.data() + size, text.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<std::size_t>(n);
  }
  ::close(fd);
  std::string_view line(text.data(), size);
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  bool ok = false;
  if (size > kMaxFileBytes) {
    error = path + " is too large for a key file (one line IDENTITY:KEY)";
  } else if (line.find('\n') != std::string_view::npos) {
    error = path + ": expected one line IDENTITY:KEY, the key in hex, and nothing else";
  } else if (!ParsePskLine(line, key, error)) {
    error = path + ": " + error;
  } else {
    ok = true;
  }
  OPENSSL_cleanse(text.data(), text.size());
  return ok;
}

}  // namespace platform
