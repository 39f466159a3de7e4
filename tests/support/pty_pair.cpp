#include "tests/support/pty_pair.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

// For SlaveSpeed only; this file must not include <termios.h> (see
// platform/line_speed.h for the clash).
#include <asm/termbits.h>

namespace support {

namespace {

// Bounds on how long the far end waits for the pty to pass bytes along. They
// only turn a broken driver into a failed test instead of a hung one.
constexpr int kQuietMs = 500;
constexpr int kWaitStepMs = 5;
constexpr int kWaitSteps = 1000;

}  // namespace

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) return;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    Close();
    return;
  }
  char name[128] = {};
  if (ptsname_r(master_, name, sizeof name) != 0) {
    Close();
    return;
  }
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_ < 0) Close();
}

PtyPair::~PtyPair() {
  Close();
}

void PtyPair::Close() {
  if (slave_ >= 0) close(slave_);
  CloseMaster();
  slave_ = -1;
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

bool PtyPair::WriteMaster(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::uint8_t> PtyPair::ReadMaster(std::size_t count) {
  std::vector<std::uint8_t> got;
  while (got.size() < count) {
    pollfd p{master_, POLLIN, 0};
    const int r = poll(&p, 1, kQuietMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    std::uint8_t buffer[256];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

bool PtyPair::WaitSlaveBuffered(std::size_t count) {
  for (int i = 0; i < kWaitSteps; ++i) {
    int queued = 0;
    if (ioctl(slave_, FIONREAD, &queued) != 0) return false;
    if (static_cast<std::size_t>(queued) >= count) return true;
    usleep(kWaitStepMs * 1000);
  }
  return false;
}

bool PtyPair::WaitSlaveDrained() {
  for (int i = 0; i < kWaitSteps; ++i) {
    int queued = 0;
    if (ioctl(slave_, FIONREAD, &queued) != 0) return false;
    if (queued == 0) return true;
    usleep(kWaitStepMs * 1000);
  }
  return false;
}

std::uint32_t PtyPair::SlaveSpeed() const {
  termios2 t{};
  if (ioctl(slave_, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

void PtyFixture::SetUp() {
  ASSERT_TRUE(pty.ok()) << "no pseudo-terminal: " << errno;
}

void PtyFixture::TearDown() {
  pty.Close();
}

}  // namespace support
