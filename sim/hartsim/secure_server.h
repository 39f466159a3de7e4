// hartsim --hart-ip PORT --psk-file FILE: the gateway's sessions inside TLS
// (each TCP connection) and DTLS (each UDP peer), keyed by the one
// pre-shared key in FILE, as a gateway provisioned for HART-IP version 2
// serves them. Nothing reaches the HART-IP server that did not arrive
// protected, and nothing leaves it unprotected.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/secure_channel.h"

namespace sim {

class SecureServer {
 public:
  // DTLS peers whose handshake is under way or done, at most; one more
  // pushes out the one heard from longest ago, so that a flood of forged
  // source addresses holds no more than this.
  static constexpr std::size_t kMaxPeers = 16;

  explicit SecureServer(const platform::PreSharedKey& key);

  // A peer: a TCP connection by its descriptor, or a UDP host by address.
  static std::string StreamPeer(int fd);
  static std::string DatagramPeer(const sockaddr_storage& address, socklen_t length);

  // What arrived from `peer`, decrypted into `plaintext` (appended; empty
  // while the handshake runs). The handshake's own answers go out through
  // `send`. False when the peer's protected session is over or never began
  // (a failed handshake, a record that does not check out, close_notify):
  // drop it, and its connection.
  bool Open(const std::string& peer, std::span<const std::uint8_t> wire,
            std::vector<std::uint8_t>& plaintext,
            const std::function<void(std::span<const std::uint8_t>)>& send);
  // `message` as it goes on the wire to `peer`; empty when the peer has no
  // protected session, and then nothing may be sent.
  std::vector<std::uint8_t> Seal(const std::string& peer, std::span<const std::uint8_t> message);
  // Sends close_notify (through `send`) and forgets the peer.
  void Close(const std::string& peer,
             const std::function<void(std::span<const std::uint8_t>)>& send);
  void Forget(const std::string& peer);

  // A line for each handshake that failed, and why. Set before use.
  std::function<void(const std::string&)> log;

 private:
  struct Peer {
    std::unique_ptr<platform::SecureSession> session;
    std::chrono::steady_clock::time_point lastHeard;
  };

  platform::PreSharedKey key_;
  std::map<std::string, Peer> peers_;
};

}  // namespace sim
