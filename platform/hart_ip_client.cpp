#include "platform/hart_ip_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "hartip/pdu.h"
#include "platform/psk_file.h"
#include "platform/secure_channel.h"

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kUdpScheme = "hart-ip://";
constexpr std::string_view kTcpScheme = "hart-ip+tcp://";
constexpr std::string_view kTlsScheme = "hart-ip+tls://";
constexpr std::string_view kDtlsScheme = "hart-ip+dtls://";

// Asked for in Session Initiate; the gateway may choose another value, and
// the one it answers with is kept alive.
constexpr std::uint32_t kSessionTimerMs = 60'000;
// A gateway on the same plant network answers a connect and a session
// request in milliseconds; past these it is not there.
constexpr int kConnectMs = 3000;
constexpr int kInitiateMs = 3000;
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

int MillisUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

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

enum class Got { kPdu, kNothing, kHangUp };

std::string& KeyFile() {
  static std::string path;
  return path;
}

class HartIpDevice final : public SerialDevice {
 public:
  HartIpDevice(int fd, bool tcp, std::unique_ptr<SecureChannel> channel = nullptr)
      : fd_(fd),
        tcp_(tcp),
        channel_(std::move(channel)),
        version_(channel_ ? hartip::kSecureVersion : hartip::kVersion) {}
  ~HartIpDevice() override;

  // Session Initiate and its answer; starts the keep-alive on success.
  Error Initiate(const std::string& where, std::string& advice);

  Error SetQueueSizes(std::uint32_t, std::uint32_t) override { return kErrorSuccess; }
  Error SetEventMask(std::uint32_t) override { return kErrorSuccess; }
  Error GetSettings(LineSettings& settings) override {
    settings = settings_;
    return kErrorSuccess;
  }
  Error SetSettings(const LineSettings& settings) override {
    settings_ = settings;
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
  std::string Protection() const override {
    return channel_ ? "HART-IP version 2 in " + channel_->Description() : std::string();
  }

 private:
  Error Send(std::uint8_t messageId, std::span<const std::uint8_t> body, std::uint16_t& sequence);
  Error SendLocked(std::uint8_t messageId, std::span<const std::uint8_t> body,
                   std::uint16_t& sequence);
  Got ReceiveOne(int waitMs, hartip::Pdu& pdu);
  Got ReceiveProtected(int waitMs, hartip::Pdu& pdu);
  // The message in a datagram, or the next one of the TCP stream, from
  // bytes in the clear.
  Got Cut(std::span<const std::uint8_t> bytes, hartip::Pdu& pdu);
  // Takes what has arrived; with `wait`, waits until the awaited response
  // has come or its time is up.
  void Pump(bool wait);
  void Take(const hartip::Pdu& pdu);
  void KeepAlive();

  const int fd_;
  const bool tcp_;
  // Set for version 2: every message goes through it, none around it.
  const std::unique_ptr<SecureChannel> channel_;
  const std::uint8_t version_;
  std::atomic<bool> hungUp_{false};
  bool refused_ = false;

  // The send side is shared with the keep-alive thread.
  std::mutex sendMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::uint16_t sequence_ = 0;
  Clock::time_point lastSent_ = Clock::now();
  std::uint32_t timerMs_ = kSessionTimerMs;
  std::thread keeper_;

  // The read side belongs to the caller's thread alone.
  std::optional<std::uint16_t> awaiting_;
  Clock::time_point deadline_{};
  std::vector<std::uint8_t> rx_;
  std::size_t rxAt_ = 0;
  hartip::StreamReader stream_;

  LineSettings settings_;
  Timeouts timeouts_;
};

HartIpDevice::~HartIpDevice() {
  if (keeper_.joinable()) {
    {
      std::lock_guard lock(sendMutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    keeper_.join();
    // The gateway frees the session at once instead of after its timer.
    std::uint16_t sequence = 0;
    if (!hungUp_) Send(hartip::kSessionClose, {}, sequence);
  }
  if (channel_ && !hungUp_) channel_->Close();
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
}

Error HartIpDevice::Send(std::uint8_t messageId, std::span<const std::uint8_t> body,
                         std::uint16_t& sequence) {
  std::lock_guard lock(sendMutex_);
  return SendLocked(messageId, body, sequence);
}

Error HartIpDevice::SendLocked(std::uint8_t messageId, std::span<const std::uint8_t> body,
                               std::uint16_t& sequence) {
  if (hungUp_) return kErrorDeviceNotConnected;
  sequence = sequence_++;
  const auto message = hartip::Encode(hartip::kTypeRequest, messageId, hartip::kStatusSuccess,
                                      sequence, body, version_);
  if (channel_) {
    if (channel_->Send(message) == SecureResult::kOk) {
      lastSent_ = Clock::now();
      return kErrorSuccess;
    }
    hungUp_ = true;  // a protected session that failed is not resumed
    return kErrorDeviceNotConnected;
  }
  std::size_t sent = 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSendMs);
  while (sent < message.size()) {
    const ssize_t n =
        ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      // A datagram goes whole or not at all.
      if (!tcp_) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int wait = MillisUntil(deadline);
      if (wait == 0) return kErrorTimeout;
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, wait);
      continue;
    }
    if (tcp_ && (errno == EPIPE || errno == ECONNRESET)) {
      hungUp_ = true;
      return kErrorDeviceNotConnected;
    }
    return FromErrno(errno);
  }
  lastSent_ = Clock::now();
  return kErrorSuccess;
}

