#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <grp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>

namespace sim {

namespace {

// Longest sleep between looks at the clock, so unsolicited frames start on time.
constexpr std::uint64_t kTickMicros = 5000;
// With nothing unsolicited to send, only the master's bytes wake the server;
// it still looks now and then, so that a fault switched on meanwhile (burst
// mode, another master) starts soon. Waking every 5 ms for nothing cost
// about 1% of a core.
constexpr std::uint64_t kQuietTickMicros = 100'000;

std::uint64_t MicrosSince(std::chrono::steady_clock::time_point start) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - start)
                                        .count());
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Keeps `queue` in time order.
void Merge(std::deque<TimedByte>& queue, const std::vector<TimedByte>& bytes) {
  for (const auto& b : bytes) {
    auto pos = std::upper_bound(queue.begin(), queue.end(), b.atMicros,
                                [](std::uint64_t t, const TimedByte& x) { return t < x.atMicros; });
    queue.insert(pos, b);
  }
}

// Serial ports belong to group dialout, mode 0660, and operators join that
// group to use them. devpts gives a new terminal to whoever opened it, mode
// 0620 group tty, so after `sudo hartsim` an operator's program could not
// open the simulated port at all. Best effort: a user outside dialout may
// not give a file to it, and keeps the terminal as their own.
bool ShareWithSerialGroup(int fd) {
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  if (::getgrnam_r("dialout", &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return false;
  }
  return ::fchown(fd, static_cast<uid_t>(-1), found->gr_gid) == 0 && ::fchmod(fd, 0660) == 0;
}

// A client sets the terminal's exclusive flag (TIOCEXCL) and takes flock;
// the kernel clears the flag only on the terminal's last close, which never
// comes while this server holds the slave open. So a client killed before
// it could clear the flag would leave the simulated port refused (EBUSY) to
// everyone but root. The flock goes with the client's descriptor: flag set
// and lock free means its owner is gone, and the flag is cleared. While the
// flag is set nobody else can open the terminal, so no newcomer can be
// between its open and its flock.
void ClearAbandonedExclusiveUse(int slaveFd) {
  int exclusive = 0;
  if (::ioctl(slaveFd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0) return;
  if (::flock(slaveFd, LOCK_EX | LOCK_NB) != 0) return;  // still held: the client is there
  ::ioctl(slaveFd, TIOCNXCL);
  ::flock(slaveFd, LOCK_UN);
}

}  // namespace

PtyServer::~PtyServer() {
  Stop();
}

int PtyServer::OpenTerminal(std::string& error) {
  auto fail = [&](const char* what) {
    const int e = errno;
    error = std::string(what) + ": " + std::strerror(e);
    CloseTerminal();
    std::lock_guard lock(mutex_);
    slavePath_.clear();
    return e;
  };
  masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd_ < 0) return fail("posix_openpt");
  if (::grantpt(masterFd_) != 0) return fail("grantpt");
  if (::unlockpt(masterFd_) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(masterFd_, name, sizeof name) != 0) return fail("ptsname_r");
  // Replies are dropped rather than waited for when nobody drains the
  // terminal, as on a line with no master listening; a blocked write would
  // also keep Stop from joining.
  if (::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK) != 0) {
    return fail("fcntl");
  }

  // Without a slave open, the master side reads EIO and polls as hung up
  // after every client closes; holding one open keeps it quiet.
  slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveFd_ < 0) return fail("open slave");
  termios tio{};
  if (::tcgetattr(slaveFd_, &tio) != 0) return fail("tcgetattr");
  // Raw, and above all no echo: an echoing line discipline would hand our
  // replies back to us as if the master had sent them.
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B1200);
  ::cfsetospeed(&tio, B1200);
  if (::tcsetattr(slaveFd_, TCSANOW, &tio) != 0) return fail("tcsetattr");
  shared_ = ShareWithSerialGroup(slaveFd_);
  std::lock_guard lock(mutex_);
  slavePath_ = name;
  return 0;
}

void PtyServer::CloseTerminal() {
  CloseFd(masterFd_);
  CloseFd(slaveFd_);
}

