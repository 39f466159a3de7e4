#include "sim/hartsim/secure_server.h"

#include <netdb.h>

#include <algorithm>

namespace sim {

namespace {

constexpr char kDatagramPrefix[] = "udp ";

bool IsDatagramPeer(const std::string& peer) {
  return peer.rfind(kDatagramPrefix, 0) == 0;
}

}  // namespace

SecureServer::SecureServer(const platform::PreSharedKey& key) : key_(key) {}

std::string SecureServer::StreamPeer(int fd) {
  return "tcp " + std::to_string(fd);
}

std::string SecureServer::DatagramPeer(const sockaddr_storage& address, socklen_t length) {
  char host[NI_MAXHOST] = "";
  char port[NI_MAXSERV] = "";
  ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, port,
                sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
  return std::string(kDatagramPrefix) + host + " " + port;
}

bool SecureServer::Open(const std::string& peer, std::span<const std::uint8_t> wire,
                        std::vector<std::uint8_t>& plaintext,
                        const std::function<void(std::span<const std::uint8_t>)>& send) {
  const auto now = std::chrono::steady_clock::now();
  auto it = peers_.find(peer);
  if (it == peers_.end()) {
    const bool datagram = IsDatagramPeer(peer);
    if (datagram && std::count_if(peers_.begin(), peers_.end(), [](const auto& p) {
                      return IsDatagramPeer(p.first);
                    }) >= static_cast<std::ptrdiff_t>(kMaxPeers)) {
      // Half-done handshakes go first, then the longest quiet.
      auto oldest = peers_.end();
      for (auto p = peers_.begin(); p != peers_.end(); ++p) {
        if (!IsDatagramPeer(p->first)) continue;
        const auto rank = [](const Peer& x) {
          return std::make_pair(x.session->Established(), x.lastHeard);
        };
        if (oldest == peers_.end() || rank(p->second) < rank(oldest->second)) oldest = p;
      }
      peers_.erase(oldest);
    }
    std::string error;
    auto session = platform::SecureSession::Create(
        datagram ? platform::SecureProtocol::kDtls : platform::SecureProtocol::kTls,
        platform::SecureRole::kServer, key_, error);
    if (!session) {
      if (log) log("hart-ip: no protected session for " + peer + ": " + error);
      return false;
    }
    it = peers_.emplace(peer, Peer{std::move(session), now}).first;
  }
  Peer& p = it->second;
  p.lastHeard = now;
  p.session->Feed(wire);
  const platform::SecureResult r = p.session->Read(plaintext);
  if (const auto out = p.session->TakeOutgoing(); !out.empty()) send(out);
  if (r == platform::SecureResult::kOk || r == platform::SecureResult::kPending) return true;
  if (log && !p.session->Established()) {
    log("hart-ip: protected handshake with " + peer + " failed: " + platform::SecureResultText(r));
  }
  peers_.erase(it);
  return false;
}

std::vector<std::uint8_t> SecureServer::Seal(const std::string& peer,
                                             std::span<const std::uint8_t> message) {
  auto it = peers_.find(peer);
  if (it == peers_.end() || !it->second.session->Established()) return {};
  if (it->second.session->Write(message) != platform::SecureResult::kOk) return {};
  return it->second.session->TakeOutgoing();
}

void SecureServer::Close(const std::string& peer,
                         const std::function<void(std::span<const std::uint8_t>)>& send) {
  auto it = peers_.find(peer);
  if (it == peers_.end()) return;
  it->second.session->Close();
  if (const auto out = it->second.session->TakeOutgoing(); !out.empty()) send(out);
  peers_.erase(it);
}

void SecureServer::Forget(const std::string& peer) {
  peers_.erase(peer);
}

}  // namespace sim
