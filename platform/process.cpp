#include "platform/process.h"

#include <unistd.h>

#include <cerrno>
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
