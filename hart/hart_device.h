// HartDevice: the master's record of the one field device it talks to, and
// the master-side operations on it. Every address byte we send carries the
// primary-master bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "hart/reply.h"
#include "hart/transaction.h"
#include "serial/hart_link.h"

namespace hart {

// Data buffers callers hand to the command operations.
inline constexpr std::size_t kCommandDataSize = 90;
inline constexpr std::size_t kCommandByteDataSize = 40;
// The longest request frame: 20 preambles, delimiter, long address,
// command, byte count, request data, checksum; a relayed request's data
// is command 77's card, channel, preambles, delimiter, the sub-device's
// long address, command and byte count in front of its own.
inline constexpr std::uint8_t kMostRequestData = 2;  // command 84's index
inline constexpr std::size_t kRelayedRequestOverhead = 2 + 1 + 1 + 5 + 1 + 1;
inline constexpr std::size_t kMaxRequestSize =
    20 + 1 + 5 + 2 + kRelayedRequestOverhead + kMostRequestData + 1;
// Tag text buffer for ReadTag: eight characters and room to spare.
inline constexpr std::size_t kTagTextSize = 20;

inline constexpr std::uint8_t kPrimaryMaster = 0x80;
inline constexpr std::uint8_t kDelimiterShortRequest = 0x02;
inline constexpr std::uint8_t kDelimiterLongRequest = 0x82;
inline constexpr std::uint8_t kDelimiterBurstShort = 0x01;
inline constexpr std::uint8_t kDelimiterBurstLong = 0x81;

// Offsets in a reply as the link delivers it: delimiter, address (1 or 5
// bytes), command, byte count, then the response code, the field device
// status and the command data.
inline constexpr std::size_t kShortByteCount = 3;
inline constexpr std::size_t kLongByteCount = 7;
inline constexpr std::size_t kShortStatus = kShortByteCount + 1;
inline constexpr std::size_t kLongStatus = kLongByteCount + 1;

// The commands the master sends are kMasterCommands (hart/reply.h).

// Response codes that ask the master to come back later.
inline constexpr std::uint8_t kResponseBusy = 0x20;
inline constexpr std::uint8_t kResponseDelayedInitiated = 0x21;
inline constexpr std::uint8_t kResponseDelayedRunning = 0x22;

class HartDevice {
 public:
  std::uint8_t manufacturerCode = 0;  // only the low 6 bits go into long addresses
  std::uint8_t deviceType = 0;
  std::uint8_t deviceId[3] = {0, 0, 0};  // most significant byte first
  std::uint8_t universalRevision = 0;    // 4 and below: short frames, tag by command 4
  std::uint8_t pollAddress = 0;
  // The link reported the port gone (the modem unplugged, its driver gone)
  // since the last Open: the command operations stop at once and fail.
  bool portLost = false;
  // Preambles the device's command-0 answer asks of a master (5 to 20);
  // every request after command 0 carries this many.
  std::uint8_t requestPreambles = 5;
  // A device its gateway reaches only by card and channel: every command
  // goes to the gateway inside command 77 and its answer comes back inside
  // the gateway's. Needs universal revision 5 or later (a long address).
  std::optional<Relayed> relay;

  // Open and close the link on the device's behalf; link result codes.
  serial::LinkResult Open(std::uint8_t portNumber, std::uint32_t baudRate);
  platform::Error Close();
  // Tells the operator the port went away (the port's own message).
  static void ReportLostPort();

  // True when the reply's status bytes report a communication error.
  static bool CheckStatus(const std::uint8_t* statusBytes);

  // Command 0 at polling `address`, up to `attempts` tries; true when a
  // device answered and its identity was stored in the record.
  bool Poll(std::uint8_t address, std::uint8_t attempts);

  // A command without request data, in long frame (short frame for devices
  // of universal revision 4 or less). `data` receives kCommandDataSize bytes
  // from the first command data byte on.
  bool SendCommand(std::uint8_t command, std::uint8_t* data);
  // The same with `requestLength` request data bytes (at most
  // kMostRequestData; false with more, nothing sent).
  bool SendCommand(std::uint8_t command, std::uint8_t* data, const std::uint8_t* request,
                   std::uint8_t requestLength);

