#include "platform/hart_ip_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "hartip/pdu.h"
#include "platform/services.h"

namespace platform {

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::string_view kUdpScheme = "hart-ip://";
constexpr std::string_view kTcpScheme = "hart-ip+tcp://";

// Asked for in Session Initiate; the gateway may choose another value, and
// the one it answers with is kept alive.
constexpr std::uint32_t kSessionTimerMs = 60'000;
// A gateway on the same plant network answers a connect and a session
// message (Initiate, Keep-Alive) in milliseconds; past these it is not there.
constexpr std::uint32_t kConnectMs = 3000;
constexpr std::uint32_t kSessionAnswerMs = 3000;
// A name server that has not answered in this long will not.
constexpr std::uint32_t kLookUpMs = 10'000;
// A TCP send waits this long for room before the write fails as timed out.
constexpr int kSendMs = 1000;
// The preambles put in front of a response's frame, as a field device's
// reply arrives through a modem.
constexpr std::size_t kResponsePreambles = 5;
// HART's slave time-out: a device starts its reply within 28 characters.
constexpr std::uint32_t kSlaveTimeoutChars = 28;
// 20 preambles, delimiter, 5 address bytes, command, byte count, 255 data
// bytes, checksum.
constexpr std::uint32_t kLongestReplyChars = 20 + 1 + 5 + 1 + 1 + 255 + 1;
// A look at the socket without waiting takes at most this many datagrams,
// so that a flood cannot hold a read or a purge.
constexpr int kDrainLimit = 64;
// A wait sleeps through the installed clock this long at a time, as the
// link does between its own reads of a modem.
constexpr std::uint32_t kWaitSliceMs = 5;

HartIpSettings& Settings() {
  static HartIpSettings settings;
  return settings;
}

// What is left of `span` ms begun at `start`; unsigned differences survive
// the tick's wrap.
std::uint32_t Left(NetworkWait& wait, std::uint32_t start, std::uint32_t span) {
  const std::uint32_t gone = wait.NowMs() - start;
  return gone >= span ? 0 : span - gone;
}

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
      const std::uint32_t left = Left(*this, start, ms);
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

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char p, char t) {
           return std::tolower(static_cast<unsigned char>(t)) == p;
         });
}

bool ValidPort(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  const long value = std::stol(std::string(port));
  return value >= 1 && value <= 65535;
}

bool ValidHost(std::string_view host) {
  return !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
    return c == '/' || c == '@' || c == '[' || c == ']' ||
           std::isspace(static_cast<unsigned char>(c)) ||
           std::iscntrl(static_cast<unsigned char>(c));
  });
}

std::string Where(const HartIpAddress& a) {
  const bool v6 = a.host.find(':') != std::string::npos;
  return (v6 ? "[" + a.host + "]" : a.host) + ":" + a.port + (a.tcp ? " (TCP)" : " (UDP)");
}

// Whether a datagram from `from` comes from the gateway's host, whatever
// its port: a gateway may serve the session from a port of its own.
bool SameHost(const sockaddr_storage& from, const sockaddr_storage& gateway) {
  if (from.ss_family != gateway.ss_family) return false;
  if (from.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(from).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(gateway).sin_addr.s_addr;
  }
  if (from.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(from);
    const auto& b = reinterpret_cast<const sockaddr_in6&>(gateway);
    return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
           a.sin6_scope_id == b.sin6_scope_id;
  }
  return false;
}

// The statuses a gateway refuses a session with, and what they mean to the
// operator.
struct Refusal {
  std::uint8_t status;
  Error error;
  const char* says;
};
constexpr Refusal kRefusals[] = {
    {hartip::kStatusInvalidSelection, kErrorGenFailure,
     " does not serve this host type (invalid selection)"},
    {hartip::kStatusTooFewBytes, kErrorGenFailure, " found the session request too short"},
    {hartip::kStatusVersionNotSupported, kErrorGenFailure,
     " does not speak HART-IP version 1 (version not supported)"},
    {hartip::kStatusSessionsInUse, kErrorSharingViolation,
     " has no free session: other programs hold all it serves. Close one of them, or wait for "
     "the gateway to drop an idle session, then try again"},
    {hartip::kStatusSessionExists, kErrorSharingViolation,
     " already holds a session for this computer (session exists). Close the other program, "
     "or wait for the gateway's inactivity timer to drop it, then try again"},
};

