// hartsim's HART-IP server as a gateway, fed datagrams from four hosts with
// time passing between them: session handling, the frames routed to the
// gateway and its sub-devices, the restart and silence faults.
//
// Input: byte 0 chooses the setup (bit 0-1: restart after N requests, at a
// moment, or neither; bit 2: silent after N; bit 3: a plain segment behind
// the server instead of the gateway), byte 1 the N and the number of
// requests held at once. Then records: a control byte (bits 0-1 the host,
// bits 2-6 time to let pass first, in 25 ms steps, bit 7: the header's
// byte count made right), a length byte and that many bytes of datagram.
//
// Invariants: nothing goes to a host that did not ask for it (every
// message answers a request of that host with its message id and
// sequence number, and no request is answered twice); a host that was
// never granted a session hears nothing but answers to its Session
// Initiate; every routed answer is a well-formed reply frame from the
// device addressed, to the command asked; the gateway never holds more
// requests than it says it does.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sim/hartsim/hart_ip_server.h"

namespace {

constexpr std::uint64_t kStepMicros = 25'000;

struct Host {
  std::map<std::pair<std::uint8_t, std::uint16_t>, int> asked;  // (id, sequence): times
  // Request frames by sequence number (a host may use one twice).
  std::map<std::uint16_t, std::vector<std::vector<std::uint8_t>>> framesAsked;
  bool granted = false;
};

// The address of a request or reply frame, or empty when it has none.
std::vector<std::uint8_t> AddressOf(std::span<const std::uint8_t> frame) {
  if (frame.empty()) return {};
  const std::size_t length = (frame[0] & 0x80) != 0 ? 5 : 1;
  if (frame.size() < 1 + length) return {};
  return {frame.begin() + 1, frame.begin() + 1 + static_cast<std::ptrdiff_t>(length)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t setup = data[0];
  const std::uint8_t count = data[1];

  sim::GatewayConfig config = sim::DefaultGatewayConfig();
  config.channelsPerCard = 2;
  config.maxOutstanding = static_cast<std::uint8_t>(1 + (count >> 4) % 4);
  sim::Gateway gateway(config);
  gateway.Add(sim::DeviceConfig{}, 0);
  sim::DeviceConfig five;
  five.universalRevision = 5;
  five.deviceId = {0x00, 0x01, 0x03};
  gateway.Add(five, 50'000);
  sim::DeviceConfig six;
  six.universalRevision = 6;
  six.deviceId = {0x00, 0x01, 0x04};
  six.longTag = "A LONG TAG";
  gateway.Add(six, 300'000);
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});

  const bool plain = (setup & 0x08) != 0;
  auto server = plain ? std::make_unique<sim::HartIpServer>(segment, 2)
                      : std::make_unique<sim::HartIpServer>(gateway, 2);
  std::uint64_t now = 0;
  server->clock = [&] { return now; };
  if ((setup & 0x03) == 1) server->faults.restartAfter = count % 8;
  if ((setup & 0x03) == 2) server->faults.restartAtMicros = (count % 8) * kStepMicros * 4;
  if ((setup & 0x04) != 0) server->faults.silentAfter = count % 16;

  Host hosts[4];
  server->sent = [&](const sockaddr_storage& to, std::span<const std::uint8_t> message) {
    const std::uint16_t port = ntohs(reinterpret_cast<const sockaddr_in*>(&to)->sin_port);
    FUZZ_CHECK(port >= 1 && port <= 4);
    Host& host = hosts[port - 1];
    hartip::Pdu pdu;
    FUZZ_CHECK(hartip::ReadDatagram(message, pdu));
    const hartip::Header& h = pdu.header;
    FUZZ_CHECK(h.messageType != hartip::kTypeRequest);
    // An answer to a request of this host's, one answer to each.
    auto asked = host.asked.find({h.messageId, h.sequence});
    FUZZ_CHECK(asked != host.asked.end() && asked->second > 0);
    --asked->second;
    if (h.messageId == hartip::kSessionInitiate) {
      if (h.messageType == hartip::kTypeResponse &&
          (h.status == hartip::kStatusSuccess || h.status == hartip::kStatusTimerAdjusted)) {
        host.granted = true;
      }
      return;
    }
    FUZZ_CHECK(host.granted);
    if (h.messageId != hartip::kTokenPassingPdu || h.messageType != hartip::kTypeResponse ||
        h.status != hartip::kStatusSuccess) {
      return;
    }
    // A reply frame from the device asked, to the command asked, whole and
    // with its checksum right.
    const auto& reply = pdu.body;
    FUZZ_CHECK(!reply.empty() && (reply[0] == 0x06 || reply[0] == 0x86));
    const auto address = AddressOf(reply);
    FUZZ_CHECK(!address.empty());
    const std::size_t commandAt = 1 + address.size();
    FUZZ_CHECK(reply.size() >= commandAt + 3);
    FUZZ_CHECK(reply.size() == commandAt + 2 + reply[commandAt + 1] + 1);
    auto& frames = host.framesAsked[h.sequence];
    const auto request = std::find_if(frames.begin(), frames.end(), [&](const auto& f) {
      return AddressOf(f) == address && f.size() > commandAt && f[commandAt] == reply[commandAt];
    });
    FUZZ_CHECK(request != frames.end());
    frames.erase(request);
    std::uint8_t sum = 0;
    for (const std::uint8_t b : reply) sum ^= b;
    FUZZ_CHECK(sum == 0);
  };

  std::size_t at = 2;
  while (at + 2 <= size) {
    const std::uint8_t control = data[at];
    const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
    std::vector<std::uint8_t> datagram(data + at + 2, data + at + 2 + length);
    at += 2 + length;

    now += ((control >> 2) & 0x1F) * kStepMicros;
    server->Advance();
    if ((control & 0x80) != 0 && datagram.size() >= hartip::kHeaderSize) {
      datagram[6] = static_cast<std::uint8_t>(datagram.size() >> 8);
      datagram[7] = static_cast<std::uint8_t>(datagram.size());
    }
    const std::uint16_t port = static_cast<std::uint16_t>((control & 0x03) + 1);
    hartip::Pdu pdu;
    if (hartip::ReadDatagram(datagram, pdu) && pdu.header.messageType == hartip::kTypeRequest) {
      Host& host = hosts[port - 1];
      ++host.asked[{pdu.header.messageId, pdu.header.sequence}];
      if (pdu.header.messageId == hartip::kTokenPassingPdu && !pdu.body.empty()) {
        host.framesAsked[pdu.header.sequence].push_back(pdu.body);
      }
    }
    sockaddr_storage peer{};
    auto* in = reinterpret_cast<sockaddr_in*>(&peer);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server->ReceiveDatagram(peer, sizeof(sockaddr_in), datagram);
    if (!plain) FUZZ_CHECK(gateway.Outstanding(now) <= config.maxOutstanding);
  }
  now += 3600'000'000ull;
  server->Advance();
  return 0;
}
