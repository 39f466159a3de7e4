#include "platform/secure_channel.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/services.h"

namespace platform {

namespace {

// The TLS 1.2 / DTLS 1.2 suites: pre-shared key alone, AEAD only.
constexpr char kPskCiphers[] =
    "PSK-AES128-GCM-SHA256:PSK-AES256-GCM-SHA384:PSK-AES128-CCM:PSK-AES256-CCM";
// TLS 1.3 uses an external PSK with a SHA-256 suite: the key file gives no
// hash, and SHA-256 is what such a key is bound to when none is named.
constexpr char kTls13Suites[] = "TLS_AES_128_GCM_SHA256:TLS_AES_128_CCM_SHA256";
// Our messages are at most a few hundred bytes; DTLS is told the path MTU
// instead of asking a socket it does not have.
constexpr long kDtlsMtu = 1200;
// A wait looks at the socket at least this often, serving the window in
// between through the clock's Sleep.
constexpr std::uint32_t kSliceMs = 10;
// A send that finds the socket's buffer full waits this long for room.
constexpr int kSendMs = 1000;

// TLS alert descriptions (RFC 8446 section 6, RFC 4279 section 2).
constexpr int kAlertCloseNotify = 0;
constexpr int kAlertBadRecordMac = 20;
constexpr int kAlertHandshakeFailure = 40;
constexpr int kAlertIllegalParameter = 47;
constexpr int kAlertInsufficientSecurity = 71;
constexpr int kAlertDecryptError = 51;
constexpr int kAlertUnknownPskIdentity = 115;
// Handshake message types.
constexpr int kServerHello = 2;
constexpr int kCertificate = 11;
constexpr int kCertificateRequest = 13;
constexpr int kFinished = 20;

void Cleanse(std::vector<std::uint8_t>& bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}

}  // namespace

PreSharedKey::PreSharedKey(std::string identity, std::span<const std::uint8_t> key)
    : identity_(std::move(identity)), key_(key.begin(), key.end()) {}

PreSharedKey::~PreSharedKey() {
  Wipe();
}

PreSharedKey::PreSharedKey(const PreSharedKey& other)
    : identity_(other.identity_), key_(other.key_) {}

PreSharedKey& PreSharedKey::operator=(const PreSharedKey& other) {
  if (this == &other) return *this;
  Wipe();
  identity_ = other.identity_;
  key_ = other.key_;
  return *this;
}

void PreSharedKey::Wipe() {
  Cleanse(key_);
  identity_.clear();
}

const char* SecureResultText(SecureResult result) {
  switch (result) {
    case SecureResult::kOk:
      return "ok";
    case SecureResult::kPending:
      return "pending";
    case SecureResult::kWrongKey:
      return "wrong key";
    case SecureResult::kHandshakeFailed:
      return "handshake failed";
    case SecureResult::kWantsCertificate:
      return "certificates wanted";
    case SecureResult::kClosed:
      return "closed";
    case SecureResult::kFailed:
      return "failed";
  }
  return "failed";
}

struct SslState {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // the peer's bytes, owned by ssl
  BIO* out = nullptr;  // bytes for the peer, owned by ssl
  PreSharedKey key;
  // What the handshake showed of the peer, for telling failures apart.
  int alertReceived = -1;
  int alertSent = -1;
  bool sawServerHello = false;
  bool sawCertificate = false;
  bool sentFinished = false;

