// The simulator served on a pseudo-terminal in real time.
#include "sim/pty_server.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/sim/wire.h"

using simtest::Hex;

namespace {

// Reads until `count` bytes came or the line stays quiet for two seconds
// (a generous bound on a loaded machine; the reply itself takes ~0.3 s).
std::vector<std::uint8_t> ReadSome(int fd, std::size_t count) {
  std::vector<std::uint8_t> got;
  while (got.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    std::uint8_t buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

TEST(SimPty, RequestWrittenOnTheSlaveIsAnsweredThere) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;
  ASSERT_EQ(server.SlavePath().rfind("/dev/pts/", 0), 0u) << server.SlavePath();

  const int fd = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const auto request = Hex(simtest::kCmd0Short);
  ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const auto reply = ReadSome(fd, 34);
  ::close(fd);

  EXPECT_EQ(reply, Hex("FF FF FF FF FF 06 80 00 18 00 00 FE 1A 11 05 07 01 01 08 00 00 01 02"
                       " 05 01 00 00 00 00 1A 00 1A 01 67"));
  std::uint32_t answered = 0;
  server.WithSegment([&](sim::Segment& s) { answered = s.At(0).Answered(0); });
  EXPECT_EQ(answered, 1u);
  server.Stop();
  server.Stop();  // a second stop is harmless
}

// A master killed while it held the port never cleared the terminal's
// exclusive flag, and the server's own descriptor keeps the terminal from
// the last close that would. The server clears it once the client's flock
// has gone with its descriptor, and not while it is held.
TEST(SimPty, AnExclusiveLockIsClearedOnceItsClientHasGone) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;
  const auto exclusive = [&] {  // as root the open passes the flag; else EBUSY
    const int fd = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    int set = fd < 0 && errno == EBUSY;
    if (fd >= 0) {
      ::ioctl(fd, TIOCGEXCL, &set);
      ::close(fd);
    }
    return set != 0;
  };
  const int client = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(client, 0);
  ASSERT_EQ(::flock(client, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(::ioctl(client, TIOCEXCL), 0);
  ::usleep(500'000);  // several of the server's quiet ticks (100 ms)
  EXPECT_TRUE(exclusive()) << "cleared under a client that still holds the port";
  ::close(client);  // gone without TIOCNXCL
  bool cleared = false;
  for (int i = 0; i < 100 && !cleared; ++i, ::usleep(50'000)) cleared = !exclusive();
  EXPECT_TRUE(cleared);
}

// Runs `argv` (found on PATH) with stdout and stderr into `output`. Returns
// the exit status, -1 if it did not exit normally or could not start.
int RunProgram(const std::vector<std::string>& argv, std::string& output) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  output.clear();
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) output.append(buf, n);
  ::close(fds[0]);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// `sudo hartsim`: the terminal is root's. An operator in dialout opens it as
// a real serial port; anyone else gets veltrop's own advice.
TEST(SimPtyAccess, DialoutMemberOpensARootSimulatorsTerminalOthersAreToldToJoin) {
  if (::geteuid() != 0) GTEST_SKIP() << "running the probe as another user needs root";
  const group* dialout = ::getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "this system has no dialout group";
  const gid_t dialoutGid = dialout->gr_gid;
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "this system has no user nobody";
  const std::string uid = std::to_string(nobody->pw_uid), gid = std::to_string(nobody->pw_gid);
  std::string output;
  if (RunProgram({"setpriv", "--version"}, output) != 0)
    GTEST_SKIP() << "setpriv (util-linux) is missing";

  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;
  const std::string pts = server.SlavePath();
  struct stat st {};
  ASSERT_EQ(::stat(pts.c_str(), &st), 0);
  EXPECT_EQ(st.st_gid, dialoutGid);
  EXPECT_EQ(st.st_mode & 07777, 0660u);

  // The build tree may be out of nobody's reach; a copy in a directory
  // anyone may enter is not.
  char templ[] = "/tmp/simprobeXXXXXX";
  ASSERT_NE(::mkdtemp(templ), nullptr);
  const std::string probeDir = templ;
  const std::string probe = probeDir + "/port_probe";
  std::filesystem::copy_file(PORT_PROBE_PROGRAM, probe);
  ::chmod(probeDir.c_str(), 0755);
  ::chmod(probe.c_str(), 0755);

  const int outside = RunProgram(
      {"setpriv", "--reuid=" + uid, "--regid=" + gid, "--clear-groups", "--", probe, pts}, output);
  EXPECT_EQ(outside, 1) << output;
  EXPECT_EQ(output.rfind("No permission to open " + pts + ". Join the dialout group", 0), 0u)
      << output;

  const int inside = RunProgram({"setpriv", "--reuid=" + uid, "--regid=" + gid,
                                 "--groups=" + std::to_string(dialoutGid), "--", probe, pts},
                                output);
  EXPECT_EQ(inside, 0) << output;
  EXPECT_EQ(output, "opened\n");
  std::filesystem::remove_all(probeDir);
}

}  // namespace