Got HartIpDevice::ReceiveProtected(int waitMs, hartip::Pdu& pdu) {
  std::vector<std::uint8_t> plaintext;
  const SecureResult r = channel_->Receive(plaintext, static_cast<std::uint32_t>(waitMs));
  if (r != SecureResult::kOk && r != SecureResult::kPending) {
    hungUp_ = true;
    return Got::kHangUp;
  }
  if (plaintext.empty()) return Got::kNothing;
  // DTLS hands over one datagram's message at a time, TLS a piece of the
  // stream, exactly as the sockets below do in the clear.
  return Cut(plaintext, pdu);
}

Got HartIpDevice::ReceiveOne(int waitMs, hartip::Pdu& pdu) {
  if (tcp_ && stream_.Next(pdu) == hartip::ReadResult::kComplete) return Got::kPdu;
  if (channel_) return ReceiveProtected(waitMs, pdu);
  pollfd p{fd_, POLLIN, 0};
  const int r = ::poll(&p, 1, waitMs);
  if (r <= 0) return Got::kNothing;
  // One byte more than the longest message: a datagram that fills it was
  // longer, and MSG_TRUNC reports its real size.
  std::array<std::uint8_t, hartip::kMaxPduSize + 1> buffer;
  const ssize_t n =
      ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | (tcp_ ? 0 : MSG_TRUNC));
  if (n < 0) {
    if (tcp_ && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      hungUp_ = true;
      return Got::kHangUp;
    }
    // UDP: an ICMP "port unreachable" for an earlier datagram (nothing
    // listens there), or nothing at all.
    if (errno == ECONNREFUSED) refused_ = true;
    return Got::kNothing;
  }
  if (tcp_ && n == 0) {
    hungUp_ = true;
    return Got::kHangUp;
  }
  const auto size = static_cast<std::size_t>(n);
  if (!tcp_ && size > hartip::kMaxPduSize) return Got::kNothing;  // a datagram cut short
  return Cut({buffer.data(), size}, pdu);
}

