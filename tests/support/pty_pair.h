// A pseudo-terminal pair for running the real termios driver without a modem.
//
// The slave path is what the driver opens; the test plays the far end of the
// cable on the master. The pair also holds a descriptor of its own on the
// slave, which keeps the pty alive between driver opens (a master whose last
// slave descriptor closed reads EIO) and lets a test inspect the slave's
// termios. The descriptor is never read, so it takes no bytes from the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace support {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  int slaveFd() const { return slave_; }

  // Writes all of `bytes` on the master (toward the driver).
  bool WriteMaster(const std::vector<std::uint8_t>& bytes);
  // Reads from the master until `count` bytes came or none came for a while.
  std::vector<std::uint8_t> ReadMaster(std::size_t count);
  // Waits until the slave's input queue holds at least `count` bytes; false if
  // they never come. Bytes written on the master reach the slave through a
  // kernel work queue, not at once.
  bool WaitSlaveBuffered(std::size_t count);
  // Waits until the slave's input queue is empty: whoever reads the slave
  // has taken every byte that reached it. False if they stay.
  bool WaitSlaveDrained();
  // The slave's output speed as the kernel keeps it (termios2 c_ospeed), or 0.
  std::uint32_t SlaveSpeed() const;
  // Closes the master: the slave hangs up, as a modem does when unplugged.
  void CloseMaster();
  void Close();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Opens a pair in set-up and closes both ends in tear-down.
class PtyFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  PtyPair pty;
};

}  // namespace support