  // A short-frame command with one request byte. `data` receives
  // kCommandByteDataSize bytes from the first command data byte on.
  bool SendCommandByte(std::uint8_t command, std::uint8_t* data, std::uint8_t requestByte);

  // The long address as a request to the device carries it, with the
  // primary-master bit.
  std::array<std::uint8_t, 5> LongAddress() const;

  // The 24-bit unique identifier.
  std::uint32_t Identifier() const {
    return (std::uint32_t{deviceId[0]} << 16) | (std::uint32_t{deviceId[1]} << 8) | deviceId[2];
  }

  // The last reply Poll, SendCommand or SendCommandByte took as the answer:
  // its response code, field device status and command data bytes.
  struct Answer {
    std::uint8_t responseCode = 0;
    std::uint8_t deviceStatus = 0;
    std::uint8_t dataLength = 0;  // at most kCommandDataSize are kept
    std::uint8_t data[kCommandDataSize] = {};
  };
  const Answer& LastAnswer() const { return lastAnswer_; }
  // What the last of those operations came to: its outcome, the requests
  // it sent, answered or not, and the response code of an answer or a
  // refusal (64: the device does not implement the command).
  const TransactionResult& LastResult() const { return lastResult_; }
  int LastRequests() const { return lastResult_.requests; }
  // The response code the last operation was refused with; 0 when it was
  // not refused.
  std::uint8_t LastRefusal() const {
    return lastResult_.outcome == Outcome::kRefused ? lastResult_.responseCode : 0;
  }

  // `command` (with `requestLength` request bytes) to each of `devices`,
  // as SendCommand would send it to each, with up to `window` requests
  // outstanding at once where the transport carries several. Each
  // device's LastResult and LastAnswer tell how it went; false when a
  // request would not fit.
  friend bool SendCommandToEach(std::span<HartDevice* const> devices, std::uint8_t command,
                                const std::uint8_t* request, std::uint8_t requestLength,
                                std::size_t window);

  // Waits out the modem's settle after Open and takes note of the other
  // stations heard meanwhile.
  static void Settle(std::uint32_t ms);

 private:
  // One operation's transaction under `policy`; notes the requests sent
  // and a lost port in the record.
  Outcome Run(const std::uint8_t* request, std::size_t length, const Asked& asked,
              const RetryPolicy& policy, ReplyBuffer& reply);
  void KeepAnswer(const std::uint8_t* reply, std::size_t statusOffset);
  // The frame SendCommand sends, what its answer must be, and where that
  // answer's status bytes are.
  struct Prepared {
    std::uint8_t frame[kMaxRequestSize];
    std::size_t length;
    Asked asked;
    std::size_t status;
  };
  Prepared Prepare(std::uint8_t command, const std::uint8_t* request,
                   std::uint8_t requestLength) const;

  Answer lastAnswer_;
  TransactionResult lastResult_;
};

bool SendCommandToEach(std::span<HartDevice* const> devices, std::uint8_t command,
                       const std::uint8_t* request, std::uint8_t requestLength, std::size_t window);

// How the modem on the link is keyed, for every later Open.
void UseModemKeying(serial::Keying keying);

// Request frames as the master sends them. Each returns the frame length;
// `out` must hold kMaxRequestSize bytes.
std::size_t BuildShortRequest(std::uint8_t* out, int preambles, std::uint8_t pollAddress,
                              std::uint8_t command, const std::uint8_t* data,
                              std::uint8_t dataLength);
std::size_t BuildLongRequest(std::uint8_t* out, const HartDevice& device, std::uint8_t command,
                             const std::uint8_t* data = nullptr, std::uint8_t dataLength = 0);

// A big-endian IEEE 754 single-precision value from a reply, in host order.
float ToHostFloat(const std::uint8_t* bytes4);

// Reads the device's 8-character tag into `text` (kTagTextSize bytes,
// zero-filled by the caller); `text` is untouched when the command fails.
bool ReadTag(HartDevice& device, char* text);
// The tag in command 13's six packed bytes into `text`, as ReadTag does.
void UnpackTag(const std::uint8_t* packed, char* text);

}  // namespace hart
