#include "sim/hartsim/port_link.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace sim {

namespace {

std::string ReadLinkText(const std::string& path) {
  char buf[4096];
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// The process's start time in clock ticks since boot (field 22 of
// /proc/PID/stat): with the pid it names one process for good, as pids are
// reused. Nothing for a process that is gone or a zombie (which holds no
// terminal any more).
std::optional<unsigned long long> ProcessStart(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return std::nullopt;
  // The command name, field 2, is in parentheses and may hold spaces.
  const auto paren = stat.rfind(')');
  if (paren == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(paren + 1));
  std::string state;
  fields >> state;  // field 3
  if (state == "Z" || state == "X") return std::nullopt;
  std::string skip;
  for (int field = 4; field < 22; ++field) fields >> skip;
  unsigned long long start = 0;
  if (!(fields >> start)) return std::nullopt;
  return start;
}

struct LinkRecord {
  pid_t pid = 0;
  unsigned long long start = 0;
  std::string target;
};

// One file per link, named after the link's absolute path with '/' and '%'
// escaped, so /dev/com8 and ../dev/com8 share a record.
std::string RecordFile(const std::string& recordDir, const std::string& path) {
  std::string absolute = path;
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (char* real = ::realpath(dir.c_str(), nullptr)) {
    absolute = std::string(real) + "/" + base;
    ::free(real);
  }
  std::string name;
  for (const char c : absolute) {
    if (c == '/')
      name += "%2F";
    else if (c == '%')
      name += "%25";
    else
      name += c;
  }
  return recordDir + "/" + name;
}

std::optional<LinkRecord> ReadRecord(const std::string& recordDir, const std::string& path) {
  if (recordDir.empty()) return std::nullopt;
  std::ifstream in(RecordFile(recordDir, path));
  LinkRecord r;
  if (!(in >> r.pid >> r.start >> r.target) || r.pid <= 0) return std::nullopt;
  return r;
}

// Written beside and renamed into place, so a simulator killed mid-write
// leaves an old record or none, never half of one.
bool WriteRecord(const std::string& recordDir, const std::string& path, const std::string& target,
                 std::string& error) {
  const auto start = ProcessStart(::getpid());
  if (!start) {
    error = "cannot read this process's start time";
    return false;
  }
  if (::mkdir(recordDir.c_str(), 0755) != 0 && errno != EEXIST) {
    error = recordDir + ": " + std::strerror(errno);
    return false;
  }
  const std::string file = RecordFile(recordDir, path);
  const std::string temporary = file + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << ::getpid() << ' ' << *start << ' ' << target << '\n';
    if (!out.flush()) {
      error = temporary + ": cannot write";
      return false;
    }
  }
  if (::rename(temporary.c_str(), file.c_str()) != 0) {
    error = file + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

// "sudo rm /dev/com8", or plain rm where the user may remove it.
std::string RemoveAdvice(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const bool own = ::geteuid() != 0 && ::access(dir.c_str(), W_OK) == 0;
  return (own ? "rm " : "sudo rm ") + path;
}

}  // namespace

bool CreateLink(const std::string& path, const std::string& target, std::string& message,
                const std::string& recordDir) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      message = path + " exists and is not a symbolic link (a real serial port?); not replacing it";
      return false;
    }
    const std::string old = ReadLinkText(path);
    const auto record = ReadRecord(recordDir, path);
    struct stat targetSt {};
    std::string why;
    if (old.rfind("/dev/pts/", 0) != 0) {
      message = path + " already links to " + old +
                " (a real device?); not replacing it. If nothing uses it, remove it (" +
                RemoveAdvice(path) + ") and start again";
      return false;
    } else if (old == target) {
      // The terminal we just opened has the number the link names, so its
      // previous owner has closed it: the link outlived its simulator.
      why = "its terminal's number has come round to this simulator";
    } else if (record && record->target == old) {
      if (ProcessStart(record->pid) == record->start) {
        message = path + " links to " + old + ", which hartsim (pid " +
                  std::to_string(record->pid) + ") is serving; stop that simulator first";
        return false;
      }
      why = "the hartsim that made it (pid " + std::to_string(record->pid) + ") is gone";
    } else if (::stat(old.c_str(), &targetSt) != 0) {
      why = "its terminal is gone";
    } else {
      message = path + " already links to " + old +
                ", a terminal in use that no running hartsim has linked; not replacing it. If "
                "nothing uses it, remove it (" +
                RemoveAdvice(path) + ") and start again";
      return false;
    }
    if (::unlink(path.c_str()) != 0) {
      message = "cannot remove stale link " + path + ": " + std::strerror(errno);
      return false;
    }
    message = "replaced stale link " + path + " -> " + old + " (" + why + "); linked " + path +
              " -> " + target;
  } else if (errno != ENOENT) {
    message = "cannot check " + path + ": " + std::strerror(errno);
    return false;
  } else {
    message = "linked " + path + " -> " + target;
  }
  if (::symlink(target.c_str(), path.c_str()) != 0) {
    message = "cannot create link " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string error;
  if (!recordDir.empty() && !WriteRecord(recordDir, path, target, error)) {
    message += " (no record kept, " + error + ")";
  }
  return true;
}

bool RemoveLink(const std::string& path, const std::string& target, const std::string& recordDir) {
  if (const auto record = ReadRecord(recordDir, path); record && record->pid == ::getpid()) {
    ::unlink(RecordFile(recordDir, path).c_str());
  }
  if (ReadLinkText(path) != target) return false;
  return ::unlink(path.c_str()) == 0;
}

std::string DefaultRecordDir() {
  if (::geteuid() == 0) return "/run/hartsim";
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/hartsim";
  return {};
}

}  // namespace sim
