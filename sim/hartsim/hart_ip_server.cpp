#include "sim/hartsim/hart_ip_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "sim/hartsim/secure_server.h"

namespace sim {

namespace {

// The gateway's own preambles in front of a request on its loop.
constexpr std::size_t kLoopPreambles = 5;
// Longest sleep between looks at the clock while something is due.
constexpr std::uint64_t kTickMicros = 5000;
constexpr std::uint64_t kQuietTickMicros = 100'000;
// Inactivity timers outside this range are set to the nearest end of it,
// and the host is told so (status 8).
constexpr std::uint32_t kMinTimerMs = 1000;
constexpr std::uint32_t kMaxTimerMs = 600'000;
// TCP connections beyond the sessions, so that a host over the limit can
// be told so before its connection is closed.
constexpr std::size_t kSpareConnections = 2;
// A gateway queues only so much for its loop: requests that would wait
// longer than this for it are dropped unanswered, so that a host sending
// faster than the loop can carry grows no queue here.
constexpr std::uint64_t kMaxBacklogMicros = 10'000'000;
// A flood of datagrams is served a batch at a time, so the clock is looked
// at in between and responses go out on time.
constexpr int kDatagramBatch = 64;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string AddressText(const sockaddr* a) {
  char host[NI_MAXHOST] = "";
  char port[NI_MAXSERV] = "";
  const socklen_t len = a->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  ::getnameinfo(a, len, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  return a->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                  : std::string(host) + ":" + port;
}

// Keeps `queue` in time order.
void Merge(std::deque<TimedByte>& queue, const std::vector<TimedByte>& bytes) {
  for (const auto& b : bytes) {
    auto pos = std::upper_bound(queue.begin(), queue.end(), b.atMicros,
                                [](std::uint64_t t, const TimedByte& x) { return t < x.atMicros; });
    queue.insert(pos, b);
  }
}

// The frame with the gateway's own preambles in front, as the trace sees
// a frame on a loop.
std::vector<TimedByte> OnTheLine(std::span<const std::uint8_t> frame, std::uint64_t atMicros) {
  std::vector<TimedByte> bytes(kLoopPreambles, TimedByte{atMicros, kPreamble});
  for (const std::uint8_t b : frame) bytes.push_back({atMicros, b});
  return bytes;
}

}  // namespace

struct HartIpServer::Session {
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (ownsUdpFd) CloseFd(udpFd);
  }
  int id = 0;
  int fd = -1;     // a TCP connection; -1 for UDP
  int udpFd = -1;  // the UDP socket the session is served on
  bool ownsUdpFd = false;
  sockaddr_storage peer{};
  socklen_t peerLength = 0;
  bool open = false;       // Session Initiate accepted
  bool forgotten = false;  // lost in a restart; removed on the next pass
  std::uint32_t timerMs = 0;
  std::uint64_t lastHeard = 0;  // microseconds, by the server's clock
  hartip::StreamReader stream;
};

bool ParseListenAddress(std::string_view text, ListenAddress& address, std::string& error) {
  ListenAddress a;
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find("]:");
    if (close == std::string_view::npos) {
      error = "--hart-ip " + std::string(text) + ": expected [IPV6]:PORT";
      return false;
    }
    a.host = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    a.host = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
  }
  const bool digits =
      !port.empty() && port.size() <= 5 &&
      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || std::stoul(std::string(port)) > 65535 ||
      (a.host.empty() && port.size() != text.size())) {
    error = "--hart-ip " + std::string(text) + ": expected [ADDR:]PORT, PORT from 0 to 65535";
    return false;
  }
  a.port = std::string(port);
  address = a;
  return true;
}

HartIpServer::HartIpServer(Segment& segment, std::size_t maxSessions)
    : segment_(&segment), maxSessions_(maxSessions) {}

HartIpServer::HartIpServer(Gateway& gateway, std::size_t maxSessions)
    : gateway_(&gateway), maxSessions_(maxSessions) {}

HartIpServer::~HartIpServer() {
  Stop();
}

void HartIpServer::Protect(const platform::PreSharedKey& key) {
  secure_ = std::make_unique<SecureServer>(key);
  secure_->log = [this](const std::string& line) { Log(line); };
  version_ = hartip::kSecureVersion;
}

