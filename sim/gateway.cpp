#include "sim/gateway.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::size_t kLongTagBytes = 32;
// Card and channel of the gateway itself in its identity summary: it sits
// on none of them.
constexpr std::uint8_t kNotOnAChannel = 0xFF;

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

// The bytes after a reply's preambles: whatever came before them (garbage)
// and the preambles themselves are the loop's, not the frame's.
std::vector<std::uint8_t> AfterPreambles(const std::vector<std::uint8_t>& bytes) {
  auto at = std::find(bytes.begin(), bytes.end(), kPreamble);
  at = std::find_if(at, bytes.end(), [](std::uint8_t b) { return b != kPreamble; });
  return {at, bytes.end()};
}

}  // namespace

std::optional<Request> ReadRequestFrame(std::span<const std::uint8_t> frame) {
  // The frame starts at its delimiter: the assembler, which skips what
  // comes before preambles on a line, would find one further in.
  if (frame.empty() || (frame[0] != kDelimiterRequestShort && frame[0] != kDelimiterRequestLong)) {
    return std::nullopt;
  }
  RequestAssembler assembler;
  assembler.Feed(kPreamble, 0);
  assembler.Feed(kPreamble, 0);
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (auto request = assembler.Feed(frame[i], 0)) {
      if (i + 1 != frame.size()) return std::nullopt;
      return request;
    }
  }
  return std::nullopt;
}

GatewayConfig DefaultGatewayConfig() {
  GatewayConfig c;
  c.self.deviceType = 0x90;
  c.self.deviceId = {0xF0, 0x00, 0x01};
  c.self.tag = "GW-1";
  c.self.longTag = "HARTSIM GATEWAY";
  c.self.descriptor = "HART-IP GATEWAY";
  return c;
}

Gateway::Gateway(const GatewayConfig& config) : config_(config), self_(config.self) {
  self_.config.pollAddress = 0;
  config_.channelsPerCard = std::max<std::uint8_t>(config_.channelsPerCard, 1);
  config_.maxOutstanding = std::max<std::uint8_t>(config_.maxOutstanding, 1);
}

Gateway::SubDevice& Gateway::Add(const DeviceConfig& config, std::uint64_t latencyMicros) {
  const std::size_t slot = subDevices_.size();
  DeviceConfig c = config;
  c.pollAddress = 0;
  subDevices_.push_back(std::make_unique<SubDevice>(
      SubDevice{Device(c), static_cast<std::uint8_t>(slot / config_.channelsPerCard),
                static_cast<std::uint8_t>(slot % config_.channelsPerCard), latencyMicros}));
  return *subDevices_.back();
}

std::uint8_t Gateway::Cards() const {
  const std::size_t n = subDevices_.size();
  return static_cast<std::uint8_t>(
      std::max<std::size_t>(1, (n + config_.channelsPerCard - 1) / config_.channelsPerCard));
}

std::size_t Gateway::Outstanding(std::uint64_t nowMicros) {
  std::erase_if(outstanding_, [&](std::uint64_t due) { return due <= nowMicros; });
  return outstanding_.size();
}

Gateway::SubDevice* Gateway::OnChannel(std::uint8_t card, std::uint8_t channel) {
  const auto it = std::find_if(subDevices_.begin(), subDevices_.end(), [&](const auto& s) {
    return s->card == card && s->channel == channel;
  });
  return it == subDevices_.end() ? nullptr : it->get();
}

std::optional<Gateway::Reply> Gateway::Handle(std::span<const std::uint8_t> frame,
                                              std::uint64_t nowMicros) {
  const auto request = ReadRequestFrame(frame);
  if (!request) return std::nullopt;
  // On its own loop the gateway is polling address 0; behind it every
  // sub-device is reached by its long address only.
  if (self_.Matches(*request)) return Own(*request, nowMicros);
  if (!request->IsLong()) return std::nullopt;
  for (auto& sub : subDevices_) {
    if (sub->device.Matches(*request)) {
      if (sub->byChannelOnly) return std::nullopt;
      return Routed(*sub, *request, nowMicros);
    }
  }
  return std::nullopt;
}

std::vector<std::uint8_t> Gateway::OwnFrame(const Request& request, std::uint8_t code,
                                            const std::vector<std::uint8_t>& data) const {
  const std::uint8_t delimiter = request.IsLong() ? kDelimiterReplyLong : kDelimiterReplyShort;
  return AfterPreambles(self_.Frame(delimiter, request.address, request.command, code,
                                    self_.config.deviceStatus, data));
}

