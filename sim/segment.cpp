#include "sim/segment.h"

#include <algorithm>

namespace sim {

namespace {

// Unsolicited frames older than this are never produced: after a long idle
// stretch a 2048-byte driver queue would have overflowed long before.
constexpr std::uint64_t kUnsolicitedHorizonMicros = 20'000'000;

// A bursting device leaves the line quiet for at least this long after each
// frame on it, so that a master can get a word in.
constexpr std::uint64_t kBurstQuietMicros = 8 * kCharacterMicros;
// A bursting device that has heard a master's request lost in a collision
// sends the frame already due, which lands where the master expected its
// answer, and then leaves the line to the masters for this long: long
// enough for a master that waits a second after a burst frame to ask again
// on a quiet line, even when it is slow to get round to it.
constexpr std::uint64_t kMastersTurnMicros = 3'000'000;

// The next time on the grid start + k * period that is not before `from`.
std::uint64_t CatchUp(std::uint64_t next, std::uint64_t period, std::uint64_t from) {
  if (next >= from) return next;
  return next + (from - next + period - 1) / period * period;
}

}  // namespace

Device& Segment::Add(const DeviceConfig& config) {
  devices_.push_back(std::make_unique<Device>(config));
  return *devices_.back();
}

Device* Segment::Find(std::uint8_t pollAddress) {
  for (auto& d : devices_) {
    if (d->config.pollAddress == pollAddress) return d.get();
  }
  return nullptr;
}

void Segment::Emit(const std::vector<std::uint8_t>& bytes, std::uint64_t firstAt,
                   std::vector<TimedByte>& out) {
  if (bytes.empty()) return;
  const std::uint64_t start = std::max(firstAt, lineFreeAt_);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out.push_back({start + i * kCharacterMicros, bytes[i]});
  }
  lineFreeAt_ = start + bytes.size() * kCharacterMicros;
}

std::vector<TimedByte> Segment::Receive(std::uint8_t value, std::uint64_t atMicros) {
  std::vector<TimedByte> out;
  auto request = assembler_.Feed(value, atMicros);
  if (!request) return out;
  const std::uint64_t requestStart =
      request->raw.empty() ? request->endMicros : request->raw.front().atMicros;

  // A multi-drop segment has at most one device per address; should two
  // share one, the first added answers (a real pair would collide).
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const auto& d) { return d->Matches(*request); });
  Device* device = it == devices_.end() ? nullptr : it->get();

  // The master does not listen before it talks: a request that begins while
  // a frame of ours is still on the line collides with it, and nobody makes
  // it out. A bursting device sends the frame already due all the same, so
  // that frame is what the master reads where the answer should be; then it
  // gives the masters their turn.
  if (lineFreeAt_ > requestStart) {
    for (auto& d : devices_) d->yieldAfterNextBurst_ = d->nextBurstAt_.has_value();
    if (device != nullptr && onTransaction) {
      onTransaction({device->config.pollAddress, request->IsLong(), request->command,
                     Outcome::Collided, request->endMicros});
    }
    return out;
  }

  std::uint64_t lineQuietFrom = request->endMicros;
  if (device != nullptr) {
    // A modem that echoes hands the master its own bytes back as they go out.
    if (device->faults.echo) out.insert(out.end(), request->raw.begin(), request->raw.end());

    Outcome outcome = Outcome::Answered;
    if (auto reply = device->Answer(*request, outcome)) {
      // The line is free: the request has just ended, and no burst starts
      // while a master talks. So the answer comes after the turnaround,
      // never behind a backlog.
      const std::uint64_t first =
          request->endMicros + device->config.turnaroundChars * kCharacterMicros;
      for (std::size_t i = 0; i < reply->size(); ++i) {
        out.push_back({first + i * kCharacterMicros, (*reply)[i]});
      }
      lineQuietFrom = first + reply->size() * kCharacterMicros;
      lineFreeAt_ = std::max(lineFreeAt_, lineQuietFrom);
      if (device->faults.hangupMillis != 0) {
        hangUpAt_ = first + device->faults.hangupMillis * 1000ull;
        device->faults.hangupMillis = 0;  // the plug is pulled once
      }
    }
    if (onTransaction) {
      onTransaction({device->config.pollAddress, request->IsLong(), request->command, outcome,
                     request->endMicros});
    }
  }
  // Bursting devices hold their next frame until the transaction is over.
  for (auto& d : devices_) {
    if (d->nextBurstAt_) {
      d->nextBurstAt_ = std::max(*d->nextBurstAt_, lineQuietFrom + kBurstQuietMicros);
    }
  }
  return out;
}

