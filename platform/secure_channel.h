// A protected session keyed by a pre-shared key: TLS 1.2 or 1.3 over a
// byte stream, DTLS 1.2 over datagrams, on OpenSSL.
//
// Only pre-shared-key suites are offered or accepted: TLS 1.2 and DTLS 1.2
// with PSK-AES128-GCM-SHA256, PSK-AES256-GCM-SHA384, PSK-AES128-CCM or
// PSK-AES256-CCM; TLS 1.3 with TLS_AES_128_GCM_SHA256 (or its CCM twin)
// and the key as an external PSK, with an ECDHE exchange on top. A peer
// that would authenticate by certificate instead is refused, and nothing
// here ever carries a byte unprotected.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Who we are to the peer and the secret we share with it. The secret is
// wiped from memory when the key is destroyed or replaced.
class PreSharedKey {
 public:
  PreSharedKey() = default;
  PreSharedKey(std::string identity, std::span<const std::uint8_t> key);
  ~PreSharedKey();
  PreSharedKey(const PreSharedKey& other);
  PreSharedKey& operator=(const PreSharedKey& other);

  const std::string& Identity() const { return identity_; }
  std::span<const std::uint8_t> Key() const { return key_; }
  bool Empty() const { return key_.empty(); }
  void Wipe();

 private:
  std::string identity_;
  std::vector<std::uint8_t> key_;
};

// kTls12 is TLS capped at 1.2, as a gateway that has no 1.3 serves it.
enum class SecureProtocol { kTls, kTls12, kDtls };
enum class SecureRole { kClient, kServer };

// What became of an operation. The failures are a closed set, each with a
// different thing for the operator to do.
enum class SecureResult {
  kOk,
  kPending,           // waiting for the peer: more of its bytes are needed
  kWrongKey,          // the peer's check of our records failed, or ours of
                      // its: a bad record MAC, a decrypt error, an identity
                      // it does not know
  kHandshakeFailed,   // another alert, the peer went away, or time ran out
  kWantsCertificate,  // the peer has no PSK suite, or sent or asked for a
                      // certificate
  kClosed,            // the peer closed the session after the handshake
  kFailed,            // a record that does not check out later on, or a
                      // socket error
};

// "wrong key", "handshake failed", ... for logs.
const char* SecureResultText(SecureResult result);

struct SslState;  // the library's, inside secure_channel.cpp

// The protected session with no input or output of its own: what arrives
// from the peer goes in through Feed, what is to be sent to it comes out of
// TakeOutgoing. A server with many peers on one UDP socket keeps one per
// peer; SecureChannel drives one over a connected socket. Not thread-safe.
class SecureSession {
 public:
  // Null with `error` set when the library cannot set one up. A server
  // session answers an identity other than the key's as it would a wrong
  // key, so that a peer cannot tell which identities exist.
  static std::unique_ptr<SecureSession> Create(SecureProtocol protocol, SecureRole role,
                                               const PreSharedKey& key, std::string& error);
  ~SecureSession();
  SecureSession(const SecureSession&) = delete;
  SecureSession& operator=(const SecureSession&) = delete;

  // Bytes from the peer: a piece of the TCP stream, or one whole datagram.
  void Feed(std::span<const std::uint8_t> bytes);
  // Everything the session wants sent, in order; for DTLS one datagram.
  std::vector<std::uint8_t> TakeOutgoing();

  // Takes the handshake as far as the bytes fed allow: kOk once it is
  // done, kPending while it waits for the peer, or the failure.
  SecureResult Handshake();
  bool Established() const { return established_; }
  // What a handshake that got no further, its time up or its peer gone,
  // most likely met: kWrongKey or kHandshakeFailed.
  SecureResult GiveUp() const;
  // One record (one datagram for DTLS) holding all of `plaintext`.
  SecureResult Write(std::span<const std::uint8_t> plaintext);
  // Appends what the bytes fed so far decrypt to: kOk, kPending when
  // nothing more has come, kClosed after the peer's close_notify. DTLS
  // gives one record a call, a datagram's message whole.
  SecureResult Read(std::vector<std::uint8_t>& plaintext);
  // Queues close_notify.
  void Close();
  // DTLS: milliseconds until a lost handshake flight is to be sent again,
  // or -1 when nothing waits; Retransmit sends it when it is due.
  int RetransmitDueMs();
  void Retransmit();

  // "TLSv1.3 TLS_AES_128_GCM_SHA256", once established.
  std::string Description() const;
  SecureProtocol Protocol() const { return protocol_; }

 private:
  SecureSession(SecureProtocol protocol, SecureRole role);
  SecureResult Failure(int ret);

  SecureProtocol protocol_;
  SecureRole role_;
  std::unique_ptr<SslState> ssl_;
  bool established_ = false;
};

// A session over a connected socket that stays the caller's: TCP for TLS,
// UDP for DTLS. Waits go in slices through platform::Sleep, so that a
// window keeps being served while a gateway is slow. One thread may send
// (a keep-alive) while another receives.
class SecureChannel {
 public:
  SecureChannel(int fd, std::unique_ptr<SecureSession> session);
  ~SecureChannel();

  // The whole handshake, within `boundMs`.
  SecureResult Handshake(std::uint32_t boundMs);
  // One message as one record, sent whole before it returns.
  SecureResult Send(std::span<const std::uint8_t> message);
  // Appends what has arrived and decrypted, waiting up to `waitMs` for the
  // first of it: kOk with bytes, kPending with none.
  SecureResult Receive(std::vector<std::uint8_t>& plaintext, std::uint32_t waitMs);
  // Sends close_notify, without waiting for the peer's.
  void Close();
  std::string Description() const;

 private:
  // Sends what the session has queued; false when the socket failed.
  bool FlushLocked();
  // Reads what the socket holds into the session: false on a hang-up.
  bool PullLocked();
  bool Datagrams() const { return session_->Protocol() == SecureProtocol::kDtls; }

  const int fd_;
  std::unique_ptr<SecureSession> session_;
  mutable std::mutex mutex_;
  bool closed_ = false;
};

}  // namespace platform