  ~SslState() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
};

namespace {

SslState* Of(SSL* ssl) {
  return static_cast<SslState*>(SSL_get_app_data(ssl));
}

unsigned int ClientPsk(SSL* ssl, const char*, char* identity, unsigned int maxIdentity,
                       unsigned char* psk, unsigned int maxPsk) {
  const PreSharedKey& key = Of(ssl)->key;
  if (key.Identity().size() + 1 > maxIdentity || key.Key().size() > maxPsk) return 0;
  std::memcpy(identity, key.Identity().c_str(), key.Identity().size() + 1);
  std::memcpy(psk, key.Key().data(), key.Key().size());
  return static_cast<unsigned int>(key.Key().size());
}

unsigned int ServerPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPsk) {
  const PreSharedKey& key = Of(ssl)->key;
  if (key.Key().size() > maxPsk) return 0;
  if (identity != nullptr && key.Identity() == identity) {
    std::memcpy(psk, key.Key().data(), key.Key().size());
    return static_cast<unsigned int>(key.Key().size());
  }
  // A stranger gets a key nobody holds, so that its handshake fails on the
  // MAC or the binder exactly as a wrong key does, and which identities
  // exist stays unknown.
  if (RAND_bytes(psk, static_cast<int>(key.Key().size())) != 1) return 0;
  return static_cast<unsigned int>(key.Key().size());
}

void Watch(int writing, int, int contentType, const void* buf, std::size_t len, SSL* ssl, void*) {
  SslState* s = Of(ssl);
  const auto* bytes = static_cast<const unsigned char*>(buf);
  if (s == nullptr || len == 0) return;
  if (contentType == SSL3_RT_ALERT && len >= 2) {
    (writing ? s->alertSent : s->alertReceived) = bytes[1];
  } else if (contentType == SSL3_RT_HANDSHAKE && writing) {
    if (bytes[0] == kFinished) s->sentFinished = true;
  } else if (contentType == SSL3_RT_HANDSHAKE) {
    if (bytes[0] == kServerHello) s->sawServerHello = true;
    if (bytes[0] == kCertificate || bytes[0] == kCertificateRequest) s->sawCertificate = true;
  }
}

// Refuses every certificate: a session here is authenticated by the key.
int NoCertificate(int, X509_STORE_CTX*) {
  return 0;
}

bool KeyedByPsk(SSL* ssl) {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
  if (cipher == nullptr) return false;
  if (SSL_CIPHER_get_auth_nid(cipher) == NID_auth_psk) return true;
  // TLS 1.3 suites name no authentication; the key was used when the
  // server accepted the PSK offered.
  return SSL_version(ssl) == TLS1_3_VERSION && SSL_session_reused(ssl) == 1;
}

}  // namespace

SecureSession::SecureSession(SecureProtocol protocol, SecureRole role)
    : protocol_(protocol), role_(role), ssl_(std::make_unique<SslState>()) {}

SecureSession::~SecureSession() = default;

std::unique_ptr<SecureSession> SecureSession::Create(SecureProtocol protocol, SecureRole role,
                                                     const PreSharedKey& key, std::string& error) {
  if (key.Empty() || key.Identity().empty()) {
    error = "no pre-shared key";
    return nullptr;
  }
  std::unique_ptr<SecureSession> session(new SecureSession(protocol, role));
  SslState& s = *session->ssl_;
  s.key = key;
  const bool dtls = protocol == SecureProtocol::kDtls;
  const bool client = role == SecureRole::kClient;
  const SSL_METHOD* method = dtls ? (client ? DTLS_client_method() : DTLS_server_method())
                                  : (client ? TLS_client_method() : TLS_server_method());
  s.ctx = SSL_CTX_new(method);
  const auto fail = [&](const char* what) -> std::unique_ptr<SecureSession> {
    char reason[256] = "";
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    ERR_clear_error();
    error = std::string(what) + ": " + reason;
    return nullptr;
  };
  if (s.ctx == nullptr) return fail("SSL_CTX_new");
  const int lowest = dtls ? DTLS1_2_VERSION : TLS1_2_VERSION;
  const int highest = dtls ? DTLS1_2_VERSION
                           : (protocol == SecureProtocol::kTls12 ? TLS1_2_VERSION : TLS1_3_VERSION);
  if (SSL_CTX_set_min_proto_version(s.ctx, lowest) != 1 ||
      SSL_CTX_set_max_proto_version(s.ctx, highest) != 1 ||
      SSL_CTX_set_cipher_list(s.ctx, kPskCiphers) != 1 ||
      (!dtls && SSL_CTX_set_ciphersuites(s.ctx, kTls13Suites) != 1)) {
    return fail("the PSK suites");
  }
  // A session is one connection: no tickets to resume it, no renegotiation.
  SSL_CTX_set_options(
      s.ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | (dtls ? SSL_OP_NO_QUERY_MTU : 0));
  if (!dtls) SSL_CTX_set_num_tickets(s.ctx, 0);
  if (client) {
    SSL_CTX_set_psk_client_callback(s.ctx, ClientPsk);
    SSL_CTX_set_verify(s.ctx, SSL_VERIFY_PEER, NoCertificate);
  } else {
    SSL_CTX_set_psk_server_callback(s.ctx, ServerPsk);
  }
  s.ssl = SSL_new(s.ctx);
  if (s.ssl == nullptr) return fail("SSL_new");
  SSL_set_app_data(s.ssl, &s);
  SSL_set_msg_callback(s.ssl, Watch);
  s.in = BIO_new(BIO_s_mem());
  s.out = BIO_new(BIO_s_mem());
  if (s.in == nullptr || s.out == nullptr) {
    BIO_free(s.in);
    BIO_free(s.out);
    return fail("BIO_new");
  }
  // An empty input is "not yet", not the end of the stream.
  BIO_set_mem_eof_return(s.in, -1);
  BIO_set_mem_eof_return(s.out, -1);
  SSL_set_bio(s.ssl, s.in, s.out);
  if (dtls) SSL_set_mtu(s.ssl, kDtlsMtu);
  if (client) {
    SSL_set_connect_state(s.ssl);
  } else {
    SSL_set_accept_state(s.ssl);
  }
  return session;
}

