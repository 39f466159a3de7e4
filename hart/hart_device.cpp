#include "hart/hart_device.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "hart/device_info.h"
#include "hart/packed_ascii.h"
#include "hart/reply.h"
#include "hart/transaction.h"
#include "serial/hart_link.h"
#include "serial/transport.h"

namespace hart {

namespace {

using serial::HartLink;

constexpr std::uint8_t kPreamble = 0xFF;
constexpr int kPollPreambles = 7;
constexpr std::uint8_t kRequestPreambles = 5;
constexpr std::uint8_t kMostPreambles = 20;

// Devices without the expanded command-0 layout carry no manufacturer code;
// this one stands in for it in their long address.
constexpr std::uint8_t kLegacyManufacturer = 38;

Asked ShortAsk(std::uint8_t pollAddress, std::uint8_t command) {
  Asked asked;
  asked.address[0] = pollAddress;
  asked.command = command;
  const MasterCommand* row = FindMasterCommand(command);
  asked.dataBytes = row != nullptr ? row->decodedDataBytes : 0;
  return asked;
}

std::uint8_t Checksum(const std::uint8_t* from, const std::uint8_t* to) {
  std::uint8_t x = 0;
  for (; from != to; ++from) x ^= *from;
  return x;
}

// A request frame: preambles, delimiter, the address as sent (1 or 5
// bytes), command, byte count, data, checksum.
std::size_t BuildFrame(std::uint8_t* out, int preambles, std::uint8_t delimiter,
                       std::span<const std::uint8_t> address, std::uint8_t command,
                       const std::uint8_t* data, std::size_t dataLength) {
  std::size_t n = 0;
  for (int i = 0; i < preambles; ++i) out[n++] = kPreamble;
  const std::size_t start = n;
  out[n++] = delimiter;
  for (const std::uint8_t b : address) out[n++] = b;
  out[n++] = command;
  out[n++] = static_cast<std::uint8_t>(dataLength);
  for (std::size_t i = 0; i < dataLength; ++i) out[n++] = data[i];
  out[n] = Checksum(out + start, out + n);
  return n + 1;
}

std::size_t BuildLongFrame(std::uint8_t* out, int preambles,
                           const std::array<std::uint8_t, 5>& address, std::uint8_t command,
                           const std::uint8_t* data, std::size_t dataLength) {
  return BuildFrame(out, preambles, kDelimiterLongRequest, address, command, data, dataLength);
}

}  // namespace

std::size_t BuildShortRequest(std::uint8_t* out, int preambles, std::uint8_t pollAddress,
                              std::uint8_t command, const std::uint8_t* data,
                              std::uint8_t dataLength) {
  const std::uint8_t address[] = {static_cast<std::uint8_t>(pollAddress + kPrimaryMaster)};
  return BuildFrame(out, preambles, kDelimiterShortRequest, address, command, data, dataLength);
}

std::array<std::uint8_t, 5> HartDevice::LongAddress() const {
  return {static_cast<std::uint8_t>((manufacturerCode & 0x3F) | kPrimaryMaster), deviceType,
          deviceId[0], deviceId[1], deviceId[2]};
}

std::size_t BuildLongRequest(std::uint8_t* out, const HartDevice& device, std::uint8_t command,
                             const std::uint8_t* data, std::uint8_t dataLength) {
  return BuildLongFrame(out, device.requestPreambles, device.LongAddress(), command, data,
                        dataLength);
}

serial::LinkResult HartDevice::Open(std::uint8_t portNumber, std::uint32_t baudRate) {
  portLost = false;
  return serial::OpenTransport(portNumber, baudRate);
}

platform::Error HartDevice::Close() {
  return serial::CloseTransport();
}

void HartDevice::Settle(std::uint32_t ms) {
  serial::CurrentTransport().Settle(ms);
}

void HartDevice::ReportLostPort() {
  serial::CurrentTransport().ReportLostPort();
}

void UseModemKeying(serial::Keying keying) {
  HartLink::SetKeying(keying);
}

bool HartDevice::CheckStatus(const std::uint8_t* statusBytes) {
  // Bit 7 of the first status byte marks a communication error; the other
  // bits then say which (parity, overrun, framing, checksum, buffer).
  return (statusBytes[0] & 0x80) != 0;
}

void HartDevice::KeepAnswer(const std::uint8_t* reply, std::size_t statusOffset) {
  // The classifier has seen at least the two status bytes counted.
  const std::size_t count = reply[statusOffset - 1] - 2u;
  lastAnswer_.responseCode = reply[statusOffset];
  lastAnswer_.deviceStatus = reply[statusOffset + 1];
  lastAnswer_.dataLength = static_cast<std::uint8_t>(std::min(count, kCommandDataSize));
  std::memcpy(lastAnswer_.data, reply + statusOffset + 2, lastAnswer_.dataLength);
}

Outcome HartDevice::Run(const std::uint8_t* request, std::size_t length, const Asked& asked,
                        const RetryPolicy& policy, ReplyBuffer& reply) {
  lastResult_ = portLost ? TransactionResult{Outcome::kPortLost}
                         : Transact(request, length, asked, policy, reply);
  if (lastResult_.outcome == Outcome::kPortLost) portLost = true;
  return lastResult_.outcome;
}

bool HartDevice::Poll(std::uint8_t address, std::uint8_t attempts) {
  pollAddress = address;
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      BuildShortRequest(request, kPollPreambles, address, kCommandReadUniqueId, nullptr, 0);
  RetryPolicy policy = kPollPolicy;
  policy.attempts = attempts;
  ReplyBuffer reply;
  if (Run(request, length, ShortAsk(address, kCommandReadUniqueId), policy, reply) !=
      Outcome::kAnswered) {
    return false;
  }
  // The classifier has seen at least the identity's bytes.
  const std::uint8_t* d = &reply[kShortStatus + 2];
  Identity id;
  DecodeIdentity(d, reply[kShortByteCount] - 2u, id);
  // The long address takes the first byte after the 254 marker (the
  // expanded device type's high byte from revision 7 on).
  manufacturerCode = id.expanded ? d[1] : kLegacyManufacturer;
  deviceType = id.deviceType;
  universalRevision = id.universalRevision;
  deviceId[0] = static_cast<std::uint8_t>(id.identifier >> 16);
  deviceId[1] = static_cast<std::uint8_t>(id.identifier >> 8);
  deviceId[2] = static_cast<std::uint8_t>(id.identifier);
  KeepAnswer(reply.data(), kShortStatus);
  // The preambles the device needs to hear a request: a device that
  // needs more than we send never hears the tag or PV request.
  requestPreambles = std::clamp(id.requestPreambles, kRequestPreambles, kMostPreambles);
  return true;
}

bool HartDevice::SendCommand(std::uint8_t command, std::uint8_t* data) {
  return SendCommand(command, data, nullptr, 0);
}

HartDevice::Prepared HartDevice::Prepare(std::uint8_t command, const std::uint8_t* request,
                                         std::uint8_t requestLength) const {
  const MasterCommand* row = FindMasterCommand(command);
  const bool longFrame =
      universalRevision > 4 && (row == nullptr || row->frame == RequestFrame::kByRevision);
  Prepared p;
  if (relay && longFrame) {
    // Command 77's data: where the sub-device sits, the preambles the
    // gateway sends on its channel, then the sub-device's own request
    // frame from its delimiter to its data (the gateway adds the checksum).
    const std::array<std::uint8_t, 5> address = LongAddress();
    std::uint8_t data[kRelayedRequestOverhead + kMostRequestData];
    std::size_t n = 0;
    data[n++] = relay->card;
    data[n++] = relay->channel;
    data[n++] = kRequestPreambles;
    data[n++] = kDelimiterLongRequest;
    for (const std::uint8_t b : address) data[n++] = b;
    data[n++] = command;
    data[n++] = requestLength;
    for (std::uint8_t i = 0; i < requestLength; ++i) data[n++] = request[i];
    p.length =
        BuildLongFrame(p.frame, relay->preambles, relay->gateway, kCommandSendToSubDevice, data, n);
    p.asked = ShortAsk(0, command);
    p.asked.longFrame = true;
    p.asked.address = address;
    p.asked.relay = relay;
    p.status = kLongStatus;
    return p;
  }
  p.length = longFrame ? BuildLongRequest(p.frame, *this, command, request, requestLength)
                       : BuildShortRequest(p.frame, requestPreambles, pollAddress, command, request,
                                           requestLength);
  p.asked = ShortAsk(pollAddress, command);
  if (longFrame) {
    p.asked.longFrame = true;
    // The address bytes as the request carries them.
    std::copy(p.frame + requestPreambles + 1, p.frame + requestPreambles + 6,
              p.asked.address.begin());
  }
  p.status = longFrame ? kLongStatus : kShortStatus;
  return p;
}

bool HartDevice::SendCommand(std::uint8_t command, std::uint8_t* data, const std::uint8_t* request,
                             std::uint8_t requestLength) {
  if (requestLength > kMostRequestData) return false;
  const Prepared p = Prepare(command, request, requestLength);
  ReplyBuffer reply;
  if (Run(p.frame, p.length, p.asked, kCommandPolicy, reply) != Outcome::kAnswered) return false;
  const std::uint8_t* frame = JudgedFrame(reply.data(), p.asked);
  std::memcpy(data, frame + p.status + 2, kCommandDataSize);
  KeepAnswer(frame, p.status);
  return true;
}

bool SendCommandToEach(std::span<HartDevice* const> devices, std::uint8_t command,
                       const std::uint8_t* request, std::uint8_t requestLength,
                       std::size_t window) {
  if (requestLength > kMostRequestData) return false;
  std::vector<HartDevice::Prepared> prepared;
  std::vector<ReplyBuffer> replies(devices.size());
  std::vector<Pending> pending;
  prepared.reserve(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) {
    prepared.push_back(devices[i]->Prepare(command, request, requestLength));
    const HartDevice::Prepared& p = prepared.back();
    pending.push_back({p.frame, p.length, p.asked, &replies[i], {}});
  }
  // A port already lost sends nothing.
  if (std::any_of(devices.begin(), devices.end(),
                  [](const HartDevice* d) { return d->portLost; })) {
    for (Pending& p : pending) p.result.outcome = Outcome::kPortLost;
  } else {
    TransactEach(pending, kCommandPolicy, window);
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    HartDevice& d = *devices[i];
    d.lastResult_ = pending[i].result;
    if (d.lastResult_.outcome == Outcome::kPortLost) d.portLost = true;
    if (d.lastResult_.outcome == Outcome::kAnswered)
      d.KeepAnswer(JudgedFrame(replies[i].data(), prepared[i].asked), prepared[i].status);
  }
  return true;
}

bool HartDevice::SendCommandByte(std::uint8_t command, std::uint8_t* data,
                                 std::uint8_t requestByte) {
  std::uint8_t request[kMaxRequestSize];
  const std::size_t length =
      BuildShortRequest(request, requestPreambles, pollAddress, command, &requestByte, 1);
  ReplyBuffer reply;
  if (Run(request, length, ShortAsk(pollAddress, command), kCommandBytePolicy, reply) !=
      Outcome::kAnswered) {
    return false;
  }
  std::memcpy(data, &reply[kShortStatus + 2], kCommandByteDataSize);
  KeepAnswer(reply.data(), kShortStatus);
  return true;
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
    if (!device.SendCommandByte(kCommandReadLegacyTag, data, 1)) return false;
    packed = data + 1;
  } else {
    if (!device.SendCommand(kCommandReadTag, data)) return false;
  }
  UnpackTag(packed, text);
  return true;
}

void UnpackTag(const std::uint8_t* packed, char* text) {
  char decoded[kUnpackedSize];
  UnpackAscii(packed, 6, decoded);
  for (int i = 0; i < 8 && decoded[i] != '\0'; ++i) text[i] = decoded[i];
}

}  // namespace hart
