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
// A station taking its turn starts this soon after the frame that gave it,
// well inside the link-grant time.
constexpr std::uint64_t kTurnStartMicros = 2 * kCharacterMicros;
// A bursting device's frame follows an answer on the loop this soon.
constexpr std::uint64_t kBurstAfterAnswerMicros = 2 * kCharacterMicros;
// How long a slave may take to begin its answer; a bursting device that
// hears a request go unanswered bursts once it is over.
constexpr std::uint64_t kSlaveTimeoutMicros = 28 * kCharacterMicros;
// A modem needs a few characters to detect another's carrier: a station
// that starts this soon after another has begun has not heard it, and
// both frames are lost.
constexpr std::uint64_t kCarrierDetectMicros = 3 * kCharacterMicros;
// A master byte garbles any other station's byte on the line with it.
constexpr std::uint8_t kGarbled = 0x5A;

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

std::uint32_t Segment::Emit(const std::vector<std::uint8_t>& bytes, std::uint64_t firstAt) {
  const std::uint32_t frame = ++frames_;
  const std::uint64_t start = std::max(firstAt, lineFreeAt_);
  // Each byte is readable at its stop bit: a master that takes the last
  // byte for the end of the frame is right.
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    pending_.push_back({{start + (i + 1) * kCharacterMicros, bytes[i]}, frame});
  }
  lineFreeAt_ = start + bytes.size() * kCharacterMicros;
  return frame;
}

bool Segment::Garble(std::uint64_t atMicros) {
  bool garbled = false;
  for (Pending& p : pending_) {
    // Overlapping in time: the other byte is on the line within one
    // character of this one.
    if (p.byte.atMicros + kCharacterMicros > atMicros &&
        p.byte.atMicros < atMicros + kCharacterMicros) {
      p.byte.value ^= kGarbled;
      garbled = true;
      // The secondary master's exchange is wrecked, once per exchange.
      if (secondary_ && p.frame == secondary_->requestFrame && garbledRequest_ != p.frame) {
        garbledRequest_ = p.frame;
        ++secondaryWrecked_;
      }
      if (p.frame == secondaryAnswerFrame_) {
        secondaryAnswerFrame_ = 0;
        ++secondaryWrecked_;
      }
    }
  }
  return garbled;
}

void Segment::Deliver(std::uint64_t untilMicros, std::vector<TimedByte>& out) {
  auto due = std::stable_partition(pending_.begin(), pending_.end(), [&](const Pending& p) {
    return p.byte.atMicros <= untilMicros;
  });
  for (auto it = pending_.begin(); it != due; ++it) out.push_back(it->byte);
  pending_.erase(pending_.begin(), due);
}

std::vector<TimedByte> Segment::Receive(std::uint8_t value, std::uint64_t atMicros) {
  std::vector<TimedByte> out;
  if (lastMasterByteAt_ == 0 || atMicros > lastMasterByteAt_ + 2 * kCharacterMicros) {
    // The master begins to talk. A station about to start within the
    // carrier-detect time has not heard it yet and starts all the same.
    const std::uint64_t begun = atMicros > kCharacterMicros ? atMicros - kCharacterMicros : 0;
    Produce(begun + kCarrierDetectMicros);
    masterCollided_ = false;
  }
  lastMasterByteAt_ = atMicros;
  if (Garble(atMicros)) masterCollided_ = true;
  auto request = assembler_.Feed(value, atMicros);
  if (!request) return out;
  const std::uint64_t requestStart =
      request->raw.empty() ? request->endMicros : request->raw.front().atMicros;

  // A multi-drop segment has at most one device per address; should two
  // share one, the first added answers (a real pair would collide).
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const auto& d) { return d->Matches(*request); });
  Device* device = it == devices_.end() ? nullptr : it->get();

  // A request that overlaps another station's frame garbles it and is
  // garbled by it: nobody makes either out. A bursting device does not
  // know, and bursts on.
  if (masterCollided_ || lineFreeAt_ > requestStart) {
    ++collisions_;
    if (device != nullptr && onTransaction) {
      onTransaction({device->config.pollAddress, request->IsLong(), request->command,
                     Outcome::Collided, request->endMicros});
    }
    turn_ = Turn::Either;
    lineFreeAt_ = std::max(lineFreeAt_, request->endMicros);
    BurstAfter(lineFreeAt_, false);
    return out;
  }

  std::uint64_t lineQuietFrom = request->endMicros;
  bool answered = false;
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
        answered = true;
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
  for (const auto& d : devices_) {
    // Stray bytes on the idle line after the request, as a modem whose
    // carrier drops or a noisy loop puts them there.
    if (!d->faults.stray.empty()) {
      const std::uint64_t at = lineQuietFrom + d->faults.strayAfterChars * kCharacterMicros;
      for (std::size_t i = 0; i < d->faults.stray.size(); ++i) {
        out.push_back({at + (i + 1) * kCharacterMicros, d->faults.stray[i]});
      }
    }
  }
  lineFreeAt_ = std::max(lineFreeAt_, lineQuietFrom);
  BurstAfter(lineQuietFrom, answered);
  return out;
}

