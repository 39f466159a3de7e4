// Real-time figures of the program over a pseudo-terminal: the real termios
// driver against the simulator serving revision-7 devices at 1200 baud
// pacing, the real dialogs on Qt's offscreen platform, the real clock.
//
//   veltrop_timing [--presses N] [--idle-seconds S] [--only poll,scan,pv,idle]
//                  [--burst MS] [--secondary]
//   veltrop_timing --first-paint START_MICROS
//
// Each press's wall time is split into (a) the sleeps the program asked for,
// counted by a clock that wraps the real one, (b) wire time that runs past
// the write pause, from the bytes written and read, and (c) what is left:
// the program's own overhead. With --first-paint it builds the Poll dialog
// as the program does and prints the time from START_MICROS (microseconds
// since the epoch, taken just before the process was started) to the
// dialog's first paint event.
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/timing/counting_clock.h"
#include "bench/timing/figures.h"
#include "bench/timing/recording_serial.h"
#include "platform/posix_serial.h"
#include "platform/services.h"
#include "serial/hart_link.h"
#include "sim/pty_server.h"
#include "sim/segment.h"
#include "tests/support/scripted_operator.h"
#include "ui/poll_dialog.h"
#include "ui/pv_dialog.h"
#include "ui/resources.h"

namespace {

using timing::Summary;

struct Options {
  int presses = 10;
  int idleSeconds = 60;
  std::set<std::string> only;
  bool Runs(const std::string& what) const { return only.empty() || only.count(what) > 0; }
};

// Faults every simulated device gets: with --burst MS it bursts four
// variables on that strict period, with --secondary a secondary master
// asks it every second: a loop shared with other stations.
sim::Faults sharedLine;

// One simulated segment served on a pty, and the program's services pointed
// at it: the real driver opening the pty's path for "COM8:", the real clock
// behind a counting one, a scripted operator.
class Rig {
 public:
  explicit Rig(const std::vector<sim::DeviceConfig>& devices) {
    for (const auto& d : devices) segment_.Add(d).faults = sharedLine;
    std::string error;
    if (server_.Start(error) != 0) {
      std::fprintf(stderr, "veltrop_timing: cannot serve a pty: %s\n", error.c_str());
      std::exit(1);
    }
    posix_ = std::make_unique<platform::PosixSerialDriver>(
        std::map<std::string, std::string>{{serial::kPortName, server_.SlavePath()}});
    recorder_ = std::make_unique<timing::RecordingSerialDriver>(*posix_);
    guard_ = std::make_unique<platform::ScopedServices>(
        platform::Services{recorder_.get(), &clock, &op});
  }
  ~Rig() {
    serial::HartLink::CloseLink();
    guard_.reset();
    server_.Stop();
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  timing::CountingClock clock{platform::RealClock()};
  support::ScriptedOperator op;
  timing::RecordingSerialDriver& recorder() { return *recorder_; }

 private:
  sim::Segment segment_;
  sim::PtyServer server_{segment_};
  std::unique_ptr<platform::PosixSerialDriver> posix_;
  std::unique_ptr<timing::RecordingSerialDriver> recorder_;
  std::unique_ptr<platform::ScopedServices> guard_;
};

struct Sample {
  double wall = 0;
  double slept = 0;
  double pollSlept = 0;
  double stickOut = 0;
  double modemStickOut = 0;
  double modemPress = 0;
  double late = 0;
  double overhead = 0;
  double uiCpu = 0;
  double otherCpu = 0;
  double tickReads = 0;
  double exchanges = 0;
};

Sample Measure(Rig& rig, const std::function<void()>& action) {
  rig.clock.Reset();
  rig.recorder().Clear();
  const double cpu0 = timing::ThreadCpuMillis();
  const double proc0 = timing::ProcessCpuMillis();
  const double wall0 = timing::WallMillis();
  action();
  const double wall1 = timing::WallMillis();
  const double cpu1 = timing::ThreadCpuMillis();
  const double proc1 = timing::ProcessCpuMillis();

  const timing::WireModel model;
  Sample s;
  s.wall = wall1 - wall0;
  s.slept = static_cast<double>(rig.clock.SleptMillis());
  s.pollSlept = static_cast<double>(rig.clock.PollSleptMillis());
  s.stickOut = timing::StickOutMillis(rig.recorder().exchanges(), model);
  timing::WireModel modem;
  modem.line = timing::Line::Modem;
  s.modemStickOut = timing::StickOutMillis(rig.recorder().exchanges(), modem);
  s.late = timing::LateMillis(rig.recorder().exchanges(), model);
  s.overhead = s.wall - s.slept - s.stickOut;
  s.modemPress = s.slept + s.modemStickOut + s.overhead;
  s.uiCpu = cpu1 - cpu0;
  s.otherCpu = (proc1 - proc0) - s.uiCpu;
  s.tickReads = static_cast<double>(rig.clock.TickReads());
  s.exchanges = static_cast<double>(rig.recorder().exchanges().size());
  return s;
}

// The inputs of (b) for one run: each distinct request/reply size, how
// often it occurred and its wire time from the start of the write.
void PrintWire(const std::vector<timing::Exchange>& exchanges) {
  std::map<std::pair<std::uint32_t, std::uint32_t>, int> sizes;
  for (const auto& x : exchanges) ++sizes[{x.requestBytes, x.replyBytes}];
  std::printf("wire, last run (request + reply characters):");
  for (const auto& [size, count] : sizes) {
    timing::Exchange x;
    x.requestBytes = size.first;
    x.replyBytes = size.second;
    std::printf(" %dx %u+%u = %.0f ms;", count, size.first, size.second,
                timing::WireMillis(x, timing::WireModel{}));
  }
  std::printf("\n");
}

void PrintTable(const std::string& title, const std::vector<Sample>& samples) {
  std::printf("\n== %s (%zu runs) ==\n", title.c_str(), samples.size());
  std::printf("%-44s %10s %10s %10s\n", "figure (ms unless counted)", "median", "min", "max");
  const auto row = [&](const char* name, double Sample::*field) {
    std::vector<double> v;
    for (const auto& s : samples) v.push_back(s.*field);
    const Summary m = timing::Summarise(v);
    std::printf("%-44s %10.1f %10.1f %10.1f\n", name, m.median, m.min, m.max);
  };
  row("wall, press to verdict", &Sample::wall);
  row("(a) sleeps the program asked for", &Sample::slept);
  row("    of which reply polls (< 50 ms each)", &Sample::pollSlept);
  row("(b) wire time past the write pauses", &Sample::stickOut);
  row("(c) overhead beyond (a) and (b)", &Sample::overhead);
  row("(b) on a 1200-baud modem (request first)", &Sample::modemStickOut);
  row("    press on a modem: (a) + that + (c)", &Sample::modemPress);
  row("UI thread CPU", &Sample::uiCpu);
  row("other threads' CPU (simulator, Qt)", &Sample::otherCpu);
  row("tick-count reads (count)", &Sample::tickReads);
  row("requests written (count)", &Sample::exchanges);
  row("last reply byte read, after the pause", &Sample::late);
}

sim::DeviceConfig Revision7At(std::uint8_t address, std::array<std::uint8_t, 3> id) {
  sim::DeviceConfig c;
  c.pollAddress = address;
  c.universalRevision = 7;
  c.deviceId = id;
  c.tag = "PT-" + std::to_string(100 + address);
  if (sharedLine.burst) c.variables = {{7, 1.5f}, {32, 21.25f}, {39, 16.0f}, {7, -3.0f}};
  return c;
}

// Clicks a button the way the operator does; the handler runs before the
// click returns.
void Press(platform::CDialog& dialog, int id) {
  QTest::mouseClick(dialog.Control(id), Qt::LeftButton);
}

int failures = 0;

void Expect(const std::string& what, const std::string& got, const std::string& wanted) {
  if (got == wanted) return;
  ++failures;
  std::fprintf(stderr, "veltrop_timing: %s: got \"%s\", wanted \"%s\"\n", what.c_str(), got.c_str(),
               wanted.c_str());
}

void PollPresses(const Options& o) {
  Rig rig({Revision7At(0, {0x00, 0x01, 0x02})});
  ui::PollDialog dialog;
  dialog.Create();
  std::vector<Sample> samples;
  for (int i = 0; i < o.presses; ++i) {
    samples.push_back(Measure(rig, [&] { Press(dialog, ui::kIdPoll); }));
    Expect("poll verdict", dialog.GetDlgItemText(ui::kIdStatus), "Test Pass, single device");
    Expect("poll tag", dialog.GetDlgItemText(ui::kIdTag), "PT-100  ");
    QApplication::processEvents();
  }
  dialog.DestroyWindow();
  PrintTable("Poll press, revision-7 device at address 0", samples);
  PrintWire(rig.recorder().exchanges());
}

void ScanPresses(const Options& o) {
  Rig rig({Revision7At(2, {0x00, 0x00, 0x02}), Revision7At(5, {0x00, 0x00, 0x05})});
  ui::PollDialog dialog;
  dialog.Create();
  std::vector<Sample> samples;
  for (int i = 0; i < o.presses; ++i) {
    rig.op.Answer(platform::kIdYes);
    samples.push_back(Measure(rig, [&] { Press(dialog, ui::kIdPoll); }));
    Expect("scan verdict", dialog.GetDlgItemText(ui::kIdStatus), "Test Pass, multi-drop network");
    Expect("scan addresses", dialog.GetDlgItemText(ui::kIdAddresses), "2, 5");
    QApplication::processEvents();
  }
  dialog.DestroyWindow();
  PrintTable("Multi-drop scan, devices at 2 and 5, operator answers Yes", samples);
  PrintWire(rig.recorder().exchanges());
}

// A PV dialog monitoring (cycle count 0) the device a Poll press found, as
// the Poll dialog's PV button opens it.
void PvMonitor(const Options& o) {
  Rig rig({Revision7At(0, {0x00, 0x01, 0x02})});
  ui::PollDialog poll;
  poll.Create();
  Press(poll, ui::kIdPoll);
  Expect("poll before PV", poll.GetDlgItemText(ui::kIdStatus), "Test Pass, single device");

  ui::PvDialog pv;
  pv.device = &poll.device;
  pv.tag = poll.tag;
  pv.portNumber = poll.portNumber;
  pv.Create();
  pv.SetDlgItemText(ui::kIdCycles, "0");
  Press(pv, ui::kIdStart);

  if (o.Runs("pv")) {
    // The tick handler called directly, exactly as the timer delivers it;
    // no event loop runs in between, so the real timer does not also fire.
    std::vector<Sample> samples;
    for (int i = 0; i < o.presses; ++i) {
      samples.push_back(Measure(rig, [&] { pv.DispatchTimer(1); }));
      Expect("loop current", pv.GetDlgItemText(ui::kIdLoopCurrent), "12.000 mA");
      Expect("PV", pv.GetDlgItemText(ui::kIdPvValue), "12.500");
    }
    PrintTable("PV monitor tick (command 3), tick handler called directly", samples);
    PrintWire(rig.recorder().exchanges());
  }

  if (o.Runs("idle")) {
    // The monitor as the operator leaves it: the event loop runs and the
    // dialog's own 2000 ms timer fires.
    const int cycle0 = pv.cycle;
    const auto threads0 = timing::ThreadsCpuMillis();
    QEventLoop loop;
    const Sample s = Measure(rig, [&] {
      QTimer::singleShot(std::chrono::seconds(o.idleSeconds), Qt::PreciseTimer, &loop,
                         &QEventLoop::quit);
      loop.exec();
    });
    const auto threads1 = timing::ThreadsCpuMillis();
    const int ticks = pv.cycle - cycle0;
    std::printf("\n== PV monitor left running %d s with its real 2000 ms timer ==\n",
                o.idleSeconds);
    std::printf("%-44s %10d\n", "ticks", ticks);
    std::printf("%-44s %10.1f\n", "wall ms", s.wall);
    std::printf("%-44s %10.1f\n", "sleeps asked for, ms", s.slept);
    std::printf("%-44s %10.1f\n", "UI thread CPU ms", s.uiCpu);
    std::printf("%-44s %10.3f\n", "UI thread CPU %", 100.0 * s.uiCpu / s.wall);
    std::printf("%-44s %10.3f\n", "other threads' CPU % (simulator, Qt)",
                100.0 * s.otherCpu / s.wall);
    std::printf("%-44s %10.3f\n", "process CPU %", 100.0 * (s.uiCpu + s.otherCpu) / s.wall);
    std::printf("%-44s %10.1f\n", "tick-count reads per tick",
                ticks > 0 ? s.tickReads / ticks : 0.0);
    // Which thread the rest went to. The simulator's server thread is the
    // one unnamed thread besides the UI thread.
    std::printf("per thread (from /proc, 10 ms ticks):\n");
    for (const auto& [tid, after] : threads1) {
      const auto before = threads0.find(tid);
      const double ms = after.millis - (before == threads0.end() ? 0.0 : before->second.millis);
      std::printf("  %-20s tid %-8d %8.0f ms %8.3f %%%s\n", after.name.c_str(), tid, ms,
                  100.0 * ms / s.wall, tid == timing::ThreadId() ? "  (UI thread)" : "");
    }
    Expect("PV after the idle run", pv.GetDlgItemText(ui::kIdPvValue), "12.500");
    if (ticks < o.idleSeconds / 2 - 1) {
      ++failures;
      std::fprintf(stderr, "veltrop_timing: only %d ticks in %d s\n", ticks, o.idleSeconds);
    }
  }
  Press(pv, ui::kIdStop);
  pv.DestroyWindow();
  poll.DestroyWindow();
}

// Watches for the first paint of `window` or any widget inside it.
class FirstPaint final : public QObject {
 public:
  QWidget* window = nullptr;
  std::chrono::system_clock::time_point at;
  bool seen = false;

