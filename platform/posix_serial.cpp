// Placeholder until the termios driver lands: every open fails as "no device".
#include "platform/posix_serial.h"

#include "platform/errors.h"
#include "platform/services.h"

namespace platform {

std::map<std::string, std::string> DefaultPortPaths() { return {{"COM8:", "/dev/com8"}}; }
PosixSerialDriver::PosixSerialDriver() : portPaths_(DefaultPortPaths()) {}
PosixSerialDriver::PosixSerialDriver(std::map<std::string, std::string> portPaths)
    : portPaths_(std::move(portPaths)) {}
std::string PosixSerialDriver::PathFor(std::string_view name) const {
  auto it = portPaths_.find(std::string(name));
  return it == portPaths_.end() ? std::string(name) : it->second;
}
std::uint32_t PosixSerialDriver::Open(std::string_view, std::unique_ptr<SerialDevice>& device) {
  device.reset();
  return kErrorFileNotFound;
}
SerialDriver& RealSerialDriver() {
  static PosixSerialDriver driver;
  return driver;
}

}  // namespace platform
