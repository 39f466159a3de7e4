#include "bench/timing/recording_serial.h"

#include <chrono>
#include <utility>

namespace timing {

class RecordingDevice final : public platform::SerialDevice {
 public:
  RecordingDevice(std::unique_ptr<platform::SerialDevice> inner, RecordingSerialDriver& log)
      : inner_(std::move(inner)), log_(log) {}

  std::uint32_t SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
    return inner_->SetQueueSizes(in, out);
  }
  std::uint32_t SetEventMask(std::uint32_t mask) override { return inner_->SetEventMask(mask); }
  std::uint32_t GetSettings(platform::LineSettings& s) override { return inner_->GetSettings(s); }
  std::uint32_t SetSettings(const platform::LineSettings& s) override {
    return inner_->SetSettings(s);
  }
  std::uint32_t GetTimeouts(platform::Timeouts& t) override { return inner_->GetTimeouts(t); }
  std::uint32_t SetTimeouts(const platform::Timeouts& t) override { return inner_->SetTimeouts(t); }
  std::uint32_t Write(const std::uint8_t* data, std::uint32_t length,
                      std::uint32_t& written) override {
    const std::uint32_t e = inner_->Write(data, length, written);
    log_.Wrote(written);
    return e;
  }
  std::uint32_t Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) override {
    const std::uint32_t e = inner_->Read(data, length, read);
    log_.Read(read);
    return e;
  }
  std::uint32_t Purge(std::uint32_t flags) override { return inner_->Purge(flags); }
  std::uint32_t ClearErrors(std::uint32_t& errors) override { return inner_->ClearErrors(errors); }

 private:
  std::unique_ptr<platform::SerialDevice> inner_;
  RecordingSerialDriver& log_;
};

RecordingSerialDriver::RecordingSerialDriver(platform::SerialDriver& inner,
                                             std::function<std::uint64_t()> nowMicros)
    : inner_(inner), now_(std::move(nowMicros)) {
  if (!now_) {
    now_ = [] {
      return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count());
    };
  }
}

std::uint32_t RecordingSerialDriver::Open(std::string_view name,
                                          std::unique_ptr<platform::SerialDevice>& device) {
  std::unique_ptr<platform::SerialDevice> opened;
  const std::uint32_t e = inner_.Open(name, opened);
  if (e != 0) {
    device.reset();
    return e;
  }
  device = std::make_unique<RecordingDevice>(std::move(opened), *this);
  return 0;
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
