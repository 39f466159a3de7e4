// The system's port list against what this process really holds: a pty
// stands in for an open modem, a symlink for its /dev/serial/by-id name.
#include "platform/serial_ports.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/pty_pair.h"

namespace platform {
namespace {

bool HeldByUs(const PortHolders& holders) {
  return std::any_of(holders.processes.begin(), holders.processes.end(),
                     [](const PortHolder& h) { return h.pid == ::getpid(); });
}

// hartsim's link is a pty: udev does not know it, so it is never offered
// as a port (the text says to give it with --port instead).
TEST(SerialPorts, APseudoTerminalIsNotListed) {
  support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  std::vector<SerialPortInfo> ports;
  std::string error;
  ASSERT_TRUE(SystemSerialPorts().Ports(ports, error)) << error;
  for (const auto& p : ports) {
    EXPECT_NE(p.device, pty.slavePath());
    EXPECT_EQ(p.device.rfind("/dev/pts/", 0), std::string::npos) << p.device;
  }
}

// A port is named by a stable link as often as by its node; the holder's
// open file says the node, so the link must be followed before comparing.
TEST(SerialPorts, AHolderIsFoundThroughTheStableNameToo) {
  support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  const auto link =
      std::filesystem::temp_directory_path() / ("veltrop-by-id-" + std::to_string(::getpid()));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(pty.slavePath(), link);
  const PortHolders byNode = SystemSerialPorts().Holders(pty.slavePath());
  const PortHolders byLink = SystemSerialPorts().Holders(link.string());
  std::filesystem::remove(link);
  EXPECT_TRUE(HeldByUs(byNode));
  EXPECT_TRUE(HeldByUs(byLink));
  for (const auto& h : byNode.processes) {
    if (h.pid == ::getpid()) {
      EXPECT_FALSE(h.command.empty());
    }
  }
}

TEST(SerialPorts, AFileNobodyHoldsHasNoHolders) {
  const auto path =
      std::filesystem::temp_directory_path() / ("veltrop-free-" + std::to_string(::getpid()));
  std::ofstream(path) << "x";
  const PortHolders holders = SystemSerialPorts().Holders(path.string());
  std::filesystem::remove(path);
  EXPECT_TRUE(holders.processes.empty());
}

}  // namespace
}  // namespace platform