enum class Got { kPdu, kNothing, kRefused, kHangUp };

class HartIpDevice final : public SerialDevice {
 public:
  HartIpDevice(std::vector<HartIpEndpoint> endpoints, bool tcp, const HartIpSettings& settings,
               NetworkWait& wait, std::string where)
      : endpoints_(std::move(endpoints)),
        tcp_(tcp),
        settings_(settings),
        wait_(wait),
        where_(std::move(where)) {}
  ~HartIpDevice() override;

  // A session at the first address that answers, from `first` on.
  Error Open(std::size_t first, std::string& advice);

  Error SetQueueSizes(std::uint32_t, std::uint32_t) override { return kErrorSuccess; }
  Error SetEventMask(std::uint32_t) override { return kErrorSuccess; }
  Error GetSettings(LineSettings& settings) override {
    settings = line_;
    return kErrorSuccess;
  }
  Error SetSettings(const LineSettings& settings) override {
    line_ = settings;
    return kErrorSuccess;
  }
  Error GetTimeouts(Timeouts& timeouts) override {
    timeouts = timeouts_;
    return kErrorSuccess;
  }
  Error SetTimeouts(const Timeouts& timeouts) override {
    timeouts_ = timeouts;
    return kErrorSuccess;
  }
  Error Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) override;
  Error Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) override;
  Error Purge(std::uint32_t flags) override;
  Error ClearErrors(std::uint32_t& errors) override {
    errors = 0;
    return kErrorSuccess;
  }

 private:
  // A new socket (TCP: connected) for `to`, and Session Initiate over it.
  // `answered` tells whether the gateway answered at all.
  Error OpenAt(const HartIpEndpoint& to, std::string& advice, bool& answered);
  Error Initiate(const HartIpEndpoint& to, std::string& advice, bool& answered);
  void CloseSocket();
  void StartKeeper();
  void StopKeeper();
  // After a sign that the gateway no longer holds the session: a new one.
  Error Renew();
  // A keep-alive in the caller's turn: whether the gateway still knows us.
  bool SessionAnswers();
  // A keep-alive the keeper sent and nobody has seen answered.
  bool KeeperUnanswered();

  Error Send(std::uint8_t messageId, std::span<const std::uint8_t> body, std::uint16_t& sequence);
  Error SendLocked(std::uint8_t messageId, std::span<const std::uint8_t> body,
                   std::uint16_t& sequence, const HartIpEndpoint* to = nullptr);
  Got ReceiveOne(hartip::Pdu& pdu, sockaddr_storage* from);
  // Takes what has arrived; with `done`, then waits up to `ms` until it holds.
  void Pump(std::uint32_t ms, const std::function<bool()>& done);
  void Dispatch(const hartip::Pdu& pdu);
  void Take(const hartip::Pdu& pdu);
  void KeepAlive();

  const std::vector<HartIpEndpoint> endpoints_;
  const bool tcp_;
  const HartIpSettings settings_;
  NetworkWait& wait_;
  const std::string where_;
  std::size_t at_ = 0;  // the endpoint that serves the session
  int fd_ = -1;
  std::atomic<bool> hungUp_{false};
  // The gateway restarted, closed the session or its port is unreachable:
  // the next request goes to a new session. Set by the keeper too.
  std::atomic<bool> lost_{false};
  // The last request had no answer: a silent device, or a gateway that no
  // longer knows the session. A keep-alive tells which.
  bool unanswered_ = false;

  // The send side is shared with the keep-alive thread.
  std::mutex sendMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::uint16_t sequence_ = 0;
  Steady::time_point lastSent_ = Steady::now();
  std::uint32_t timerMs_ = kSessionTimerMs;
  std::optional<std::uint16_t> keeperSent_;  // its oldest unanswered keep-alive
  std::uint32_t keeperSentAt_ = 0;           // NowMs
  std::thread keeper_;

  // The read side belongs to the caller's thread alone.
  std::optional<std::uint16_t> awaiting_;
  std::optional<std::uint16_t> probe_;
  std::uint32_t sentAt_ = 0;
  std::uint32_t waitMs_ = 0;
  std::vector<std::uint8_t> rx_;
  std::size_t rxAt_ = 0;
  hartip::StreamReader stream_;

  LineSettings line_;
  Timeouts timeouts_;
};

