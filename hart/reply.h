// What a frame read in a request's reply slot is to that request.
//
// Pure: the frame as the link delivers it (delimiter, header sized by the
// delimiter's own address bit, data) and what was asked go in, a verdict
// comes out. Poll, SendCommand and SendCommandByte all judge replies here,
// so they differ only in their pauses and attempt budgets.
#pragma once

#include <array>
#include <cstdint>

namespace hart {

enum class ReplyKind {
  kForeign,  // other traffic: a burst frame, a master's request, an answer to the secondary master
  kCommunicationError,  // the device received our request garbled (status bit 7)
  kBusy,                // busy or delayed response: come back later
  kRefused,             // an error-class response code: the device did not carry the command out
  kNotOurs,             // another device, another command, or the other address type
  kTooShort,            // fewer data bytes than the caller decodes: an error response
  kAnswer,
};

// What the master asked, as far as judging a reply needs it.
struct Asked {
  bool longFrame = false;
  // Short frame: [0] is the polling address. Long frame: the five address
  // bytes as sent. The master and burst-mode bits are not compared (a reply
  // without the primary-master bit is not ours at all: see kForeign).
  std::array<std::uint8_t, 5> address{};
  std::uint8_t command = 0;
  // Command data bytes (after the two status bytes) the caller decodes.
  std::uint8_t dataBytes = 0;
  // Whether busy and delayed responses are told apart; callers that do not
  // wait them out judge such a reply like any other.
  bool busyWaits = false;
};

// `reply` holds at least the delimiter, header and data of one frame.
ReplyKind ClassifyReply(const std::uint8_t* reply, const Asked& asked);

// Whether a response code (bit 7 clear) is a warning: the command was
// carried out and its data follow. Every other non-zero code is an error.
bool IsWarning(std::uint8_t responseCode);

}  // namespace hart