void SecureSession::Feed(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) BIO_write(ssl_->in, bytes.data(), static_cast<int>(bytes.size()));
}

std::vector<std::uint8_t> SecureSession::TakeOutgoing() {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BIO_ctrl_pending(ssl_->out)));
  if (!bytes.empty()) {
    const int n = BIO_read(ssl_->out, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  return bytes;
}

SecureResult SecureSession::Failure(int ret) {
  const int code = SSL_get_error(ssl_->ssl, ret);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return SecureResult::kPending;
  const int reason = ERR_GET_REASON(ERR_peek_error());
  ERR_clear_error();
  // An alert from the peer is also its reason code, offset.
  if (reason > SSL_AD_REASON_OFFSET && ssl_->alertReceived < 0) {
    ssl_->alertReceived = reason - SSL_AD_REASON_OFFSET;
  }
  if (established_) {
    if (code == SSL_ERROR_ZERO_RETURN || ssl_->alertReceived == kAlertCloseNotify) {
      return SecureResult::kClosed;
    }
    return SecureResult::kFailed;
  }
  const SslState& s = *ssl_;
  const auto alert = [&](int a) { return s.alertReceived == a || s.alertSent == a; };
  if (s.sawCertificate || reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    return SecureResult::kWantsCertificate;
  }
  if (alert(kAlertBadRecordMac) || alert(kAlertDecryptError) || alert(kAlertUnknownPskIdentity) ||
      reason == SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC ||
      reason == SSL_R_BINDER_DOES_NOT_VERIFY) {
    return SecureResult::kWrongKey;
  }
  if (role_ == SecureRole::kClient && !s.sawServerHello) {
    // Refused before the server said hello: it found no suite of ours it
    // serves, and every one of ours is keyed by a PSK.
    if (s.alertReceived == kAlertHandshakeFailure ||
        s.alertReceived == kAlertInsufficientSecurity) {
      return SecureResult::kWantsCertificate;
    }
    // A TLS 1.3 hello is refused as illegal by some servers (OpenSSL 3.0
    // among them) when its PSK binder does not verify, where the protocol
    // asks for decrypt_error; nothing else in our hello is out of the common.
    if (protocol_ == SecureProtocol::kTls && s.alertReceived == kAlertIllegalParameter) {
      return SecureResult::kWrongKey;
    }
  }
  return SecureResult::kHandshakeFailed;
}

SecureResult SecureSession::Handshake() {
  if (established_) return SecureResult::kOk;
  const int r = SSL_do_handshake(ssl_->ssl);
  if (r != 1) return Failure(r);
  if (!KeyedByPsk(ssl_->ssl)) return SecureResult::kWantsCertificate;
  established_ = true;
  // Renegotiation is off and there are no tickets: the key is of no more
  // use to this session.
  ssl_->key.Wipe();
  return SecureResult::kOk;
}

SecureResult SecureSession::GiveUp() const {
  if (established_) return SecureResult::kClosed;
  // DTLS drops a record whose MAC fails without a word, and some servers
  // hang up instead of alerting: a server that answered our hello and went
  // quiet once our Finished had proved the key does not hold that key.
  const SslState& s = *ssl_;
  if (role_ == SecureRole::kClient && s.sawServerHello && s.sentFinished && !s.sawCertificate) {
    return SecureResult::kWrongKey;
  }
  return SecureResult::kHandshakeFailed;
}

SecureResult SecureSession::Write(std::span<const std::uint8_t> plaintext) {
  if (!established_) return SecureResult::kFailed;
  if (plaintext.empty()) return SecureResult::kOk;
  const int r = SSL_write(ssl_->ssl, plaintext.data(), static_cast<int>(plaintext.size()));
  return r == static_cast<int>(plaintext.size()) ? SecureResult::kOk : Failure(r);
}

SecureResult SecureSession::Read(std::vector<std::uint8_t>& plaintext) {
  if (!established_) {
    const SecureResult h = Handshake();
    if (h != SecureResult::kOk) return h;
  }
  // A whole record fits, so that a DTLS record comes out as one piece.
  std::array<std::uint8_t, SSL3_RT_MAX_PLAIN_LENGTH> buffer;
  bool any = false;
  SecureResult result = SecureResult::kOk;
  for (;;) {
    const int r = SSL_read(ssl_->ssl, buffer.data(), static_cast<int>(buffer.size()));
    if (r <= 0) {
      // What decrypted before a close or a bad record still counts; the
      // end shows at the next read.
      const SecureResult end = Failure(r);
      result = any ? SecureResult::kOk : end;
      break;
    }
    plaintext.insert(plaintext.end(), buffer.begin(), buffer.begin() + r);
    any = true;
    // A DTLS record is one datagram's message: its bounds are kept.
    if (protocol_ == SecureProtocol::kDtls) break;
  }
  OPENSSL_cleanse(buffer.data(), buffer.size());
  return result;
}

void SecureSession::Close() {
  if (established_) SSL_shutdown(ssl_->ssl);
}

int SecureSession::RetransmitDueMs() {
  if (protocol_ != SecureProtocol::kDtls || established_) return -1;
  timeval left{};
  if (DTLSv1_get_timeout(ssl_->ssl, &left) != 1) return -1;
  return static_cast<int>(left.tv_sec * 1000 + (left.tv_usec + 999) / 1000);
}

void SecureSession::Retransmit() {
  if (protocol_ == SecureProtocol::kDtls) DTLSv1_handle_timeout(ssl_->ssl);
}

std::string SecureSession::Description() const {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_->ssl);
  if (!established_ || cipher == nullptr) return {};
  return std::string(SSL_get_version(ssl_->ssl)) + " " + SSL_CIPHER_get_name(cipher);
}