HartIpDevice::~HartIpDevice() {
  const bool open = keeper_.joinable();
  StopKeeper();
  // The gateway frees the session at once instead of after its timer.
  std::uint16_t sequence = 0;
  if (open && !hungUp_ && !lost_) Send(hartip::kSessionClose, {}, sequence);
  CloseSocket();
}

void HartIpDevice::CloseSocket() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  fd_ = -1;
  stream_ = hartip::StreamReader();
}

void HartIpDevice::StartKeeper() {
  stopping_ = false;
  keeper_ = std::thread([this] { KeepAlive(); });
}

void HartIpDevice::StopKeeper() {
  if (!keeper_.joinable()) return;
  {
    std::lock_guard lock(sendMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  keeper_.join();
}

Error HartIpDevice::Send(std::uint8_t messageId, std::span<const std::uint8_t> body,
                         std::uint16_t& sequence) {
  std::lock_guard lock(sendMutex_);
  return SendLocked(messageId, body, sequence);
}

Error HartIpDevice::SendLocked(std::uint8_t messageId, std::span<const std::uint8_t> body,
                               std::uint16_t& sequence, const HartIpEndpoint* to) {
  if (hungUp_) return kErrorDeviceNotConnected;
  sequence = sequence_++;
  const auto message =
      hartip::Encode(hartip::kTypeRequest, messageId, hartip::kStatusSuccess, sequence, body);
  std::size_t sent = 0;
  const Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(kSendMs);
  while (sent < message.size()) {
    const sockaddr* address = to ? reinterpret_cast<const sockaddr*>(&to->address) : nullptr;
    const ssize_t n = ::sendto(fd_, message.data() + sent, message.size() - sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT, address, to ? to->length : 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      // A datagram goes whole or not at all.
      if (!tcp_) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now());
      if (left.count() > 0) {
        Ready(fd_, POLLOUT, static_cast<int>(left.count()));
        continue;
      }
      if (sent == 0) return kErrorTimeout;
      // Half a message on the stream: the gateway would read the next
      // request's header inside this one's body. The connection is lost.
      hungUp_ = true;
      ::shutdown(fd_, SHUT_RDWR);
      return kErrorDeviceNotConnected;
    }
    if (tcp_ && (errno == EPIPE || errno == ECONNRESET)) {
      hungUp_ = true;
      return kErrorDeviceNotConnected;
    }
    // UDP: an ICMP "unreachable" for an earlier datagram, reported here.
    if (!tcp_ && (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH)) {
      lost_ = true;
      return kErrorFileNotFound;
    }
    return FromErrno(errno);
  }
  lastSent_ = Steady::now();
  return kErrorSuccess;
}

Got HartIpDevice::ReceiveOne(hartip::Pdu& pdu, sockaddr_storage* from) {
  if (tcp_ && stream_.Next(pdu) == hartip::ReadResult::kComplete) return Got::kPdu;
  // One byte more than the longest message: a datagram that fills it was
  // longer, and MSG_TRUNC reports its real size.
  std::array<std::uint8_t, hartip::kMaxPduSize + 1> buffer;
  sockaddr_storage source{};
  socklen_t sourceLength = sizeof source;
  const ssize_t n =
      ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | (tcp_ ? 0 : MSG_TRUNC),
                 reinterpret_cast<sockaddr*>(&source), &sourceLength);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Got::kNothing;
    if (tcp_) {
      hungUp_ = true;
      return Got::kHangUp;
    }
    // UDP: an ICMP "unreachable" for an earlier datagram. The socket asks
    // for these also while unconnected (IP_RECVERR), and queues each one:
    // taken off here, or poll would report it for ever.
    std::array<std::uint8_t, 64> control;
    for (int i = 0; i < kDrainLimit; ++i) {
      msghdr message{};
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      if (::recvmsg(fd_, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) break;
    }
    return Got::kRefused;
  }
  if (!tcp_) {
    const auto size = static_cast<std::size_t>(n);
    if (size > hartip::kMaxPduSize) return Got::kNothing;
    if (from != nullptr) *from = source;
    return hartip::ReadDatagram({buffer.data(), size}, pdu) ? Got::kPdu : Got::kNothing;
  }
  if (n == 0) {
    hungUp_ = true;
    return Got::kHangUp;
  }
  stream_.Feed({buffer.data(), static_cast<std::size_t>(n)});
  switch (stream_.Next(pdu)) {
    case hartip::ReadResult::kComplete:
      return Got::kPdu;
    case hartip::ReadResult::kNeedMore:
      return Got::kNothing;
    case hartip::ReadResult::kMalformed:
      break;
  }
  // A byte count that lies leaves no way to find the next header: the
  // connection is of no more use.
  hungUp_ = true;
  ::shutdown(fd_, SHUT_RDWR);
  return Got::kHangUp;
}

