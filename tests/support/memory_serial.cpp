#include "tests/support/memory_serial.h"

#include <algorithm>

#include "platform/errors.h"

namespace support {

namespace {

bool NonBlocking(const platform::Timeouts& t) {
  return t.readInterval == platform::kMaxTimeout && t.readTotalMultiplier == 0 &&
         t.readTotalConstant == 0;
}

}  // namespace

class MemorySerialDevice final : public platform::SerialDevice {
 public:
  explicit MemorySerialDevice(MemoryLine& line) : line_(line) { line_.open_ = true; }
  ~MemorySerialDevice() override { line_.open_ = false; }

  platform::Error SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
    if (auto e = line_.Enter(Op::SetQueueSizes); e != platform::kErrorSuccess) return e;
    line_.inQueue = in;
    line_.outQueue = out;
    return platform::kErrorSuccess;
  }
  platform::Error SetEventMask(std::uint32_t mask) override {
    if (auto e = line_.Enter(Op::SetEventMask); e != platform::kErrorSuccess) return e;
    line_.eventMask = mask;
    return platform::kErrorSuccess;
  }
  platform::Error GetSettings(platform::LineSettings& s) override {
    if (auto e = line_.Enter(Op::GetSettings); e != platform::kErrorSuccess) return e;
    s = line_.settings;
    return platform::kErrorSuccess;
  }
  platform::Error SetSettings(const platform::LineSettings& s) override {
    if (auto e = line_.Enter(Op::SetSettings); e != platform::kErrorSuccess) return e;
    line_.settings = s;
    return platform::kErrorSuccess;
  }
  platform::Error GetTimeouts(platform::Timeouts& t) override {
    if (auto e = line_.Enter(Op::GetTimeouts); e != platform::kErrorSuccess) return e;
    t = line_.timeouts;
    return platform::kErrorSuccess;
  }
  platform::Error SetTimeouts(const platform::Timeouts& t) override {
    if (auto e = line_.Enter(Op::SetTimeouts); e != platform::kErrorSuccess) return e;
    line_.timeouts = t;
    return platform::kErrorSuccess;
  }

  platform::Error Write(const std::uint8_t* data, std::uint32_t length,
                        std::uint32_t& written) override {
    written = 0;
    if (auto e = line_.Enter(Op::Write); e != platform::kErrorSuccess) return e;
    if (line_.hungUp) return platform::kErrorDeviceNotConnected;
    const std::uint32_t moved = length > line_.writeShortBy ? length - line_.writeShortBy : 0;
    std::vector<std::uint8_t> bytes(data, data + moved);
    // A synchronous write returns when the last character has left.
    line_.clock_.Advance(moved * CharacterMicros(line_.settings.baudRate));
    written = moved;
    line_.writes_.push_back(bytes);
    line_.lineEvents_.push_back({LineEvent::Written, line_.clock_.NowMicros()});
    if (line_.onWrite) line_.onWrite(bytes, line_.clock_.NowMicros());
    return line_.late_ != platform::kErrorSuccess ? line_.late_ : line_.writeResult;
  }

