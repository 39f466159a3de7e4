// The serial driver on POSIX termios.
#pragma once

#include <map>
#include <string>

#include "platform/serial_device.h"

namespace platform {

// The port names the program uses, mapped to device paths. "COM8:" is the
// HART modem's fixed port; a site points /dev/com8 at its modem with a udev
// rule (SYMLINK+="com8") or a symlink. A name not in the map is used as a path.
std::map<std::string, std::string> DefaultPortPaths();

class PosixSerialDriver final : public SerialDriver {
 public:
  PosixSerialDriver();
  explicit PosixSerialDriver(std::map<std::string, std::string> portPaths);
  std::uint32_t Open(std::string_view name, std::unique_ptr<SerialDevice>& device) override;

  // The device path `name` stands for.
  std::string PathFor(std::string_view name) const;

 private:
  std::map<std::string, std::string> portPaths_;
};

}  // namespace platform
