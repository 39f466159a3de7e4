// What a protected session hands to the gateway client once it has
// decrypted it: arbitrary messages from a gateway that holds the key, as
// TLS records cut at arbitrary places or as DTLS datagrams, read back
// through the client's session and cut into HART-IP messages the way the
// client cuts them.
//
// Input: byte 0 picks the protocol (bit 0: DTLS) and, in its upper bits,
// the size of the pieces the TLS stream is fed in; then records, each a
// length byte and that many bytes (a length past the end takes the rest).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hartip/pdu.h"
#include "platform/secure_channel.h"

namespace {

using platform::SecureProtocol;
using platform::SecureResult;
using platform::SecureRole;
using platform::SecureSession;

struct Pair {
  std::unique_ptr<SecureSession> gateway;
  std::unique_ptr<SecureSession> client;
};

// One established pair per protocol for the whole run: a handshake per
// input would leave little time for the inputs.
Pair MakePair(SecureProtocol protocol) {
  const std::vector<std::uint8_t> key(16, 0x5a);
  const platform::PreSharedKey psk("fuzz", key);
  std::string error;
  Pair p{SecureSession::Create(protocol, SecureRole::kServer, psk, error),
         SecureSession::Create(protocol, SecureRole::kClient, psk, error)};
  FUZZ_CHECK(p.gateway && p.client);
  for (int i = 0; i < 10 && !(p.client->Established() && p.gateway->Established()); ++i) {
    p.client->Handshake();
    p.gateway->Feed(p.client->TakeOutgoing());
    p.gateway->Handshake();
    p.client->Feed(p.gateway->TakeOutgoing());
  }
  FUZZ_CHECK(p.client->Established() && p.gateway->Established());
  return p;
}

Pair& PairFor(bool dtls) {
  static Pair tls = MakePair(SecureProtocol::kTls);
  static Pair datagrams = MakePair(SecureProtocol::kDtls);
  return dtls ? datagrams : tls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool dtls = (data[0] & 1) != 0;
  const std::size_t piece = (std::size_t{data[0]} >> 1) + 1;
  std::vector<std::vector<std::uint8_t>> records;
  for (std::size_t at = 1; at < size;) {
    const std::size_t n = std::min<std::size_t>(data[at], size - at - 1);
    records.emplace_back(data + at + 1, data + at + 1 + n);
    at += 1 + n;
  }
  Pair& pair = PairFor(dtls);

  std::vector<std::uint8_t> sent;
  std::vector<std::uint8_t> decrypted;
  hartip::StreamReader stream;
  std::size_t cut = 0;  // bytes of the stream taken as messages
  for (const auto& record : records) {
    if (record.empty()) continue;
    FUZZ_CHECK(pair.gateway->Write(record) == SecureResult::kOk);
    sent.insert(sent.end(), record.begin(), record.end());
    const std::vector<std::uint8_t> wire = pair.gateway->TakeOutgoing();
    // What crosses the network never holds the message in the clear
    // beyond chance: a record of 8 bytes or more is not sent as itself.
    if (record.size() >= 8) {
      FUZZ_CHECK(std::search(wire.begin(), wire.end(), record.begin(), record.end()) == wire.end());
    }
    if (dtls) {
      // One datagram in, exactly its message out, whole and once.
      pair.client->Feed(wire);
      std::vector<std::uint8_t> message;
      FUZZ_CHECK(pair.client->Read(message) == SecureResult::kOk);
      FUZZ_CHECK(message == record);
      std::vector<std::uint8_t> more;
      FUZZ_CHECK(pair.client->Read(more) == SecureResult::kPending && more.empty());
      hartip::Pdu pdu;
      if (message.size() <= hartip::kMaxPduSize && hartip::ReadDatagram(message, pdu)) {
        FUZZ_CHECK(pdu.header.byteCount == message.size());
        FUZZ_CHECK(pdu.body.size() + hartip::kHeaderSize == message.size());
      }
      continue;
    }
    for (std::size_t at = 0; at < wire.size(); at += piece) {
      pair.client->Feed(std::span(wire).subspan(at, std::min(piece, wire.size() - at)));
      const std::size_t before = decrypted.size();
      const SecureResult r = pair.client->Read(decrypted);
      FUZZ_CHECK(r == SecureResult::kOk || r == SecureResult::kPending);
      if (stream.Malformed()) continue;
      stream.Feed(std::span(decrypted).subspan(before));
      hartip::Pdu pdu;
      while (stream.Next(pdu) == hartip::ReadResult::kComplete) {
        FUZZ_CHECK(pdu.header.byteCount <= hartip::kMaxPduSize);
        FUZZ_CHECK(
            std::equal(pdu.body.begin(), pdu.body.end(),
                       decrypted.begin() + static_cast<std::ptrdiff_t>(cut + hartip::kHeaderSize)));
        cut += pdu.header.byteCount;
      }
      if (!stream.Malformed()) FUZZ_CHECK(cut + stream.Pending() == decrypted.size());
    }
  }
  // The channel neither loses, reorders nor invents a byte.
  if (!dtls) FUZZ_CHECK(decrypted == sent);
  return 0;
}
