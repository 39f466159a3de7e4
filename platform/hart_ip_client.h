// A HART-IP gateway as a serial device: hart-ip://HOST[:PORT] (UDP) or
// hart-ip+tcp://HOST[:PORT], port 5094 unless given. HOST is a name, an
// IPv4 address or an IPv6 address in brackets.
//
// What the seam's operations mean here:
// - Open: resolve, then for each address in turn until one answers: connect
//   (TCP), Session Initiate as primary (or secondary) host with an
//   inactivity close timer. Over UDP the request goes from an unconnected
//   socket, since a gateway may answer from a port of its own and serve the
//   session there; only answers from the gateway's address count. The
//   session is kept alive from a thread of the device's own while the port
//   is open, and closed (Session Close) when the device is destroyed.
// - Write: the frame after its preambles goes out as one token-passing
//   PDU with the next sequence number. Returns at once: there is no line
//   to drain. A session the gateway no longer holds (it restarted, closed
//   it, or its port became unreachable) is opened anew first.
// - Read: the frame of the response to the last request, behind the
//   preambles a modem would have delivered. A read that finds nothing yet
//   waits, at most the response wait; after that it returns empty.
//   A response to another sequence number, a malformed PDU, an error status
//   or a NAK is never data. A TCP connection that closes is a hang-up.
// - Line settings, time-outs, queue sizes, event mask: stored and read
//   back, nothing else (there are no RTS/DTR lines and no speed); line
//   errors are always none.
//
// Every wait (look-up, connect, answers) goes through a NetworkWait, which
// by default sleeps in slices through the installed clock: a window keeps
// being served while a gateway carries a request over its loop.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_device.h"

namespace platform {

struct HartIpAddress {
  std::string host;  // without brackets
  std::string port;  // "5094" unless the name gave one
  bool tcp = false;
};

// Whether `name` asks for a gateway (its scheme), valid or not.
bool IsHartIpName(std::string_view name);
// False when `name` is not a well-formed gateway address.
bool ParseHartIpName(std::string_view name, HartIpAddress& address);

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

// How the client waits on the network.
class NetworkWait {
 public:
  virtual ~NetworkWait() = default;
  // Milliseconds since an arbitrary start; wraps at 2^32. Also called from
  // the device's keep-alive thread.
  virtual std::uint32_t NowMs() = 0;
  // Returns once `fd` is ready for `events` (poll flags) or `ms` have
  // passed; a negative `fd` only waits.
  virtual void Wait(int fd, short events, std::uint32_t ms) = 0;
};
// Real time, in slices of the installed clock's Sleep.
NetworkWait& ServingWait();

struct HartIpEndpoint {
  sockaddr_storage address{};
  socklen_t length = 0;
};
// The addresses to try for `address`, in order; on failure `advice` says why.
using HartIpResolver =
    std::function<Error(const HartIpAddress& address, NetworkWait& wait,
                        std::vector<HartIpEndpoint>& endpoints, std::string& advice)>;

struct HartIpOptions {
  HartIpSettings settings;
  NetworkWait* wait = nullptr;  // ServingWait() unless set
  HartIpResolver resolve;       // the system's resolver, off this thread, unless set
};

// Opens a session with the gateway `name` with the settings in force. On
// failure `advice` says why and what the operator can do.
Error OpenHartIpDevice(std::string_view name, std::unique_ptr<SerialDevice>& device,
                       std::string& advice);
Error OpenHartIpDevice(std::string_view name, std::unique_ptr<SerialDevice>& device,
                       std::string& advice, const HartIpOptions& options);

}  // namespace platform