Error HartIpDevice::Open(std::size_t first, std::string& advice) {
  Error e = kErrorFileNotFound;
  for (std::size_t i = first; i < endpoints_.size(); ++i) {
    bool answered = false;
    e = OpenAt(endpoints_[i], advice, answered);
    if (e == kErrorSuccess) {
      at_ = i;
      StartKeeper();
      return e;
    }
    // An address that answered has said no: the others are the same gateway.
    if (answered) return e;
  }
  if (endpoints_.size() > 1) {
    advice += " (" + std::to_string(endpoints_.size()) + " addresses tried)";
  }
  return e;
}

Error HartIpDevice::OpenAt(const HartIpEndpoint& to, std::string& advice, bool& answered) {
  CloseSocket();
  hungUp_ = false;
  lost_ = false;
  const int family = to.address.ss_family;
  fd_ = ::socket(family, (tcp_ ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    advice = "No socket for " + where_ + ": " + std::strerror(errno) + ".";
    return FromErrno(errno);
  }
  if (!tcp_) {
    // Over UDP the request goes from an unconnected socket, which hears no
    // ICMP "unreachable" unless asked.
    const int on = 1;
    if (family == AF_INET6) {
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    } else {
      ::setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    return Initiate(to, advice, answered);
  }
  // Small messages each awaited: a keep-alive and the request after it are
  // not to wait for the gateway's delayed ACK.
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  int err = 0;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to.address), to.length) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      const std::uint32_t start = wait_.NowMs();
      while (!Ready(fd_, POLLOUT, 0) && Left(wait_, start, kConnectMs) > 0) {
        wait_.Wait(fd_, POLLOUT, Left(wait_, start, kConnectMs));
      }
      socklen_t len = sizeof err;
      if (!Ready(fd_, POLLOUT, 0)) {
        err = ETIMEDOUT;
      } else if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
      }
    }
  }
  if (err != 0) {
    advice = "No HART-IP gateway answers at " + where_ + ": " + std::strerror(err) +
             ". Check the address and port, and that the gateway is on.";
    return err == ETIMEDOUT ? kErrorTimeout : kErrorFileNotFound;
  }
  return Initiate(to, advice, answered);
}

