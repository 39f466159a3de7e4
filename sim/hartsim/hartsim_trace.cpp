#include "sim/hartsim/hartsim_trace.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace sim {

void HartsimTrace::Attach(PtyServer& server) {
  attachedAt_ = std::chrono::steady_clock::now();
  server.tap = [this](const std::vector<TimedByte>& fromMaster,
                      const std::vector<TimedByte>& toMaster,
                      std::uint64_t nowMicros) { Take(fromMaster, toMaster, nowMicros); };
}

void HartsimTrace::Attach(HartIpServer& server) {
  attachedAt_ = std::chrono::steady_clock::now();
  server.tap = [this](const std::vector<TimedByte>& fromMaster,
                      const std::vector<TimedByte>& toMaster,
                      std::uint64_t nowMicros) { Take(fromMaster, toMaster, nowMicros); };
}

void HartsimTrace::Take(const std::vector<TimedByte>& fromMaster,
                        const std::vector<TimedByte>& toMaster, std::uint64_t nowMicros) {
  if (!open_ || failed_) return;
  for (const auto& b : fromMaster) tap_.Add(true, b);
  for (const auto& b : toMaster) tap_.Add(false, b);
  Write(tap_.Take(nowMicros));
}

bool HartsimTrace::Open(const std::string& path, std::string& error) {
  if (!writer_.Open(path, error)) return false;
  // The tap's times count from the server's start, just after Attach.
  // Bytes before this instant are not recorded (nobody could have found
  // the terminal through its link yet).
  const auto served = std::chrono::steady_clock::now() - attachedAt_;
  startMicros_ =
      writer_.Now() - static_cast<std::uint64_t>(
                          std::chrono::duration_cast<std::chrono::microseconds>(served).count());
  open_ = true;
  return true;
}

void HartsimTrace::Finish() {
  if (open_ && !failed_) Write(tap_.TakeAll());
  open_ = false;
  writer_.Close();
}

void HartsimTrace::Write(const std::vector<TapRecord>& records) {
  for (const auto& r : records) {
    const auto origin = r.fromMaster ? hartip::Origin::Master : hartip::Origin::Field;
    const bool written =
        r.isFrame ? writer_.WriteFrame(origin, r.bytes, startMicros_ + r.atMicros)
                  : writer_.WriteNoFrame(origin, r.bytes, r.reason, startMicros_ + r.atMicros);
    if (!written) {
      failed_ = true;
      std::fprintf(stderr, "hartsim: %s\n", writer_.Failure().c_str());
      std::fflush(stderr);
      ::kill(::getpid(), SIGTERM);
      return;
    }
  }
}

}  // namespace sim
