// What a field device says about itself: the identity in its answer to
// command 0, the names of the field device status bits and of the common
// response codes, and the names of HART's engineering unit codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hart {

struct Identity {
  // The expanded layout (first data byte 254); the older layout carries no
  // manufacturer code and no expanded device type.
  bool expanded = false;
  std::optional<std::uint16_t> manufacturer;
  std::uint8_t deviceType = 0;
  std::optional<std::uint16_t> expandedDeviceType;  // universal revision 7 on
  std::uint8_t universalRevision = 0;
  std::uint8_t deviceRevision = 0;
  std::uint8_t softwareRevision = 0;
  std::uint8_t hardwareRevision = 0;
  std::uint8_t requestPreambles = 0;  // preambles the device needs in a master's request
  std::uint32_t identifier = 0;
};

// `data` holds `length` data bytes of a command-0 answer (after the two
// status bytes). False when they are fewer than the 12 every layout has.
bool DecodeIdentity(const std::uint8_t* data, std::size_t length, Identity& identity);

// The names of the bits set in a field device status byte, most significant
// first.
std::vector<std::string_view> DeviceStatusNames(std::uint8_t status);

// The names of the bits set in command 48's extended device status byte,
// most significant first.
std::vector<std::string_view> ExtendedStatusNames(std::uint8_t status);

// A response code (bit 7 clear) as "64 command not implemented". Codes a
// command gives a meaning of its own are named by number alone.
std::string ResponseCodeText(std::uint8_t code);

// The symbol of an engineering unit code; empty for a code not listed here
// (a device-specific or rarely used unit).
std::string_view UnitName(std::uint8_t code);

}  // namespace hart