std::vector<std::uint8_t> Gateway::IdentitySummary(std::uint16_t index, const DeviceConfig& d,
                                                   std::uint8_t card, std::uint8_t channel) const {
  std::vector<std::uint8_t> out;
  Put16(out, index);
  out.push_back(card);
  out.push_back(channel);
  Put16(out, d.manufacturer);
  out.push_back(d.manufacturer);
  out.push_back(d.deviceType);
  out.insert(out.end(), d.deviceId.begin(), d.deviceId.end());
  out.push_back(d.universalRevision);
  const std::size_t tagAt = out.size();
  out.insert(out.end(), d.longTag.begin(),
             d.longTag.begin() + std::min(d.longTag.size(), kLongTagBytes));
  out.resize(tagAt + kLongTagBytes, 0x00);
  out.push_back(d.deviceRevision);
  out.push_back(1);  // process device
  Put16(out, d.manufacturer);
  return out;
}

std::optional<Gateway::Reply> Gateway::Own(const Request& request, std::uint64_t now) {
  const auto& data = request.data;
  if (!request.checksumOk ||
      (request.command != 74 && request.command != 77 && request.command != 84)) {
    // What any device answers: identity, tag, long tag, and code 64 for
    // what it lacks.
    Outcome outcome = Outcome::Answered;
    auto bytes = self_.Answer(request, outcome);
    if (!bytes) return std::nullopt;
    return Reply{AfterPreambles(*bytes), now};
  }
  switch (request.command) {
    case 74: {
      std::vector<std::uint8_t> d{Cards(), config_.channelsPerCard, 1};
      Put16(d, static_cast<std::uint16_t>(subDevices_.size() + 1));
      d.push_back(config_.maxOutstanding);
      d.push_back(1);  // primary master on its channels
      d.push_back(0);  // no retries of its own
      return Reply{OwnFrame(request, kRcSuccess, d), now};
    }
    case 84: {
      if (data.size() < 2) return Reply{OwnFrame(request, kRcTooFewDataBytes, {}), now};
      const std::uint16_t index = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
      if (index == 0) {
        return Reply{OwnFrame(request, kRcSuccess,
                              IdentitySummary(0, self_.config, kNotOnAChannel, kNotOnAChannel)),
                     now};
      }
      if (index > subDevices_.size()) {
        return Reply{OwnFrame(request, kRcInvalidSelection, {}), now};
      }
      const SubDevice& sub = *subDevices_[index - 1];
      return Reply{OwnFrame(request, kRcSuccess,
                            IdentitySummary(index, sub.device.config, sub.card, sub.channel)),
                   now};
    }
    default: {  // 77
      // Card, channel, preambles, delimiter, then at least a short
      // address, command and byte count.
      if (data.size() < 7) return Reply{OwnFrame(request, kRcTooFewDataBytes, {}), now};
      Request inner;
      inner.delimiter = data[3];
      const std::size_t addressLength = (inner.delimiter & 0x80) != 0 ? 5 : 1;
      const std::size_t countAt = 4 + addressLength + 1;
      if (data.size() <= countAt || data.size() < countAt + 1 + data[countAt]) {
        return Reply{OwnFrame(request, kRcTooFewDataBytes, {}), now};
      }
      inner.address.assign(data.begin() + 4, data.begin() + 4 + addressLength);
      inner.command = data[4 + addressLength];
      inner.data.assign(data.begin() + countAt + 1, data.begin() + countAt + 1 + data[countAt]);
      inner.checksumOk = true;  // the gateway makes the frame on its channel
      SubDevice* sub = OnChannel(data[0], data[1]);
      if (inner.delimiter != kDelimiterRequestShort && inner.delimiter != kDelimiterRequestLong) {
        sub = nullptr;
      }
      if (sub == nullptr || !sub->device.Matches(inner)) {
        return Reply{OwnFrame(request, kRcInvalidSelection, {}), now};
      }
      if (Outstanding(now) >= config_.maxOutstanding) {
        return Reply{OwnFrame(request, kRcGatewayBusy, {}), now};
      }
      auto routed = Routed(*sub, inner, now);
      if (!routed || routed->frame.empty()) return std::nullopt;
      // The sub-device's reply, its checksum left off, inside the gateway's.
      std::vector<std::uint8_t> d(routed->frame.size() + 1);
      d[0] = data[0];
      d[1] = data[1];
      std::copy(routed->frame.begin(), routed->frame.end() - 1, d.begin() + 2);
      return Reply{OwnFrame(request, kRcSuccess, d), routed->dueMicros};
    }
  }
}

std::optional<Gateway::Reply> Gateway::Routed(SubDevice& sub, const Request& request,
                                              std::uint64_t now) {
  if (Outstanding(now) >= config_.maxOutstanding) {
    const std::uint8_t delimiter = request.IsLong() ? kDelimiterReplyLong : kDelimiterReplyShort;
    return Reply{AfterPreambles(sub.device.Frame(delimiter, request.address, request.command,
                                                 kRcGatewayBusy, 0, {})),
                 now};
  }
  Outcome outcome = Outcome::Answered;
  auto bytes = sub.device.Answer(request, outcome);
  if (!bytes) return std::nullopt;
  const std::uint64_t due = now + sub.latencyMicros;
  outstanding_.push_back(due);
  return Reply{AfterPreambles(*bytes), due};
}

}  // namespace sim
