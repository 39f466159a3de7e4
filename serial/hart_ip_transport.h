// HART-IP: request frames to a gateway (a multiplexer, a WirelessHART
// gateway, an I/O system, or `hartsim --hart-ip`) as token-passing PDUs.
// The port names it as hart-ip://HOST[:PORT] (UDP) or
// hart-ip+tcp://HOST[:PORT], port 5094 unless given; HOST is a name, an
// IPv4 address or an IPv6 address in brackets. hart-ip+tls:// (TCP) and
// hart-ip+dtls:// (UDP) are HART-IP version 2: the session runs inside TLS
// or DTLS keyed by the pre-shared key in the key file, and never without.
//
// - Open: resolve, then for each address in turn until one answers: connect
//   (TCP), Session Initiate as primary (or secondary) host with an
//   inactivity close timer. Over UDP the request goes from an unconnected
//   socket, since a gateway may answer from a port of its own and serve the
//   session there; only answers from the gateway's host count. The session
//   is kept alive from a thread of the transport's own while it is open,
//   and closed (Session Close) with it.
// - SendFrame: the frame after its preambles as one PDU with the next
//   sequence number; there is no line to key or drain and no write pause.
//   A session the gateway no longer holds (it restarted, closed it, or its
//   port became unreachable) is opened anew first.
// - ReceiveFrame: the frame of the response to that request, waited for at
//   most the response wait. A response to another sequence number, a
//   malformed PDU, an error status or a NAK is never an answer. A TCP
//   connection that closes or loses its framing is a lost port.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net_socket.h"
#include "platform/services.h"
#include "serial/transport.h"

namespace serial {

struct HartIpAddress {
  std::string host;  // without brackets
  std::string port;  // "5094" unless the name gave one
  bool tcp = false;
  bool secure = false;  // TLS over TCP, DTLS over UDP
};

// Whether `name` asks for a gateway (its scheme), valid or not.
bool IsHartIpName(std::string_view name);
// False when `name` is not a well-formed gateway address.
bool ParseHartIpName(std::string_view name, HartIpAddress& address);
// True for hart-ip+tls:// and hart-ip+dtls://, valid or not.
bool IsSecureHartIpName(std::string_view name);
// The key file for hart-ip+tls:// and hart-ip+dtls://, read afresh at each
// open and wiped once the handshake is done.
void SetHartIpKeyFile(std::string path);

// How long a read waits for the response to a request of `requestLength`
// bytes: the time a 1200-baud loop needs for the request, the slave's
// 28-character time-out and the longest legal reply, as the gateway must
// carry them over its loop before it can answer.
std::uint32_t HartIpResponseWaitMs(std::uint32_t requestLength);

// What the operator chose for every gateway opened from now on.
struct HartIpSettings {
  // 0: HartIpResponseWaitMs of the request. A WirelessHART gateway relays
  // over a mesh and may take seconds longer than a wired loop.
  std::uint32_t responseWaitMs = 0;
  // A control system often holds the gateway's primary session.
  bool secondaryHost = false;
};
void SetHartIpSettings(const HartIpSettings& settings);

// The addresses to try for `address`, in order; on failure `advice` says why.
using HartIpResolver = std::function<platform::Error(
    const HartIpAddress& address, platform::NetworkWait& wait,
    std::vector<platform::NetAddress>& addresses, std::string& advice)>;

struct HartIpOptions {
  HartIpSettings settings;
  platform::NetworkWait* wait = nullptr;  // platform::ServingWait() unless set
  HartIpResolver resolve;                 // platform::Resolve unless set
};

class HartIpTransport final : public Transport {
 public:
  // With the settings in force.
  HartIpTransport();
  explicit HartIpTransport(const HartIpOptions& options);
  ~HartIpTransport() override;

  LinkResult Open(std::uint32_t portNumber, std::string_view target,
                  std::uint32_t baudRate) override;
  platform::Error Close() override;
  bool IsOpen() const override { return session_ != nullptr; }
  LinkResult SendFrame(const std::uint8_t* bytes, std::uint32_t length) override;
  LinkResult ReceiveFrame(std::uint8_t* reply) override;
  // There is no modem to settle and no line to listen to; the pause is the
  // program's own timing and stays.
  void Settle(std::uint32_t ms) override { platform::Sleep(ms); }
  void ReportLostPort() override;
  // Every answer carries its request's sequence number, so requests need
  // not take turns; the gateway's own bound (command 74) is one byte.
  static constexpr std::size_t kMostOutstanding = 255;
  std::size_t MostOutstanding() const override { return kMostOutstanding; }
  void ExchangeEach(std::span<Exchange> exchanges, std::size_t window) override;

  // Why the last Open failed and what the operator can do: the text shown
  // beneath "COM8:". `OpenError` is its platform error number.
  const std::string& Advice() const { return advice_; }
  platform::Error OpenError() const { return openError_; }

 private:
  class Session;
  platform::Error OpenSession(std::string_view target);
  HartIpOptions options_;
  std::unique_ptr<Session> session_;
  std::string advice_;
  platform::Error openError_ = platform::kErrorSuccess;
};

extern const TransportKind kHartIpTransport;

// A gateway's answer frame (delimiter to checksum, no preambles) checked as
// the link checks a modem's reply: 0 with delimiter, header and data copied
// to `reply` (kReplyBufferSize bytes); 1 for no frame at all, 3 for one cut
// short, 2 for a checksum that does not match.
LinkResult CheckAnswerFrame(std::span<const std::uint8_t> frame, std::uint8_t* reply);

}  // namespace serial
