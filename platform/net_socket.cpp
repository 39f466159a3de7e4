#include "platform/net_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "platform/services.h"

namespace platform {

namespace {

using Steady = std::chrono::steady_clock;

// A wait sleeps through the installed clock this long at a time, as the
// serial link does between its own reads of a modem.
constexpr std::uint32_t kWaitSliceMs = 5;
// A name server that has not answered in this long will not.
constexpr std::uint32_t kLookUpMs = 10'000;
// A stream send waits this long for room before it gives up.
constexpr int kSendMs = 1000;
// Queued ICMP reports taken off at a time.
constexpr int kErrorDrainLimit = 64;

bool Ready(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) > 0;
}

class SlicedWait final : public NetworkWait {
 public:
  std::uint32_t NowMs() override {
    // Truncation to 32 bits is the wrap every caller is written for.
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now().time_since_epoch())
            .count());
  }
  void Wait(int fd, short events, std::uint32_t ms) override {
    const std::uint32_t start = NowMs();
    for (;;) {
      if (fd >= 0 && Ready(fd, events, 0)) return;
      const std::uint32_t left = WaitLeft(*this, start, ms);
      if (left == 0) return;
      const std::uint32_t slice = std::min(left, kWaitSliceMs);
      const std::uint32_t before = NowMs();
      // The clock of a program with a window paints it while it sleeps. One
      // that sleeps less than asked (a test's virtual clock) leaves the rest
      // of the slice to the socket.
      Sleep(slice);
      const std::uint32_t slept = NowMs() - before;
      if (slept < slice) Ready(fd, events, static_cast<int>(slice - slept));
    }
  }
};

const sockaddr* AsSockaddr(const std::array<std::uint8_t, 128>& bytes) {
  return reinterpret_cast<const sockaddr*>(bytes.data());
}

}  // namespace

NetworkWait& ServingWait() {
  static SlicedWait wait;
  return wait;
}

std::uint32_t WaitLeft(NetworkWait& wait, std::uint32_t start, std::uint32_t span) {
  const std::uint32_t gone = wait.NowMs() - start;
  return gone >= span ? 0 : span - gone;
}

NetAddress NetAddress::Numeric(std::string_view ip, std::uint16_t port) {
  NetAddress a;
  const std::string text(ip);
  sockaddr_in four{};
  sockaddr_in6 six{};
  if (::inet_pton(AF_INET, text.c_str(), &four.sin_addr) == 1) {
    four.sin_family = AF_INET;
    four.sin_port = htons(port);
    std::memcpy(a.bytes_.data(), &four, sizeof four);
    a.length_ = sizeof four;
  } else if (::inet_pton(AF_INET6, text.c_str(), &six.sin6_addr) == 1) {
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    std::memcpy(a.bytes_.data(), &six, sizeof six);
    a.length_ = sizeof six;
  }
  return a;
}

bool NetAddress::SameHost(const NetAddress& other) const {
  if (length_ == 0 || other.length_ == 0) return false;
  const int family = AsSockaddr(bytes_)->sa_family;
  if (family != AsSockaddr(other.bytes_)->sa_family) return false;
  if (family == AF_INET) {
    sockaddr_in a{}, b{};
    std::memcpy(&a, bytes_.data(), sizeof a);
    std::memcpy(&b, other.bytes_.data(), sizeof b);
    return a.sin_addr.s_addr == b.sin_addr.s_addr;
  }
  sockaddr_in6 a{}, b{};
  std::memcpy(&a, bytes_.data(), sizeof a);
  std::memcpy(&b, other.bytes_.data(), sizeof b);
  return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
         a.sin6_scope_id == b.sin6_scope_id;
}

Error Resolve(const std::string& host, const std::string& port, bool stream, NetworkWait& wait,
              std::vector<NetAddress>& addresses, std::string& advice) {
  struct LookUp {
    std::string host;
    std::string port;
    bool stream = false;
    int result = EAI_SYSTEM;
    std::vector<NetAddress> found;
    std::atomic<bool> done{false};
    int event = -1;  // written once the look-up is done
    ~LookUp() {
      if (event >= 0) ::close(event);
    }
    void Run(int flags) {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
      hints.ai_flags = AI_NUMERICSERV | flags;
      addrinfo* list = nullptr;
      result = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
      for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        NetAddress address;
        if (a->ai_addrlen > address.bytes_.size()) continue;
        std::memcpy(address.bytes_.data(), a->ai_addr, a->ai_addrlen);
        address.length_ = a->ai_addrlen;
        found.push_back(address);
      }
      if (list != nullptr) ::freeaddrinfo(list);
      done.store(true, std::memory_order_release);
      if (event >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(event, &one, sizeof one);
      }
    }
  };
  // The thread may outlive a wait that gave up: it owns the record too.
  auto lookUp = std::make_shared<LookUp>();
  lookUp->host = host;
  lookUp->port = port;
  lookUp->stream = stream;
  lookUp->Run(AI_NUMERICHOST);
  if (lookUp->result == EAI_NONAME) {
    lookUp->done = false;
    lookUp->found.clear();
    lookUp->event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    try {
      std::thread([lookUp] { lookUp->Run(0); }).detach();
    } catch (const std::system_error&) {
      lookUp->Run(0);  // no thread to be had: look up here
    }
    const std::uint32_t start = wait.NowMs();
    while (!lookUp->done.load(std::memory_order_acquire)) {
      const std::uint32_t left = WaitLeft(wait, start, kLookUpMs);
      if (left == 0) {
        advice = host + " could not be resolved within " + std::to_string(kLookUpMs / 1000) +
                 " s: the name server does not answer. Give the gateway's IP address.";
        return kErrorTimeout;
      }
      wait.Wait(lookUp->event, POLLIN, left);
    }
  }
  if (lookUp->result != 0 || lookUp->found.empty()) {
    advice = host + " could not be resolved (" + ::gai_strerror(lookUp->result) +
             "). Check the gateway's name, or give its IP address.";
    return kErrorFileNotFound;
  }
  addresses = std::move(lookUp->found);
  return kErrorSuccess;
}

