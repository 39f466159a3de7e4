// A HART gateway or I/O system as a HART-IP server fronts it: the gateway
// itself at polling address 0 (and at its own long address), and its
// sub-devices, one on each channel of its cards, reached by their long
// addresses or through command 77. Pure computation, like the segment: a
// request frame goes in with its time, and the reply frame comes out with
// the time it is due. Sub-devices answer after their own latency and at
// the same time as each other, up to the number of requests the gateway
// says (command 74) it holds at once.
//
// Frames here carry no preambles: HART-IP carries the frame alone.
//
// The gateway's own commands, data bytes after the two status bytes
// (every number big-endian):
//   74 read I/O system capabilities. Request: none. Reply (8 bytes):
//      0 I/O cards, 1 channels per card, 2 sub-devices per channel (1),
//      3-4 devices known, the gateway itself included, 5 requests to
//      sub-devices it holds at once, 6 master mode (1: primary),
//      7 retries (0).
//   84 read sub-device identity summary. Request: 0-1 index; 0 is the
//      gateway itself, 1..N its sub-devices. Reply (48 bytes): 0-1 index,
//      2 card, 3 channel (0xFF, 0xFF for the gateway), 4-5 manufacturer,
//      6-7 expanded device type (manufacturer, device type: the bytes of
//      the long address), 8-10 device identifier, 11 universal revision,
//      12-43 long tag (Latin-1, NUL-padded), 44 device revision,
//      45 device profile (1: process device), 46-47 private label
//      distributor (the manufacturer). An index beyond N: code 2.
//   77 send command to sub-device. Request: 0 card, 1 channel, 2 preambles
//      to send, 3 delimiter (0x02 or 0x82), 4.. address (1 byte, or 5
//      when the delimiter's top bit is set), then command, byte count and
//      that many data bytes. Reply: 0 card, 1 channel, then the
//      sub-device's reply frame without preambles and checksum: delimiter,
//      address, command, byte count, its two status bytes and data. No
//      device at that card and channel, or an address that is not its:
//      code 2. A sub-device that stays silent: no reply at all.
// Too few request bytes for any of them: code 5. A request to a sub-device
// beyond the number the gateway holds at once is answered at once with
// code 32 (busy).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/device.h"

namespace sim {

inline constexpr std::uint8_t kRcGatewayBusy = 0x20;

// The request in `frame` (no preambles), which must be exactly one master
// request frame from its delimiter on, its checksum right or not; nothing
// otherwise.
std::optional<Request> ReadRequestFrame(std::span<const std::uint8_t> frame);

struct GatewayConfig {
  DeviceConfig self;  // the gateway's own identity; always at polling address 0
  std::uint8_t channelsPerCard = 16;
  std::uint8_t maxOutstanding = 8;  // requests to sub-devices held at once (1-255)
};

// The gateway's own default identity: a revision-7 device of type 0x90.
GatewayConfig DefaultGatewayConfig();

class Gateway {
 public:
  explicit Gateway(const GatewayConfig& config = DefaultGatewayConfig());

  struct SubDevice {
    Device device;
    std::uint8_t card;
    std::uint8_t channel;
    std::uint64_t latencyMicros;
    // Reached only through command 77, by card and channel, as behind an
    // I/O system that does not route by long address: a request to its
    // long address goes unanswered.
    bool byChannelOnly = false;
  };

  // Puts a sub-device on the next free channel (card 0 channel 0, then 1,
  // ...). Its polling address is 0, as alone on its channel. The
  // reference stays valid as long as the gateway.
  SubDevice& Add(const DeviceConfig& config, std::uint64_t latencyMicros);
  std::size_t Size() const { return subDevices_.size(); }
  SubDevice& At(std::size_t index) { return *subDevices_[index]; }
  Device& Self() { return self_; }
  const GatewayConfig& Config() const { return config_; }
  // Cards in use: enough for every sub-device, at least one.
  std::uint8_t Cards() const;

  struct Reply {
    std::vector<std::uint8_t> frame;  // no preambles
    std::uint64_t dueMicros;
  };
  // One request frame (no preambles) that arrived at `nowMicros`. Nothing
  // when no device here is addressed or the bytes are not a request frame.
  std::optional<Reply> Handle(std::span<const std::uint8_t> frame, std::uint64_t nowMicros);

  // Requests to sub-devices not yet answered at `nowMicros`.
  std::size_t Outstanding(std::uint64_t nowMicros);
  // Forgets every answer still to come, as a gateway that restarts does.
  void Restart() { outstanding_.clear(); }

 private:
  std::optional<Reply> Own(const Request& request, std::uint64_t now);
  std::optional<Reply> Routed(SubDevice& sub, const Request& request, std::uint64_t now);
  std::vector<std::uint8_t> OwnFrame(const Request& request, std::uint8_t code,
                                     const std::vector<std::uint8_t>& data) const;
  std::vector<std::uint8_t> IdentitySummary(std::uint16_t index, const DeviceConfig& device,
                                            std::uint8_t card, std::uint8_t channel) const;
  SubDevice* OnChannel(std::uint8_t card, std::uint8_t channel);

  GatewayConfig config_;
  Device self_;
  std::vector<std::unique_ptr<SubDevice>> subDevices_;
  std::vector<std::uint64_t> outstanding_;  // due times of answers to come
};

}  // namespace sim
