#include "hart/hart_device.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "hart/packed_ascii.h"
#include "platform/services.h"
#include "serial/hart_link.h"

namespace hart {

namespace {

using serial::HartLink;
using Reply = std::array<std::uint8_t, serial::kReplyBufferSize>;

constexpr std::uint8_t kPreamble = 0xFF;
constexpr int kPollPreambles = 7;
constexpr int kRequestPreambles = 5;

// Offsets in a reply as ReceiveFrame delivers it.
constexpr std::size_t kShortStatus = 4;
constexpr std::size_t kLongStatus = 8;
constexpr std::size_t kShortByteCount = 3;

// Command 0 identity decoding needs 12 data bytes after the two status bytes.
constexpr std::uint8_t kIdentityByteCount = 2 + 12;
constexpr std::uint8_t kExpandedFormat = 254;
// Devices without the expanded command-0 layout carry no manufacturer code;
// this one stands in for it in their long address.
constexpr std::uint8_t kLegacyManufacturer = 38;

// A foreign frame's burst-mode or other-master sender may hold the line for
// a while: wait it out and allow more attempts.
constexpr std::uint32_t kForeignPauseMs = 1000;
constexpr std::uint8_t kForeignAttemptLimit = 10;
constexpr std::uint32_t kRetryPauseMs = 300;
constexpr std::uint32_t kFailedWritePauseMs = 1000;
constexpr std::uint32_t kBusyPauseMs = 500;
constexpr std::uint32_t kFourthAttemptPauseMs = 1000;
// A device that never stops answering busy would hold the master forever.
constexpr int kBusyLimit = 30;

bool IsForeignFrame(std::uint8_t delimiter) {
  return delimiter == kDelimiterBurstShort || delimiter == kDelimiterBurstLong ||
         delimiter == kDelimiterLongRequest;
}

// Whether a short-frame reply comes from `pollAddress` and answers `command`.
// A reply that turns up late, after its own read gave up, would otherwise be
// taken as the answer to whatever was asked next (another address in a scan,
// another command). The master and burst bits are not part of the address.
bool AnswersShortRequest(const Reply& reply, std::uint8_t pollAddress, std::uint8_t command) {
  return (reply[1] & 0x3F) == pollAddress && reply[2] == command;
}

bool IsBusy(std::uint8_t responseCode) {
  return responseCode == kResponseBusy || responseCode == kResponseDelayedInitiated ||
         responseCode == kResponseDelayedRunning;
}

std::uint8_t Checksum(const std::uint8_t* from, const std::uint8_t* to) {
  std::uint8_t x = 0;
  for (; from != to; ++from) x ^= *from;
  return x;
}

std::uint32_t Receive(bool longFrame, Reply& reply) {
  // Bytes beyond a short reply's data read as zero rather than as whatever
  // the last reply left.
  reply.fill(0);
  return HartLink::ReceiveFrame(longFrame, reply.data());
}

}  // namespace

std::size_t BuildShortRequest(std::uint8_t* out, int preambles, std::uint8_t pollAddress,
                              std::uint8_t command, const std::uint8_t* data,
                              std::uint8_t dataLength) {
  std::size_t n = 0;
  for (int i = 0; i < preambles; ++i) out[n++] = kPreamble;
  const std::size_t start = n;
  out[n++] = kDelimiterShortRequest;
  out[n++] = static_cast<std::uint8_t>(pollAddress + kPrimaryMaster);
  out[n++] = command;
  out[n++] = dataLength;
  for (std::uint8_t i = 0; i < dataLength; ++i) out[n++] = data[i];
  out[n] = Checksum(out + start, out + n);
  return n + 1;
}

std::size_t BuildLongRequest(std::uint8_t* out, const HartDevice& device, std::uint8_t command) {
  std::size_t n = 0;
  for (int i = 0; i < kRequestPreambles; ++i) out[n++] = kPreamble;
  const std::size_t start = n;
  out[n++] = kDelimiterLongRequest;
  out[n++] = static_cast<std::uint8_t>((device.manufacturerCode & 0x3F) | kPrimaryMaster);
  out[n++] = device.deviceType;
  out[n++] = device.deviceId[0];
  out[n++] = device.deviceId[1];
  out[n++] = device.deviceId[2];
  out[n++] = command;
  out[n++] = 0;
  out[n] = Checksum(out + start, out + n);
  return n + 1;
}

std::uint32_t HartDevice::Open(std::uint8_t portNumber, std::uint32_t baudRate) {
  return HartLink::OpenLink(portNumber, baudRate);
}

std::uint32_t HartDevice::Close() {
  return HartLink::CloseLink();
}

bool HartDevice::CheckStatus(const std::uint8_t* statusBytes) {
  // Bit 7 of the first status byte marks a communication error; the other
  // bits then say which (parity, overrun, framing, checksum, buffer).
  return (statusBytes[0] & 0x80) != 0;
}

bool HartDevice::Poll(std::uint8_t address, std::uint8_t attempts) {
  pollAddress = address;
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length = BuildShortRequest(request, kPollPreambles, address, 0, nullptr, 0);
  Reply reply;
  std::uint8_t limit = attempts;
  for (std::uint8_t attempt = 0; attempt < limit; ++attempt) {
    HartLink::SendFrame(request, static_cast<std::uint32_t>(length));
    if (Receive(false, reply) != serial::kLinkOk) continue;
    if (IsForeignFrame(reply[0])) {
      limit = kForeignAttemptLimit;
      platform::Sleep(kForeignPauseMs);
      continue;
    }
    if (CheckStatus(&reply[kShortStatus])) continue;
    if (!AnswersShortRequest(reply, address, 0)) continue;
    // An answer without the identity (say response code 64 and no data)
    // must not fill the record with bytes the device never sent.
    if (reply[kShortByteCount] < kIdentityByteCount) continue;

    const std::uint8_t* d = &reply[kShortStatus + 2];
    if (d[0] == kExpandedFormat) {
      manufacturerCode = d[1];
      deviceType = d[2];
      universalRevision = d[4];
      std::copy(d + 9, d + 12, deviceId);
    } else {
      manufacturerCode = kLegacyManufacturer;
      deviceType = d[0];
      universalRevision = d[2];
      std::copy(d + 7, d + 10, deviceId);
    }
    return true;
  }
  return false;
}

bool HartDevice::SendCommand(std::uint8_t command, std::uint8_t* data) {
  const bool longFrame = universalRevision > 4;
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      longFrame ? BuildLongRequest(request, *this, command)
                : BuildShortRequest(request, kRequestPreambles, pollAddress, command, nullptr, 0);
  const std::size_t status = longFrame ? kLongStatus : kShortStatus;

  Reply reply;
  std::uint8_t i = 0;
  std::uint8_t limit = 1;
  int busyInARow = 0;
  for (;;) {
    if (HartLink::SendFrame(request, static_cast<std::uint32_t>(length)) != serial::kLinkOk) {
      platform::Sleep(kFailedWritePauseMs);
    }
    // Before the fourth read, give a struggling device a second to recover.
    if (i == 3) platform::Sleep(kFourthAttemptPauseMs);

    bool busy = false;
    if (Receive(longFrame, reply) != serial::kLinkOk) {
      ++i;
      platform::Sleep(kRetryPauseMs);
    } else if (IsForeignFrame(reply[0])) {
      limit = kForeignAttemptLimit;
      ++i;
      platform::Sleep(kForeignPauseMs);
    } else if (CheckStatus(&reply[status])) {
      ++i;
    } else if (IsBusy(reply[status])) {
      // Busy and delayed-response replies do not use up attempts.
      busy = true;
      if (++busyInARow >= kBusyLimit) return false;
      platform::Sleep(kBusyPauseMs);
    } else if (longFrame &&
               (((reply[1] ^ manufacturerCode) & 0x3F) != 0 || reply[2] != deviceType ||
                !std::equal(deviceId, deviceId + 3, &reply[3]) || reply[6] != command)) {
      ++i;  // another device's answer, or an answer to another command
    } else {
      std::memcpy(data, &reply[status + 2], kCommandDataSize);
      return true;
    }
    if (!busy) busyInARow = 0;
    if (i >= limit + 3) return false;
  }
}

bool HartDevice::SendCommandByte(std::uint8_t command, std::uint8_t* data,
                                 std::uint8_t requestByte) {
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      BuildShortRequest(request, kRequestPreambles, pollAddress, command, &requestByte, 1);
  Reply reply;
  std::uint8_t limit = 1;
  for (std::uint8_t i = 0; i < limit + 3;) {
    HartLink::SendFrame(request, static_cast<std::uint32_t>(length));
    if (Receive(false, reply) != serial::kLinkOk) {
      ++i;
    } else if (IsForeignFrame(reply[0])) {
      limit = kForeignAttemptLimit;
      ++i;
      platform::Sleep(kForeignPauseMs);
    } else if (CheckStatus(&reply[kShortStatus]) ||
               !AnswersShortRequest(reply, pollAddress, command)) {
      ++i;
    } else {
      std::memcpy(data, &reply[kShortStatus + 2], kCommandByteDataSize);
      return true;
    }
  }
  return false;
}

float ToHostFloat(const std::uint8_t* bytes4) {
  const std::uint32_t bits = (std::uint32_t{bytes4[0]} << 24) | (std::uint32_t{bytes4[1]} << 16) |
                             (std::uint32_t{bytes4[2]} << 8) | bytes4[3];
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

bool ReadTag(HartDevice& device, char* text) {
  std::uint8_t data[kCommandDataSize] = {};
  const std::uint8_t* packed = data;
  if (device.universalRevision <= 4) {
    // Devices before revision 5 give the tag with command 4, block 1; the
    // first reply byte echoes the block number.
    if (!device.SendCommandByte(4, data, 1)) return false;
    packed = data + 1;
  } else {
    if (!device.SendCommand(13, data)) return false;
  }
  char decoded[kUnpackedSize];
  UnpackAscii(packed, 6, decoded);
  for (int i = 0; i < 8 && decoded[i] != '\0'; ++i) text[i] = decoded[i];
  return true;
}

}  // namespace hart
