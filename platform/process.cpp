#include "platform/process.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace platform {

std::string ProgramBeside(std::string_view relative) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::string(relative);
  return (exe.parent_path() / relative).lexically_normal().string();
}

std::string ReplaceProcess(const std::string& path, char** argv) {
  ::execv(path.c_str(), argv);
  return path + ": " + std::strerror(errno);
}

std::optional<std::string> EnvironmentValue(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr || *value == '\0') return std::nullopt;
  return value;
}

std::string UserConfigFile(std::string_view relative) {
  // A relative XDG_CONFIG_HOME is to be ignored, as the base directory
  // rules say.
  const auto xdg = EnvironmentValue("XDG_CONFIG_HOME");
  if (xdg && xdg->front() == '/') return (std::filesystem::path(*xdg) / relative).string();
  std::string home = EnvironmentValue("HOME").value_or("");
  if (home.empty()) {
    if (const passwd* user = ::getpwuid(::getuid())) home = user->pw_dir;
  }
  if (home.empty()) return {};
  return (std::filesystem::path(home) / ".config" / relative).string();
}

int ReadSmallFile(const std::string& path, std::string& text) {
  constexpr std::size_t kLargest = 64 * 1024;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  std::string read;
  char block[4096];
  int result = 0;
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = errno;
      break;
    }
    if (n == 0) break;
    read.append(block, static_cast<std::size_t>(n));
    if (read.size() > kLargest) {
      result = EFBIG;
      break;
    }
  }
  ::close(fd);
  if (result == 0) text = std::move(read);
  return result;
}

std::string LocalTimeIso8601() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[40];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  // strftime writes the offset as +hhmm; the extended form wants +hh:mm.
  if (n == 24) {
    text[25] = '\0';
    text[24] = text[23];
    text[23] = text[22];
    text[22] = ':';
  }
  return text;
}

}  // namespace platform