Got HartIpDevice::Cut(std::span<const std::uint8_t> bytes, hartip::Pdu& pdu) {
  if (!tcp_) {
    if (bytes.size() > hartip::kMaxPduSize) return Got::kNothing;
    return hartip::ReadDatagram(bytes, pdu) ? Got::kPdu : Got::kNothing;
  }
  stream_.Feed(bytes);
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

Error HartIpDevice::Initiate(const std::string& where, std::string& advice) {
  std::uint16_t sequence = 0;
  const auto body = hartip::SessionInitiateBody(hartip::kPrimaryHost, kSessionTimerMs);
  if (const Error e = Send(hartip::kSessionInitiate, body, sequence); e != kErrorSuccess) {
    advice = "The session request to " + where + " could not be sent (error " +
             std::to_string(ErrorNumber(e)) + ").";
    return e;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kInitiateMs);
  hartip::Pdu pdu;
  for (;;) {
    const int wait = MillisUntil(deadline);
    const Got got = wait == 0 ? Got::kNothing : ReceiveOne(wait, pdu);
    if (got == Got::kHangUp) {
      advice = where + " closed the connection instead of opening a session.";
      return kErrorDeviceNotConnected;
    }
    if (refused_) {
      advice = "Nothing serves HART-IP at " + where +
               ". Check the address and port, and that the gateway is on.";
      return kErrorFileNotFound;
    }
    if (got == Got::kNothing) {
      if (MillisUntil(deadline) > 0) continue;
      advice = where + " did not answer the session request within " +
               std::to_string(kInitiateMs / 1000) +
               " s. Check the gateway's address and port, and that it serves HART-IP over " +
               (tcp_ ? "TCP (hart-ip+tcp://)." : "UDP (hart-ip://).");
      return kErrorTimeout;
    }
    if (pdu.header.messageId != hartip::kSessionInitiate || pdu.header.sequence != sequence ||
        pdu.header.messageType == hartip::kTypeRequest) {
      continue;
    }
    break;
  }
  const std::uint8_t status = pdu.header.status;
  if (pdu.header.messageType != hartip::kTypeResponse ||
      (status != hartip::kStatusSuccess && status != hartip::kStatusTimerAdjusted)) {
    if (status == hartip::kStatusSessionsInUse) {
      advice = where +
               " has no free session: other programs hold all it serves. Close one of them, or "
               "wait for the gateway to drop an idle session, then try again.";
      return kErrorSharingViolation;
    }
    if (status == hartip::kStatusVersionNotSupported) {
      advice = where + " does not speak HART-IP version 1.";
      return kErrorGenFailure;
    }
    advice = where + " refused the session (HART-IP status " + std::to_string(status) + ").";
    return kErrorGenFailure;
  }
  std::uint8_t host = 0;
  std::uint32_t timer = 0;
  if (hartip::ReadSessionInitiateBody(pdu.body, host, timer) && timer != 0) timerMs_ = timer;
  keeper_ = std::thread([this] { KeepAlive(); });
  return kErrorSuccess;
}

void HartIpDevice::KeepAlive() {
  // Well inside the gateway's timer, so that one lost keep-alive datagram
  // does not cost the session.
  const auto interval = std::chrono::milliseconds(std::max<std::uint32_t>(timerMs_ / 3, 100));
  std::unique_lock lock(sendMutex_);
  while (!stopping_) {
    wake_.wait_until(lock, lastSent_ + interval, [this] { return stopping_; });
    if (stopping_) break;
    if (Clock::now() - lastSent_ < interval) continue;
    std::uint16_t sequence = 0;
    // A failure shows at the next request; the answer is read and dropped
    // with whatever else is not awaited.
    if (SendLocked(hartip::kKeepAlive, {}, sequence) != kErrorSuccess) lastSent_ = Clock::now();
  }
}

void HartIpDevice::Take(const hartip::Pdu& pdu) {
  const hartip::Header& h = pdu.header;
  if (h.version != version_ || h.messageId != hartip::kTokenPassingPdu || !awaiting_ ||
      h.sequence != *awaiting_ || h.messageType == hartip::kTypeRequest ||
      h.messageType == hartip::kTypePublish) {
    return;  // keep-alive answers, burst publications, late answers
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

void HartIpDevice::Pump(bool wait) {
  hartip::Pdu pdu;
  for (int looked = 0; !hungUp_;) {
    int waitMs = 0;
    if (wait && awaiting_) {
      waitMs = MillisUntil(deadline_);
      if (waitMs == 0) {
        awaiting_.reset();  // the time a loop could take is up: no reply
        return;
      }
    } else if (++looked > kDrainLimit) {
      return;
    }
    const Got got = ReceiveOne(waitMs, pdu);
    if (got == Got::kHangUp) return;
    if (got == Got::kPdu) Take(pdu);
    if (got == Got::kNothing && waitMs == 0) return;
    if (wait && !awaiting_) return;
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
  std::uint16_t sequence = 0;
  if (const Error e = Send(hartip::kTokenPassingPdu, frame, sequence); e != kErrorSuccess) {
    awaiting_.reset();
    return e;
  }
  awaiting_ = sequence;
  deadline_ = Clock::now() + std::chrono::milliseconds(HartIpResponseWaitMs(length));
  written = length;
  return kErrorSuccess;
}

Error HartIpDevice::Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) {
  read = 0;
  if (length == 0) return kErrorSuccess;
  if (data == nullptr) return kErrorInvalidParameter;
  if (rxAt_ == rx_.size()) Pump(true);
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
  Pump(false);
  return kErrorSuccess;
}

std::string Where(const HartIpAddress& a) {
  const bool v6 = a.host.find(':') != std::string::npos;
  const char* carrier = a.secure ? (a.tcp ? " (TLS)" : " (DTLS)") : (a.tcp ? " (TCP)" : " (UDP)");
  return (v6 ? "[" + a.host + "]" : a.host) + ":" + a.port + carrier;
}

// The handshake on the connected socket `fd`, keyed from the key file.
Error Protect(int fd, const HartIpAddress& a, const std::string& where,
              std::unique_ptr<SecureChannel>& channel, std::string& advice) {
  if (KeyFile().empty()) {
    advice =
        "Secure HART-IP needs the gateway's pre-shared key: give --psk-file FILE, a file "
        "of one line IDENTITY:KEY, the key in hex.";
    return kErrorInvalidParameter;
  }
  std::string error;
  std::unique_ptr<SecureSession> session;
  {
    // The key lives only as long as it takes to hand it to the session.
    PreSharedKey key;
    if (!ReadPskFile(KeyFile(), key, error)) {
      advice = "The key file was refused: " + error + ".";
      return kErrorAccessDenied;
    }
    session = SecureSession::Create(a.tcp ? SecureProtocol::kTls : SecureProtocol::kDtls,
                                    SecureRole::kClient, key, error);
  }
  if (!session) {
    advice = "No secure session could be set up: " + error + ".";
    return kErrorGenFailure;
  }
  channel = std::make_unique<SecureChannel>(fd, std::move(session));
  switch (channel->Handshake(kInitiateMs)) {
    case SecureResult::kOk:
      return kErrorSuccess;
    case SecureResult::kWrongKey:
      advice = where + " refused the pre-shared key: the identity or key in " + KeyFile() +
               " is not the one provisioned in the gateway. Check the key file.";
      return kErrorAccessDenied;
    case SecureResult::kWantsCertificate:
      advice = where +
               " wants certificates, not a pre-shared key; Veltrop keys secure HART-IP with a "
               "pre-shared key only. Provision a key in the gateway.";
      return kErrorAccessDenied;
    default:
      advice = "The secure handshake with " + where +
               " failed: it was cut off or not done within " + std::to_string(kInitiateMs / 1000) +
               " s. Check that the gateway serves HART-IP version 2 over " +
               (a.tcp ? "TLS (hart-ip+tls://)." : "DTLS (hart-ip+dtls://).");
      return kErrorGenFailure;
  }
}

// A connected, non-blocking socket to one of `host`'s addresses, or -1
// with the errno of the last attempt in `err`.
int Connect(const addrinfo* list, bool tcp, int& err) {
  err = ECONNREFUSED;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const int fd =
        ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return fd;
    err = errno;
    if (tcp && err == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, kConnectMs);
      socklen_t len = sizeof err;
      if (r > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) return fd;
      if (r == 0) err = ETIMEDOUT;
    }
    ::close(fd);
  }
  return -1;
}

}  // namespace

