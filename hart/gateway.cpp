#include "hart/gateway.h"

namespace hart {

namespace {

constexpr std::size_t kCapabilitiesSize = 8;
constexpr std::size_t kSummarySize = 48;
constexpr std::size_t kSummaryLongTagAt = 12;

std::uint16_t Be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// A NUL-padded Latin-1 field: the text up to its first NUL.
std::string Padded(const std::uint8_t* p, std::size_t size) {
  std::size_t n = 0;
  while (n < size && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

std::optional<IoCapabilities> DecodeIoCapabilities(const std::uint8_t* data, std::size_t length) {
  if (data == nullptr || length < kCapabilitiesSize) return std::nullopt;
  IoCapabilities c;
  c.cards = data[0];
  c.channelsPerCard = data[1];
  c.subDevicesPerChannel = data[2];
  c.devicesKnown = Be16(data + 3);
  c.maxOutstanding = data[5];
  c.masterMode = data[6];
  c.retries = data[7];
  return c;
}

std::optional<SubDeviceSummary> DecodeSubDeviceSummary(const std::uint8_t* data,
                                                       std::size_t length) {
  if (data == nullptr || length < kSummarySize) return std::nullopt;
  SubDeviceSummary s;
  s.index = Be16(data);
  s.card = data[2];
  s.channel = data[3];
  s.manufacturer = Be16(data + 4);
  s.expandedDeviceType = Be16(data + 6);
  s.identifier = (std::uint32_t{data[8]} << 16) | (std::uint32_t{data[9]} << 8) | data[10];
  s.universalRevision = data[11];
  s.longTag = Padded(data + kSummaryLongTagAt, kLongTagSize);
  s.deviceRevision = data[44];
  s.profile = data[45];
  s.distributor = Be16(data + 46);
  return s;
}

std::array<std::uint8_t, 2> SubDeviceSummaryRequest(std::uint16_t index) {
  return {static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)};
}

std::optional<std::string> DecodeLongTag(const std::uint8_t* data, std::size_t length) {
  if (data == nullptr || length < kLongTagSize) return std::nullopt;
  return Padded(data, kLongTagSize);
}

}  // namespace hart
