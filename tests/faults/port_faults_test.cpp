// The port and the modem misbehaving, with the real termios driver: a port
// that is missing, not permitted or held by another program; a modem
// unplugged in the middle of a poll and of the PV monitor (a pseudo-terminal
// hanging up); and many opens and closes.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/posix_serial.h"
#include "serial/hart_link.h"
#include "sim/hartsim/port_link.h"
#include "sim/pty_server.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_operator.h"
#include "tests/support/serial_tap.h"
#include "tests/ui/gui_fixture.h"
#include "ui/poll_dialog.h"
#include "ui/pv_dialog.h"

namespace {

using serial::HartLink;

// The real driver with "COM8:" standing for `path`, counting the reads that
// reach the device so a test can tell a loop that spins on a dead port from
// one that gives up.
class CountingDriver {
 public:
  explicit CountingDriver(const std::string& path)
      : real_(std::map<std::string, std::string>{{"COM8:", path}}) {
    tap_.afterRead = [this](std::uint32_t) { ++reads; };
  }
  platform::SerialDriver& driver() { return tap_; }
  // Runs after every write, on the writer's thread.
  std::function<void(std::uint32_t)>& afterWrite() { return tap_.afterWrite; }
  int reads = 0;

 private:
  platform::PosixSerialDriver real_;
  support::SerialTap tap_{real_};
};

int OpenDescriptors() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++n;
  closedir(dir);
  return n;
}

struct LinkCloser {
  ~LinkCloser() { HartLink::CloseLink(); }
};

// --- opening ------------------------------------------------------------------

struct OpenCase {
  const char* name;
  std::string path;         // what "COM8:" stands for
  std::string adviceStart;  // what the explanation beneath "COM8:" begins with
};

void PrintTo(const OpenCase& c, std::ostream* os) {
  *os << c.name;
}

class OpenFailure : public ::testing::TestWithParam<OpenCase> {};

// Each refusal shows "COM8:" with the error icon and, beneath it, why and
// what to do; the link reports failure and the port stays closed.
TEST_P(OpenFailure, SaysWhyAndWhatToDo) {
  const OpenCase& c = GetParam();
  struct stat st {};
  if (c.path.rfind("/sys/", 0) == 0 && stat(c.path.c_str(), &st) != 0) {
    GTEST_SKIP() << c.path << " is not there to refuse us";
  }
  support::ScriptedOperator op;
  platform::PosixSerialDriver driver({{"COM8:", c.path}});
  platform::ScopedServices use({&driver, nullptr, &op});
  LinkCloser closer;
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kFailure);
  EXPECT_FALSE(HartLink::theSerialPort.IsOpen());
  ASSERT_EQ(op.shown().size(), 1u);
  EXPECT_EQ(op.shown()[0].text, "COM8:");
  EXPECT_EQ(op.shown()[0].icon, platform::Icon::Error);
  EXPECT_EQ(op.shown()[0].detail.rfind(c.adviceStart, 0), 0u) << op.shown()[0].detail;
}

