// What a frame read in a request's reply slot is to that request.
//
// Pure: the frame as the link delivers it (delimiter, header sized by the
// delimiter's own address bit, data) and what was asked go in, a verdict
// comes out. Poll, SendCommand and SendCommandByte all judge replies here,
// so they differ only in their pauses and attempt budgets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace hart {

enum class ReplyKind {
  kForeign,  // other traffic: a burst frame, a master's request, an answer to the secondary master
  kCommunicationError,  // the device received our request garbled (status bit 7)
  kBusy,                // busy or delayed response: come back later
  kRefused,  // an error-class response code: the device did not carry the command out, and will not
  kNotOurs,  // another device, another command, or the other address type
  kTooShort,  // fewer data bytes than the caller decodes: an error response
  kAnswer,
};

// The commands the master sends: the one place their facts live. Adding a
// command means a row here, its request in HartDevice and its decoding in
// the caller.
inline constexpr std::uint8_t kCommandReadUniqueId = 0;
inline constexpr std::uint8_t kCommandReadLoopCurrentAndPercent = 2;
inline constexpr std::uint8_t kCommandReadCurrentAndVariables = 3;
inline constexpr std::uint8_t kCommandReadLegacyTag = 4;  // with request byte 1
inline constexpr std::uint8_t kCommandReadTag = 13;
inline constexpr std::uint8_t kCommandReadDeviceInformation = 15;
inline constexpr std::uint8_t kCommandReadLongTag = 20;
inline constexpr std::uint8_t kCommandReadAdditionalStatus = 48;
// A gateway's own: its I/O system, and a sub-device's identity by index.
inline constexpr std::uint8_t kCommandReadIoCapabilities = 74;
inline constexpr std::uint8_t kCommandReadSubDeviceSummary = 84;
// A gateway's too: one request carried to a sub-device by card and channel.
inline constexpr std::uint8_t kCommandSendToSubDevice = 77;

// How a command's request addresses the device.
enum class RequestFrame {
  kShort,       // polling address, short frame, whatever the revision
  kByRevision,  // long frame (unique address) from universal revision 5 on
};

struct MasterCommand {
  std::uint8_t number;
  const char* name;
  // Data bytes after the two status bytes that the caller decodes. A reply
  // with fewer is an error response: decoding it would show bytes the
  // device never sent.
  std::uint8_t decodedDataBytes;
  RequestFrame frame;
};

inline constexpr MasterCommand kMasterCommands[] = {
    // Manufacturer, device type, preambles, revisions, flags, identifier.
    {kCommandReadUniqueId, "Read Unique Identifier", 12, RequestFrame::kShort},
    // Loop current (float, mA), percent of range (float).
    {kCommandReadLoopCurrentAndPercent, "Read Loop Current and Percent of Range", 4 + 4,
     RequestFrame::kByRevision},
    // Loop current (float), PV unit code, PV (float).
    {kCommandReadCurrentAndVariables, "Read Dynamic Variables and Loop Current", 4 + 1 + 4,
     RequestFrame::kByRevision},
    // Revision 4 and below: the block number echoed, then the packed tag.
    {kCommandReadLegacyTag, "Read Tag (block 1)", 1 + 6, RequestFrame::kShort},
    // Packed tag; descriptor and date follow and are not decoded.
    {kCommandReadTag, "Read Tag, Descriptor, Date", 6, RequestFrame::kByRevision},
    // Alarm selection, transfer function, range unit, upper and lower range
    // values, damping (floats), write protect; a reserved byte follows.
    {kCommandReadDeviceInformation, "Read Device Information", 3 + 4 + 4 + 4 + 1,
     RequestFrame::kByRevision},
    // Six device-specific status bytes; from revision 6 on the extended
    // device status, operating mode and standardized status follow.
    {kCommandReadAdditionalStatus, "Read Additional Device Status", 6, RequestFrame::kByRevision},
    // 32 Latin-1 bytes, NUL-padded (revision 6 on).
    {kCommandReadLongTag, "Read Long Tag", 32, RequestFrame::kByRevision},
    // Cards, channels per card, sub-devices per channel, devices known (2
    // bytes), requests held at once, master mode, retries.
    {kCommandReadIoCapabilities, "Read I/O System Capabilities", 8, RequestFrame::kByRevision},
    // Index, card, channel, manufacturer, expanded device type,
    // identifier, universal revision, long tag and what follows it.
    {kCommandReadSubDeviceSummary, "Read Sub-Device Identity Summary", 48,
     RequestFrame::kByRevision},
    // Card, channel, then the sub-device's answer at the least: delimiter,
    // a short address, command, byte count and its two status bytes.
    {kCommandSendToSubDevice, "Send Command to Sub-Device", 2 + 1 + 1 + 1 + 1 + 2,
     RequestFrame::kByRevision},
};