int HartIpServer::Start(const ListenAddress& address, std::string& error) {
  if (thread_.joinable()) return 0;
  const auto fail = [&](const std::string& what, int e) {
    error = what + ": " + std::strerror(e);
    CloseFd(udpFd_);
    CloseFd(listenFd_);
    CloseFd(wakeFds_[0]);
    CloseFd(wakeFds_[1]);
    return e;
  };

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  // Without an address: IPv6's wildcard, which also takes IPv4 where the
  // system allows it.
  const char* host = address.host.empty() ? "::" : address.host.c_str();
  int gai = ::getaddrinfo(host, address.port.c_str(), &hints, &list);
  if (gai != 0 && address.host.empty()) {
    gai = ::getaddrinfo("0.0.0.0", address.port.c_str(), &hints, &list);
  }
  if (gai != 0) {
    error = "--hart-ip: " + (address.host.empty() ? std::string("*") : address.host) + ": " +
            ::gai_strerror(gai);
    return EINVAL;
  }
  sockaddr_storage bound{};
  const socklen_t boundLength = static_cast<socklen_t>(list->ai_addrlen);
  std::memcpy(&bound, list->ai_addr, list->ai_addrlen);
  const int family = list->ai_family;
  ::freeaddrinfo(list);

  const auto open = [&](int type, int& fd) -> int {
    fd = ::socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), boundLength) != 0) return errno;
    return 0;
  };
  if (const int e = open(SOCK_STREAM, listenFd_))
    return fail("TCP " + AddressText(reinterpret_cast<sockaddr*>(&bound)), e);
  if (::listen(listenFd_, 8) != 0) return fail("listen", errno);
  // Port 0: UDP takes the port the system gave TCP.
  sockaddr_storage actual{};
  socklen_t actualLength = sizeof actual;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&actual), &actualLength);
  const std::uint16_t port =
      ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&actual)->sin6_port
                               : reinterpret_cast<sockaddr_in*>(&actual)->sin_port);
  if (family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port = htons(port);
  } else {
    reinterpret_cast<sockaddr_in*>(&bound)->sin_port = htons(port);
  }
  if (const int e = open(SOCK_DGRAM, udpFd_))
    return fail("UDP " + AddressText(reinterpret_cast<sockaddr*>(&bound)), e);
  if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) return fail("pipe2", errno);
  port_ = port;
  where_ = AddressText(reinterpret_cast<sockaddr*>(&bound));
  bound_ = bound;
  boundLength_ = boundLength;
  stop_ = false;
  start_ = Clock::now();
  thread_ = std::thread([this] { Serve(); });
  return 0;
}

void HartIpServer::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    const char wake = 1;
    [[maybe_unused]] auto n = ::write(wakeFds_[1], &wake, 1);
    thread_.join();
  }
  for (auto& s : sessions_) {
    ForgetProtection(*s);
    CloseFd(s->fd);
  }
  sessions_.clear();
  CloseFd(udpFd_);
  CloseFd(listenFd_);
  CloseFd(wakeFds_[0]);
  CloseFd(wakeFds_[1]);
}

std::uint64_t HartIpServer::Now() const {
  if (clock) return clock();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
}

void HartIpServer::Log(const std::string& line) {
  if (log) log(line);
}

std::size_t HartIpServer::OpenSessions() const {
  return static_cast<std::size_t>(
      std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->open; }));
}