INSTANTIATE_TEST_SUITE_P(Port, OpenFailure,
                         ::testing::Values(OpenCase{"Missing", "/tmp/veltrop-no-such-port",
                                                    "/tmp/veltrop-no-such-port does not exist"},
                                           // Write access refused even to root: the same errno as a
                                           // port the user may not open.
                                           OpenCase{"NotPermitted", "/sys/kernel/notes",
                                                    "No permission to open /sys/kernel/notes"},
                                           OpenCase{"NotASerialPort", "/dev/null",
                                                    "/dev/null is not a serial port"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A device node whose number no driver has claimed opens with ENXIO, as the
// node of a modem whose driver is missing does: it exists, and must not be
// reported as missing.
TEST(OpenFailureAdvice, NodeWithoutADriverIsNotCalledMissing) {
  const std::string node =
      (std::filesystem::temp_directory_path() / ("veltrop-nxio-" + std::to_string(getpid())))
          .string();
  // Major 240 is reserved for local use: nothing on a test machine serves it.
  if (mknod(node.c_str(), S_IFCHR | 0600, makedev(240, 0)) != 0) {
    GTEST_SKIP() << "cannot make a device node here (needs root and a dev-capable /tmp)";
  }
  platform::PosixSerialDriver driver({{"COM8:", node}});
  support::ScriptedOperator op;
  platform::ScopedServices use({&driver, nullptr, &op});
  LinkCloser closer;
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kFailure);
  unlink(node.c_str());
  ASSERT_EQ(op.shown().size(), 1u);
  const std::string& advice = op.shown()[0].detail;
  EXPECT_EQ(advice.rfind(node + " exists, but there is no device behind it", 0), 0u) << advice;
  EXPECT_NE(advice.find("unplugged"), std::string::npos) << advice;
  EXPECT_NE(advice.find("driver"), std::string::npos) << advice;
}

TEST(OpenFailureAdvice, PermissionAdviceNamesTheDialoutGroup) {
  platform::PosixSerialDriver driver(std::map<std::string, std::string>{{"COM8:", "/dev/ttyUSB0"}});
  const std::string advice = driver.OpenFailureAdvice("COM8:", platform::kErrorAccessDenied);
  EXPECT_NE(advice.find("dialout"), std::string::npos) << advice;
  EXPECT_NE(advice.find("/dev/ttyUSB0"), std::string::npos) << advice;
}

TEST(OpenFailureAdvice, PortHeldByAnotherProgramIsNamedAsBusy) {
  support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  platform::PosixSerialDriver other({{"COM8:", pty.slavePath()}});
  std::unique_ptr<platform::SerialDevice> held;
  ASSERT_EQ(other.Open("COM8:", held), platform::kErrorSuccess);

  support::ScriptedOperator op;
  platform::PosixSerialDriver driver({{"COM8:", pty.slavePath()}});
  platform::ScopedServices use({&driver, nullptr, &op});
  LinkCloser closer;
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kFailure);
  ASSERT_EQ(op.shown().size(), 1u);
  EXPECT_EQ(op.shown()[0].detail.rfind(pty.slavePath() + " is in use by another program", 0), 0u)
      << op.shown()[0].detail;
  // Once the other program lets go, the port opens.
  held.reset();
  EXPECT_EQ(HartLink::OpenLink(8, 1200), serial::LinkResult::kOk);
}

TEST(OpenCloseCycles, ThousandCyclesLeaveNoDescriptorBehind) {
  support::PtyPair pty;
  ASSERT_TRUE(pty.ok());
  platform::PosixSerialDriver driver({{"COM8:", pty.slavePath()}});
  support::ScriptedOperator op;
  platform::ScopedServices use({&driver, nullptr, &op});
  const int before = OpenDescriptors();
  ASSERT_GT(before, 0);
  int failures = 0;
  for (int i = 0; i < 1000; ++i) {
    if (HartLink::OpenLink(8, 1200) != serial::LinkResult::kOk) ++failures;
    HartLink::CloseLink();
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_TRUE(op.shown().empty());
}

// --- unplugging ----------------------------------------------------------------

// A simulated device behind a link of our own that stands for /dev/com8;
// unplugging stops the server (the terminal hangs up) and removes the link,
// plugging back in serves a fresh terminal under the same name, as udev
// does for a re-plugged adapter.
class Modem {
 public:
  Modem() {
    char dir[] = "/tmp/veltrop-faults-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir;
    path_ = dir_ + "/com8";
    sim::DeviceConfig c;
    c.deviceId = {0x00, 0x01, 0x02};
    c.tag = "PT-101";
    c.loopCurrent = 12.0f;
    segment_.Add(c);
  }
  ~Modem() {
    Unplug();
    rmdir(dir_.c_str());
  }
  bool PlugIn() {
    server_ = std::make_unique<sim::PtyServer>(segment_);
    std::string error;
    if (server_->Start(error) != 0) return false;
    return sim::CreateLink(path_, server_->SlavePath(), error);
  }
  void Unplug() {
    if (!server_) return;
    sim::RemoveLink(path_, server_->SlavePath());
    server_->Stop();
    server_.reset();
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
  sim::Segment segment_;
  std::unique_ptr<sim::PtyServer> server_;
};

class Unplugged : public uitest::GuiTest {
 protected:
  void SetUp() override { ASSERT_TRUE(modem.PlugIn()); }

  Modem modem;
  CountingDriver driver{modem.path()};
  support::ScriptedOperator op;
  // Real time on the real driver; only the operator is scripted.
  platform::ScopedServices realTime{{&driver.driver(), &platform::RealClock(), &op}};
  LinkCloser closer;
};

TEST_F(Unplugged, MidPollEndsThePressWithThePortsMessageAndALaterPollWorks) {
  ui::PollDialog dialog;
  ASSERT_TRUE(dialog.Create());
  // Pull the plug as soon as the first request has gone out, while the
  // master waits for the answer.
  int writes = 0;
  driver.afterWrite() = [&](std::uint32_t) {
    if (++writes == 1) modem.Unplug();
  };
  Click(dialog, ui::kIdPoll);
  // No multi-drop question (none is queued): the port's own message, once
  // the port has been released.
  ASSERT_EQ(op.texts(), std::vector<std::string>{"COM8:"});
  EXPECT_NE(op.shown()[0].detail.find("unplugged"), std::string::npos) << op.shown()[0].detail;
  EXPECT_EQ(dialog.GetDlgItemText(ui::kIdStatus), "COM port lost");
  EXPECT_FALSE(HartLink::theSerialPort.IsOpen());
  // A dead port is not asked again: no second attempt, the settle's one
  // read and one reply's reads.
  EXPECT_EQ(writes, 1);
  EXPECT_LE(driver.reads, 1 + 4);

  ASSERT_TRUE(modem.PlugIn());
  op.Clear();
  Click(dialog, ui::kIdPoll);
  EXPECT_EQ(dialog.GetDlgItemText(ui::kIdStatus), "Test Pass, single device");
  EXPECT_EQ(dialog.GetDlgItemText(ui::kIdTag), "PT-101  ");
  EXPECT_TRUE(op.shown().empty());
  EXPECT_FALSE(HartLink::theSerialPort.IsOpen());
  dialog.EndDialog(platform::kIdCancel);
}

TEST_F(Unplugged, MidMonitorSaysSoOnceAtTheNextTickAndClosesThePort) {
  hart::HartDevice device;
  ASSERT_EQ(device.Open(8, 1200), serial::LinkResult::kOk);
  ASSERT_TRUE(device.Poll(0, 2));
  device.Close();
  ui::PvDialog dialog;
  dialog.device = &device;
  ASSERT_TRUE(dialog.Create());
  dialog.SetDlgItemText(ui::kIdCycles, "0");
  Click(dialog, ui::kIdStart);
  ASSERT_NE(dialog.timerId, 0u);
  dialog.DispatchTimer(1);
  EXPECT_EQ(dialog.GetDlgItemText(ui::kIdLoopCurrent), "12.000 mA");

  modem.Unplug();
  const int readsBefore = driver.reads;
  dialog.DispatchTimer(1);
  EXPECT_EQ(op.texts(), std::vector<std::string>{"COM8:"});
  EXPECT_EQ(dialog.timerId, 0u);
  EXPECT_FALSE(HartLink::theSerialPort.IsOpen());
  // The first failed read ends the reading: no further attempts.
  EXPECT_LE(driver.reads - readsBefore, 4);
  dialog.EndDialog(platform::kIdCancel);
}

}  // namespace
