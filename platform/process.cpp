#include "platform/process.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