void HartIpServer::Serve() {
  std::vector<pollfd> fds;
  while (!stop_) {
    const std::uint64_t now = Now();
    if (segment_ != nullptr) {
      const std::vector<TimedByte> unsolicited = segment_->Unsolicited(now);
      if (tap) Merge(lineOut_, unsolicited);
    }
    std::vector<TimedByte> sent;
    while (!lineOut_.empty() && lineOut_.front().atMicros <= now) {
      sent.push_back(lineOut_.front());
      lineOut_.pop_front();
    }
    if (tap && !sent.empty()) tap({}, sent, now);
    Advance();

    std::uint64_t wait =
        segment_ != nullptr && segment_->HasUnsolicited() ? kTickMicros : kQuietTickMicros;
    if (!responses_.empty())
      wait = std::min(wait,
                      responses_.front().dueMicros - std::min(now, responses_.front().dueMicros));
    if (!lineOut_.empty() && tap)
      wait = std::min(wait, lineOut_.front().atMicros - std::min(now, lineOut_.front().atMicros));
    fds.assign({{wakeFds_[0], POLLIN, 0}, {udpFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}});
    for (const auto& s : sessions_) {
      if (s->fd >= 0) fds.push_back({s->fd, POLLIN, 0});
      if (s->ownsUdpFd) fds.push_back({s->udpFd, POLLIN, 0});
    }
    const timespec timeout{static_cast<time_t>(wait / 1'000'000),
                           static_cast<long>(wait % 1'000'000 * 1000)};
    if (::ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) break;
    if (fds[0].revents) break;
    // Time passed in the wait: what fell due and what expired meanwhile
    // come before what arrived.
    Advance();
    if (fds[1].revents & POLLIN) ServeUdp(udpFd_);
    if (fds[2].revents & POLLIN) Accept();
    // Connections in the order polled; one that ends is removed after.
    std::vector<int> ended;
    for (std::size_t i = 3; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) {
        return s->fd == fds[i].fd || (s->ownsUdpFd && s->udpFd == fds[i].fd);
      });
      if (it == sessions_.end()) continue;
      if ((*it)->fd < 0) {
        ServeUdp(fds[i].fd);
        continue;
      }
      const int id = (*it)->id;  // the session may be gone once served
      if (!ServeTcp(**it)) ended.push_back(id);
    }
    for (const int id : ended) {
      auto it = std::find_if(sessions_.begin(), sessions_.end(),
                             [&](const auto& s) { return s->id == id; });
      if (it == sessions_.end()) continue;
      if ((*it)->open) Log("hart-ip: session " + std::to_string(id) + " closed");
      ForgetProtection(**it);
      CloseFd((*it)->fd);
      sessions_.erase(it);
    }
  }
}

void HartIpServer::ServeUdp(int fd) {
  // Room for a DTLS record around the longest message; a datagram longer
  // than the buffer shows through MSG_TRUNC.
  std::array<std::uint8_t, 2048> buffer;
  for (int i = 0; i < kDatagramBatch; ++i) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (n < 0) return;
    // MSG_TRUNC: n is the datagram's whole size, which may exceed the buffer.
    if (static_cast<std::size_t>(n) > buffer.size()) continue;
    std::span<const std::uint8_t> datagram(buffer.data(), static_cast<std::size_t>(n));
    std::vector<std::uint8_t> plaintext;
    if (secure_) {
      const auto send = [&](std::span<const std::uint8_t> bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&peer), peerLength);
      };
      if (!secure_->Open(SecureServer::DatagramPeer(peer, peerLength), datagram, plaintext, send) ||
          plaintext.empty()) {
        continue;
      }
      datagram = plaintext;
    }
    Datagram(fd, peer, peerLength, datagram);
  }
}

void HartIpServer::ReceiveDatagram(const sockaddr_storage& peer, socklen_t peerLength,
                                   std::span<const std::uint8_t> datagram) {
  Datagram(udpFd_, peer, peerLength, datagram);
}

void HartIpServer::Datagram(int fd, const sockaddr_storage& peer, socklen_t peerLength,
                            std::span<const std::uint8_t> datagram) {
  hartip::Pdu pdu;
  if (datagram.size() > hartip::kMaxPduSize || !hartip::ReadDatagram(datagram, pdu)) {
    return;  // not a message: nothing to answer
  }
  auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) {
    return s->fd < 0 && !s->forgotten && s->udpFd == fd && s->peerLength == peerLength &&
           std::memcmp(&s->peer, &peer, peerLength) == 0;
  });
  if (it != sessions_.end()) {
    Handle(**it, pdu);
    return;
  }
  // A host without a session is only heard for Session Initiate, and only
  // on the gateway's own port.
  if (fd != udpFd_ || pdu.header.messageId != hartip::kSessionInitiate) return;
  auto stranger = std::make_unique<Session>();
  stranger->peer = peer;
  stranger->peerLength = peerLength;
  stranger->udpFd = udpFd_;
  if (faults.movePort) {
    const int own = MovedSocket();
    if (own >= 0) {
      stranger->udpFd = own;
      stranger->ownsUdpFd = true;
    }
  }
  Handle(*stranger, pdu);
  if (stranger->open) sessions_.push_back(std::move(stranger));
}

