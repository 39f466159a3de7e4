// One simulated HART field device: its identity and process values, the
// faults it shows on demand, and what it has seen and answered.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/codec.h"

namespace sim {

// Common engineering unit codes.
inline constexpr std::uint8_t kUnitBar = 7;
inline constexpr std::uint8_t kUnitDegC = 32;
inline constexpr std::uint8_t kUnitMilliamp = 39;

// Response codes (first status byte when bit 7 is clear).
inline constexpr std::uint8_t kRcSuccess = 0;
inline constexpr std::uint8_t kRcInvalidSelection = 2;
inline constexpr std::uint8_t kRcTooFewDataBytes = 5;
inline constexpr std::uint8_t kRcBusy = 0x20;
inline constexpr std::uint8_t kRcDelayedInitiated = 0x21;
inline constexpr std::uint8_t kRcDelayedRunning = 0x22;
inline constexpr std::uint8_t kRcNotImplemented = 64;
// Communication-error status: bit 7 plus the error bits.
inline constexpr std::uint8_t kCommError = 0x80;
inline constexpr std::uint8_t kCommParityError = 0x08;  // longitudinal parity (checksum)

struct Variable {
  std::uint8_t unit = kUnitBar;
  float value = 0.0f;
};

struct DeviceConfig {
  std::uint8_t pollAddress = 0;        // 0-15; 0-63 from revision 6 on
  std::uint8_t universalRevision = 7;  // 4-7
  std::uint8_t manufacturer = 0x1A;
  std::uint8_t deviceType = 0x11;
  std::array<std::uint8_t, 3> deviceId{0x00, 0x01, 0x02};
  std::string tag = "PT-101";  // 8 characters on the wire
  // Command 20's long tag (revision 6 on): 32 Latin-1 bytes on the wire,
  // NUL-padded.
  std::string longTag;
  std::string descriptor;                       // 16 characters on the wire
  std::uint8_t day = 1, month = 1, year = 100;  // year - 1900
  float loopCurrent = 12.0f;                    // mA
  // PV first, then SV, TV, QV (at most four are reported).
  std::vector<Variable> variables{{kUnitBar, 12.5f}};
  std::uint8_t responsePreambles = 5;  // 5-20
  // Preambles the device needs in front of a request to hear it (2-20);
  // command 0 tells masters.
  std::uint8_t requestPreambles = 5;
  // The command-0 layout of old devices (no 254 marker in the first byte).
  bool legacyCommandZero = false;
  // Pause between the end of a request and the first reply byte, in
  // character times; a slave must start within 28.
  std::uint32_t turnaroundChars = 2;
  std::uint8_t deviceStatus = 0;  // second status byte of every normal reply
  // The PV's range: lowerRange gives 4 mA, upperRange 20 mA. Command 15
  // reports it, command 2 the PV's percent of it beside loopCurrent. The
  // defaults put the default PV at 50 %, which the default current is.
  float lowerRange = 0.0f;
  float upperRange = 25.0f;
  // Command 48's data: six device-specific status bytes, the extended
  // device status, the operating mode, standardized status 0.
  std::vector<std::uint8_t> additionalStatus = std::vector<std::uint8_t>(9, 0);
  std::uint8_t deviceRevision = 1;
  std::uint8_t softwareRevision = 1;
  std::uint8_t hardwareSignalling = 0x08;  // hardware revision 1, Bell 202 current
  std::uint16_t configChangeCounter = 0;
};

// A count of requests a fault applies to: kEvery, or the next N (0 = off).
inline constexpr std::int32_t kEvery = -1;

struct Faults {
  bool silent = false;          // answers nothing, bursts nothing
  std::uint32_t busy = 0;       // next N requests answered 0x20
  std::uint32_t delayed = 0;    // next N: 0x21 first, then 0x22
  std::int32_t commErrors = 0;  // kEvery or next N: communication-error status
  std::uint8_t commErrorBits = kCommParityError;
  bool burst = false;                        // unsolicited command-3 frames
  bool burstLong = false;                    // 0x81 frames below revision 5 too
  std::uint64_t burstPeriodMicros = 333334;  // three a second
  // Frames on a fixed grid of the period rather than a period after the
  // last one started: a frame held back by a transaction does not move the
  // ones after it.
  bool burstStrict = false;
  // A secondary master's long command-1 requests to this device, and its
  // answers to them, each in the secondary master's turn.
  bool otherMaster = false;
  std::uint64_t otherMasterPeriodMicros = 1000000;
  std::int32_t badChecksums = 0;      // kEvery or next N replies with a wrong checksum
  std::vector<std::uint8_t> garbage;  // bytes before the preambles of every reply
  std::vector<std::uint8_t> noise;    // bytes among the preambles of every reply
  // Bytes on the idle line after every request on the loop, `strayAfterChars`
  // characters after it (or after its answer) ended.
  std::vector<std::uint8_t> stray;
  std::uint32_t strayAfterChars = 20;
  std::uint32_t truncateAfter = 0;    // cut replies after K bytes (0 = whole)
  std::int32_t truncations = kEvery;  // ... for these replies
  bool echo = false;                  // the modem echoes the request before the reply
  std::uint32_t hangupMillis = 0;     // the line drops this long into the next reply (0: off)
  double dropFraction = 0.0;          // requests ignored at random ...
  std::uint32_t seed = 1;             // ... from this seed
  std::uint32_t dropNext = 0;         // the next N requests ignored
  // Commands answered with response code 64 (not implemented) and no data,
  // as by a device that lacks them.
  std::vector<std::uint8_t> notImplemented;
};

// What a device did with one request addressed to it.
// Collided: the request began while another frame was still on the line,
// and nobody could make it out. Unheard: too few preambles for this device.
enum class Outcome { Answered, CommError, Busy, Delayed, Dropped, Silent, Collided, Unheard };

class Device {
 public:
  explicit Device(const DeviceConfig& config) : config(config) {}