  bool eventFilter(QObject* object, QEvent* event) override {
    if (!seen && window != nullptr && event->type() == QEvent::Paint) {
      auto* widget = qobject_cast<QWidget*>(object);
      if (widget != nullptr && (widget == window || window->isAncestorOf(widget))) {
        seen = true;
        at = std::chrono::system_clock::now();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
      }
    }
    return false;
  }
};

double MillisBetween(std::int64_t fromMicros, std::chrono::system_clock::time_point to) {
  const auto toMicros =
      std::chrono::duration_cast<std::chrono::microseconds>(to.time_since_epoch()).count();
  return static_cast<double>(toMicros - fromMicros) / 1000.0;
}

int FirstPaintRun(int argc, char** argv, std::int64_t startMicros) {
  const auto mainAt = std::chrono::system_clock::now();
  QApplication app(argc, argv);
  ui::RegisterResources();
  FirstPaint watch;
  app.installEventFilter(&watch);
  // As the program's application object builds its main window.
  ui::PollDialog dialog;
  if (!dialog.Create()) return 1;
  watch.window = dialog.Window();
  QTimer::singleShot(std::chrono::seconds(10), &app, &QCoreApplication::quit);
  QApplication::exec();
  if (!watch.seen) {
    std::fprintf(stderr, "veltrop_timing: no paint within 10 s\n");
    return 1;
  }
  std::printf("start_to_main_ms %.1f main_to_paint_ms %.1f start_to_paint_ms %.1f\n",
              MillisBetween(startMicros, mainAt),
              MillisBetween(startMicros, watch.at) - MillisBetween(startMicros, mainAt),
              MillisBetween(startMicros, watch.at));
  dialog.DestroyWindow();
  return 0;
}

int Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s [--presses N] [--idle-seconds S] [--only poll,scan,pv,idle]\n"
               "          [--burst MS] [--secondary]\n"
               "       %s --first-paint START_MICROS\n",
               self, self);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--first-paint" && hasValue) {
      return FirstPaintRun(argc, argv, std::strtoll(argv[i + 1], nullptr, 10));
    } else if (arg == "--presses" && hasValue) {
      o.presses = std::atoi(argv[++i]);
    } else if (arg == "--idle-seconds" && hasValue) {
      o.idleSeconds = std::atoi(argv[++i]);
    } else if (arg == "--burst" && hasValue) {
      sharedLine.burst = sharedLine.burstStrict = true;
      sharedLine.burstPeriodMicros = std::strtoull(argv[++i], nullptr, 10) * 1000;
    } else if (arg == "--secondary") {
      sharedLine.otherMaster = true;
    } else if (arg == "--only" && hasValue) {
      std::stringstream list(argv[++i]);
      for (std::string item; std::getline(list, item, ',');) o.only.insert(item);
    } else {
      return Usage(argv[0]);
    }
  }
  if (o.presses < 1 || o.idleSeconds < 1) return Usage(argv[0]);

  // Each table as soon as it is measured, also into a pipe or file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ui::RegisterResources();

  std::printf(
      "Wire model: %.3f ms a character (1200 baud, 11 bits), turnaround 2 characters,\n"
      "write pause 500 ms; real clock, real termios driver on a pty.\n",
      timing::kCharacterMillis);
  if (o.Runs("poll")) PollPresses(o);
  if (o.Runs("scan")) ScanPresses(o);
  if (o.Runs("pv") || o.Runs("idle")) PvMonitor(o);
  if (failures > 0) {
    std::fprintf(stderr, "veltrop_timing: %d unexpected results; the figures above are suspect\n",
                 failures);
    return 1;
  }
  return 0;
}
