// Who holds a port, against what this process really holds: a pty stands
// in for an open modem, a symlink for its /dev/serial/by-id name.
#include "platform/serial_ports.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/pty_pair.h"

namespace platform {
namespace {

bool HeldByUs(const PortHolders& holders) {
  return std::any_of(holders.processes.begin(), holders.processes.end(),
                     [](const PortHolder& h) { return h.pid == ::getpid(); });
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

// A holder that has the port locked but whose open files cannot be read
// (another user's) is still found through the lock table. A mapping keeps
// the lock alive after the descriptor is closed, so this process stands in
// for such a holder: its lock is there, its descriptor is not.
TEST(SerialPorts, ALockIsFoundWithoutTheHoldersDescriptor) {
  const auto path =
      std::filesystem::temp_directory_path() / ("veltrop-locked-" + std::to_string(::getpid()));
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  void* mapped = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
  const PortHolders locked = SystemSerialPorts().Holders(path.string());
  ::munmap(mapped, 4096);
  const PortHolders released = SystemSerialPorts().Holders(path.string());
  std::filesystem::remove(path);
  EXPECT_TRUE(HeldByUs(locked));
  EXPECT_FALSE(HeldByUs(released));
}

}  // namespace
}  // namespace platform
