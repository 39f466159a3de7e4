#include "sim/hartsim_trace.h"

namespace sim {

bool HartsimTrace::Open(const std::string& path, std::string& error) {
  return writer_.Open(path, error);
}

void HartsimTrace::Attach(PtyServer& server) {
  startMicros_ = writer_.Now();
  server.tap = [this](const std::vector<TimedByte>& fromMaster,
                      const std::vector<TimedByte>& toMaster,
                      std::uint64_t nowMicros) { Take(fromMaster, toMaster, nowMicros); };
}

void HartsimTrace::Attach(HartIpServer& server) {
  startMicros_ = writer_.Now();
  server.tap = [this](const std::vector<TimedByte>& fromMaster,
                      const std::vector<TimedByte>& toMaster,
                      std::uint64_t nowMicros) { Take(fromMaster, toMaster, nowMicros); };
}

void HartsimTrace::Take(const std::vector<TimedByte>& fromMaster,
                        const std::vector<TimedByte>& toMaster, std::uint64_t nowMicros) {
  for (const auto& b : fromMaster) tap_.Add(true, b);
  for (const auto& b : toMaster) tap_.Add(false, b);
  Write(tap_.Take(nowMicros));
}

void HartsimTrace::Finish() {
  Write(tap_.TakeAll());
  writer_.Close();
}

void HartsimTrace::Write(const std::vector<TapRecord>& records) {
  for (const auto& r : records) {
    const auto origin = r.fromMaster ? hartip::Origin::Master : hartip::Origin::Field;
    if (r.isFrame) {
      writer_.WriteFrame(origin, r.bytes, startMicros_ + r.atMicros);
    } else {
      writer_.WriteNoFrame(origin, r.bytes, r.reason, startMicros_ + r.atMicros);
    }
  }
}

}  // namespace sim
