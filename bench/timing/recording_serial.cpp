#include "bench/timing/recording_serial.h"

#include <chrono>
#include <utility>

namespace timing {

RecordingSerialDriver::RecordingSerialDriver(platform::SerialDriver& inner,
                                             std::function<std::uint64_t()> nowMicros)
    : tap_(inner), now_(std::move(nowMicros)) {
  tap_.afterWrite = [this](std::uint32_t count) { Wrote(count); };
  tap_.afterRead = [this](std::uint32_t count) { Read(count); };
  if (!now_) {
    now_ = [] {
      return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());
    };
  }
}

platform::Error RecordingSerialDriver::Open(std::string_view name,
                                            std::unique_ptr<platform::SerialDevice>& device) {
  return tap_.Open(name, device);
}

void RecordingSerialDriver::Clear() {
  exchanges_.clear();
  unsolicited_ = 0;
}

void RecordingSerialDriver::Wrote(std::uint32_t count) {
  Exchange x;
  x.requestBytes = count;
  x.writtenAtMicros = now_();
  exchanges_.push_back(x);
}

void RecordingSerialDriver::Read(std::uint32_t count) {
  if (count == 0) return;
  if (exchanges_.empty()) {
    unsolicited_ += count;
    return;
  }
  exchanges_.back().replyBytes += count;
  exchanges_.back().lastByteAtMicros = now_();
}

}  // namespace timing
