#include "serial/hart_ip_transport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "hartip/pdu.h"
#include "platform/psk_file.h"
#include "platform/secure_channel.h"
#include "platform/services.h"
#include "serial/frame_trace.h"
#include "serial/hart_link.h"

namespace serial {

namespace {

using platform::NetAddress;
using platform::NetResult;
using platform::NetSocket;
using platform::NetworkWait;
using platform::WaitLeft;
using Steady = std::chrono::steady_clock;
using enum platform::Error;

constexpr std::string_view kUdpScheme = "hart-ip://";
constexpr std::string_view kTcpScheme = "hart-ip+tcp://";
constexpr std::string_view kTlsScheme = "hart-ip+tls://";
constexpr std::string_view kDtlsScheme = "hart-ip+dtls://";

// Asked for in Session Initiate; the gateway may choose another value, and
// the one it answers with is kept alive.
constexpr std::uint32_t kSessionTimerMs = 60'000;
// A gateway on the same plant network answers a connect and a session
// message (Initiate, Keep-Alive) in milliseconds; past these it is not there.
constexpr std::uint32_t kConnectMs = 3000;
constexpr std::uint32_t kSessionAnswerMs = 3000;
// HART's slave time-out: a device starts its reply within 28 characters.
constexpr std::uint32_t kSlaveTimeoutChars = 28;
// A look at the socket without waiting takes at most this many datagrams,
// so that a flood cannot hold a read or a purge.
constexpr int kDrainLimit = 64;

// The frame as the gateway takes it: it puts its own preambles on its
// loop. Empty when nothing is left or it is too long for a PDU.
std::span<const std::uint8_t> WithoutPreambles(const std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t start = 0;
  while (start < length && bytes[start] == 0xFF) ++start;
  const std::span<const std::uint8_t> frame(bytes + start, length - start);
  if (frame.size() > hartip::kMaxFrameSize) return {};
  return frame;
}

HartIpSettings& Settings() {
  static HartIpSettings settings;
  return settings;
}

std::string& KeyFile() {
  static std::string path;
  return path;
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

std::string Where(const HartIpAddress& a) {
  const bool v6 = a.host.find(':') != std::string::npos;
  const char* carrier = a.secure ? (a.tcp ? " (TLS)" : " (DTLS)") : (a.tcp ? " (TCP)" : " (UDP)");
  return (v6 ? "[" + a.host + "]" : a.host) + ":" + a.port + carrier;
}

// The statuses a gateway refuses a session with, and what they mean to the
// operator.
struct Refusal {
  std::uint8_t status;
  platform::Error error;
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

}  // namespace

// One session with a gateway, and the requests carried in it.
class HartIpTransport::Session {
 public:
  Session(std::vector<NetAddress> addresses, bool tcp, bool secure, const HartIpSettings& settings,
          NetworkWait& wait, std::string where)
      : addresses_(std::move(addresses)),
        tcp_(tcp),
        secure_(secure),
        version_(secure ? hartip::kSecureVersion : hartip::kVersion),
        settings_(settings),
        wait_(wait),
        where_(std::move(where)) {}
  ~Session();

  // A session at the first address that answers, from `first` on.
  platform::Error Open(std::size_t first, std::string& advice);
  // `loopLength`: the request as the loop behind the gateway carries it,
  // preambles included.
  LinkResult Send(std::span<const std::uint8_t> frame, std::uint32_t loopLength);
  // The answer's frame, delimiter to checksum; empty when none came.
  LinkResult Receive(std::vector<std::uint8_t>& frame);
  // Up to `window` token-passing requests outstanding at once, each
  // answer matched to its request by sequence number and checked into its
  // exchange's reply.
  void ExchangeEach(std::span<Exchange> exchanges, std::size_t window);
  // How the session is protected ("HART-IP version 2 in TLSv1.3 ..."); empty
  // in the clear.
  std::string Protection() const;

 private:
  // How long the answer to a request of `loopLength` bytes is waited for:
  // the setting, else what the loop behind the gateway needs.
  std::uint32_t ResponseWaitMs(std::uint32_t loopLength) const {
    return settings_.responseWaitMs != 0 ? settings_.responseWaitMs
                                         : HartIpResponseWaitMs(loopLength);
  }
  // A new socket (TCP: connected) for `to`, and Session Initiate over it.
  // `answered` tells whether the gateway answered at all.
  platform::Error OpenAt(const NetAddress& to, std::string& advice, bool& answered);
  platform::Error Initiate(const NetAddress& to, std::string& advice, bool& answered);
  // The TLS or DTLS handshake on the connected socket, keyed from the key
  // file, which is read afresh and wiped once the session holds the key.
  platform::Error Protect(std::string& advice);
  // The message in a datagram, or the next one of the TCP stream.
  Got Cut(std::span<const std::uint8_t> bytes, hartip::Pdu& pdu);
  void StartKeeper();
  void StopKeeper();
  // After a sign that the gateway no longer holds the session: a new one.
  platform::Error Renew();
  // A keep-alive in the caller's turn: whether the gateway still knows us.
  bool SessionAnswers();
  // A keep-alive the keeper sent and nobody has seen answered.
  bool KeeperUnanswered();

  platform::Error SendMessage(std::uint8_t messageId, std::span<const std::uint8_t> body,
                              std::uint16_t& sequence);
  platform::Error SendLocked(std::uint8_t messageId, std::span<const std::uint8_t> body,
                             std::uint16_t& sequence, const NetAddress* to = nullptr);
  Got ReceiveOne(hartip::Pdu& pdu, NetAddress* from);
  // The checks before a request: whether the gateway still holds the
  // session, and a new one when it does not. False when none could be had.
  bool Ready();
  // Takes what has arrived; with `done`, then waits up to `ms` until it holds.
  void Pump(std::uint32_t ms, const std::function<bool()>& done);
  void Dispatch(const hartip::Pdu& pdu);
  void Take(const hartip::Pdu& pdu);
  void KeepAlive();

  const std::vector<NetAddress> addresses_;
  const bool tcp_;
  const bool secure_;  // version 2: every message inside TLS or DTLS, none around it
  const std::uint8_t version_;
  const HartIpSettings settings_;
  NetworkWait& wait_;
  const std::string where_;
  std::size_t at_ = 0;  // the address that serves the session
  std::unique_ptr<NetSocket> socket_;
  std::unique_ptr<platform::SecureChannel> channel_;
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
  std::vector<std::uint8_t> answer_;
  bool answered_ = false;
  hartip::StreamReader stream_;
  // ExchangeEach's requests in flight by sequence number, and the answers
  // come in for them: the exchange's index, and the frame (empty for an
  // error status or a NAK).
  struct Flight {
    std::size_t exchange;
    std::uint32_t sentAt;
    std::uint32_t waitMs;
  };
  std::map<std::uint16_t, Flight> flights_;
  std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> landed_;
};

HartIpTransport::Session::~Session() {
  const bool open = keeper_.joinable();
  StopKeeper();
  // The gateway frees the session at once instead of after its timer.
  std::uint16_t sequence = 0;
  if (open && !hungUp_ && !lost_) SendMessage(hartip::kSessionClose, {}, sequence);
  if (channel_ != nullptr && !hungUp_) channel_->Close();
  channel_.reset();
  if (socket_ != nullptr) socket_->Shutdown();
}

void HartIpTransport::Session::StartKeeper() {
  stopping_ = false;
  keeper_ = std::thread([this] { KeepAlive(); });
}

void HartIpTransport::Session::StopKeeper() {
  if (!keeper_.joinable()) return;
  {
    std::lock_guard lock(sendMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  keeper_.join();
}

platform::Error HartIpTransport::Session::SendMessage(std::uint8_t messageId,
                                                      std::span<const std::uint8_t> body,
                                                      std::uint16_t& sequence) {
  std::lock_guard lock(sendMutex_);
  return SendLocked(messageId, body, sequence);
}

platform::Error HartIpTransport::Session::SendLocked(std::uint8_t messageId,
                                                     std::span<const std::uint8_t> body,
                                                     std::uint16_t& sequence,
                                                     const NetAddress* to) {
  if (hungUp_) return kErrorDeviceNotConnected;
  sequence = sequence_++;
  const auto message = hartip::Encode(hartip::kTypeRequest, messageId, hartip::kStatusSuccess,
                                      sequence, body, version_);
  if (channel_ != nullptr) {
    if (channel_->Send(message) == platform::SecureResult::kOk) {
      lastSent_ = Steady::now();
      return kErrorSuccess;
    }
    hungUp_ = true;  // a protected session that failed is not resumed
    return kErrorDeviceNotConnected;
  }
  switch (socket_->Send(message, to)) {
    case NetResult::kOk:
      lastSent_ = Steady::now();
      return kErrorSuccess;
    case NetResult::kTimeout:
      return kErrorTimeout;
    case NetResult::kCutOff:
      // Half a message on the stream: the gateway would read the next
      // request's header inside this one's body. The connection is lost.
      socket_->Shutdown();
      hungUp_ = true;
      return kErrorDeviceNotConnected;
    case NetResult::kClosed:
      hungUp_ = true;
      return kErrorDeviceNotConnected;
    case NetResult::kRefused:
      // An ICMP "unreachable" for an earlier datagram, reported here.
      lost_ = true;
      return kErrorFileNotFound;
    default:
      return kErrorGenFailure;
  }
}

Got HartIpTransport::Session::ReceiveOne(hartip::Pdu& pdu, NetAddress* from) {
  if (tcp_ && stream_.Next(pdu) == hartip::ReadResult::kComplete) return Got::kPdu;
  if (channel_ != nullptr) {
    std::vector<std::uint8_t> plaintext;
    const platform::SecureResult r = channel_->Receive(plaintext, 0);
    if (r != platform::SecureResult::kOk && r != platform::SecureResult::kPending) {
      hungUp_ = true;
      return Got::kHangUp;
    }
    // DTLS hands over one datagram's message at a time, TLS a piece of the
    // stream, exactly as the sockets do in the clear.
    return plaintext.empty() ? Got::kNothing : Cut(plaintext, pdu);
  }
  // One byte more than the longest message: a datagram that fills it was
  // longer, and its real size says so.
  std::array<std::uint8_t, hartip::kMaxPduSize + 1> buffer;
  std::size_t size = 0;
  switch (socket_->Receive(buffer, size, from)) {
    case NetResult::kOk:
      break;
    case NetResult::kNothing:
      return Got::kNothing;
    case NetResult::kRefused:
      return Got::kRefused;
    default:
      hungUp_ = true;
      return Got::kHangUp;
  }
  return Cut({buffer.data(), size}, pdu);
}

Got HartIpTransport::Session::Cut(std::span<const std::uint8_t> bytes, hartip::Pdu& pdu) {
  if (!tcp_) {
    if (bytes.size() > hartip::kMaxPduSize) return Got::kNothing;  // a datagram cut short
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
  socket_->Shutdown();
  return Got::kHangUp;
}

platform::Error HartIpTransport::Session::Open(std::size_t first, std::string& advice) {
  platform::Error e = kErrorFileNotFound;
  for (std::size_t i = first; i < addresses_.size(); ++i) {
    bool answered = false;
    e = OpenAt(addresses_[i], advice, answered);
    if (e == kErrorSuccess) {
      at_ = i;
      StartKeeper();
      return e;
    }
    // An address that answered has said no: the others are the same gateway.
    if (answered) return e;
  }
  if (addresses_.size() > 1) {
    advice += " (" + std::to_string(addresses_.size()) + " addresses tried)";
  }
  return e;
}

platform::Error HartIpTransport::Session::OpenAt(const NetAddress& to, std::string& advice,
                                                 bool& answered) {
  channel_.reset();
  socket_.reset();
  stream_ = hartip::StreamReader();
  hungUp_ = false;
  lost_ = false;
  int err = 0;
  const platform::Error e = NetSocket::Open(to, tcp_, wait_, kConnectMs, socket_, err);
  if (e != kErrorSuccess) {
    advice = "No HART-IP gateway answers at " + where_ + ": " + std::strerror(err) +
             ". Check the address and port, and that the gateway is on.";
    return e;
  }
  if (secure_) {
    // DTLS runs between two fixed ends: the gateway's address, from the start.
    if (!tcp_) socket_->Connect(to);
    if (const platform::Error p = Protect(advice); p != kErrorSuccess) {
      // The gateway answered, with a handshake that says no.
      answered = p == kErrorAccessDenied;
      return p;
    }
  }
  return Initiate(to, advice, answered);
}

platform::Error HartIpTransport::Session::Protect(std::string& advice) {
  if (KeyFile().empty()) {
    advice =
        "Secure HART-IP needs the gateway's pre-shared key: give --psk-file FILE, a file "
        "of one line IDENTITY:KEY, the key in hex.";
    return kErrorInvalidParameter;
  }
  std::string error;
  std::unique_ptr<platform::SecureSession> session;
  {
    // The key lives only as long as it takes to hand it to the session.
    platform::PreSharedKey key;
    if (!platform::ReadPskFile(KeyFile(), key, error)) {
      advice = "The key file was refused: " + error + ".";
      return kErrorAccessDenied;
    }
    session = platform::SecureSession::Create(
        tcp_ ? platform::SecureProtocol::kTls : platform::SecureProtocol::kDtls,
        platform::SecureRole::kClient, key, error);
  }
  if (!session) {
    advice = "No secure session could be set up: " + error + ".";
    return kErrorGenFailure;
  }
  channel_ = std::make_unique<platform::SecureChannel>(socket_->Descriptor(), std::move(session));
  switch (channel_->Handshake(kSessionAnswerMs)) {
    case platform::SecureResult::kOk:
      return kErrorSuccess;
    case platform::SecureResult::kWrongKey:
      advice = where_ + " refused the pre-shared key: the identity or key in " + KeyFile() +
               " is not the one provisioned in the gateway. Check the key file.";
      break;
    case platform::SecureResult::kWantsCertificate:
      advice = where_ +
               " wants certificates, not a pre-shared key; Veltrop keys secure HART-IP with a "
               "pre-shared key only. Provision a key in the gateway.";
      break;
    default:
      channel_.reset();
      advice = "The secure handshake with " + where_ +
               " failed: it was cut off or not done within " +
               std::to_string(kSessionAnswerMs / 1000) +
               " s. Check that the gateway serves HART-IP version 2 over " +
               (tcp_ ? "TLS (hart-ip+tls://)." : "DTLS (hart-ip+dtls://).");
      return kErrorGenFailure;
  }
  channel_.reset();
  return kErrorAccessDenied;
}

std::string HartIpTransport::Session::Protection() const {
  return channel_ != nullptr ? "HART-IP version 2 in " + channel_->Description() : std::string();
}

platform::Error HartIpTransport::Session::Initiate(const NetAddress& to, std::string& advice,
                                                   bool& answered) {
  std::uint16_t sequence = 0;
  const auto body = hartip::SessionInitiateBody(
      settings_.secondaryHost ? hartip::kSecondaryHost : hartip::kPrimaryHost, kSessionTimerMs);
  platform::Error e = kErrorSuccess;
  {
    std::lock_guard lock(sendMutex_);
    e = SendLocked(hartip::kSessionInitiate, body, sequence, tcp_ || secure_ ? nullptr : &to);
  }
  if (e != kErrorSuccess) {
    advice = "The session request to " + where_ + " could not be sent (error " +
             std::to_string(platform::ErrorNumber(e)) + ").";
    return e;
  }
  const std::uint32_t start = wait_.NowMs();
  hartip::Pdu pdu;
  NetAddress from;
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
    if (got == Got::kPdu && (tcp_ || secure_ || from.SameHost(to)) &&
        pdu.header.messageId == hartip::kSessionInitiate && pdu.header.sequence == sequence &&
        pdu.header.messageType != hartip::kTypeRequest) {
      break;
    }
    if (got != Got::kNothing) continue;
    const std::uint32_t left = WaitLeft(wait_, start, kSessionAnswerMs);
    if (left == 0) {
      advice = where_ + " did not answer the session request within " +
               std::to_string(kSessionAnswerMs / 1000) +
               " s. Check the gateway's address and port, that it serves HART-IP over " +
               (tcp_ ? "TCP (hart-ip+tcp://)" : "UDP (hart-ip://)") +
               ", and that it does not serve only secure HART-IP (version 2, over TLS or DTLS).";
      return kErrorTimeout;
    }
    socket_->AwaitInput(wait_, left);
  }
  answered = true;
  const hartip::Header& h = pdu.header;
  if (h.version != version_) {
    advice = where_ + " answered in HART-IP version " + std::to_string(h.version) +
             (h.version == hartip::kSecureVersion ? " (secure HART-IP, over TLS or DTLS)" : "") +
             "; Veltrop speaks version " + std::to_string(version_) + " to it.";
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
  if (!tcp_ && !secure_) {
    if (const platform::Error c = socket_->Connect(from); c != kErrorSuccess) {
      advice = "The session with " + where_ + " could not be set up (error " +
               std::to_string(platform::ErrorNumber(c)) + ").";
      return c;
    }
  }
  std::uint8_t host = 0;
  std::uint32_t timer = 0;
  timerMs_ = kSessionTimerMs;
  if (hartip::ReadSessionInitiateBody(pdu.body, host, timer) && timer != 0) timerMs_ = timer;
  return kErrorSuccess;
}

platform::Error HartIpTransport::Session::Renew() {
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
  platform::Error e = Open(at_, advice);
  if (e != kErrorSuccess && at_ > 0) e = Open(0, advice);
  if (e != kErrorSuccess) lost_ = true;
  return e;
}

bool HartIpTransport::Session::SessionAnswers() {
  std::uint16_t sequence = 0;
  if (SendMessage(hartip::kKeepAlive, {}, sequence) != kErrorSuccess) return false;
  probe_ = sequence;
  Pump(kSessionAnswerMs, [this] { return !probe_ || lost_ || hungUp_; });
  const bool answered = !probe_;
  probe_.reset();
  return answered && !lost_;
}

bool HartIpTransport::Session::KeeperUnanswered() {
  std::lock_guard lock(sendMutex_);
  return keeperSent_ && wait_.NowMs() - keeperSentAt_ >= kSessionAnswerMs;
}

void HartIpTransport::Session::KeepAlive() {
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

void HartIpTransport::Session::Dispatch(const hartip::Pdu& pdu) {
  const hartip::Header& h = pdu.header;
  if (h.version != version_) return;
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

void HartIpTransport::Session::Take(const hartip::Pdu& pdu) {
  const hartip::Header& h = pdu.header;
  if (const auto flight = flights_.find(h.sequence);
      flight != flights_.end() && h.messageType != hartip::kTypePublish) {
    const bool ok = h.messageType == hartip::kTypeResponse && h.status == hartip::kStatusSuccess &&
                    !pdu.body.empty() && pdu.body.size() <= hartip::kMaxFrameSize;
    landed_.emplace_back(flight->second.exchange, ok ? pdu.body : std::vector<std::uint8_t>());
    flights_.erase(flight);
    return;
  }
  if (!awaiting_ || h.sequence != *awaiting_ || h.messageType == hartip::kTypePublish) {
    return;  // burst publications, late answers
  }
  awaiting_.reset();
  // An error status or a NAK ends the wait with nothing read.
  if (h.messageType != hartip::kTypeResponse || h.status != hartip::kStatusSuccess ||
      pdu.body.empty() || pdu.body.size() > hartip::kMaxFrameSize) {
    return;
  }
  answer_ = pdu.body;
  answered_ = true;
}

void HartIpTransport::Session::Pump(std::uint32_t ms, const std::function<bool()>& done) {
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
    const std::uint32_t left = WaitLeft(wait_, start, ms);
    if (left == 0) return;
    socket_->AwaitInput(wait_, left);
  }
}

LinkResult HartIpTransport::Session::Send(std::span<const std::uint8_t> frame,
                                          std::uint32_t loopLength) {
  if (hungUp_) return LinkResult::kPortLost;
  if (!Ready()) return LinkResult::kFailure;
  std::uint16_t sequence = 0;
  platform::Error e = SendMessage(hartip::kTokenPassingPdu, frame, sequence);
  // An "unreachable" waiting on the socket from before: the session's port
  // is gone, and the request never left.
  if (e == kErrorFileNotFound && lost_) {
    e = Renew();
    if (e == kErrorSuccess) e = SendMessage(hartip::kTokenPassingPdu, frame, sequence);
  }
  if (e == kErrorDeviceNotConnected) return LinkResult::kPortLost;
  if (e != kErrorSuccess) return LinkResult::kFailure;
  awaiting_ = sequence;
  sentAt_ = wait_.NowMs();
  waitMs_ = ResponseWaitMs(loopLength);
  return LinkResult::kOk;
}

bool HartIpTransport::Session::Ready() {
  answered_ = false;
  answer_.clear();
  awaiting_.reset();
  // What came since the last request may say the session is gone: then a
  // new one first, so that this request is not lost too.
  Pump(0, nullptr);
  if (KeeperUnanswered()) lost_ = true;
  if (!lost_ && unanswered_ && !SessionAnswers()) lost_ = true;
  unanswered_ = false;
  return !(lost_ && !hungUp_ && Renew() != kErrorSuccess);
}

void HartIpTransport::Session::ExchangeEach(std::span<Exchange> exchanges, std::size_t window) {
  if (hungUp_) {
    for (Exchange& x : exchanges) x.sent = LinkResult::kPortLost;
    return;
  }
  if (!Ready()) return;
  FrameObserver* observer = HartLink::Observer();
  flights_.clear();
  landed_.clear();
  const auto land = [&](std::size_t at, const std::vector<std::uint8_t>& frame) {
    Exchange& x = exchanges[at];
    x.received = frame.empty() ? LinkResult::kNoReply : CheckAnswerFrame(frame, x.reply);
    if (observer != nullptr) {
      observer->Received(frame, x.received, x.received == LinkResult::kOk ? 0 : frame.size());
    }
  };
  std::size_t next = 0;
  // A session found gone part way (lost_) takes no more requests: those
  // left are unsent, and the next exchange starts a new session.
  while ((next < exchanges.size() && !lost_) || !flights_.empty()) {
    while (next < exchanges.size() && !lost_ && flights_.size() < window) {
      Exchange& x = exchanges[next];
      const std::span<const std::uint8_t> frame = WithoutPreambles(x.request, x.length);
      std::uint16_t sequence = 0;
      const platform::Error e = frame.empty()
                                    ? kErrorInvalidParameter
                                    : SendMessage(hartip::kTokenPassingPdu, frame, sequence);
      x.sent = e == kErrorSuccess              ? LinkResult::kOk
               : e == kErrorDeviceNotConnected ? LinkResult::kPortLost
                                               : LinkResult::kFailure;
      if (x.sent == LinkResult::kPortLost) return;
      if (x.sent == LinkResult::kOk) {
        if (observer != nullptr) observer->Sent({x.request, x.length});
        flights_[sequence] = {next, wait_.NowMs(), ResponseWaitMs(x.length)};
      }
      ++next;
    }
    if (flights_.empty()) continue;
    std::uint32_t soonest = UINT32_MAX;
    for (const auto& [sequence, f] : flights_) {
      soonest = std::min(soonest, WaitLeft(wait_, f.sentAt, f.waitMs));
    }
    Pump(soonest, [this] { return !landed_.empty() || lost_; });
    if (hungUp_) {
      for (Exchange& x : exchanges) {
        if (x.sent == LinkResult::kOk && x.received == LinkResult::kNoReply) {
          x.received = LinkResult::kPortLost;
        }
      }
      flights_.clear();
      return;
    }
    for (const auto& [at, frame] : landed_) land(at, frame);
    landed_.clear();
    // Those whose time a loop could take is up, or all once the session is
    // gone: no reply.
    for (auto f = flights_.begin(); f != flights_.end();) {
      if (lost_ || WaitLeft(wait_, f->second.sentAt, f->second.waitMs) == 0) {
        land(f->second.exchange, {});
        unanswered_ = true;
        f = flights_.erase(f);
      } else {
        ++f;
      }
    }
  }
}

LinkResult HartIpTransport::Session::Receive(std::vector<std::uint8_t>& frame) {
  frame.clear();
  if (awaiting_) {
    Pump(WaitLeft(wait_, sentAt_, waitMs_), [this] { return !awaiting_ || lost_; });
    if (awaiting_) {
      awaiting_.reset();  // the time a loop could take is up: no reply
      unanswered_ = true;
    }
  }
  if (answered_) {
    answered_ = false;
    frame = std::move(answer_);
    return LinkResult::kOk;
  }
  return hungUp_ ? LinkResult::kPortLost : LinkResult::kNoReply;
}

namespace {

bool ClaimsHartIp(std::string_view target) {
  return IsHartIpName(target);
}

std::unique_ptr<Transport> MakeHartIp() {
  return std::make_unique<HartIpTransport>();
}

platform::Error SystemResolve(const HartIpAddress& address, NetworkWait& wait,
                              std::vector<NetAddress>& addresses, std::string& advice) {
  return platform::Resolve(address.host, address.port, address.tcp, wait, addresses, advice);
}

}  // namespace

const TransportKind kHartIpTransport{ClaimsHartIp, MakeHartIp};

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
  } else if (IsSecureHartIpName(name)) {
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
  // The loop's own character time and the margin the link gives a frame's
  // transmission; a minute at most (7000 characters already take longer).
  const std::uint32_t chars =
      std::min<std::uint32_t>(requestLength, 7000) + kSlaveTimeoutChars + kLongestReplyChars;
  return std::min<std::uint32_t>(HartLink::TransmissionMillis(chars), 60'000);
}

void SetHartIpSettings(const HartIpSettings& settings) {
  Settings() = settings;
}

HartIpTransport::HartIpTransport() {
  options_.settings = Settings();
}

HartIpTransport::HartIpTransport(const HartIpOptions& options) : options_(options) {}

HartIpTransport::~HartIpTransport() = default;

LinkResult HartIpTransport::Open(std::uint32_t portNumber, std::string_view target, std::uint32_t) {
  if (session_ != nullptr) return LinkResult::kAlreadyOpen;
  if (portNumber == 0 || portNumber > 255) return LinkResult::kBadPort;
  advice_.clear();
  openError_ = OpenSession(target);
  if (openError_ == kErrorSuccess) return LinkResult::kOk;
  // The box says only which port, as for a modem; beneath it, why.
  platform::MessageBox(kPortName, platform::Icon::Error, platform::Buttons::Ok, advice_);
  return LinkResult::kFailure;
}

platform::Error HartIpTransport::OpenSession(std::string_view target) {
  HartIpAddress address;
  if (!ParseHartIpName(target, address)) {
    advice_ = std::string(target) +
              " is not a gateway address. Write hart-ip://HOST[:PORT] (UDP) or "
              "hart-ip+tcp://HOST[:PORT] (TCP), hart-ip+tls:// or hart-ip+dtls:// for secure "
              "HART-IP; an IPv6 address goes in brackets, hart-ip://[::1]:5094.";
    return kErrorInvalidParameter;
  }
  NetworkWait& wait = options_.wait != nullptr ? *options_.wait : platform::ServingWait();
  std::vector<NetAddress> addresses;
  const HartIpResolver& resolve = options_.resolve ? options_.resolve : SystemResolve;
  if (const auto e = resolve(address, wait, addresses, advice_); e != kErrorSuccess) return e;
  if (addresses.empty()) {
    advice_ = address.host + " has no address to reach it at.";
    return kErrorFileNotFound;
  }
  auto session = std::make_unique<Session>(std::move(addresses), address.tcp, address.secure,
                                           options_.settings, wait, Where(address));
  if (const auto e = session->Open(0, advice_); e != kErrorSuccess) return e;
  // The frames are traced in the clear; the trace says how they travelled.
  if (const std::string protection = session->Protection(); !protection.empty()) {
    TraceNote("session protected: " + protection);
  }
  session_ = std::move(session);
  return kErrorSuccess;
}

platform::Error HartIpTransport::Close() {
  session_.reset();
  return kErrorSuccess;
}

LinkResult HartIpTransport::SendFrame(const std::uint8_t* bytes, std::uint32_t length) {
  if (bytes == nullptr) return LinkResult::kMissingBuffer;
  if (session_ == nullptr) return LinkResult::kFailure;
  const std::span<const std::uint8_t> frame = WithoutPreambles(bytes, length);
  if (frame.empty()) return LinkResult::kFailure;
  const LinkResult sent = session_->Send(frame, length);
  FrameObserver* observer = HartLink::Observer();
  if (observer != nullptr && sent == LinkResult::kOk) observer->Sent({bytes, length});
  return sent;
}

LinkResult HartIpTransport::ReceiveFrame(std::uint8_t* reply) {
  if (reply == nullptr) return LinkResult::kMissingBuffer;
  if (session_ == nullptr) return LinkResult::kFailure;
  std::vector<std::uint8_t> frame;
  LinkResult got = session_->Receive(frame);
  if (got == LinkResult::kOk) got = CheckAnswerFrame(frame, reply);
  // What came is what the trace shows, as a modem's line bytes would be.
  if (FrameObserver* observer = HartLink::Observer(); observer != nullptr) {
    observer->Received(frame, got, got == LinkResult::kOk ? 0 : frame.size());
  }
  return got;
}

void HartIpTransport::ExchangeEach(std::span<Exchange> exchanges, std::size_t window) {
  if (session_ == nullptr) return;
  for (Exchange& x : exchanges) {
    if (x.request == nullptr || x.reply == nullptr) return;
  }
  session_->ExchangeEach(exchanges, std::clamp<std::size_t>(window, 1, kMostOutstanding));
}

LinkResult CheckAnswerFrame(std::span<const std::uint8_t> frame, std::uint8_t* reply) {
  // The frame as the device sent it, without preambles: the delimiter sizes
  // the header, the byte count the data, and the checksum covers them all.
  if (frame.empty() || !IsDelimiter(frame[0])) return LinkResult::kFailure;
  const std::size_t header = HeaderLength(frame[0]);
  if (frame.size() < 1 + header) return LinkResult::kDataIncomplete;
  const std::size_t length = 1 + header + frame[header];
  if (frame.size() < length + 1) return LinkResult::kDataIncomplete;
  std::uint8_t check = 0;
  for (std::size_t i = 0; i < length; ++i) check ^= frame[i];
  if (check != frame[length]) return LinkResult::kChecksumError;
  std::copy_n(frame.begin(), length, reply);
  return LinkResult::kOk;
}

void HartIpTransport::ReportLostPort() {
  platform::MessageBox(kPortName, platform::Icon::Error, platform::Buttons::Ok,
                       "The gateway closed the connection, or its HART-IP messages lost their "
                       "framing. Check that the gateway is on, then try again.");
}

}  // namespace serial
