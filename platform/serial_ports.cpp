#include "platform/serial_ports.h"

#include <dirent.h>
#include <grp.h>
#include <libudev.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace platform {

namespace {

template <typename T, T* (*Unref)(T*)>
struct Unreffer {
  void operator()(T* p) const { Unref(p); }
};
using Udev = std::unique_ptr<udev, Unreffer<udev, udev_unref>>;
using UdevEnumerate =
    std::unique_ptr<udev_enumerate, Unreffer<udev_enumerate, udev_enumerate_unref>>;
using UdevDevice = std::unique_ptr<udev_device, Unreffer<udev_device, udev_device_unref>>;

std::string Text(const char* s) {
  return s != nullptr ? s : "";
}

// The device's own words first; the USB id database (filled in by udev's
// hwdb, absent where udevd does not run) for adapters that say nothing.
std::string Named(udev_device* usb, udev_device* tty, const char* attribute,
                  const char* databaseKey) {
  std::string s = Text(udev_device_get_sysattr_value(usb, attribute));
  if (s.empty()) s = Text(udev_device_get_property_value(tty, databaseKey));
  return s;
}

std::vector<std::string> StableNames(const std::string& device) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& link : std::filesystem::directory_iterator("/dev/serial/by-id", ec)) {
    std::error_code ignored;
    if (std::filesystem::canonical(link.path(), ignored) == device) {
      names.push_back(link.path().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool Describe(udev_device* tty, SerialPortInfo& port) {
  const char* node = udev_device_get_devnode(tty);
  // A tty without a parent device is virtual (a console, the pty master);
  // ptys proper are not in udev's tty list at all.
  if (node == nullptr || udev_device_get_parent(tty) == nullptr) return false;
  // The serial core makes a device for every UART slot the platform
  // declares; "type" 0 (PORT_UNKNOWN) is a slot with no chip, which opens
  // and then fails every transfer.
  const char* type = udev_device_get_sysattr_value(tty, "type");
  if (type != nullptr && std::string_view(type) == "0") return false;

  port.device = node;
  port.stableNames = StableNames(port.device);
  for (udev_device* p = udev_device_get_parent(tty); p != nullptr; p = udev_device_get_parent(p)) {
    // Kernels from 6.5 hang a UART's tty on the serial core's own "port"
    // and "ctrl" devices; the chip's driver is the one above them.
    if (Text(udev_device_get_subsystem(p)) == "serial-base") continue;
    if (const char* driver = udev_device_get_driver(p)) {
      port.driver = driver;
      break;
    }
  }
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
    port.usbVendorId = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    port.usbProductId = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    port.manufacturer = Named(usb, tty, "manufacturer", "ID_VENDOR_FROM_DATABASE");
    port.product = Named(usb, tty, "product", "ID_MODEL_FROM_DATABASE");
    port.serialNumber = Text(udev_device_get_sysattr_value(usb, "serial"));
  }
  return true;
}

std::string CommandOf(int pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

void Add(PortHolders& holders, int pid) {
  if (pid <= 0) return;
  for (const auto& h : holders.processes) {
    if (h.pid == pid) return;
  }
  holders.processes.push_back({pid, CommandOf(pid)});
}

// flock and fcntl locks, whoever holds them: /proc/locks is readable by
// every user, unlike another user's open files. A line reads
// "1: FLOCK  ADVISORY  WRITE 4242 00:05:123 0 EOF" (a waiter has "->"
// after the number); the device is the filesystem's major:minor in hex and
// the inode in decimal.
void LockHolders(const struct stat& node, PortHolders& holders) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, where;
    int pid = 0;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> mode >> access >> pid >> where;
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) == 3 &&
        makedev(major, minor) == node.st_dev && inode == node.st_ino) {
      Add(holders, pid);
    }
  }
}