Error HartIpDevice::Initiate(const HartIpEndpoint& to, std::string& advice, bool& answered) {
  std::uint16_t sequence = 0;
  const auto body = hartip::SessionInitiateBody(
      settings_.secondaryHost ? hartip::kSecondaryHost : hartip::kPrimaryHost, kSessionTimerMs);
  Error e = kErrorSuccess;
  {
    std::lock_guard lock(sendMutex_);
    e = SendLocked(hartip::kSessionInitiate, body, sequence, tcp_ ? nullptr : &to);
  }
  if (e != kErrorSuccess) {
    advice = "The session request to " + where_ + " could not be sent (error " +
             std::to_string(ErrorNumber(e)) + ").";
    return e;
  }
  const std::uint32_t start = wait_.NowMs();
  hartip::Pdu pdu;
  sockaddr_storage from{};
  for (;;) {
    const Got got = ReceiveOne(pdu, &from);
    if (got == Got::kHangUp) {
      advice = where_ + " closed the connection instead of opening a session.";
      return kErrorDeviceNotConnected;
    }
    if (got == Got::kRefused) {
      advice = "Nothing serves HART-IP at " + where_ +
               ". Check the address and port, and that the gateway is on.";
      return kErrorFileNotFound;
    }
    if (got == Got::kPdu && (tcp_ || SameHost(from, to.address)) &&
        pdu.header.messageId == hartip::kSessionInitiate && pdu.header.sequence == sequence &&
        pdu.header.messageType != hartip::kTypeRequest) {
      break;
    }
    if (got != Got::kNothing) continue;
    const std::uint32_t left = Left(wait_, start, kSessionAnswerMs);
    if (left == 0) {
      advice = where_ + " did not answer the session request within " +
               std::to_string(kSessionAnswerMs / 1000) +
               " s. Check the gateway's address and port, that it serves HART-IP over " +
               (tcp_ ? "TCP (hart-ip+tcp://)" : "UDP (hart-ip://)") +
               ", and that it does not serve only secure HART-IP (version 2, over TLS or DTLS).";
      return kErrorTimeout;
    }
    wait_.Wait(fd_, POLLIN, left);
  }
  answered = true;
  const hartip::Header& h = pdu.header;
  if (h.version != hartip::kVersion) {
    advice = where_ + " answered in HART-IP version " + std::to_string(h.version) +
             (h.version == 2 ? " (secure HART-IP, over TLS or DTLS)" : "") +
             "; Veltrop speaks version 1.";
    return kErrorGenFailure;
  }
  if (h.messageType != hartip::kTypeResponse ||
      (h.status != hartip::kStatusSuccess && h.status != hartip::kStatusTimerAdjusted)) {
    const auto* r = std::find_if(std::begin(kRefusals), std::end(kRefusals),
                                 [&](const Refusal& x) { return x.status == h.status; });
    const std::string code = " (HART-IP status " + std::to_string(h.status) + ").";
    if (r == std::end(kRefusals)) {
      advice = where_ + " refused the session" + code;
      return kErrorGenFailure;
    }
    advice = where_ + r->says + code;
    return r->error;
  }
  // From here on the session's port only: the kernel drops datagrams from
  // anywhere else and reports its ICMP "unreachable".
  if (!tcp_ && ::connect(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
    advice = "The session with " + where_ + " could not be set up: " + std::strerror(errno) + ".";
    return FromErrno(errno);
  }
  std::uint8_t host = 0;
  std::uint32_t timer = 0;
  timerMs_ = kSessionTimerMs;
  if (hartip::ReadSessionInitiateBody(pdu.body, host, timer) && timer != 0) timerMs_ = timer;
  return kErrorSuccess;
}

Error HartIpDevice::Renew() {
  StopKeeper();
  awaiting_.reset();
  probe_.reset();
  unanswered_ = false;
  {
    std::lock_guard lock(sendMutex_);
    keeperSent_.reset();
  }
  std::string advice;
  // The address that served first: a restarted gateway is still there.
  Error e = Open(at_, advice);
  if (e != kErrorSuccess && at_ > 0) e = Open(0, advice);
  if (e != kErrorSuccess) lost_ = true;
  return e;
}

bool HartIpDevice::SessionAnswers() {
  std::uint16_t sequence = 0;
  if (Send(hartip::kKeepAlive, {}, sequence) != kErrorSuccess) return false;
  probe_ = sequence;
  Pump(kSessionAnswerMs, [this] { return !probe_ || lost_ || hungUp_; });
  const bool answered = !probe_;
  probe_.reset();
  return answered && !lost_;
}

bool HartIpDevice::KeeperUnanswered() {
  std::lock_guard lock(sendMutex_);
  return keeperSent_ && wait_.NowMs() - keeperSentAt_ >= kSessionAnswerMs;
}

void HartIpDevice::KeepAlive() {
  // Well inside the gateway's timer, so that one lost keep-alive datagram
  // does not cost the session.
  const auto interval = std::chrono::milliseconds(std::max<std::uint32_t>(timerMs_ / 3, 100));
  std::unique_lock lock(sendMutex_);
  while (!stopping_) {
    wake_.wait_until(lock, lastSent_ + interval, [this] { return stopping_; });
    if (stopping_) break;
    if (Steady::now() - lastSent_ < interval) continue;
    std::uint16_t sequence = 0;
    // The answer is read on the caller's side with everything else; one
    // not seen by the next request means the session is gone.
    if (SendLocked(hartip::kKeepAlive, {}, sequence) != kErrorSuccess) {
      lastSent_ = Steady::now();
    } else if (!keeperSent_) {
      keeperSent_ = sequence;
      keeperSentAt_ = wait_.NowMs();
    }
  }
}

void HartIpDevice::Dispatch(const hartip::Pdu& pdu) {
  const hartip::Header& h = pdu.header;
  if (h.version != hartip::kVersion) return;
  // An Error message: the gateway cannot serve this host as it stands,
  // typically after a restart that forgot the session.
  if (h.messageType == hartip::kTypeError) {
    lost_ = true;
    return;
  }
  if (h.messageType == hartip::kTypeRequest) {
    if (h.messageId == hartip::kSessionClose) lost_ = true;  // the gateway closes it
    return;
  }
  if (h.messageId == hartip::kKeepAlive && h.messageType == hartip::kTypeResponse) {
    if (probe_ && h.sequence == *probe_) {
      probe_.reset();
    } else {
      std::lock_guard lock(sendMutex_);
      if (!keeperSent_ || h.sequence != *keeperSent_) return;
      keeperSent_.reset();
    }
    if (h.status != hartip::kStatusSuccess) lost_ = true;
    return;
  }
  if (h.messageId == hartip::kTokenPassingPdu) Take(pdu);
}

void HartIpDevice::Take(const hartip::Pdu& pdu) {
  const hartip::Header& h = pdu.header;
  if (!awaiting_ || h.sequence != *awaiting_ || h.messageType == hartip::kTypePublish) {
    return;  // burst publications, late answers
  }
  awaiting_.reset();
  // An error status or a NAK ends the wait with nothing read.
  if (h.messageType != hartip::kTypeResponse || h.status != hartip::kStatusSuccess ||
      pdu.body.empty() || pdu.body.size() > hartip::kMaxFrameSize) {
    return;
  }
  rx_.assign(kResponsePreambles, 0xFF);
  rx_.insert(rx_.end(), pdu.body.begin(), pdu.body.end());
  rxAt_ = 0;
}

void HartIpDevice::Pump(std::uint32_t ms, const std::function<bool()>& done) {
  const std::uint32_t start = wait_.NowMs();
  hartip::Pdu pdu;
  for (;;) {
    for (int looked = 0; looked < kDrainLimit && !hungUp_; ++looked) {
      const Got got = ReceiveOne(pdu, nullptr);
      if (got == Got::kNothing) break;
      if (got == Got::kRefused) lost_ = true;
      if (got == Got::kPdu) Dispatch(pdu);
      if (done && done()) return;
    }
    if (!done || hungUp_) return;
    const std::uint32_t left = Left(wait_, start, ms);
    if (left == 0) return;
    wait_.Wait(fd_, POLLIN, left);
  }
}

Error HartIpDevice::Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) {
  written = 0;
  if (hungUp_) return kErrorDeviceNotConnected;
  if (length == 0) return kErrorSuccess;
  if (data == nullptr) return kErrorInvalidParameter;
  // The gateway puts its own preambles on its loop.
  std::uint32_t start = 0;
  while (start < length && data[start] == 0xFF) ++start;
  const std::span<const std::uint8_t> frame(data + start, length - start);
  if (frame.empty() || frame.size() > hartip::kMaxFrameSize) return kErrorInvalidParameter;
  rx_.clear();
  rxAt_ = 0;
  awaiting_.reset();
  // What came since the last request may say the session is gone: then a
  // new one first, so that this request is not lost too.
  Pump(0, nullptr);
  if (KeeperUnanswered()) lost_ = true;
  if (!lost_ && unanswered_ && !SessionAnswers()) lost_ = true;
  unanswered_ = false;
  if (lost_ && !hungUp_) {
    if (const Error e = Renew(); e != kErrorSuccess) return e;
  }
  std::uint16_t sequence = 0;
  Error e = Send(hartip::kTokenPassingPdu, frame, sequence);
  // An "unreachable" waiting on the socket from before: the session's port
  // is gone, and the request never left.
  if (e == kErrorFileNotFound && lost_) {
    e = Renew();
    if (e == kErrorSuccess) e = Send(hartip::kTokenPassingPdu, frame, sequence);
  }
  if (e != kErrorSuccess) return e;
  awaiting_ = sequence;
  sentAt_ = wait_.NowMs();
  waitMs_ = settings_.responseWaitMs != 0 ? settings_.responseWaitMs : HartIpResponseWaitMs(length);
  written = length;
  return kErrorSuccess;
}

