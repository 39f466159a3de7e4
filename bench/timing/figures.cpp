#include "bench/timing/figures.h"

#include <time.h>

#include <algorithm>

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

double WallMillis() {
  return CpuMillis(CLOCK_MONOTONIC);
}

}  // namespace timing