int HartIpServer::MovedSocket() {
  if (boundLength_ == 0) return -1;
  sockaddr_storage address = bound_;
  if (address.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = 0;
  } else {
    reinterpret_cast<sockaddr_in*>(&address)->sin_port = 0;
  }
  const int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int off = 0;
  if (address.ss_family == AF_INET6) {
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), boundLength_) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void HartIpServer::Accept() {
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  const std::size_t connections = static_cast<std::size_t>(
      std::count_if(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->fd >= 0; }));
  if (connections >= maxSessions_ + kSpareConnections) {
    ::close(fd);
    return;
  }
  auto s = std::make_unique<Session>();
  s->id = nextSessionId_++;
  s->fd = fd;
  s->peer = peer;
  s->peerLength = peerLength;
  s->lastHeard = Now();
  // A connection that never initiates a session is dropped like an idle one.
  s->timerMs = kMinTimerMs * 10;
  sessions_.push_back(std::move(s));
}

bool HartIpServer::ServeTcp(Session& c) {
  if (c.forgotten) return false;
  std::array<std::uint8_t, hartip::kMaxPduSize> buffer;
  const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(n));
  std::vector<std::uint8_t> plaintext;
  if (secure_) {
    const auto send = [&](std::span<const std::uint8_t> out) {
      ::send(c.fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    };
    if (!secure_->Open(SecureServer::StreamPeer(c.fd), bytes, plaintext, send)) return false;
    bytes = plaintext;
  }
  c.stream.Feed(bytes);
  hartip::Pdu pdu;
  for (;;) {
    switch (c.stream.Next(pdu)) {
      case hartip::ReadResult::kComplete:
        if (!Handle(c, pdu)) return false;
        continue;
      case hartip::ReadResult::kNeedMore:
        return true;
      case hartip::ReadResult::kMalformed:
        return false;  // no way to find the next header
    }
  }
}

bool HartIpServer::Counted() {
  if (faults.restartAfter && !restarted_ && tokenRequests_ >= *faults.restartAfter) {
    Restart("after " + std::to_string(tokenRequests_) + " requests");
    return false;
  }
  ++tokenRequests_;
  return true;
}

void HartIpServer::Restart(const std::string& why) {
  restarted_ = true;
  Log("hart-ip: restart " + why + ": every session forgotten");
  // A restarted gateway's network stack knows none of its connections:
  // the host finds out at its next read or write.
  for (auto& s : sessions_) {
    if (s->fd >= 0) ::shutdown(s->fd, SHUT_RDWR);
    s->open = false;
    s->forgotten = true;
  }
  responses_.clear();
  if (gateway_ != nullptr) gateway_->Restart();
}

