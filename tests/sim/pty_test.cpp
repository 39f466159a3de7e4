// The simulator served on a pseudo-terminal in real time, and the link
// hartsim makes to it.
#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
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

class SimLink : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/simlinkXXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir = templ;
    path = dir + "/com8";
  }
  void TearDown() override {
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
  }
  std::string LinkTarget() {
    char buf[256];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
  }

  std::string dir, path, message;
};

TEST_F(SimLink, CreatesAndRemovesItsOwnLink) {
  ASSERT_TRUE(sim::CreateLink(path, "/dev/pts/999", message)) << message;
  EXPECT_EQ(LinkTarget(), "/dev/pts/999");
  EXPECT_FALSE(sim::RemoveLink(path, "/dev/pts/998"));  // not ours
  EXPECT_TRUE(sim::RemoveLink(path, "/dev/pts/999"));
  struct stat st {};
  EXPECT_NE(::lstat(path.c_str(), &st), 0);
}

TEST_F(SimLink, RefusesToReplaceAFile) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_FALSE(sim::CreateLink(path, "/dev/pts/999", message));
  EXPECT_NE(message.find("not a symbolic link"), std::string::npos) << message;
  EXPECT_EQ(LinkTarget(), "");
}

TEST_F(SimLink, RefusesALinkElsewhereOrToALiveTerminal) {
  ASSERT_EQ(::symlink("/dev/null", path.c_str()), 0);
  EXPECT_FALSE(sim::CreateLink(path, "/dev/pts/999", message));
  EXPECT_EQ(LinkTarget(), "/dev/null");
  ::unlink(path.c_str());

  sim::Segment segment;
  sim::PtyServer live(segment);
  std::string error;
  ASSERT_EQ(live.Start(error), 0) << error;
  ASSERT_EQ(::symlink(live.SlavePath().c_str(), path.c_str()), 0);
  EXPECT_FALSE(sim::CreateLink(path, "/dev/pts/999", message));
  EXPECT_EQ(LinkTarget(), live.SlavePath());
}

TEST_F(SimLink, ReplacesAStaleLinkIntoDevPts) {
  ASSERT_EQ(::symlink("/dev/pts/987654", path.c_str()), 0);
  ASSERT_TRUE(sim::CreateLink(path, "/dev/pts/999", message)) << message;
  EXPECT_EQ(LinkTarget(), "/dev/pts/999");
}

}  // namespace
