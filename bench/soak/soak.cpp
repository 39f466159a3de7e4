// Soak run of the PV dialog's error-rate test against a simulated device on a
// pseudo-terminal, in real time, with faults injected at random at a known
// rate. Each poll of the test gets at most one fault on its one request:
//
//   drop       the device ignores the request          -> must count as an error
//   checksum   the reply's checksum is wrong           -> must count as an error
//   truncate   the reply stops in its data             -> must count as an error
//   commerror  the reply reports a communication error -> must count as an error
//   noise      line noise before the reply's preambles -> must NOT count
//
// After every poll the device record must still hold the simulated device's
// identity: a frame that was accepted although it should not have been shows
// up either there or as a poll that passed although its reply was spoiled.
//
//   veltrop_soak [--polls N] [--rate P] [--seed S] [--burst MS] [--secondary 1]
//
// --burst MS: the device also bursts four variables on that strict period;
// --secondary 1: a secondary master asks it every second. Neither may add
// an error.
//
// The test's 2-second timer is not waited for: each tick is dispatched as
// soon as the previous one returns, so the run measures the conversation,
// not the timer. Exit status 0 when every figure is as expected.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "serial/hart_link.h"
#include "sim/pty_server.h"
#include "tests/support/scripted_operator.h"
#include "ui/pv_dialog.h"
#include "ui/resources.h"