bool IsHartIpName(std::string_view name) {
  return StartsWithNoCase(name, kUdpScheme) || StartsWithNoCase(name, kTcpScheme) ||
         IsSecureHartIpName(name);
}

bool IsSecureHartIpName(std::string_view name) {
  return StartsWithNoCase(name, kTlsScheme) || StartsWithNoCase(name, kDtlsScheme);
}

void SetHartIpKeyFile(std::string path) {
  KeyFile() = std::move(path);
}

bool ParseHartIpName(std::string_view name, HartIpAddress& address) {
  HartIpAddress a;
  std::string_view rest;
  if (StartsWithNoCase(name, kTcpScheme)) {
    a.tcp = true;
    rest = name.substr(kTcpScheme.size());
  } else if (StartsWithNoCase(name, kTlsScheme) || StartsWithNoCase(name, kDtlsScheme)) {
    a.tcp = StartsWithNoCase(name, kTlsScheme);
    a.secure = true;
    rest = name.substr((a.tcp ? kTlsScheme : kDtlsScheme).size());
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

Error OpenHartIpDevice(std::string_view name, std::unique_ptr<SerialDevice>& device,
                       std::string& advice) {
  device.reset();
  advice.clear();
  HartIpAddress address;
  if (!ParseHartIpName(name, address)) {
    advice = std::string(name) +
             " is not a gateway address. Write hart-ip://HOST[:PORT] (UDP) or "
             "hart-ip+tcp://HOST[:PORT] (TCP), hart-ip+tls:// or hart-ip+dtls:// for secure "
             "HART-IP; an IPv6 address goes in brackets, hart-ip://[::1]:5094.";
    return kErrorInvalidParameter;
  }
  const std::string where = Where(address);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = address.tcp ? SOCK_STREAM : SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  if (const int e = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list)) {
    advice = address.host + " could not be resolved (" + ::gai_strerror(e) +
             "). Check the gateway's name, or give its IP address.";
    return kErrorFileNotFound;
  }
  int err = 0;
  const int fd = Connect(list, address.tcp, err);
  ::freeaddrinfo(list);
  if (fd < 0) {
    advice = "No HART-IP gateway answers at " + where + ": " + std::strerror(err) +
             ". Check the address and port, and that the gateway is on.";
    return err == ETIMEDOUT ? kErrorTimeout : kErrorFileNotFound;
  }
  std::unique_ptr<SecureChannel> channel;
  if (address.secure) {
    if (const Error e = Protect(fd, address, where, channel, advice); e != kErrorSuccess) {
      ::close(fd);
      return e;
    }
  }
  auto opened = std::make_unique<HartIpDevice>(fd, address.tcp, std::move(channel));
  if (const Error e = opened->Initiate(where, advice); e != kErrorSuccess) return e;
  device = std::move(opened);
  return kErrorSuccess;
}

}  // namespace platform