// --- over a socket ----------------------------------------------------------

SecureChannel::SecureChannel(int fd, std::unique_ptr<SecureSession> session)
    : fd_(fd), session_(std::move(session)) {}

SecureChannel::~SecureChannel() = default;

bool SecureChannel::FlushLocked() {
  const std::vector<std::uint8_t> bytes = session_->TakeOutgoing();
  std::size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendMs);
  while (sent < bytes.size()) {
    const ssize_t n =
        ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      if (Datagrams()) break;  // a datagram goes whole
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(left));
      continue;
    }
    // UDP: an ICMP error for an earlier datagram shows on this send; the
    // datagram itself may still go with the next one.
    if (Datagrams() && n < 0 && errno == ECONNREFUSED) continue;
    return false;
  }
  return true;
}

bool SecureChannel::PullLocked() {
  std::array<std::uint8_t, 4096> buffer;
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      session_->Feed({buffer.data(), static_cast<std::size_t>(n)});
      continue;
    }
    if (n == 0 && !Datagrams()) return false;
    // UDP: ECONNREFUSED is the ICMP "port unreachable" for a datagram we
    // sent: nothing serves there (any more).
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    return true;
  }
  return true;
}

SecureResult SecureChannel::Handshake(std::uint32_t boundMs) {
  const std::uint32_t start = TickCount();
  std::lock_guard lock(mutex_);
  for (;;) {
    const SecureResult r = session_->Handshake();
    if (!FlushLocked()) return session_->GiveUp();
    if (r != SecureResult::kPending) return r;
    // Wait for the peer's next flight, a slice at a time.
    for (;;) {
      const std::uint32_t spent = TickCount() - start;
      if (spent >= boundMs) return session_->GiveUp();
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) break;
      const int due = session_->RetransmitDueMs();
      if (due == 0) {
        session_->Retransmit();
        if (!FlushLocked()) return session_->GiveUp();
      }
      std::uint32_t slice = std::min(kSliceMs, boundMs - spent);
      if (due > 0) slice = std::min(slice, static_cast<std::uint32_t>(due));
      Sleep(slice);
    }
    if (!PullLocked()) {
      // Whatever came with the hang-up (an alert) says more than it does.
      const SecureResult last = session_->Handshake();
      return last == SecureResult::kPending || last == SecureResult::kOk ? session_->GiveUp()
                                                                         : last;
    }
  }
}

SecureResult SecureChannel::Send(std::span<const std::uint8_t> message) {
  std::lock_guard lock(mutex_);
  if (closed_) return SecureResult::kClosed;
  const SecureResult r = session_->Write(message);
  if (!FlushLocked()) return SecureResult::kFailed;
  return r;
}

SecureResult SecureChannel::Receive(std::vector<std::uint8_t>& plaintext, std::uint32_t waitMs) {
  const std::uint32_t start = TickCount();
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return SecureResult::kClosed;
      const bool open = PullLocked();
      const SecureResult r = session_->Read(plaintext);
      FlushLocked();  // an alert or a key update answered
      if (r != SecureResult::kPending) return r;
      if (!open) return SecureResult::kClosed;
    }
    const std::uint32_t spent = TickCount() - start;
    if (spent >= waitMs) return SecureResult::kPending;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) continue;
    Sleep(std::min(kSliceMs, waitMs - spent));
  }
}

void SecureChannel::Close() {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  closed_ = true;
  session_->Close();
  FlushLocked();
}

std::string SecureChannel::Description() const {
  std::lock_guard lock(mutex_);
  return session_->Description();
}

}  // namespace platform