// Command 3's data as the master decodes it: loop current (float, mA), PV
// unit code, PV (float).
inline constexpr std::size_t kLoopCurrentAt = 0;
inline constexpr std::size_t kPvUnitAt = 4;
inline constexpr std::size_t kPvAt = 5;
// SV, TV and QV follow the PV as unit code and float, where the device has
// them.
inline constexpr std::size_t kVariableSize = 1 + 4;

// Command 2's: loop current, then the PV's percent of range (floats).
inline constexpr std::size_t kPercentOfRangeAt = 4;

// Command 15's, as far as the master decodes it.
inline constexpr std::size_t kTransferFunctionAt = 1;
inline constexpr std::size_t kRangeUnitAt = 2;
inline constexpr std::size_t kUpperRangeAt = 3;
inline constexpr std::size_t kLowerRangeAt = 7;

// Command 48's extended device status byte (revision 6 on).
inline constexpr std::size_t kExtendedStatusAt = 6;

// The row of `number`, or null for a command the master never sends.
const MasterCommand* FindMasterCommand(std::uint8_t number);

// A request that a gateway carries to one of its sub-devices by card and
// channel, inside its command 77: for a gateway that does not route by a
// sub-device's long address.
struct Relayed {
  std::uint8_t card = 0;
  std::uint8_t channel = 0;
  // The gateway's long address as the request carries it, and the
  // preambles it needs in front of a request.
  std::array<std::uint8_t, 5> gateway{};
  std::uint8_t preambles = 5;
};

// What the master asked, as far as judging a reply needs it.
struct Asked {
  bool longFrame = false;
  // Short frame: [0] is the polling address. Long frame: the five address
  // bytes as sent. The master and burst-mode bits are not compared (a reply
  // without the primary-master bit is not ours at all: see kForeign).
  std::array<std::uint8_t, 5> address{};
  std::uint8_t command = 0;
  // Command data bytes (after the two status bytes) the caller decodes:
  // the command's MasterCommand::decodedDataBytes.
  std::uint8_t dataBytes = 0;
  // Sent inside the gateway's command 77: the fields above describe the
  // sub-device's request, and its answer is judged inside the gateway's.
  std::optional<Relayed> relay;
};

// `reply` holds at least the delimiter, header and data of one frame. A
// relayed request's reply is judged twice: the gateway's answer to 77,
// then the sub-device's frame inside it, from the card and channel asked
// and whole within the gateway's byte count.
ReplyKind ClassifyReply(const std::uint8_t* reply, const Asked& asked);

// The frame ClassifyReply's verdict is about: `reply` itself, or, when the
// gateway answered a relayed request, the sub-device's frame inside it
// (its delimiter on; no checksum).
const std::uint8_t* JudgedFrame(const std::uint8_t* reply, const Asked& asked);

// That frame's response code.
std::uint8_t JudgedResponseCode(const std::uint8_t* reply, const Asked& asked);

// Whether a response code (bit 7 clear) is a warning: the command was
// carried out and its data follow. Every other non-zero code is an error.
bool IsWarning(std::uint8_t responseCode);

}  // namespace hart
