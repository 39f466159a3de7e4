// A multi-drop HART segment: the devices on one pair of wires and the
// traffic they put on it, in time. Pure computation: master bytes go in with
// their arrival times, and the bytes the devices send come out, each with
// the time it becomes readable at the master's end. Transports (in-memory
// for tests, a pseudo-terminal for real time) move the bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/codec.h"
#include "sim/device.h"

namespace sim {

// One request a device recognised as its own, for logs and tests.
struct Transaction {
  std::uint8_t pollAddress = 0;  // of the device addressed
  bool longFrame = false;
  std::uint8_t command = 0;
  Outcome outcome = Outcome::Answered;
  std::uint64_t atMicros = 0;  // end of the request
};

class Segment {
 public:
  // Adds a device; the reference stays valid as long as the segment.
  Device& Add(const DeviceConfig& config);
  // The first device with this polling address, or null.
  Device* Find(std::uint8_t pollAddress);
  std::size_t Size() const { return devices_.size(); }
  Device& At(std::size_t index) { return *devices_[index]; }

  // Feeds one master byte that arrived at `atMicros` (bytes in time order).
  // Returns what the devices send in response, each byte with its time:
  // the first reply byte at the request's end plus the device's turnaround,
  // the rest one character time apart. A request that began while a frame
  // was still on the line is lost in the collision, and so is one with
  // fewer preambles than the device needs. After a transaction, bursting
  // devices wait a little before their next frame.
  std::vector<TimedByte> Receive(std::uint8_t value, std::uint64_t atMicros);
  std::vector<TimedByte> Receive(const std::vector<TimedByte>& bytes);

  // Unsolicited traffic (burst frames, another master's requests) that
  // starts before `untilMicros` and has not been produced yet. Call with
  // increasing times; bytes may lie beyond `untilMicros`.
  std::vector<TimedByte> Unsolicited(std::uint64_t untilMicros);
  // Whether any device puts unsolicited traffic on the line (burst frames,
  // another master's requests), so that a transport must keep an eye on
  // the clock even while the master is silent.
  bool HasUnsolicited() const;

  // Whether a device's hang-up fault has come due by `nowMicros`: the modem
  // is pulled out mid-reply and the transport drops the line. True once
  // per firing of the fault.
  bool HangUpDue(std::uint64_t nowMicros);

  // Called for every request a device recognised.
  std::function<void(const Transaction&)> onTransaction;

  // Requests of the master that overlapped another station's frame: both
  // were lost. And the secondary master's exchanges wrecked that way.
  std::uint32_t Collisions() const { return collisions_; }
  std::uint32_t SecondaryWrecked() const { return secondaryWrecked_; }

 private:
  // Paces `bytes` one character apart from `firstAt`, after whatever is
  // already on the line (two devices never talk over each other here),
  // into pending_; returns the frame's number.
  std::uint32_t Emit(const std::vector<std::uint8_t>& bytes, std::uint64_t firstAt);

  // Who may talk right after the last frame on the line: masters take
  // turns after each exchange, and after a burst frame the master it names.
  enum class Turn { Either, Primary, Secondary };
  // When the secondary master may start a request due at `due`: in its
  // turn right after the last frame, else once the line has been silent
  // for its RT1 (41 characters; the primary master's 33 come first).
  std::uint64_t SecondaryStart(std::uint64_t due) const;
  // A device in burst mode sends its next frame right after an answer on
  // the loop (`answered`), or re-synchronises the loop a slave time-out
  // after a request nobody answered.
  void BurstAfter(std::uint64_t quietFrom, bool answered);
  // Produces the unsolicited frames that start before `untilMicros` into
  // pending_, and moves the pending bytes due by then to `out`.
  void Produce(std::uint64_t untilMicros);
  void Deliver(std::uint64_t untilMicros, std::vector<TimedByte>& out);
  // A master byte on the line at `atMicros` garbles whatever other frame
  // is on the line with it: true when it did.
  bool Garble(std::uint64_t atMicros);

  // Unsolicited bytes not yet handed to the transport, each with the frame
  // it belongs to: a request that overlaps them still garbles them.
  struct Pending {
    TimedByte byte;
    std::uint32_t frame;
  };
  std::vector<Pending> pending_;
  std::uint32_t frames_ = 0;
  std::uint32_t garbledRequest_ = 0;        // the secondary's request a collision garbled
  std::uint32_t secondaryAnswerFrame_ = 0;  // the answer to it on the line (0: none)
  // The secondary master's request on the line, and the answer due to it.
  struct SecondaryExchange {
    Device* device;
    std::uint32_t requestFrame;
    std::uint64_t answerAt;
  };
  std::optional<SecondaryExchange> secondary_;
  std::uint64_t lastMasterByteAt_ = 0;
  bool masterCollided_ = false;  // the request being received overlapped a frame
  std::uint32_t collisions_ = 0;
  std::uint32_t secondaryWrecked_ = 0;

  std::vector<std::unique_ptr<Device>> devices_;
  RequestAssembler assembler_;
  Turn turn_ = Turn::Either;
  std::uint64_t lineFreeAt_ = 0;       // end of the last frame on the line
  std::uint64_t unsolicitedFrom_ = 0;  // Unsolicited has produced everything before this
  std::optional<std::uint64_t> hangUpAt_;
};

}  // namespace sim
