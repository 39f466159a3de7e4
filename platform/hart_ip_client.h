// A HART-IP gateway as a serial device: hart-ip://HOST[:PORT] (UDP) or
// hart-ip+tcp://HOST[:PORT], port 5094 unless given. HOST is a name, an
// IPv4 address or an IPv6 address in brackets. hart-ip+tls:// (TCP) and
// hart-ip+dtls:// (UDP) are HART-IP version 2: the session runs inside TLS
// or DTLS keyed by the pre-shared key in the key file, and never without.
//
// What the seam's operations mean here:
// - Open: resolve, connect, Session Initiate as primary host with an
//   inactivity close timer. The session is kept alive from a thread of the
//   device's own while the port is open, and closed (Session Close) when
//   the device is destroyed.
// - Write: the frame after its preambles goes out as one token-passing
//   PDU with the next sequence number. Returns at once: there is no line
//   to drain.
// - Read: the frame of the response to the last request, behind the
//   preambles a modem would have delivered. A read that finds nothing yet
//   waits, at most until the loop behind the gateway could have carried
//   the request and the longest legal reply; after that it returns empty.
//   A response to another sequence number, a malformed PDU, an error status
//   or a NAK is never data. A TCP connection that closes is a hang-up.
// - Line settings, time-outs, queue sizes, event mask: stored and read
//   back, nothing else (there are no RTS/DTR lines and no speed); line
//   errors are always none.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_device.h"

namespace platform {

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

// How long a read waits for the response to a request of `requestLength`
// bytes: the time a 1200-baud loop needs for the request, the slave's
// 28-character time-out and the longest legal reply, as the gateway must
// carry them over its loop before it can answer.
std::uint32_t HartIpResponseWaitMs(std::uint32_t requestLength);

// The key file for hart-ip+tls:// and hart-ip+dtls://, read afresh at
// each open and wiped once the handshake is done.
void SetHartIpKeyFile(std::string path);
// True for hart-ip+tls:// and hart-ip+dtls://, valid or not.
bool IsSecureHartIpName(std::string_view name);

// Opens a session with the gateway `name`. On failure `advice` says why
// and what the operator can do.
Error OpenHartIpDevice(std::string_view name, std::unique_ptr<SerialDevice>& device,
                       std::string& advice);

}  // namespace platform