bool Segment::HangUpDue(std::uint64_t nowMicros) {
  if (!hangUpAt_ || *hangUpAt_ > nowMicros) return false;
  // The rest of the reply never goes out: the line is free from here on.
  lineFreeAt_ = std::min(lineFreeAt_, *hangUpAt_);
  hangUpAt_.reset();
  return true;
}

std::vector<TimedByte> Segment::Receive(const std::vector<TimedByte>& bytes) {
  std::vector<TimedByte> out;
  for (const auto& b : bytes) {
    auto more = Receive(b.value, b.atMicros);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

bool Segment::HasUnsolicited() const {
  return std::any_of(devices_.begin(), devices_.end(), [](const auto& d) {
    return (d->faults.burst && !d->faults.silent) || d->faults.otherMaster;
  });
}

std::vector<TimedByte> Segment::Unsolicited(std::uint64_t untilMicros) {
  std::vector<TimedByte> out;
  if (untilMicros <= unsolicitedFrom_) return out;
  const std::uint64_t from = untilMicros - unsolicitedFrom_ > kUnsolicitedHorizonMicros
                                 ? untilMicros - kUnsolicitedHorizonMicros
                                 : unsolicitedFrom_;
  const std::uint64_t minPeriod = 10 * kCharacterMicros;

  // Schedules: a fault switched on starts its frames from here, one
  // switched off forgets its schedule.
  for (auto& d : devices_) {
    const bool bursting = d->faults.burst && !d->faults.silent;
    const std::uint64_t bp = std::max(d->faults.burstPeriodMicros, minPeriod);
    const std::uint64_t op = std::max(d->faults.otherMasterPeriodMicros, minPeriod);
    if (!bursting)
      d->nextBurstAt_.reset();
    else
      d->nextBurstAt_ = CatchUp(d->nextBurstAt_.value_or(from), bp, from);
    if (!d->faults.otherMaster)
      d->nextOtherMasterAt_.reset();
    else
      d->nextOtherMasterAt_ = CatchUp(d->nextOtherMasterAt_.value_or(from), op, from);
  }

  // Frames in time order across all devices.
  for (;;) {
    Device* next = nullptr;
    bool burst = false;
    std::uint64_t at = untilMicros;
    for (auto& d : devices_) {
      if (d->nextBurstAt_ && *d->nextBurstAt_ < at) {
        next = d.get(), burst = true, at = *d->nextBurstAt_;
      }
      if (d->nextOtherMasterAt_ && *d->nextOtherMasterAt_ < at) {
        next = d.get(), burst = false, at = *d->nextOtherMasterAt_;
      }
    }
    if (!next) break;
    if (burst) {
      const std::vector<std::uint8_t> frame = next->BurstFrame();
      const std::uint64_t start = std::max(at, lineFreeAt_);
      Emit(frame, at, out);
      const std::uint64_t quiet =
          next->yieldAfterNextBurst_ ? kMastersTurnMicros : kBurstQuietMicros;
      next->yieldAfterNextBurst_ = false;
      *next->nextBurstAt_ = std::max(start + std::max(next->faults.burstPeriodMicros, minPeriod),
                                     lineFreeAt_ + quiet);
    } else {
      Emit(next->OtherMasterFrame(), at, out);
      *next->nextOtherMasterAt_ += std::max(next->faults.otherMasterPeriodMicros, minPeriod);
    }
  }
  unsolicitedFrom_ = untilMicros;
  return out;
}

}  // namespace sim
