// hartsim --hart-ip [ADDR:]PORT: the simulated segment behind a HART-IP
// server on UDP and TCP, as a gateway or multiplexer serves the loop
// behind it. Part of the hartsim program, not of the sim library.
//
// A session starts with Session Initiate and ends with Session Close, with
// its TCP connection, or after its inactivity timer; keep-alives and every
// other message from its host restart the timer. A token-passing PDU
// from a host with a session goes onto the loop behind the gateway's own
// preambles; what the devices put on the loop in answer comes back,
// after its preambles, as the response with the request's sequence
// number, once its last byte has crossed the loop. A request nobody
// answers gets no response, as a silent loop gives none.
//
// Served as a gateway instead (a Gateway in place of the segment), the
// frames go to the gateway and its sub-devices, and each response goes out
// when its device's latency has passed, whatever was asked before it.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hartip/pdu.h"
#include "sim/gateway.h"
#include "sim/segment.h"

namespace platform {
class PreSharedKey;
}

namespace sim {

class SecureServer;

struct ListenAddress {
  std::string host;  // empty: every address, IPv6 and IPv4
  std::string port;
};

// "PORT", "ADDR:PORT" or "[IPV6]:PORT"; PORT 0 lets the system choose.
bool ParseListenAddress(std::string_view text, ListenAddress& address, std::string& error);

// What a misbehaving gateway does to its hosts' sessions.
struct HartIpFaults {
  // Session Initiate over UDP is answered from a new port of the
  // session's own, and the session is served there only.
  bool movePort = false;
  // A restart: every session and every answer still to come forgotten when
  // the request after the first N token-passing requests arrives (that one
  // goes unanswered, its host no longer has a session) ...
  std::optional<std::uint32_t> restartAfter;
  // ... or once this long after Start. One restart either way.
  std::optional<std::uint64_t> restartAtMicros;
  // After the first N token-passing requests nothing more is answered.
  std::optional<std::uint32_t> silentAfter;
};

class HartIpServer {
 public:
  // Sessions served at once; one more is refused with "all sessions in use".
  static constexpr std::size_t kDefaultMaxSessions = 4;

  // The segment (or gateway) is the caller's and must outlive the server.
  explicit HartIpServer(Segment& segment, std::size_t maxSessions = kDefaultMaxSessions);
  explicit HartIpServer(Gateway& gateway, std::size_t maxSessions = kDefaultMaxSessions);
  ~HartIpServer();
  HartIpServer(const HartIpServer&) = delete;
  HartIpServer& operator=(const HartIpServer&) = delete;

  // Serves every session inside TLS (TCP) or DTLS (UDP) keyed by `key`,
  // with HART-IP version 2 headers; nothing unprotected is heard or sent,
  // and a version-1 host gets no session. Call before Start.
  void Protect(const platform::PreSharedKey& key);

  // Binds UDP and TCP on the same port and serves them on a background
  // thread. Returns 0, or the errno of the call that failed (`error` says
  // which and where).
  int Start(const ListenAddress& address, std::string& error);
  // Stops the thread (joins it) and closes every socket. Safe to repeat.
  void Stop();

  // Where it listens, e.g. "127.0.0.1:5094" or "[::]:5094".
  const std::string& Where() const { return where_; }
  std::uint16_t Port() const { return port_; }

  // Sees the bytes on the loop behind the server, on the server's thread,
  // with their times in microseconds since Start (as PtyServer::tap). Set
  // before Start.
  std::function<void(const std::vector<TimedByte>& fromMaster,
                     const std::vector<TimedByte>& toMaster, std::uint64_t nowMicros)>
      tap;
  // A line of text for each session opened, refused or closed. Set before
  // Start.
  std::function<void(const std::string&)> log;
  // False: a response goes out as soon as the devices have answered, not
  // once it has crossed the 1200-baud loop. For measuring the transport
  // alone. Set before Start.
  bool lineTime = true;
  // Set before Start.
  HartIpFaults faults;
  // Microseconds since Start; the steady clock unless set (before Start).
  // Sessions expire, restarts come and responses fall due by it.
  std::function<std::uint64_t()> clock;

  // The server's handling without its thread and sockets, for driving it
  // in one thread: a datagram as the UDP socket delivers it, and the
  // passing of time (answers due, sessions expired, a timed restart). Not
  // while the server thread runs.
  void ReceiveDatagram(const sockaddr_storage& peer, socklen_t peerLength,
                       std::span<const std::uint8_t> datagram);
  void Advance();
  // Sees every message the server sends and to whom, on the server's
  // thread. Set before Start.
  std::function<void(const sockaddr_storage& peer, std::span<const std::uint8_t> message)> sent;

 private:
  using Clock = std::chrono::steady_clock;
  struct Session;
  struct Response {
    std::uint64_t dueMicros;
    int session;
    std::uint16_t sequence;
    std::vector<std::uint8_t> frame;
  };

  void Serve();
  void ServeUdp(int fd);
  void Datagram(int fd, const sockaddr_storage& peer, socklen_t peerLength,
                std::span<const std::uint8_t> datagram);
  void Accept();
  // False when the connection is to be closed.
  bool ServeTcp(Session& connection);
  // Handles one message; false when the connection is to be closed.
  bool Handle(Session& from, const hartip::Pdu& pdu);
  void PassThrough(Session& from, const hartip::Pdu& pdu);
  void Route(Session& from, const hartip::Pdu& pdu);
  void Queue(Response response);
  // Counts a token-passing request against the restart and silence
  // faults; false when it is not to be answered.
  bool Counted();
  void Restart(const std::string& why);
  // A UDP socket of the session's own, on the listening address's family.
  int MovedSocket();
  // Every message leaves through here, as every one arrives through
  // ServeUdp or ServeTcp: the three places a secure channel wraps.
  void Transmit(const Session& to, std::span<const std::uint8_t> message);
  void Reply(const Session& to, std::uint8_t messageType, std::uint8_t messageId,
             std::uint8_t status, std::uint16_t sequence, std::span<const std::uint8_t> body);
  void SendDue();
  void Expire();
  void ForgetProtection(const Session& session);
  void Log(const std::string& line);
  std::size_t OpenSessions() const;
  std::uint64_t Now() const;

  Segment* segment_ = nullptr;
  Gateway* gateway_ = nullptr;
  const std::size_t maxSessions_;
  std::unique_ptr<SecureServer> secure_;
  std::uint8_t version_ = hartip::kVersion;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  int udpFd_ = -1;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::string where_;
  std::uint16_t port_ = 0;
  Clock::time_point start_{};
  sockaddr_storage bound_{};  // the listening address; a moved session's socket takes its host
  socklen_t boundLength_ = 0;
  std::uint32_t tokenRequests_ = 0;
  bool restarted_ = false;

  std::vector<std::unique_ptr<Session>> sessions_;  // UDP sessions and TCP connections
  int nextSessionId_ = 1;
  std::deque<Response> responses_;  // in due order, as they came when due together
  std::deque<TimedByte> lineOut_;   // the devices' bytes, for the tap
  std::uint64_t loopFreeAt_ = 0;    // the gateway's loop is busy until then
};

}  // namespace sim
