// Arbitrary bytes from a gateway, read as HART-IP messages: one UDP
// datagram, and a TCP stream arriving in pieces.
//
// Input: byte 0 sets the size of the stream's pieces (1 to 256 bytes); the
// rest is what came over the network.
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "hartip/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = std::size_t{data[0]} + 1;
  const std::span<const std::uint8_t> wire(data + 1, size - 1);

  // A datagram is taken only whole: its byte count is its size, within the
  // bound, and the message is the datagram's own bytes.
  hartip::Pdu pdu;
  if (hartip::ReadDatagram(wire, pdu)) {
    FUZZ_CHECK(pdu.header.byteCount == wire.size());
    FUZZ_CHECK(wire.size() >= hartip::kHeaderSize && wire.size() <= hartip::kMaxPduSize);
    FUZZ_CHECK(pdu.body.size() + hartip::kHeaderSize == wire.size());
    FUZZ_CHECK(std::equal(pdu.body.begin(), pdu.body.end(), wire.begin() + hartip::kHeaderSize));
    FUZZ_CHECK(pdu.header.sequence == (wire[4] << 8 | wire[5]));
  }

  // The stream: every byte fed is in a message taken, still pending, or
  // thrown away with a stream that went bad; what is held never exceeds
  // one message and one piece.
  hartip::StreamReader reader;
  std::size_t taken = 0;
  for (std::size_t at = 0; at < wire.size(); at += piece) {
    const std::size_t n = std::min(piece, wire.size() - at);
    if (!reader.Feed(wire.subspan(at, n))) {
      FUZZ_CHECK(reader.Malformed());
      break;
    }
    FUZZ_CHECK(reader.Pending() <= hartip::kMaxPduSize + piece);
    for (;;) {
      const hartip::ReadResult r = reader.Next(pdu);
      if (r != hartip::ReadResult::kComplete) break;
      FUZZ_CHECK(pdu.header.byteCount >= hartip::kHeaderSize);
      FUZZ_CHECK(pdu.header.byteCount <= hartip::kMaxPduSize);
      FUZZ_CHECK(pdu.body.size() + hartip::kHeaderSize == pdu.header.byteCount);
      // The message is the stream's bytes at the place it was cut.
      FUZZ_CHECK(
          std::equal(pdu.body.begin(), pdu.body.end(),
                     wire.begin() + static_cast<std::ptrdiff_t>(taken + hartip::kHeaderSize)));
      taken += pdu.header.byteCount;
    }
    if (!reader.Malformed()) {
      FUZZ_CHECK(taken + reader.Pending() == at + n);
      FUZZ_CHECK(reader.Pending() < hartip::kMaxPduSize + piece);
    }
  }
  if (reader.Malformed()) FUZZ_CHECK(reader.Pending() == 0);
  return 0;
}