// The UUCP lock file that minicom, cu and their kin leave: the owner's pid
// in ASCII (or, from old programs, as a binary int).
void LockFileHolders(const std::string& device, PortHolders& holders) {
  const std::string base = std::filesystem::path(device).filename().string();
  for (const char* dir : {"/run/lock/", "/var/lock/"}) {
    std::ifstream file(dir + ("LCK.." + base), std::ios::binary);
    if (!file) continue;
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    int pid = std::atoi(content.c_str());
    if (pid == 0 && content.size() == sizeof(int)) std::memcpy(&pid, content.data(), sizeof pid);
    // A lock left by a process that has gone holds nothing.
    if (pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM)) Add(holders, pid);
    return;
  }
}

void OpenFileHolders(const std::string& device, PortHolders& holders) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    holders.complete = false;
    return;
  }
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) {
      // A process that ended meanwhile hid nothing.
      if (errno != ENOENT) holders.complete = false;
      continue;
    }
    while (const dirent* fd = ::readdir(fds)) {
      char target[4096];
      const ssize_t n = ::readlinkat(::dirfd(fds), fd->d_name, target, sizeof target - 1);
      if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == device) {
        Add(holders, static_cast<int>(pid));
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
}

bool InGroups(gid_t group, const std::vector<gid_t>& groups) {
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

class SystemPorts final : public SerialPortSource {
 public:
  bool Ports(std::vector<SerialPortInfo>& ports, std::string& error) override {
    ports.clear();
    Udev udev(udev_new());
    UdevEnumerate list(udev ? udev_enumerate_new(udev.get()) : nullptr);
    if (!list || udev_enumerate_add_match_subsystem(list.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(list.get()) < 0) {
      error = std::string("cannot read the system's device list (udev): ") + std::strerror(errno);
      return false;
    }
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list.get())) {
      UdevDevice tty(udev_device_new_from_syspath(udev.get(), udev_list_entry_get_name(entry)));
      SerialPortInfo port;
      if (tty && Describe(tty.get(), port)) ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return a.device < b.device; });
    return true;
  }

  PortHolders Holders(const std::string& device) override {
    PortHolders holders;
    struct stat node {};
    if (::stat(device.c_str(), &node) != 0) return holders;
    LockHolders(node, holders);
    LockFileHolders(device, holders);
    std::error_code ec;
    OpenFileHolders(std::filesystem::canonical(device, ec).string(), holders);
    std::sort(holders.processes.begin(), holders.processes.end(),
              [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return holders;
  }

  PortAccess Access(const std::string& device) override {
    PortAccess a;
    if (::access(device.c_str(), R_OK | W_OK) != 0) a.error = errno;
    struct stat node {};
    if (::stat(device.c_str(), &node) != 0) return a;
    if (const group* g = ::getgrgid(node.st_gid)) a.group = g->gr_name;
    a.groupMayOpen = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);

    std::vector<gid_t> session(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    session.resize(static_cast<std::size_t>(
        std::max(::getgroups(static_cast<int>(session.size()), session.data()), 0)));
    a.groupInSession = ::getegid() == node.st_gid || InGroups(node.st_gid, session);

    // What usermod -aG wrote: a member of the group who has not logged in
    // again since has it in the database but not yet in the session.
    if (const passwd* user = ::getpwuid(::getuid())) {
      int count = 64;
      std::vector<gid_t> listed(static_cast<std::size_t>(count));
      if (::getgrouplist(user->pw_name, user->pw_gid, listed.data(), &count) < 0) {
        listed.resize(static_cast<std::size_t>(count));
        ::getgrouplist(user->pw_name, user->pw_gid, listed.data(), &count);
      }
      listed.resize(static_cast<std::size_t>(std::max(count, 0)));
      a.groupInDatabase = InGroups(node.st_gid, listed);
    }
    return a;
  }
};

}  // namespace

SerialPortSource& SystemSerialPorts() {
  static SystemPorts ports;
  return ports;
}

}  // namespace platform
