// The arithmetic behind the timing tables: where an exchange's wire time
// sticks out of the write pause, the split of a press's wall time, and
// median/min/max of repeated runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/timing/recording_serial.h"

namespace timing {

// The HART line: 1200 baud, 11 bits a character (start, 8 data, odd parity,
// stop): 9.167 ms a character.
inline constexpr double kCharacterMillis = 11.0 * 1000.0 / 1200.0;

// Where the request's own characters fall.
enum class Line {
  // A pseudo-terminal does not pace what the driver writes: the request
  // reaches the simulator at once and only the reply takes line time.
  Pty,
  // On a modem the driver's write returns once the request has left
  // (tcdrain), so its characters are spent before the write pause starts.
  Modem,
};

struct WireModel {
  Line line = Line::Pty;
  double characterMillis = kCharacterMillis;
  // The device's pause between request and reply, in character times.
  double turnaroundChars = 2;
  // The write pause (SerialPort::Write) that the exchange overlaps.
  double pauseMillis = 500;
};

// Request, turnaround and reply on the wire. A request nobody answered is
// only its own characters.
double WireMillis(const Exchange& x, const WireModel& model);
// The wire time that the write pause does not hide: the turnaround and
// reply beyond the pause, plus on a modem the request before it.
double StickOutMillis(const Exchange& x, const WireModel& model);
double StickOutMillis(const std::vector<Exchange>& xs, const WireModel& model);
// How long after the write pause the last reply byte was actually read on
// this run (0 when it was in before the pause ended, or nothing came).
double LateMillis(const Exchange& x, const WireModel& model);
double LateMillis(const std::vector<Exchange>& xs, const WireModel& model);

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
  std::size_t count = 0;
};
Summary Summarise(std::vector<double> values);

// CPU time (user + system) in milliseconds: of the calling thread, and of the
// whole process.
double ThreadCpuMillis();
double ProcessCpuMillis();
// CPU time (user + system) of every thread of this process, by thread id,
// with the thread's name, from /proc (the kernel's clock-tick resolution).
struct ThreadCpu {
  std::string name;
  double millis = 0;
};
std::map<int, ThreadCpu> ThreadsCpuMillis();
// The calling thread's id as /proc lists it.
int ThreadId();

// Monotonic wall time in milliseconds.
double WallMillis();

}  // namespace timing