NetSocket::~NetSocket() {
  ::close(fd_);
}

Error NetSocket::Open(const NetAddress& to, bool stream, NetworkWait& wait, std::uint32_t connectMs,
                      std::unique_ptr<NetSocket>& socket, int& err) {
  socket.reset();
  err = 0;
  const int family = AsSockaddr(to.bytes_)->sa_family;
  const int fd =
      ::socket(family, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    err = errno;
    return FromErrno(err);
  }
  std::unique_ptr<NetSocket> opened(new NetSocket(fd, stream));
  const int on = 1;
  if (!stream) {
    // An unconnected socket hears no ICMP "unreachable" unless asked.
    if (family == AF_INET6) {
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
      ::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    socket = std::move(opened);
    return kErrorSuccess;
  }
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (::connect(fd, AsSockaddr(to.bytes_), to.length_) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      const std::uint32_t start = wait.NowMs();
      while (!Ready(fd, POLLOUT, 0) && WaitLeft(wait, start, connectMs) > 0) {
        wait.Wait(fd, POLLOUT, WaitLeft(wait, start, connectMs));
      }
      socklen_t len = sizeof err;
      if (!Ready(fd, POLLOUT, 0)) {
        err = ETIMEDOUT;
      } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
      }
    }
  }
  if (err != 0) return err == ETIMEDOUT ? kErrorTimeout : kErrorFileNotFound;
  socket = std::move(opened);
  return kErrorSuccess;
}

NetResult NetSocket::Send(std::span<const std::uint8_t> bytes, const NetAddress* to) {
  std::size_t sent = 0;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(kSendMs);
  while (sent < bytes.size()) {
    const ssize_t n =
        ::sendto(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT,
                 to ? AsSockaddr(to->bytes_) : nullptr, to ? to->length_ : 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      // A datagram goes whole or not at all.
      if (!stream_) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
      if (left.count() > 0) {
        Ready(fd_, POLLOUT, static_cast<int>(left.count()));
        continue;
      }
      return sent == 0 ? NetResult::kTimeout : NetResult::kCutOff;
    }
    if (stream_ && (errno == EPIPE || errno == ECONNRESET)) return NetResult::kClosed;
    if (!stream_ && (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH)) {
      return NetResult::kRefused;
    }
    return NetResult::kFailed;
  }
  return NetResult::kOk;
}

NetResult NetSocket::Receive(std::span<std::uint8_t> buffer, std::size_t& size, NetAddress* from) {
  size = 0;
  NetAddress source;
  socklen_t sourceLength = source.bytes_.size();
  const ssize_t n =
      ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | (stream_ ? 0 : MSG_TRUNC),
                 reinterpret_cast<sockaddr*>(source.bytes_.data()), &sourceLength);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return NetResult::kNothing;
    if (stream_) return NetResult::kClosed;
    // An ICMP "unreachable" for an earlier datagram. The socket asked for
    // these (IP_RECVERR), so each is also queued: taken off here, or poll
    // would report it for ever.
    std::array<std::uint8_t, 64> control;
    for (int i = 0; i < kErrorDrainLimit; ++i) {
      msghdr message{};
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      if (::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    }
    return NetResult::kRefused;
  }
  if (stream_ && n == 0) return NetResult::kClosed;
  size = static_cast<std::size_t>(n);
  if (from != nullptr && !stream_) {
    source.length_ = sourceLength;
    *from = source;
  }
  return NetResult::kOk;
}

Error NetSocket::Connect(const NetAddress& peer) {
  if (::connect(fd_, AsSockaddr(peer.bytes_), peer.length_) != 0) return FromErrno(errno);
  return kErrorSuccess;
}

void NetSocket::AwaitInput(NetworkWait& wait, std::uint32_t ms) {
  wait.Wait(fd_, POLLIN, ms);
}

void NetSocket::Shutdown() {
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace platform