bool Segment::HangUpDue(std::uint64_t nowMicros) {
  if (!hangUpAt_ || *hangUpAt_ > nowMicros) return false;
  // The rest of the reply never goes out: the line is free from here on.
  lineFreeAt_ = std::min(lineFreeAt_, *hangUpAt_);
  hangUpAt_.reset();
  return true;
}

void Segment::BurstAfter(std::uint64_t quietFrom, bool answered) {
  const std::uint64_t at = quietFrom + (answered ? kBurstAfterAnswerMicros : kSlaveTimeoutMicros);
  for (auto& d : devices_) {
    if (d->nextBurstAt_) d->nextBurstAt_ = at;
  }
}

std::uint64_t Segment::SecondaryStart(std::uint64_t due) const {
  if (turn_ == Turn::Secondary && due <= lineFreeAt_ + kBurstQuietMicros) {
    return std::max(due, lineFreeAt_ + kTurnStartMicros);
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
  return !pending_.empty() || secondary_ ||
         std::any_of(devices_.begin(), devices_.end(), [](const auto& d) {
           return (d->faults.burst && !d->faults.silent) || d->faults.otherMaster;
         });
}

std::vector<TimedByte> Segment::Unsolicited(std::uint64_t untilMicros) {
  std::vector<TimedByte> out;
  Produce(untilMicros);
  Deliver(untilMicros, out);
  return out;
}

void Segment::Produce(std::uint64_t untilMicros) {
  if (untilMicros <= unsolicitedFrom_) return;
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

  // Frames in time order across all devices: a burst frame, the secondary
  // master's request, or the answer to it.
  enum class What { Burst, Request, Answer };
  for (;;) {
    Device* next = nullptr;
    What what = What::Burst;
    std::uint64_t at = untilMicros;
    if (secondary_) {
      // The addressed device answers the secondary master before anything
      // else goes on the line.
      if (secondary_->answerAt < at) next = secondary_->device, what = What::Answer;
      at = secondary_->answerAt;
    } else {
      for (auto& d : devices_) {
        if (d->nextBurstAt_ && *d->nextBurstAt_ < at) {
          next = d.get(), what = What::Burst, at = *d->nextBurstAt_;
        }
        // A burst frame due at the same time goes first.
        if (d->nextOtherMasterAt_ && SecondaryStart(*d->nextOtherMasterAt_) < at) {
          next = d.get(), what = What::Request, at = SecondaryStart(*d->nextOtherMasterAt_);
        }
      }
    }
    if (!next) break;
    if (what == What::Burst) {
      const bool toPrimary = next->burstToPrimary_;
      const std::vector<std::uint8_t> frame = next->BurstFrame();
      const std::uint64_t start = std::max(at, lineFreeAt_);
      Emit(frame, at);
      // A slave's frame to one master hands the line to the other.
      turn_ = toPrimary ? Turn::Secondary : Turn::Primary;
      const std::uint64_t period = std::max(next->faults.burstPeriodMicros, minPeriod);
      // On a strict period the next frame keeps to the grid however late
      // this one went out; otherwise it follows a period after this one.
      *next->nextBurstAt_ = std::max((next->faults.burstStrict ? at : start) + period,
                                     lineFreeAt_ + kBurstQuietMicros);
    } else if (what == What::Request) {
      const std::uint32_t frame = Emit(next->OtherMasterFrame(), at);
      turn_ = Turn::Either;
      secondary_ = SecondaryExchange{next, frame,
                                     lineFreeAt_ + next->config.turnaroundChars * kCharacterMicros};
      // A request that waited for its turn does not leave a backlog behind.
      *next->nextOtherMasterAt_ = at + std::max(next->faults.otherMasterPeriodMicros, minPeriod);
    } else {
      const SecondaryExchange exchange = *secondary_;
      secondary_.reset();
      // A request garbled by a collision is not answered.
      const bool heard = exchange.requestFrame != garbledRequest_ && !next->faults.silent;
      if (heard) {
        secondaryAnswerFrame_ = Emit(next->OtherMasterAnswer(), exchange.answerAt);
        turn_ = Turn::Primary;
      }
      BurstAfter(lineFreeAt_, heard);
    }
  }
  unsolicitedFrom_ = untilMicros;
}

}  // namespace sim
