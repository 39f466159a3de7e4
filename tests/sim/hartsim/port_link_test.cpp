// The link hartsim makes at a port path to its terminal, and hartsim itself
// taking over the link of one that was killed.
#include "sim/hartsim/port_link.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/pty_server.h"
#include "tests/support/pty_pair.h"

namespace {

class SimLink : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/simlinkXXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    dir = templ;
    path = dir + "/com8";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
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
  // The refusal says how to clear the way when nothing uses the link.
  EXPECT_NE(message.find("rm " + path), std::string::npos) << message;
}

TEST_F(SimLink, ReplacesAStaleLinkIntoDevPts) {
  ASSERT_EQ(::symlink("/dev/pts/987654", path.c_str()), 0);
  ASSERT_TRUE(sim::CreateLink(path, "/dev/pts/999", message)) << message;
  EXPECT_EQ(LinkTarget(), "/dev/pts/999");
}

// The kernel gives the lowest free terminal number, so a simulator started
// again after a kill usually gets the very number its dead link names: the
// link then points at a live terminal, the new simulator's own.
TEST_F(SimLink, ReplacesALinkNamingItsOwnNewTerminal) {
  sim::Segment segment;
  sim::PtyServer server(segment);
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;
  ASSERT_EQ(::symlink(server.SlavePath().c_str(), path.c_str()), 0);
  ASSERT_TRUE(sim::CreateLink(path, server.SlavePath(), message)) << message;
  EXPECT_EQ(LinkTarget(), server.SlavePath());
  EXPECT_NE(message.find("replaced stale link"), std::string::npos) << message;
}

// A link into a terminal someone else now holds: without a record it cannot
// be told from a live one; the record says whose it was and whether that
// process still runs.
TEST_F(SimLink, ARecordTellsALinkOfADeadSimulatorFromALiveOne) {
  support::PtyPair reused;  // has the number a killed simulator had
  ASSERT_TRUE(reused.ok());
  const std::string records = dir + "/records";

  // A simulator in a child process links and records it, then is gone.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string m;
    ::_exit(sim::CreateLink(path, reused.slavePath(), m, records) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(LinkTarget(), reused.slavePath());

  EXPECT_FALSE(sim::CreateLink(path, "/dev/pts/999999", message)) << "no record: looks live";
  ASSERT_TRUE(sim::CreateLink(path, "/dev/pts/999999", message, records)) << message;
  EXPECT_EQ(LinkTarget(), "/dev/pts/999999");
  EXPECT_NE(message.find("is gone"), std::string::npos) << message;

  // Now the record names this process, alive: a second simulator is refused
  // and told which one serves the link.
  child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string m;
    const bool linked = sim::CreateLink(path, "/dev/pts/999998", m, records);
    const bool named = m.find("pid " + std::to_string(::getppid())) != std::string::npos;
    ::_exit(linked ? 1 : named ? 0 : 2);
  }
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
  EXPECT_EQ(LinkTarget(), "/dev/pts/999999");

  // The record goes with the link.
  EXPECT_TRUE(sim::RemoveLink(path, "/dev/pts/999999", records));
  EXPECT_TRUE(std::filesystem::is_empty(records));
}

// hartsim itself, killed with SIGKILL and started again on the same link.
class HartsimProgram : public SimLink {
 protected:
  void TearDown() override {
    for (const pid_t pid : running) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    SimLink::TearDown();
  }
  pid_t Start(const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string program = HARTSIM_PROGRAM;
    std::vector<char*> args{const_cast<char*>(program.c_str()), const_cast<char*>("--link"),
                            path.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ) != 0) {
      pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pid > 0) running.push_back(pid);
    return pid;
  }
  // The terminal hartsim reports once it serves, or "" if it ended first.
  // Bounded at 20 s for a loaded machine; it takes milliseconds.
  static std::string Terminal(pid_t pid, const std::string& log) {
    for (int tries = 0; tries < 2000; ++tries) {
      std::ifstream in(log);
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("/dev/pts/", 0) == 0) return line;
      }
      if (::waitpid(pid, nullptr, WNOHANG) == pid) return "";
      ::usleep(10000);
    }
    return "";
  }
  static std::string Contents(const std::string& log) {
    std::ifstream in(log);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  int Stop(pid_t pid, int signal) {
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::erase(running, pid);
    return status;
  }

  std::vector<pid_t> running;
};

TEST_F(HartsimProgram, TheNextSimulatorTakesOverTheLinkOfOneKilled) {
  const std::string firstLog = dir + "/first.log", secondLog = dir + "/second.log";
  const pid_t first = Start(firstLog);
  ASSERT_GT(first, 0);
  const std::string firstPts = Terminal(first, firstLog);
  ASSERT_FALSE(firstPts.empty()) << Contents(firstLog);
  ASSERT_EQ(LinkTarget(), firstPts);
  const int killed = Stop(first, SIGKILL);
  ASSERT_TRUE(WIFSIGNALED(killed));
  ASSERT_EQ(LinkTarget(), firstPts) << "a killed simulator cannot remove its link";

  const pid_t second = Start(secondLog);
  ASSERT_GT(second, 0);
  const std::string secondPts = Terminal(second, secondLog);
  ASSERT_FALSE(secondPts.empty()) << Contents(secondLog);
  EXPECT_EQ(LinkTarget(), secondPts);
  EXPECT_NE(Contents(secondLog).find("replaced stale link " + path), std::string::npos)
      << Contents(secondLog);
  RecordProperty("same_terminal_number", firstPts == secondPts ? "yes" : "no");

  const int stopped = Stop(second, SIGTERM);
  EXPECT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) == 0);
  EXPECT_EQ(LinkTarget(), "") << "removed on a clean exit";
}

}  // namespace
