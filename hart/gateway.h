// A gateway or I/O system's own commands, as the master reads them: 74
// (what the I/O system holds), 84 (one sub-device's identity summary) and
// 20 (a long tag, any device from universal revision 6). Pure decoding:
// the data bytes after the two status bytes go in, every count checked
// before a byte is read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "hart/reply.h"

namespace hart {

// Universal revision 6 brought the 32-character long tag.
inline constexpr std::uint8_t kLongTagRevision = 6;
inline constexpr std::size_t kLongTagSize = 32;

// Command 74's answer.
struct IoCapabilities {
  std::uint8_t cards = 0;
  std::uint8_t channelsPerCard = 0;
  std::uint8_t subDevicesPerChannel = 0;
  // Devices the gateway knows, itself included: its sub-devices are the
  // indexes 1 to devicesKnown - 1 of command 84.
  std::uint16_t devicesKnown = 0;
  // Requests to sub-devices it holds at once; one more is answered busy.
  std::uint8_t maxOutstanding = 0;
  std::uint8_t masterMode = 0;
  std::uint8_t retries = 0;
};
std::optional<IoCapabilities> DecodeIoCapabilities(const std::uint8_t* data, std::size_t length);

// Command 84's answer for one index.
struct SubDeviceSummary {
  std::uint16_t index = 0;
  std::uint8_t card = 0;
  std::uint8_t channel = 0;
  std::uint16_t manufacturer = 0;
  // The bytes of the sub-device's long address: high byte first.
  std::uint16_t expandedDeviceType = 0;
  std::uint32_t identifier = 0;
  std::uint8_t universalRevision = 0;
  std::string longTag;  // without its NUL padding
  std::uint8_t deviceRevision = 0;
  std::uint8_t profile = 0;
  std::uint16_t distributor = 0;
};
std::optional<SubDeviceSummary> DecodeSubDeviceSummary(const std::uint8_t* data,
                                                       std::size_t length);

// Command 84's request data: the index, big-endian.
std::array<std::uint8_t, 2> SubDeviceSummaryRequest(std::uint16_t index);

// Command 20's long tag, Latin-1 as sent, without its NUL padding.
std::optional<std::string> DecodeLongTag(const std::uint8_t* data, std::size_t length);

}  // namespace hart