int PtyServer::Start(std::string& error) {
  if (masterFd_ >= 0) return 0;
  if (const int e = OpenTerminal(error)) return e;
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int e = errno;
    error = std::string("pipe2: ") + std::strerror(e);
    CloseTerminal();
    CloseFd(wakeFds_[0]);
    CloseFd(wakeFds_[1]);
    return e;
  }
  stop_ = false;
  thread_ = std::thread([this] { Serve(); });
  return 0;
}

std::string PtyServer::SlavePath() {
  std::lock_guard lock(mutex_);
  return slavePath_;
}

void PtyServer::Replug() {
  // Closing the master is the hang-up: the client's reads fail with EIO
  // and its poll reports POLLHUP, as when a USB modem is pulled out.
  const std::string old = SlavePath();
  CloseTerminal();
  std::string error;
  const bool back = OpenTerminal(error) == 0;
  if (onReplug) onReplug(old, back ? SlavePath() : std::string());
}

void PtyServer::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    const char wake = 1;
    [[maybe_unused]] auto n = ::write(wakeFds_[1], &wake, 1);
    thread_.join();
  }
  CloseTerminal();
  CloseFd(wakeFds_[0]);
  CloseFd(wakeFds_[1]);
}

void PtyServer::WithSegment(const std::function<void(Segment&)>& fn) {
  std::lock_guard lock(mutex_);
  fn(segment_);
}

void PtyServer::Serve() {
  const auto start = std::chrono::steady_clock::now();
  std::deque<TimedByte> pending;
  std::vector<std::uint8_t> out;
  std::vector<TimedByte> sent;
  std::uint8_t in[256];
  std::uint64_t masterByteAt = 0;  // when the master's last byte is on the line

  while (!stop_) {
    std::uint64_t now = MicrosSince(start);
    bool quiet = false;
    bool hangUp = false;
    {
      std::lock_guard lock(mutex_);
      hangUp = segment_.HangUpDue(now);
      Merge(pending, segment_.Unsolicited(now));
      quiet = !segment_.HasUnsolicited();
    }
    if (hangUp) {
      // The rest of the reply never leaves: the line went with the modem.
      pending.clear();
      Replug();
      if (masterFd_ < 0) break;  // no terminal to serve any more
    }
    // Each byte goes out when it is due, so the client sees replies
    // arrive at line speed.
    out.clear();
    sent.clear();
    while (!pending.empty() && pending.front().atMicros <= now) {
      out.push_back(pending.front().value);
      if (tap) sent.push_back(pending.front());
      pending.pop_front();
    }
    if (!out.empty()) {
      [[maybe_unused]] auto n = ::write(masterFd_, out.data(), out.size());
    }
    if (tap) tap({}, sent, now);

    std::uint64_t wait = quiet ? kQuietTickMicros : kTickMicros;
    if (!pending.empty()) wait = std::min(wait, pending.front().atMicros - now);
    pollfd fds[2] = {{masterFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    const timespec timeout{0, static_cast<long>(wait * 1000)};
    if (::ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) break;
    if (fds[1].revents) break;
    ClearAbandonedExclusiveUse(slaveFd_);
    if (fds[0].revents & POLLIN) {
      const ssize_t n = ::read(masterFd_, in, sizeof in);
      now = MicrosSince(start);
      if (n > 0) {
        std::lock_guard lock(mutex_);
        // The driver hands a request over at once; on the loop it takes its
        // line time, one character after another at 1200 baud.
        for (ssize_t i = 0; i < n; ++i) {
          masterByteAt = std::max(now, masterByteAt + kCharacterMicros);
          Merge(pending, segment_.Receive(in[i], masterByteAt));
        }
      }
      if (n > 0 && tap) {
        std::vector<TimedByte> received;
        for (ssize_t i = 0; i < n; ++i) received.push_back({now, in[i]});
        tap(received, {}, now);
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      ::usleep(static_cast<useconds_t>(kTickMicros));  // no client; do not spin
    }
  }
}

}  // namespace sim
