// How request frames reach field devices: one backend per way (a modem on
// a serial port, a HART-IP gateway on the network), each behind this one
// frame-level seam. The HART layer above sends a request frame and reads
// the answer frame; each transport keeps its own waits and turn-taking,
// and the layer above never knows which one carries it.
//
// Adding a transport: its own files (a Transport and a TransportKind that
// claims its port names), and one line in the table in transport.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "serial/hart_link.h"

namespace serial {

// One request and the reply read for it, for Transport::ExchangeEach.
struct Exchange {
  const std::uint8_t* request = nullptr;  // preambles included, as for SendFrame
  std::uint32_t length = 0;
  std::uint8_t* reply = nullptr;               // kReplyBufferSize bytes, as for ReceiveFrame
  LinkResult sent = LinkResult::kFailure;      // as SendFrame's
  LinkResult received = LinkResult::kNoReply;  // as ReceiveFrame's; kNoReply when not sent
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Opens `target`, the device or address that the port "COM8:" names, for
  // HART at `baudRate`: 0, or as HartLink::OpenLink (1 with the operator
  // told why beneath "COM8:", 9, 10).
  virtual LinkResult Open(std::uint32_t portNumber, std::string_view target,
                          std::uint32_t baudRate) = 0;
  virtual platform::Error Close() = 0;
  virtual bool IsOpen() const = 0;

  // One request frame, preambles included as the HART layer builds it: as
  // HartLink::SendFrame (0, 1, 4, 11, 14).
  virtual LinkResult SendFrame(const std::uint8_t* bytes, std::uint32_t length) = 0;
  // The frame that answers it into `reply` (kReplyBufferSize bytes):
  // delimiter, header, data, its checksum verified and not delivered; as
  // HartLink::ReceiveFrame (0, 1, 2, 3, 5, 11, 14).
  virtual LinkResult ReceiveFrame(std::uint8_t* reply) = 0;

  // Requests it can carry outstanding at once: 1 where requests take turns
  // on a line (a modem's loop); more where each answer comes back matched
  // to its request.
  virtual std::size_t MostOutstanding() const { return 1; }
  // Each exchange's request sent and its reply read, with at most `window`
  // (and MostOutstanding()) requests outstanding at once, each one read
  // under its own wait. Here: one after another, by SendFrame and
  // ReceiveFrame; a lost port ends it, the rest left unsent.
  virtual void ExchangeEach(std::span<Exchange> exchanges, std::size_t window);

  // Waits `ms` after the port opened, for the line to settle.
  virtual void Settle(std::uint32_t ms) = 0;

  // Turn-taking on a loop that other stations share. A transport that
  // hands back each answer matched to its request has no turn to wait for.
  virtual bool LineShared() { return false; }
  virtual void NoteOtherStation() {}
  virtual HartLink::Turn AwaitTurn(std::uint32_t boundMs) {
    (void)boundMs;
    return HartLink::Turn::kQuiet;
  }

  // Tells the operator that the port went away, with the reason.
  virtual void ReportLostPort() = 0;
};

// One way of carrying frames: whether a port's target is its to carry, and
// a new transport for it.
struct TransportKind {
  bool (*claims)(std::string_view target);
  std::unique_ptr<Transport> (*make)();
};

// Opens the transport whose kind claims what the port "COM8:" names (the
// modem's, unless another claims it): as Transport::Open, 8 while one is
// open.
LinkResult OpenTransport(std::uint32_t portNumber, std::uint32_t baudRate);
platform::Error CloseTransport();
// The open transport; the modem's while none is, whose answers are then
// those of a closed port.
Transport& CurrentTransport();

}  // namespace serial