bool HartIpServer::Handle(Session& from, const hartip::Pdu& pdu) {
  const hartip::Header& h = pdu.header;
  if (h.messageType != hartip::kTypeRequest || from.forgotten) return true;
  if (faults.silentAfter && tokenRequests_ >= *faults.silentAfter) return true;
  if (from.open) from.lastHeard = Now();
  if (h.version != version_) {
    Reply(from, hartip::kTypeResponse, h.messageId, hartip::kStatusVersionNotSupported, h.sequence,
          {});
    return true;
  }
  switch (h.messageId) {
    case hartip::kSessionInitiate: {
      std::uint8_t host = 0;
      std::uint32_t timer = 0;
      std::uint8_t status = hartip::kStatusSuccess;
      if (from.open) {
        status = hartip::kStatusSessionExists;
      } else if (!hartip::ReadSessionInitiateBody(pdu.body, host, timer)) {
        status = hartip::kStatusTooFewBytes;
      } else if (host != hartip::kPrimaryHost && host != hartip::kSecondaryHost) {
        status = hartip::kStatusInvalidSelection;
      } else if (OpenSessions() >= maxSessions_) {
        status = hartip::kStatusSessionsInUse;
      }
      if (status != hartip::kStatusSuccess) {
        Reply(from, hartip::kTypeResponse, h.messageId, status, h.sequence, pdu.body);
        if (status == hartip::kStatusSessionsInUse) {
          Log("hart-ip: session refused to " +
              AddressText(reinterpret_cast<const sockaddr*>(&from.peer)) + ": all " +
              std::to_string(maxSessions_) + " in use");
          return from.fd < 0;  // its connection is of no use
        }
        return true;
      }
      const std::uint32_t kept = std::clamp(timer, kMinTimerMs, kMaxTimerMs);
      if (kept != timer) status = hartip::kStatusTimerAdjusted;
      if (from.id == 0) from.id = nextSessionId_++;
      from.open = true;
      from.timerMs = kept;
      from.lastHeard = Now();
      Reply(from, hartip::kTypeResponse, h.messageId, status, h.sequence,
            hartip::SessionInitiateBody(host, kept));
      Log("hart-ip: session " + std::to_string(from.id) + " opened by " +
          AddressText(reinterpret_cast<const sockaddr*>(&from.peer)) +
          (from.fd >= 0 ? " (TCP)" : " (UDP)"));
      return true;
    }
    case hartip::kSessionClose:
      if (!from.open) return true;
      Reply(from, hartip::kTypeResponse, h.messageId, hartip::kStatusSuccess, h.sequence, {});
      if (from.fd >= 0) return false;
      Log("hart-ip: session " + std::to_string(from.id) + " closed");
      from.open = false;
      std::erase_if(sessions_, [&](const auto& s) { return s.get() == &from; });
      return true;
    case hartip::kKeepAlive:
      if (from.open) {
        Reply(from, hartip::kTypeResponse, h.messageId, hartip::kStatusSuccess, h.sequence, {});
      }
      return true;
    case hartip::kTokenPassingPdu:
      if (!from.open) return true;
      // After a restart neither this session nor its connection exists.
      if (!Counted()) return from.fd < 0;
      if (pdu.body.empty()) {
        Reply(from, hartip::kTypeResponse, h.messageId, hartip::kStatusTooFewBytes, h.sequence, {});
      } else if (gateway_ != nullptr) {
        Route(from, pdu);
      } else {
        PassThrough(from, pdu);
      }
      SendDue();  // the gateway's own answers are due at once
      return true;
    default:
      if (from.open)
        Reply(from, hartip::kTypeNak, h.messageId, hartip::kStatusSuccess, h.sequence, {});
      return true;
  }
}

void HartIpServer::PassThrough(Session& from, const hartip::Pdu& pdu) {
  // Only a whole request frame goes on the loop: the devices' receivers
  // would take part of one as the start of the next PDU's, and its answer
  // would go out under the later sequence number.
  if (!ReadRequestFrame(pdu.body)) return;
  // The gateway serves one request at a time on its loop.
  const std::uint64_t now = Now();
  if (lineTime && loopFreeAt_ > now + kMaxBacklogMicros) return;
  const std::uint64_t begin = std::max(now, loopFreeAt_);
  std::vector<TimedByte> request;
  for (std::size_t i = 0; i < kLoopPreambles + pdu.body.size(); ++i) {
    const std::uint8_t value = i < kLoopPreambles ? 0xFF : pdu.body[i - kLoopPreambles];
    request.push_back({begin + i * kCharacterMicros, value});
  }
  loopFreeAt_ = request.back().atMicros;
  const std::vector<TimedByte> reply = segment_->Receive(request);
  if (tap) tap(request, {}, now);
  if (reply.empty()) return;
  if (tap) Merge(lineOut_, reply);  // held only to go to the tap on time
  // A byte's time is when it has arrived; the line is busy until its last
  // character has passed, and a request sent sooner would collide.
  loopFreeAt_ = std::max(loopFreeAt_, reply.back().atMicros + kCharacterMicros);
  // What the devices sent after their preambles: noise before them is the
  // loop's, not the answer's.
  std::size_t at = 0;
  while (at < reply.size() && reply[at].value != 0xFF) ++at;
  while (at < reply.size() && reply[at].value == 0xFF) ++at;
  if (at == reply.size()) return;
  std::vector<std::uint8_t> frame;
  for (std::size_t i = at; i < reply.size() && frame.size() < hartip::kMaxFrameSize; ++i) {
    frame.push_back(reply[i].value);
  }
  Queue({lineTime ? reply.back().atMicros : now, from.id, pdu.header.sequence, std::move(frame)});
}