Error HartIpDevice::Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) {
  read = 0;
  if (length == 0) return kErrorSuccess;
  if (data == nullptr) return kErrorInvalidParameter;
  if (rxAt_ == rx_.size() && awaiting_) {
    Pump(Left(wait_, sentAt_, waitMs_), [this] { return !awaiting_ || lost_; });
    if (awaiting_) {
      awaiting_.reset();  // the time a loop could take is up: no reply
      unanswered_ = true;
    }
  }
  const std::size_t n = std::min<std::size_t>(length, rx_.size() - rxAt_);
  std::copy_n(rx_.begin() + static_cast<std::ptrdiff_t>(rxAt_), n, data);
  rxAt_ += n;
  read = static_cast<std::uint32_t>(n);
  if (read == 0 && hungUp_) return kErrorDeviceNotConnected;
  return kErrorSuccess;
}

Error HartIpDevice::Purge(std::uint32_t flags) {
  if (!(flags & kPurgeClearReceive)) return kErrorSuccess;
  // What is waiting was not sent in answer to the next request.
  rx_.clear();
  rxAt_ = 0;
  awaiting_.reset();
  Pump(0, nullptr);
  return kErrorSuccess;
}

// The system's resolver. A name server can take seconds; the look-up runs
// on a thread of its own while the caller's wait keeps serving its window.
// A numeric address needs no server and no thread.
Error SystemResolve(const HartIpAddress& address, NetworkWait& wait,
                    std::vector<HartIpEndpoint>& endpoints, std::string& advice) {
  struct LookUp {
    HartIpAddress address;
    int result = EAI_SYSTEM;
    std::vector<HartIpEndpoint> found;
    std::atomic<bool> done{false};
    int event = -1;  // written once the look-up is done
    ~LookUp() {
      if (event >= 0) ::close(event);
    }
    void Run(int flags) {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = address.tcp ? SOCK_STREAM : SOCK_DGRAM;
      hints.ai_flags = AI_NUMERICSERV | flags;
      addrinfo* list = nullptr;
      result = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list);
      for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        HartIpEndpoint e;
        std::memcpy(&e.address, a->ai_addr, a->ai_addrlen);
        e.length = a->ai_addrlen;
        found.push_back(e);
      }
      if (list != nullptr) ::freeaddrinfo(list);
      done.store(true, std::memory_order_release);
      const std::uint64_t one = 1;
      if (event >= 0) {
        [[maybe_unused]] const auto n = ::write(event, &one, sizeof one);
      }
    }
  };
  // The thread may outlive a wait that gave up: it owns the record too.
  auto lookUp = std::make_shared<LookUp>();
  lookUp->address = address;
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
      const std::uint32_t left = Left(wait, start, kLookUpMs);
      if (left == 0) {
        advice = address.host + " could not be resolved within " +
                 std::to_string(kLookUpMs / 1000) +
                 " s: the name server does not answer. Give the gateway's IP address.";
        return kErrorTimeout;
      }
      wait.Wait(lookUp->event, POLLIN, left);
    }
  }
  if (lookUp->result != 0 || lookUp->found.empty()) {
    advice = address.host + " could not be resolved (" + ::gai_strerror(lookUp->result) +
             "). Check the gateway's name, or give its IP address.";
    return kErrorFileNotFound;
  }
  endpoints = std::move(lookUp->found);
  return kErrorSuccess;
}

}  // namespace

