#include "sim/segment.h"

#include <algorithm>

namespace sim {

namespace {

// Unsolicited frames older than this are never produced: after a long idle
// stretch a 2048-byte driver queue would have overflowed long before.
constexpr std::uint64_t kUnsolicitedHorizonMicros = 20'000'000;

// A bursting device leaves the line quiet for at least this long after each
// frame on it (the link-grant time), so that a master can get a word in.
// It cannot tell that a request collided with its frame: nothing makes it
// leave the masters more room than that.
constexpr std::uint64_t kBurstQuietMicros = 8 * kCharacterMicros;
// The secondary master's RT1: how long it waits on a silent line before it
// takes it (the primary master's is shorter, 33 characters).
constexpr std::uint64_t kSecondaryRt1Micros = 41 * kCharacterMicros;

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
  // Each byte is readable at its stop bit: a master that takes the last
  // byte for the end of the frame is right.
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out.push_back({start + (i + 1) * kCharacterMicros, bytes[i]});
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

  // A request that begins while a frame is still on the line collides with
  // it, and nobody makes it out. A bursting device does not know: it sends
  // its frames as always, so a burst frame is what the master reads where
  // the answer should be.
  if (lineFreeAt_ > requestStart) {
    if (device != nullptr && onTransaction) {
      onTransaction({device->config.pollAddress, request->IsLong(), request->command,
                     Outcome::Collided, request->endMicros});
    }
    return out;
  }

  std::uint64_t lineQuietFrom = request->endMicros;
  // After a request without an answer, neither master has the turn.
  turn_ = Turn::Either;
  if (device != nullptr) {
    // A modem that echoes hands the master its own bytes back as they go out.
    if (device->faults.echo) out.insert(out.end(), request->raw.begin(), request->raw.end());

    Outcome outcome = Outcome::Unheard;
    // A device whose receiver needs more preambles never makes the request out.
    if (request->preambles >= device->config.requestPreambles) {
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
        if (device->faults.hangupMillis != 0) {
          hangUpAt_ = first + device->faults.hangupMillis * 1000ull;
          device->faults.hangupMillis = 0;  // the plug is pulled once
        }
        // After the primary master's exchange the secondary has the turn.
        turn_ = Turn::Secondary;
      }
    }
    if (onTransaction) {
      onTransaction({device->config.pollAddress, request->IsLong(), request->command, outcome,
                     request->endMicros});
    }
  }
  lineFreeAt_ = std::max(lineFreeAt_, lineQuietFrom);
  HoldBursts(lineQuietFrom);
  return out;
}

bool Segment::HangUpDue(std::uint64_t nowMicros) {
  if (!hangUpAt_ || *hangUpAt_ > nowMicros) return false;
  // The rest of the reply never goes out: the line is free from here on.
  lineFreeAt_ = std::min(lineFreeAt_, *hangUpAt_);
  hangUpAt_.reset();
  return true;
}

void Segment::HoldBursts(std::uint64_t quietFrom) {
  for (auto& d : devices_) {
    if (d->nextBurstAt_)
      d->nextBurstAt_ = std::max(*d->nextBurstAt_, quietFrom + kBurstQuietMicros);
  }
}

std::uint64_t Segment::SecondaryStart(std::uint64_t due) const {
  if (turn_ == Turn::Secondary && due <= lineFreeAt_ + kBurstQuietMicros) {
    return std::max(due, lineFreeAt_);
  }
  return std::max(due, lineFreeAt_ + kSecondaryRt1Micros);
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
      if (d->nextOtherMasterAt_ && SecondaryStart(*d->nextOtherMasterAt_) < at) {
        next = d.get(), burst = false, at = SecondaryStart(*d->nextOtherMasterAt_);
      }
    }
    if (!next) break;
    if (burst) {
      const bool toPrimary = next->burstToPrimary_;
      const std::vector<std::uint8_t> frame = next->BurstFrame();
      const std::uint64_t start = std::max(at, lineFreeAt_);
      Emit(frame, at, out);
      turn_ = toPrimary ? Turn::Primary : Turn::Secondary;
      const std::uint64_t period = std::max(next->faults.burstPeriodMicros, minPeriod);
      // On a strict period the next frame keeps to the grid however late
      // this one went out; otherwise it follows a period after this one.
      *next->nextBurstAt_ = std::max((next->faults.burstStrict ? at : start) + period,
                                     lineFreeAt_ + kBurstQuietMicros);
    } else {
      Emit(next->OtherMasterFrame(), at, out);
      const std::uint64_t requestEnd = lineFreeAt_;
      turn_ = Turn::Either;
      if (!next->faults.silent) {
        Emit(next->OtherMasterAnswer(),
             requestEnd + next->config.turnaroundChars * kCharacterMicros, out);
        turn_ = Turn::Primary;
      }
      HoldBursts(lineFreeAt_);
      // A request that waited for its turn does not leave a backlog behind.
      *next->nextOtherMasterAt_ = at + std::max(next->faults.otherMasterPeriodMicros, minPeriod);
    }
  }
  unsolicitedFrom_ = untilMicros;
  return out;
}

}  // namespace sim
