#include "bench/timing/figures.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace timing {

double WireMillis(const Exchange& x, const WireModel& model) {
  double chars = x.requestBytes;
  if (x.replyBytes > 0) chars += model.turnaroundChars + x.replyBytes;
  return chars * model.characterMillis;
}

double StickOutMillis(const Exchange& x, const WireModel& model) {
  const double request = x.requestBytes * model.characterMillis;
  const double reply =
      x.replyBytes > 0 ? (model.turnaroundChars + x.replyBytes) * model.characterMillis : 0.0;
  const double pastPause = std::max(0.0, reply - model.pauseMillis);
  return model.line == Line::Modem ? request + pastPause : pastPause;
}

double StickOutMillis(const std::vector<Exchange>& xs, const WireModel& model) {
  double sum = 0;
  for (const auto& x : xs) sum += StickOutMillis(x, model);
  return sum;
}

double LateMillis(const Exchange& x, const WireModel& model) {
  if (x.replyBytes == 0 || x.lastByteAtMicros < x.writtenAtMicros) return 0;
  const double afterWrite = static_cast<double>(x.lastByteAtMicros - x.writtenAtMicros) / 1000.0;
  return std::max(0.0, afterWrite - model.pauseMillis);
}

double LateMillis(const std::vector<Exchange>& xs, const WireModel& model) {
  double sum = 0;
  for (const auto& x : xs) sum += LateMillis(x, model);
  return sum;
}

Summary Summarise(std::vector<double> values) {
  Summary s;
  s.count = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  s.min = values.front();
  s.max = values.back();
  return s;
}

namespace {

double CpuMillis(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace

double ThreadCpuMillis() {
  return CpuMillis(CLOCK_THREAD_CPUTIME_ID);
}

double ProcessCpuMillis() {
  return CpuMillis(CLOCK_PROCESS_CPUTIME_ID);
}

std::map<int, ThreadCpu> ThreadsCpuMillis() {
  std::map<int, ThreadCpu> out;
  const double tickMillis = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream in(task.path() / "stat");
    std::string line;
    if (!std::getline(in, line)) continue;  // the thread ended meanwhile
    // "tid (name) state ...": the name may hold blanks and parentheses, so
    // the fields are counted from the last ')'. utime and stime are the
    // 14th and 15th fields, the 12th and 13th after the state.
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && rest >> field; ++i) {
      if (i == 12) utime = std::stoull(field);
      if (i == 13) stime = std::stoull(field);
    }
    ThreadCpu t;
    t.name = line.substr(open + 1, close - open - 1);
    t.millis = static_cast<double>(utime + stime) * tickMillis;
    out[std::stoi(line.substr(0, open))] = t;
  }
  return out;
}

int ThreadId() {
  return static_cast<int>(::syscall(SYS_gettid));
}

double WallMillis() {
  return CpuMillis(CLOCK_MONOTONIC);
}

}  // namespace timing