void HartIpServer::Route(Session& from, const hartip::Pdu& pdu) {
  const std::uint64_t now = Now();
  if (tap) tap(OnTheLine(pdu.body, now), {}, now);
  auto reply = gateway_->Handle(pdu.body, now);
  if (!reply) return;
  Queue({reply->dueMicros, from.id, pdu.header.sequence, std::move(reply->frame)});
}

void HartIpServer::Queue(Response response) {
  // Answers come due in their own order, not in the order asked.
  const auto at =
      std::upper_bound(responses_.begin(), responses_.end(), response.dueMicros,
                       [](std::uint64_t due, const Response& r) { return due < r.dueMicros; });
  responses_.insert(at, std::move(response));
}

void HartIpServer::Advance() {
  if (faults.restartAtMicros && !restarted_ && Now() >= *faults.restartAtMicros) {
    Restart("at " + std::to_string(*faults.restartAtMicros / 1000) + " ms");
  }
  SendDue();
  Expire();
}

void HartIpServer::SendDue() {
  const std::uint64_t now = Now();
  while (!responses_.empty() && responses_.front().dueMicros <= now) {
    const Response r = std::move(responses_.front());
    responses_.pop_front();
    auto it = std::find_if(sessions_.begin(), sessions_.end(),
                           [&](const auto& s) { return s->id == r.session && s->open; });
    if (it == sessions_.end()) continue;  // the host left meanwhile
    if (tap && gateway_ != nullptr) tap({}, OnTheLine(r.frame, now), now);
    Reply(**it, hartip::kTypeResponse, hartip::kTokenPassingPdu, hartip::kStatusSuccess, r.sequence,
          r.frame);
  }
}

void HartIpServer::Expire() {
  const std::uint64_t now = Now();
  std::erase_if(sessions_, [&](const auto& s) {
    if (!s->forgotten && now < s->lastHeard + s->timerMs * 1000ull) return false;
    if (s->open) Log("hart-ip: session " + std::to_string(s->id) + " timed out");
    ForgetProtection(*s);
    if (s->fd >= 0) ::close(s->fd);
    return true;
  });
}

void HartIpServer::ForgetProtection(const Session& s) {
  // A descriptor number comes back with the next connection accepted.
  if (secure_) {
    secure_->Forget(s.fd >= 0 ? SecureServer::StreamPeer(s.fd)
                              : SecureServer::DatagramPeer(s.peer, s.peerLength));
  }
}

void HartIpServer::Transmit(const Session& to, std::span<const std::uint8_t> message) {
  if (sent) sent(to.peer, message);
  if (to.fd < 0) {
    if (to.udpFd >= 0) {
      ::sendto(to.udpFd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&to.peer), to.peerLength);
    }
    return;
  }
  // A host that does not read its answers loses its connection rather than
  // stall the server for everyone else; half a message would leave it
  // reading garbage.
  const ssize_t n = ::send(to.fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n != static_cast<ssize_t>(message.size())) ::shutdown(to.fd, SHUT_RDWR);
}

void HartIpServer::Reply(const Session& to, std::uint8_t messageType, std::uint8_t messageId,
                         std::uint8_t status, std::uint16_t sequence,
                         std::span<const std::uint8_t> body) {
  auto message = hartip::Encode(messageType, messageId, status, sequence, body, version_);
  if (secure_) {
    message = secure_->Seal(to.fd < 0 ? SecureServer::DatagramPeer(to.peer, to.peerLength)
                                      : SecureServer::StreamPeer(to.fd),
                            message);
    if (message.empty()) return;
  }
  Transmit(to, message);
}

}  // namespace sim