bool IsHartIpName(std::string_view name) {
  return StartsWithNoCase(name, kUdpScheme) || StartsWithNoCase(name, kTcpScheme);
}

bool ParseHartIpName(std::string_view name, HartIpAddress& address) {
  HartIpAddress a;
  std::string_view rest;
  if (StartsWithNoCase(name, kTcpScheme)) {
    a.tcp = true;
    rest = name.substr(kTcpScheme.size());
  } else if (StartsWithNoCase(name, kUdpScheme)) {
    rest = name.substr(kUdpScheme.size());
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  std::string_view host = rest;
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    host = rest.substr(1, close - 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
      if (!ValidPort(port)) return false;
    }
    if (host.empty() || host.find(':') == std::string_view::npos) return false;
  } else {
    const std::size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
      // An IPv6 address needs its brackets, or its last group would pass
      // for a port.
      if (rest.find(':', colon + 1) != std::string_view::npos) return false;
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
      if (!ValidPort(port)) return false;
    }
    if (!ValidHost(host)) return false;
  }
  if (host.size() > 253) return false;
  a.host = std::string(host);
  a.port = port.empty() ? std::to_string(hartip::kHartIpPort) : std::string(port);
  address = a;
  return true;
}

std::uint32_t HartIpResponseWaitMs(std::uint32_t requestLength) {
  const std::uint64_t chars =
      std::uint64_t{requestLength} + kSlaveTimeoutChars + kLongestReplyChars;
  // 11 bits a character at 1200 baud, and the same 27 ms margin the link
  // gives a frame's transmission.
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(chars * 11 * 1000 / 1200 + 27, 60'000));
}

void SetHartIpSettings(const HartIpSettings& settings) {
  Settings() = settings;
}

NetworkWait& ServingWait() {
  static SlicedWait wait;
  return wait;
}

Error OpenHartIpDevice(std::string_view name, std::unique_ptr<SerialDevice>& device,
                       std::string& advice) {
  HartIpOptions options;
  options.settings = Settings();
  return OpenHartIpDevice(name, device, advice, options);
}

Error OpenHartIpDevice(std::string_view name, std::unique_ptr<SerialDevice>& device,
                       std::string& advice, const HartIpOptions& options) {
  device.reset();
  advice.clear();
  HartIpAddress address;
  if (!ParseHartIpName(name, address)) {
    advice = std::string(name) +
             " is not a gateway address. Write hart-ip://HOST[:PORT] (UDP) or "
             "hart-ip+tcp://HOST[:PORT] (TCP); an IPv6 address goes in brackets, "
             "hart-ip://[::1]:5094.";
    return kErrorInvalidParameter;
  }
  NetworkWait& wait = options.wait != nullptr ? *options.wait : ServingWait();
  std::vector<HartIpEndpoint> endpoints;
  const HartIpResolver& resolve = options.resolve ? options.resolve : SystemResolve;
  if (const Error e = resolve(address, wait, endpoints, advice); e != kErrorSuccess) return e;
  if (endpoints.empty()) {
    advice = address.host + " has no address to reach it at.";
    return kErrorFileNotFound;
  }
  auto opened = std::make_unique<HartIpDevice>(std::move(endpoints), address.tcp, options.settings,
                                               wait, Where(address));
  if (const Error e = opened->Open(0, advice); e != kErrorSuccess) return e;
  device = std::move(opened);
  return kErrorSuccess;
}

}  // namespace platform
