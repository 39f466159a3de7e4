// An in-memory serial device on the virtual clock.
//
// The test owns a MemoryLine (the far end of the cable); the code under test
// opens it through MemorySerialDriver like any device. Bytes put on the line
// become readable at their own arrival times, so a reply that is still on
// the wire when a read starts is read in part, as on a real modem.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "tests/support/virtual_clock.h"

namespace support {

// Operations of the device, for counting calls and injecting failures.
enum class Op {
  Open,
  SetQueueSizes,
  SetEventMask,
  GetSettings,
  SetSettings,
  GetTimeouts,
  SetTimeouts,
  Write,
  Read,
  Purge,
  ClearErrors,
  SetModemLine,
  kCount
};

// What happened to the modem lines and the transmitter, in order, with the
// time: a write's entry is stamped when its last character has left.
enum class LineEvent { DtrOn, DtrOff, RtsOn, RtsOff, Written };
struct TimedLineEvent {
  LineEvent event;
  std::uint64_t atMicros;
  friend bool operator==(const TimedLineEvent&, const TimedLineEvent&) = default;
};

struct TimedByte {
  std::uint64_t atMicros;
  std::uint8_t value;
};

// Microseconds one character takes at `baud` with 11 bits a character
// (start, 8 data, parity, stop).
constexpr std::uint64_t CharacterMicros(std::uint32_t baud) {
  return baud == 0 ? 0 : (11ull * 1000000ull + baud / 2) / baud;
}

class MemoryLine {
 public:
  explicit MemoryLine(VirtualClock& clock) : clock_(clock) {}

  VirtualClock& clock() { return clock_; }

  // --- the far end ---------------------------------------------------------
  void Deliver(std::uint8_t value, std::uint64_t atMicros);
  // `bytes` arriving one character time apart at the current line speed,
  // the first at `firstAtMicros`.
  void DeliverPaced(const std::vector<std::uint8_t>& bytes, std::uint64_t firstAtMicros);
  // `bytes` all readable now.
  void DeliverNow(const std::vector<std::uint8_t>& bytes);

  // Called by each Write with its bytes and the time the last one left.
  std::function<void(const std::vector<std::uint8_t>&, std::uint64_t endMicros)> onWrite;
  // Called before each Read and each Purge with the current time, so a
  // peer can put unsolicited traffic on the line up to then.
  std::function<void(std::uint64_t nowMicros)> onCatchUp;

  // --- faults --------------------------------------------------------------
  // The `n`th call (from 1) of `op` fails with `error`; n == 0: every call.
  void Fail(Op op, int n, platform::Error error);
  // As Fail, but a read or write moves its bytes before reporting `error`.
  void FailAfterTransfer(Op op, int n, platform::Error error);
  // Reads deliver at most this many bytes each.
  std::uint32_t maxBytesPerRead = UINT32_MAX;
  // Writes move this many bytes fewer than asked (and report success).
  std::uint32_t writeShortBy = 0;
  // Every write reports this error after moving all bytes (e.g. 997, 1460).
  platform::Error writeResult = platform::kErrorSuccess;
  // The modem was unplugged: reads and writes fail with 1167.
  bool hungUp = false;
  // Line error flags returned and cleared by the next ClearErrors.
  std::uint32_t lineErrors = 0;

  // --- what happened -------------------------------------------------------
  int Calls(Op op) const { return calls_[static_cast<int>(op)]; }
  bool IsOpen() const { return open_; }
  const std::vector<std::vector<std::uint8_t>>& writes() const { return writes_; }
  std::vector<std::uint8_t> AllWritten() const;
  const std::vector<std::uint32_t>& purges() const { return purges_; }
  const std::vector<TimedLineEvent>& lineEvents() const { return lineEvents_; }
  std::vector<std::string> openedNames;
  // Bytes arrived and not yet read.
  std::size_t Buffered() const;
  // Bytes scheduled in the future.
  std::size_t InFlight() const;

  platform::LineSettings settings;
  platform::Timeouts timeouts;
  std::uint32_t inQueue = 0;
  std::uint32_t outQueue = 0;
  std::uint32_t eventMask = 0;

 private:
  friend class MemorySerialDevice;
  friend class MemorySerialDriver;
  // Counts the call and returns the error injected for it, or 0.
  platform::Error Enter(Op op);
  // The error injected to be reported after the transfer of this call.
  platform::Error late_ = platform::kErrorSuccess;

  VirtualClock& clock_;
  std::deque<TimedByte> incoming_;  // kept sorted by arrival time
  std::array<int, static_cast<int>(Op::kCount)> calls_{};
  struct Failure {
    Op op;
    int n;
    platform::Error error;
    bool afterTransfer;
  };
  std::vector<Failure> failures_;
  std::vector<std::vector<std::uint8_t>> writes_;
  std::vector<std::uint32_t> purges_;
  std::vector<TimedLineEvent> lineEvents_;
  bool open_ = false;
};

class MemorySerialDriver final : public platform::SerialDriver {
 public:
  explicit MemorySerialDriver(MemoryLine& line) : line_(line) {}
  // Opens the line whatever the name (the name is recorded); a second open
  // while the first is open is refused like a locked port.
  platform::Error Open(std::string_view name,
                       std::unique_ptr<platform::SerialDevice>& device) override;

 private:
  MemoryLine& line_;
};

}  // namespace support