namespace {

enum class Fault { None, Drop, Checksum, Truncate, CommError, Noise };
constexpr Fault kFaults[] = {Fault::Drop, Fault::Checksum, Fault::Truncate, Fault::CommError,
                             Fault::Noise};

const char* Name(Fault f) {
  switch (f) {
    case Fault::None:
      return "none";
    case Fault::Drop:
      return "drop";
    case Fault::Checksum:
      return "checksum";
    case Fault::Truncate:
      return "truncate";
    case Fault::CommError:
      return "commerror";
    case Fault::Noise:
      return "noise";
  }
  return "?";
}

bool SpoilsTheReply(Fault f) {
  return f != Fault::None && f != Fault::Noise;
}

void Arm(sim::Faults& faults, Fault f) {
  faults.garbage.clear();
  switch (f) {
    case Fault::None:
      break;
    case Fault::Drop:
      faults.dropNext = 1;
      break;
    case Fault::Checksum:
      faults.badChecksums = 1;
      break;
    case Fault::Truncate:
      // 5 preambles + delimiter, address, command, byte count + 6 data bytes.
      faults.truncateAfter = 15;
      faults.truncations = 1;
      break;
    case Fault::CommError:
      faults.commErrors = 1;
      break;
    case Fault::Noise:
      faults.garbage = {0x00, 0x13, 0xA5, 0x00, 0x7E};
      break;
  }
}

struct Options {
  int polls = 200;
  double rate = 0.2;
  unsigned seed = 1;
  int burstMs = 0;
  bool secondary = false;
};

bool Parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--polls") {
      o.polls = std::atoi(v);
    } else if (a == "--rate") {
      o.rate = std::atof(v);
    } else if (a == "--seed") {
      o.seed = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
    } else if (a == "--burst") {
      o.burstMs = std::atoi(v);
    } else if (a == "--secondary") {
      o.secondary = std::atoi(v) != 0;
    } else {
      return false;
    }
  }
  return o.polls > 0 && o.rate >= 0.0 && o.rate <= 1.0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!Parse(argc, argv, opt)) {
    std::fprintf(stderr,
                 "usage: veltrop_soak [--polls N] [--rate 0..1] [--seed S] [--burst MS] "
                 "[--secondary 1]\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ui::RegisterResources();

  sim::Segment segment;
  sim::DeviceConfig config;
  config.deviceId = {0x12, 0x34, 0x56};
  config.tag = "SOAK";
  if (opt.burstMs > 0) config.variables = {{7, 1.5f}, {32, 21.25f}, {39, 16.0f}, {7, -3.0f}};
  sim::Faults& line = segment.Add(config).faults;
  line.burst = line.burstStrict = opt.burstMs > 0;
  line.burstPeriodMicros = static_cast<std::uint64_t>(opt.burstMs) * 1000;
  line.otherMaster = opt.secondary;
  sim::PtyServer server(segment);
  std::string error;
  if (server.Start(error) != 0) {
    std::fprintf(stderr, "veltrop_soak: cannot serve a pseudo-terminal: %s\n", error.c_str());
    return 1;
  }

  platform::PosixSerialDriver driver(
      std::map<std::string, std::string>{{"COM8:", server.SlavePath()}});
  support::ScriptedOperator op;
  platform::ScopedServices use({&driver, nullptr, &op});

  hart::HartDevice device;
  if (device.Open(8, 1200) != serial::LinkResult::kOk || !device.Poll(0, 2)) {
    std::fprintf(stderr, "veltrop_soak: the simulated device does not answer\n");
    return 1;
  }
  device.Close();
  const std::uint32_t identity = device.Identifier();

  ui::PvDialog dialog;
  dialog.device = &device;
  if (!dialog.Create()) return 1;
  dialog.SetDlgItemText(ui::kIdCycles, std::to_string(opt.polls));
  dialog.OnStart();
  if (dialog.timerId == 0) {
    std::fprintf(stderr, "veltrop_soak: the error test did not start\n");
    return 1;
  }

  std::mt19937 random(opt.seed);
  std::bernoulli_distribution faulty(opt.rate);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kFaults) - 1);
  std::map<Fault, int> injected;
  int spoiled = 0;
  int wronglyAccepted = 0;
  int unexplained = 0;

  const auto start = std::chrono::steady_clock::now();
  for (int poll = 1; poll <= opt.polls && dialog.timerId != 0; ++poll) {
    const Fault f = faulty(random) ? kFaults[pick(random)] : Fault::None;
    server.WithSegment([&](sim::Segment& s) { Arm(s.At(0).faults, f); });
    ++injected[f];
    if (SpoilsTheReply(f)) ++spoiled;

    const int errorsBefore = dialog.errors;
    dialog.DispatchTimer(1);
    const bool counted = dialog.errors > errorsBefore;
    if (SpoilsTheReply(f) && !counted) ++wronglyAccepted;
    if (!SpoilsTheReply(f) && counted) ++unexplained;
    if (device.Identifier() != identity) ++wronglyAccepted;
    if (poll % 50 == 0) std::fprintf(stderr, "... %d polls\n", poll);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  server.WithSegment([&](sim::Segment& s) { Arm(s.At(0).faults, Fault::None); });

  const bool complete = dialog.pv == "Complete" && !serial::HartLink::theSerialPort.IsOpen();
  std::printf("| figure | value |\n|---|---|\n");
  std::printf("| polls | %d |\n", opt.polls);
  std::printf("| fault rate asked | %.2f (seed %u) |\n", opt.rate, opt.seed);
  for (Fault f : kFaults) std::printf("| injected: %s | %d |\n", Name(f), injected[f]);
  std::printf("| replies spoiled (drop, checksum, truncate, commerror) | %d |\n", spoiled);
  std::printf("| errors counted by the test | %d |\n", dialog.errors);
  std::printf("| wrongly accepted frames | %d |\n", wronglyAccepted);
  std::printf("| errors without a spoiled reply | %d |\n", unexplained);
  std::printf("| test ended with \"Complete\" and the port closed | %s |\n",
              complete ? "yes" : "no");
  std::printf("| wall time | %.1f s (%.0f ms a poll) |\n", seconds, 1000 * seconds / opt.polls);
  std::printf("| operator messages | %zu |\n", op.shown().size());
  dialog.EndDialog(platform::kIdCancel);
  server.Stop();

  const bool ok = wronglyAccepted == 0 && unexplained == 0 && dialog.errors == spoiled &&
                  complete && op.shown().empty();
  return ok ? 0 : 1;
}
