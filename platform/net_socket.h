// Sockets to a host on the network and the waits on them: what a network
// transport needs of the operating system, and nothing of what it carries.
//
// Every wait (a name look-up, a connect, an answer) goes through a
// NetworkWait, which by default sleeps in slices through the installed
// clock: a window keeps being served while the network takes its time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

class NetworkWait {
 public:
  virtual ~NetworkWait() = default;
  // Milliseconds since an arbitrary start; wraps at 2^32. Also called from
  // a transport's keep-alive thread.
  virtual std::uint32_t NowMs() = 0;
  // Returns once `fd` is ready for `events` (poll flags) or `ms` have
  // passed; a negative `fd` only waits.
  virtual void Wait(int fd, short events, std::uint32_t ms) = 0;
};
// Real time, in slices of the installed clock's Sleep.
NetworkWait& ServingWait();
// What is left of `span` ms begun at `start`; survives the tick's wrap.
std::uint32_t WaitLeft(NetworkWait& wait, std::uint32_t start, std::uint32_t span);

// One address of a host and a port, IPv4 or IPv6.
class NetAddress {
 public:
  // A numeric address ("127.0.0.1", "::1"); one that matches no host when
  // `ip` is none.
  static NetAddress Numeric(std::string_view ip, std::uint16_t port);
  // Whether both are the same host, whatever their ports.
  bool SameHost(const NetAddress& other) const;

 private:
  friend class NetSocket;
  friend Error Resolve(const std::string&, const std::string&, bool, NetworkWait&,
                       std::vector<NetAddress>&, std::string&);
  alignas(8) std::array<std::uint8_t, 128> bytes_{};
  std::uint32_t length_ = 0;
};

// The addresses of `host` for `port`, in the order to try them. A numeric
// host needs no name server and is resolved at once; a name is looked up
// on a thread of its own while `wait` waits for it, at most 10 s. On
// failure `advice` says why.
Error Resolve(const std::string& host, const std::string& port, bool stream, NetworkWait& wait,
              std::vector<NetAddress>& addresses, std::string& advice);

enum class NetResult {
  kOk,
  kNothing,  // nothing has arrived
  kTimeout,  // no room to send within the send wait: nothing was sent
  kCutOff,   // a stream send that moved only part of the message
  kRefused,  // ICMP "unreachable" for an earlier datagram: nothing listens there
  kClosed,   // the connection is gone
  kFailed,   // any other error
};

class NetSocket {
 public:
  ~NetSocket();
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  // A datagram socket, unconnected, that hears ICMP "unreachable" also
  // so; or a stream connected to `to` within `connectMs`, without Nagle's
  // delay (small messages, each awaited). `err` is the errno of a failure.
  static Error Open(const NetAddress& to, bool stream, NetworkWait& wait, std::uint32_t connectMs,
                    std::unique_ptr<NetSocket>& socket, int& err);

  // The whole message, to `to` or the connected peer. A full send buffer
  // is waited out in real time, at most a second: a keep-alive thread sends
  // too.
  NetResult Send(std::span<const std::uint8_t> bytes, const NetAddress* to = nullptr);
  // What has arrived, without waiting: one datagram (`size` its real
  // length, which may exceed the buffer's) or the stream's next bytes.
  NetResult Receive(std::span<std::uint8_t> buffer, std::size_t& size, NetAddress* from = nullptr);
  // Datagrams from now on to and from `peer` alone; the kernel drops the
  // rest and reports `peer`'s ICMP "unreachable".
  Error Connect(const NetAddress& peer);
  // Until something arrives or `ms` have passed.
  void AwaitInput(NetworkWait& wait, std::uint32_t ms);
  // Ends both directions of a stream at once.
  void Shutdown();
  // For the protected channel that runs over this socket.
  int Descriptor() const { return fd_; }

 private:
  NetSocket(int fd, bool stream) : fd_(fd), stream_(stream) {}
  const int fd_;
  const bool stream_;
};

}  // namespace platform