  DeviceConfig config;
  Faults faults;

  // Whether a request's address names this device. Short frames compare the
  // polling address (the low six bits); long frames the manufacturer's low six
  // bits, the device type and the identifier. Master and burst bits are ignored.
  bool Matches(const Request& request) const;

  // The bytes this device puts on the line for `request` (garbage, preambles,
  // frame; truncated or corrupted as the faults say), or nothing. Counts it.
  std::optional<std::vector<std::uint8_t>> Answer(const Request& request, Outcome& outcome);

  // An unsolicited command-3 frame as a burst-mode device sends it: 0x81
  // from revision 5 on (or with burstLong), else 0x01. Its master bit
  // alternates, frame by frame, so that each master gets a turn after it.
  std::vector<std::uint8_t> BurstFrame();
  // A secondary master's long-frame command-1 request to this device, and
  // this device's answer to it (master bit clear in both).
  std::vector<std::uint8_t> OtherMasterFrame() const;
  std::vector<std::uint8_t> OtherMasterAnswer();  // counted in Answered(1)

  // The data bytes (after the two status bytes) of a normal reply to
  // `command`, and its response code.
  std::vector<std::uint8_t> CommandData(std::uint8_t command,
                                        const std::vector<std::uint8_t>& requestData,
                                        std::uint8_t& responseCode) const;

  // A reply frame from this device: its preambles, then delimiter, address,
  // command, byte count, the two status bytes, data and checksum.
  std::vector<std::uint8_t> Frame(std::uint8_t delimiter, const std::vector<std::uint8_t>& address,
                                  std::uint8_t command, std::uint8_t status0, std::uint8_t status1,
                                  const std::vector<std::uint8_t>& data) const;

  // --- counters -----------------------------------------------------------
  // Requests addressed to this device, by command (bad checksums included).
  std::uint32_t Seen(std::uint8_t command) const { return seen_[command]; }
  std::uint32_t SeenTotal() const;
  // Replies put on the line, by command (error replies included).
  std::uint32_t Answered(std::uint8_t command) const { return answered_[command]; }
  std::uint32_t AnsweredTotal() const;
  // Requests ignored by the random or next-N drop faults.
  std::uint32_t Dropped() const { return dropped_; }
  std::uint32_t BadChecksumRequests() const { return badChecksumRequests_; }
  std::uint32_t BurstsSent() const { return bursts_; }

 private:
  friend class Segment;
  std::vector<std::uint8_t> LongAddress(std::uint8_t masterBits) const;
  bool DropThisOne();

  std::array<std::uint32_t, 256> seen_{};
  std::array<std::uint32_t, 256> answered_{};
  std::uint32_t dropped_ = 0;
  std::uint32_t badChecksumRequests_ = 0;
  std::uint32_t bursts_ = 0;
  bool delayedStarted_ = false;
  std::optional<std::mt19937> random_;
  std::uint32_t randomSeed_ = 0;
  bool burstToPrimary_ = true;  // the master bit of the next burst frame
  // Scheduling of unsolicited frames, kept by the segment.
  std::optional<std::uint64_t> nextBurstAt_;
  std::optional<std::uint64_t> nextOtherMasterAt_;
};

}  // namespace sim