  platform::Error Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) override {
    read = 0;
    if (auto e = line_.Enter(Op::Read); e != platform::kErrorSuccess) return e;
    if (line_.hungUp) return platform::kErrorDeviceNotConnected;
    if (line_.onCatchUp) line_.onCatchUp(line_.clock_.NowMicros());
    const std::uint32_t want = std::min(length, line_.maxBytesPerRead);
    if (!NonBlocking(line_.timeouts) && want > 0) {
      // A waiting read: let time run until the wanted byte has arrived, or
      // until the last byte on the wire if fewer are coming.
      auto& in = line_.incoming_;
      if (!in.empty()) {
        const std::size_t idx = std::min<std::size_t>(want, in.size()) - 1;
        line_.clock_.AdvanceTo(in[idx].atMicros);
      }
    }
    const std::uint64_t now = line_.clock_.NowMicros();
    auto& in = line_.incoming_;
    while (read < want && !in.empty() && in.front().atMicros <= now) {
      data[read++] = in.front().value;
      in.pop_front();
    }
    return line_.late_;
  }

  platform::Error Purge(std::uint32_t flags) override {
    line_.purges_.push_back(flags);
    if (auto e = line_.Enter(Op::Purge); e != platform::kErrorSuccess) return e;
    if (flags & platform::kPurgeClearReceive) {
      // Only what has arrived is discarded; bytes still on the wire come
      // later. Unsolicited traffic up to now is on the line first, as a real
      // driver would have received it during the caller's sleep.
      const std::uint64_t now = line_.clock_.NowMicros();
      if (line_.onCatchUp) line_.onCatchUp(now);
      auto& in = line_.incoming_;
      while (!in.empty() && in.front().atMicros <= now) in.pop_front();
    }
    return platform::kErrorSuccess;
  }

  platform::Error ClearErrors(std::uint32_t& errors) override {
    errors = 0;
    if (auto e = line_.Enter(Op::ClearErrors); e != platform::kErrorSuccess) return e;
    errors = line_.lineErrors;
    line_.lineErrors = 0;
    return platform::kErrorSuccess;
  }

  platform::Error SetModemLine(platform::ModemLine which, bool raised) override {
    if (auto e = line_.Enter(Op::SetModemLine); e != platform::kErrorSuccess) return e;
    if (line_.hungUp) return platform::kErrorDeviceNotConnected;
    const bool dtr = which == platform::ModemLine::kDtr;
    line_.lineEvents_.push_back({dtr ? (raised ? LineEvent::DtrOn : LineEvent::DtrOff)
                                     : (raised ? LineEvent::RtsOn : LineEvent::RtsOff),
                                 line_.clock_.NowMicros()});
    return platform::kErrorSuccess;
  }

 private:
  MemoryLine& line_;
};

void MemoryLine::Deliver(std::uint8_t value, std::uint64_t atMicros) {
  auto pos = std::upper_bound(incoming_.begin(), incoming_.end(), atMicros,
                              [](std::uint64_t t, const TimedByte& b) { return t < b.atMicros; });
  incoming_.insert(pos, TimedByte{atMicros, value});
}

void MemoryLine::DeliverPaced(const std::vector<std::uint8_t>& bytes, std::uint64_t firstAtMicros) {
  const std::uint64_t step = CharacterMicros(settings.baudRate ? settings.baudRate : 1200);
  for (std::size_t i = 0; i < bytes.size(); ++i) Deliver(bytes[i], firstAtMicros + i * step);
}

void MemoryLine::DeliverNow(const std::vector<std::uint8_t>& bytes) {
  for (auto b : bytes) Deliver(b, clock_.NowMicros());
}

void MemoryLine::Fail(Op op, int n, platform::Error error) {
  failures_.push_back({op, n, error, false});
}

void MemoryLine::FailAfterTransfer(Op op, int n, platform::Error error) {
  failures_.push_back({op, n, error, true});
}

platform::Error MemoryLine::Enter(Op op) {
  const int n = ++calls_[static_cast<int>(op)];
  late_ = platform::kErrorSuccess;
  for (const auto& f : failures_) {
    if (f.op != op || (f.n != 0 && f.n != n)) continue;
    if (!f.afterTransfer) return f.error;
    late_ = f.error;
  }
  return platform::kErrorSuccess;
}

std::vector<std::uint8_t> MemoryLine::AllWritten() const {
  std::vector<std::uint8_t> all;
  for (const auto& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

std::size_t MemoryLine::Buffered() const {
  const std::uint64_t now = clock_.NowMicros();
  return static_cast<std::size_t>(std::count_if(
      incoming_.begin(), incoming_.end(), [now](const TimedByte& b) { return b.atMicros <= now; }));
}

std::size_t MemoryLine::InFlight() const {
  return incoming_.size() - Buffered();
}

platform::Error MemorySerialDriver::Open(std::string_view name,
                                         std::unique_ptr<platform::SerialDevice>& device) {
  device.reset();
  line_.openedNames.emplace_back(name);
  if (auto e = line_.Enter(Op::Open); e != platform::kErrorSuccess) return e;
  if (line_.open_) return platform::kErrorSharingViolation;
  device = std::make_unique<MemorySerialDevice>(line_);
  return platform::kErrorSuccess;
}

}  // namespace support
