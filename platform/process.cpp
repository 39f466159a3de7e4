#include "platform/process.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

std::string LocalTimeIso8601(bool milliseconds) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  char seconds[32];
  char offset[8];
  std::strftime(seconds, sizeof seconds, "%Y-%m-%dT%H:%M:%S", &local);
  // strftime writes the offset as +hhmm; the extended form wants +hh:mm.
  std::strftime(offset, sizeof offset, "%z", &local);
  std::string text = seconds;
  if (milliseconds) {
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%03ld", now.tv_nsec / 1000000);
    text += fraction;
  }
  const std::string zone = offset;
  return zone.size() == 5 ? text + zone.substr(0, 3) + ":" + zone.substr(3) : text + zone;
}

bool StandardErrorIsTerminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace platform
