#include "hart/device_info.h"

#include <array>
#include <utility>

namespace hart {

namespace {

constexpr std::size_t kIdentityBytes = 12;
constexpr std::uint8_t kExpandedFormat = 254;
// From universal revision 7 bytes 1-2 are a 16-bit expanded device type and
// the manufacturer's code moves to bytes 17-18.
constexpr std::uint8_t kExpandedTypeRevision = 7;
constexpr std::size_t kManufacturer16At = 17;

std::uint16_t Word(const std::uint8_t* at) {
  return static_cast<std::uint16_t>((at[0] << 8) | at[1]);
}

// Common table of engineering units, codes 1 to 69 and the four reserved
// codes at the top; plain ASCII, as every text the program shows.
constexpr std::array<std::string_view, 70> kUnits = {
    "",          "inH2O",    "inHg",       "ftH2O", "mmH2O", "mmHg", "psi",      "bar",
    "mbar",      "g/cm2",    "kg/cm2",     "Pa",    "kPa",   "torr", "atm",      "ft3/min",
    "gal/min",   "l/min",    "impgal/min", "m3/h",  "ft/s",  "m/s",  "gal/s",    "Mgal/d",
    "l/s",       "Ml/d",     "ft3/s",      "ft3/d", "m3/s",  "m3/d", "impgal/h", "impgal/d",
    "degC",      "degF",     "degR",       "K",     "mV",    "ohm",  "Hz",       "mA",
    "gal",       "l",        "impgal",     "m3",    "ft",    "m",    "bbl",      "in",
    "cm",        "mm",       "min",        "s",     "h",     "d",    "cSt",      "cP",
    "uS",        "%",        "V",          "pH",    "g",     "kg",   "t",        "lb",
    "short ton", "long ton", "mS/cm",      "uS/cm", "N",     "J",
};

}  // namespace

bool DecodeIdentity(const std::uint8_t* data, std::size_t length, Identity& identity) {
  if (length < kIdentityBytes) return false;
  const std::uint8_t* d = data;
  Identity id;
  id.expanded = d[0] == kExpandedFormat;
  if (id.expanded) {
    id.deviceType = d[2];
    id.requestPreambles = d[3];
    id.universalRevision = d[4];
    id.deviceRevision = d[5];
    id.softwareRevision = d[6];
    id.hardwareRevision = d[7] >> 3;  // the low three bits are the physical signalling code
    id.identifier = (std::uint32_t{d[9]} << 16) | (std::uint32_t{d[10]} << 8) | d[11];
    if (id.universalRevision >= kExpandedTypeRevision) {
      id.expandedDeviceType = Word(d + 1);
      if (length >= kManufacturer16At + 2) id.manufacturer = Word(d + kManufacturer16At);
    } else {
      id.manufacturer = d[1];
    }
  } else {
    id.deviceType = d[0];
    id.requestPreambles = d[1];
    id.universalRevision = d[2];
    id.deviceRevision = d[3];
    id.softwareRevision = d[4];
    id.hardwareRevision = d[5];
    id.identifier = (std::uint32_t{d[7]} << 16) | (std::uint32_t{d[8]} << 8) | d[9];
  }
  identity = id;
  return true;
}

namespace {

std::vector<std::string_view> BitNames(std::uint8_t status, const std::string_view (&bits)[8]) {
  std::vector<std::string_view> names;
  for (int bit = 0; bit < 8; ++bit) {
    if ((status & (0x80 >> bit)) != 0 && !bits[bit].empty()) names.push_back(bits[bit]);
  }
  return names;
}

}  // namespace

std::vector<std::string_view> DeviceStatusNames(std::uint8_t status) {
  static constexpr std::string_view kBits[8] = {
      "device malfunction",
      "configuration changed",
      "cold start",
      "more status available",
      "loop current fixed",
      "loop current saturated",
      "non-primary variable out of limits",
      "primary variable out of limits",
  };
  return BitNames(status, kBits);
}

std::vector<std::string_view> ExtendedStatusNames(std::uint8_t status) {
  // The top two bits are undefined.
  static constexpr std::string_view kBits[8] = {
      "",
      "",
      "function check",
      "out of specification",
      "failure",
      "critical power failure",
      "device variable alert",
      "maintenance required",
  };
  return BitNames(status, kBits);
}

std::string ResponseCodeText(std::uint8_t code) {
  // The codes most commands share; 8-15 and 17-31 mean different things
  // to different commands and are left to the number.
  static constexpr std::pair<std::uint8_t, std::string_view> kNames[] = {
      {0, "success"},
      {2, "invalid selection"},
      {3, "passed parameter too large"},
      {4, "passed parameter too small"},
      {5, "too few data bytes received"},
      {6, "device-specific command error"},
      {7, "in write protect mode"},
      {16, "access restricted"},
      {32, "busy"},
      {33, "delayed response initiated"},
      {34, "delayed response running"},
      {35, "delayed response dead"},
      {36, "delayed response conflict"},
      {64, "command not implemented"},
  };
  std::string text = std::to_string(code);
  for (const auto& [number, name] : kNames) {
    if (number == code) return text + " " + std::string(name);
  }
  return text;
}

std::string_view UnitName(std::uint8_t code) {
  if (code < kUnits.size()) return kUnits[code];
  switch (code) {
    case 250:
      return "not used";
    case 251:
      return "none";
    case 252:
      return "unknown";
    case 253:
      return "special";
    default:
      return {};
  }
}

}  // namespace hart
