#include "sim/hartsim/options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>

namespace sim {

namespace {

// Decimal, or hexadecimal after 0x. Not strtoul's base 0: a leading zero
// would make "010" octal eight, and "08" an error.
bool Number(const std::string& key, const std::string& text, unsigned long min, unsigned long max,
            unsigned long& value, std::string& error) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  errno = 0;
  char* end = nullptr;
  if (!digits.empty() && std::isxdigit(static_cast<unsigned char>(digits[0]))) {
    value = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
  }
  if (end == nullptr || *end != '\0' || errno != 0 || value < min || value > max) {
    error = key + "=" + text + ": expected a number from " + std::to_string(min) + " to " +
            std::to_string(max);
    return false;
  }
  return true;
}

template <typename T>
bool Number(const std::string& key, const std::string& text, unsigned long min, unsigned long max,
            T& out, std::string& error) {
  unsigned long v = 0;
  if (!Number(key, text, min, max, v, error)) return false;
  out = static_cast<T>(v);
  return true;
}

bool Float(const std::string& key, const std::string& text, float& out, std::string& error) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  // 1e40 is a finite double but an infinite float.
  if (text.empty() || *end != '\0' || !std::isfinite(v) || std::fabs(v) > FLT_MAX) {
    error = key + "=" + text + ": expected a number";
    return false;
  }
  out = static_cast<float>(v);
  return true;
}

bool Hex(const std::string& key, const std::string& text, std::vector<std::uint8_t>& out,
         std::string& error) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.clear();
  if (text.size() % 2 != 0) {
    error = key + "=" + text + ": expected hex bytes, two digits each";
    return false;
  }
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      error = key + "=" + text + ": expected hex bytes, two digits each";
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

// "VALUE:UNIT" for SV, TV and QV.
bool VariableValue(const std::string& key, const std::string& text, Variable& v,
                   std::string& error) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) {
    error = key + "=" + text + ": expected VALUE:UNIT";
    return false;
  }
  return Float(key, text.substr(0, colon), v.value, error) &&
         Number(key, text.substr(colon + 1), 0, 255, v.unit, error);
}

bool Flag(const std::string& key, const std::string& text, bool& out, std::string& error) {
  if (text == "1" || text == "yes" || text == "on")
    out = true;
  else if (text == "0" || text == "no" || text == "off")
    out = false;
  else {
    error = key + "=" + text + ": expected 1 or 0";
    return false;
  }
  return true;
}

// The values a key takes. A number's range is both what its setter accepts
// and what --help shows, unless `shown` says it otherwise ("N", "TEXT");
// for text it is the length.
struct Range {
  unsigned long min = 0;
  unsigned long max = 0;
  const char* shown = nullptr;
};

template <typename Target>
struct SettingOf;

// One key of --device, --fault or --gateway: its name, its values, what it
// sets and its line in --help.
template <typename Target>
struct KeyOf {
  const char* name;
  Range range;
  bool (*set)(const SettingOf<Target>&);
  const char* help;
};

// What a key's setter is given: its row, the value written and the device
// (or gateway) to set. Its checks take the row's range and name the key in
// any error.
template <typename Target>
struct SettingOf {
  const KeyOf<Target>& row;
  const std::string& value;
  Target& setup;
  std::string& error;

  template <typename T>
  bool InRange(T& out) const {
    return Number(row.name, value, row.range.min, row.range.max, out, error);
  }
  // A fault that is off until given.
  template <typename T>
  bool InRange(std::optional<T>& out) const {
    T value{};
    if (!InRange(value)) return false;
    out = value;
    return true;
  }
  // "N" or "every".
  bool CountOrEvery(std::int32_t& out) const {
    if (value == "every") {
      out = kEvery;
      return true;
    }
    return InRange(out);
  }
  // Milliseconds in range, kept as microseconds.
  bool Millis(std::uint64_t& micros) const {
    std::uint32_t millis = 0;
    if (!InRange(millis)) return false;
    micros = millis * 1000ull;
    return true;
  }
  bool Millis(std::optional<std::uint64_t>& micros) const {
    std::uint64_t value = 0;
    if (!Millis(value)) return false;
    micros = value;
    return true;
  }
  bool Real(float& out) const { return Float(row.name, value, out, error); }
  bool Bytes(std::vector<std::uint8_t>& out) const { return Hex(row.name, value, out, error); }
  bool On(bool& out) const { return Flag(row.name, value, out, error); }
  bool Text(std::string& out) const {
    if (value.size() > row.range.max) {
      error = std::string(row.name) + "=" + value + ": at most " + std::to_string(row.range.max) +
              " characters";
      return false;
    }
    out = value;
    return true;
  }
  // SV, TV or QV: variable `slot` (PV is 0), made if the device has fewer.
  bool Variable(std::size_t slot) const {
    auto& variables = setup.config.variables;
    if (variables.size() <= slot) variables.resize(slot + 1);
    return VariableValue(row.name, value, variables[slot], error);
  }
};

using Key = KeyOf<DeviceSetup>;
using Setting = SettingOf<DeviceSetup>;
using GatewayKey = KeyOf<GatewaySetup>;
using GatewaySetting = SettingOf<GatewaySetup>;

// Character times from the request's end to the reply. A device must start
// within 28; more is a device too slow for any master, kept as a fault to
// practise on.
constexpr unsigned long kMaxTurnaround = 255;

// Polling addresses: 0-15 up to revision 5, 0-63 from revision 6 on.
constexpr unsigned long kMaxPollAddress = 63;
constexpr unsigned long kMaxOldPollAddress = 15;

// How many requests a fault may count.
constexpr unsigned long kMaxCount = 1000000;

// One row a key; --help lists them in this order.
constexpr Key kDeviceKeys[] = {
    {"addr",
     {0, kMaxPollAddress},
     [](const Setting& s) { return s.InRange(s.setup.config.pollAddress); },
     "polling address (default 0; above 15 from rev=6 on)"},
    {"rev",
     {1, 7},
     [](const Setting& s) { return s.InRange(s.setup.config.universalRevision); },
     "universal revision (default 7)"},
    {"mfr",
     {0, 255},
     [](const Setting& s) { return s.InRange(s.setup.config.manufacturer); },
     "manufacturer code (default 0x1a)"},
    {"type",
     {0, 255},
     [](const Setting& s) { return s.InRange(s.setup.config.deviceType); },
     "device type (default 0x11)"},
    {"id",
     {0, 0, "HHHHHH"},
     [](const Setting& s) {
       std::vector<std::uint8_t> id;
       if (!s.Bytes(id)) return false;
       if (id.size() != 3) {
         s.error = std::string(s.row.name) + "=" + s.value + ": expected six hex digits";
         return false;
       }
       std::copy(id.begin(), id.end(), s.setup.config.deviceId.begin());
       return true;
     },
     "six hex digits; default 000102 for the first --device, 000103 for the second, ..."},
    {"tag",
     {0, 8, "TEXT"},
     [](const Setting& s) { return s.Text(s.setup.config.tag); },
     "at most 8 characters, served in packed ASCII (upper case)"},
    {"longtag",
     {0, 32, "TEXT"},
     [](const Setting& s) { return s.Text(s.setup.config.longTag); },
     "long tag (command 20, revision 6 on): at most 32 characters, Latin-1"},
    {"desc",
     {0, 16, "TEXT"},
     [](const Setting& s) { return s.Text(s.setup.config.descriptor); },
     "descriptor: at most 16 characters, likewise"},
    {"current",
     {0, 0, "MA"},
     [](const Setting& s) { return s.Real(s.setup.config.loopCurrent); },
     "loop current in mA (default 12)"},
    {"pv",
     {0, 0, "VALUE"},
     [](const Setting& s) { return s.Real(s.setup.config.variables.at(0).value); },
     "primary variable (default 12.5)"},
    {"unit",
     {0, 255},
     [](const Setting& s) { return s.InRange(s.setup.config.variables.at(0).unit); },
     "the primary variable's unit code (default 7, bar)"},
    {"lrv",
     {0, 0, "VALUE"},
     [](const Setting& s) { return s.Real(s.setup.config.lowerRange); },
     "lower range value, the PV at 4 mA (default 0); command 2 gives the PV's percent of the "
     "range"},
    {"urv",
     {0, 0, "VALUE"},
     [](const Setting& s) { return s.Real(s.setup.config.upperRange); },
     "upper range value, the PV at 20 mA (default 25)"},
    {"morestatus",
     {0, 25, "HEX"},
     [](const Setting& s) {
       std::vector<std::uint8_t> bytes;
       if (!s.Bytes(bytes)) return false;
       if (bytes.size() < 6 || bytes.size() > s.row.range.max) {
         s.error = std::string(s.row.name) + "=" + s.value + ": expected 6 to 25 hex bytes";
         return false;
       }
       s.setup.config.additionalStatus = bytes;
       return true;
     },
     "command 48's data (6 to 25 bytes; byte 6 the extended device status); status=0x10 tells "
     "masters to ask for it"},
    {"sv",
     {0, 0, "VALUE:UNIT"},
     [](const Setting& s) { return s.Variable(1); },
     "secondary variable and its unit code"},
    {"tv",
     {0, 0, "VALUE:UNIT"},
     [](const Setting& s) { return s.Variable(2); },
     "tertiary variable, likewise"},
    {"qv",
     {0, 0, "VALUE:UNIT"},
     [](const Setting& s) { return s.Variable(3); },
     "quaternary variable, likewise"},
    {"legacy",
     {0, 0, "1"},
     [](const Setting& s) { return s.On(s.setup.config.legacyCommandZero); },
     "old command-0 layout without the 254 marker"},
    {"status",
     {0, 255},
     [](const Setting& s) { return s.InRange(s.setup.config.deviceStatus); },
     "device status byte"},
    {"turnaround",
     {0, kMaxTurnaround},
     [](const Setting& s) { return s.InRange(s.setup.config.turnaroundChars); },
     "character times before the reply (default 2; a device must start within 28, more is a "
     "device too slow)"},
    {"preambles",
     {5, 20},
     [](const Setting& s) { return s.InRange(s.setup.config.responsePreambles); },
     "preambles before each reply (default 5)"},
    {"need",
     {2, 20},
     [](const Setting& s) { return s.InRange(s.setup.config.requestPreambles); },
     "preambles a request needs to be heard (default 5; told to masters in command 0)"},
};

constexpr Key kFaultKeys[] = {
    // The caller's: it chooses the device.
    {"addr", {0, kMaxPollAddress}, [](const Setting&) { return true; }, "the device (default 0)"},
    {"silent",
     {0, 0, "1"},
     [](const Setting& s) { return s.On(s.setup.faults.silent); },
     "answers nothing, bursts nothing"},
    {"busy",
     {0, kMaxCount, "N"},
     [](const Setting& s) { return s.InRange(s.setup.faults.busy); },
     "the next N requests answered busy (0x20)"},
    {"delayed",
     {0, kMaxCount, "N"},
     [](const Setting& s) { return s.InRange(s.setup.faults.delayed); },
     "the next N answered delayed response (0x21, then 0x22)"},
    {"commerror",
     {0, kMaxCount, "N|every"},
     [](const Setting& s) { return s.CountOrEvery(s.setup.faults.commErrors); },
     "communication-error status in the next N replies"},
    {"commbits",
     {0, 0x7F},
     [](const Setting& s) { return s.InRange(s.setup.faults.commErrorBits); },
     "the communication-error bits (default 0x08, parity)"},
    {"burst",
     {10, 60000, "1|long|PERIOD"},
     [](const Setting& s) {
       auto& f = s.setup.faults;
       // A number is a period in milliseconds, on a strict grid.
       if (s.value != "0" && s.value != "1" && s.value != "long") {
         if (!s.Millis(f.burstPeriodMicros)) {
           s.error += " (or 1, long, 0)";
           return false;
         }
         f.burstStrict = true;
       }
       f.burst = s.value != "0";
       f.burstLong = s.value == "long";
       return true;
     },
     "command-3 frames three times a second: long from revision 5 on, short below (long: "
     "always); PERIOD (10..60000 ms) on that strict grid"},
    {"burstperiod",
     {10, 60000},
     [](const Setting& s) { return s.Millis(s.setup.faults.burstPeriodMicros); },
     "ms between burst frames"},
    {"othermaster",
     {0, 0, "1"},
     [](const Setting& s) { return s.On(s.setup.faults.otherMaster); },
     "an active secondary master asking the device: in every turn of its own (after a "
     "burst frame naming the primary master, after the primary's exchange), else after "
     "its RT1 of silence; a frame overlapping another garbles both"},
    {"othermasterperiod",
     {10, 60000},
     [](const Setting& s) { return s.Millis(s.setup.faults.otherMasterPeriodMicros); },
     "ms between its requests (default 1000)"},
    {"badchecksum",
     {0, kMaxCount, "N|every"},
     [](const Setting& s) { return s.CountOrEvery(s.setup.faults.badChecksums); },
     "a wrong checksum in the next N replies"},
    {"garbage",
     {0, 0, "HEX"},
     [](const Setting& s) { return s.Bytes(s.setup.faults.garbage); },
     "bytes before every reply's preambles"},
    {"zeros",
     {0, 255},
     [](const Setting& s) {
       std::uint32_t n = 0;
       if (!s.InRange(n)) return false;
       s.setup.faults.garbage.insert(s.setup.faults.garbage.end(), n, 0x00);
       return true;
     },
     "that many zero bytes before every reply's preambles, after garbage="},
    {"truncate",
     {0, 1000},
     [](const Setting& s) { return s.InRange(s.setup.faults.truncateAfter); },
     "replies cut after that many bytes (0: whole)"},
    {"truncations",
     {0, kMaxCount, "N|every"},
     [](const Setting& s) { return s.CountOrEvery(s.setup.faults.truncations); },
     "only the next N replies cut (default every)"},
    {"echo",
     {0, 0, "1"},
     [](const Setting& s) { return s.On(s.setup.faults.echo); },
     "the modem echoes each request before the reply"},
    {"drop",
     {0, 1},
     [](const Setting& s) {
       float fraction = 0;
       if (!s.Real(fraction)) return false;
       if (fraction < s.row.range.min || fraction > s.row.range.max) {
         s.error = std::string(s.row.name) + "=" + s.value + ": expected a fraction from " +
                   std::to_string(s.row.range.min) + " to " + std::to_string(s.row.range.max);
         return false;
       }
       s.setup.faults.dropFraction = fraction;
       return true;
     },
     "the fraction of requests ignored at random"},
    {"seed",
     {0, 0xFFFFFFFFul, "N"},
     [](const Setting& s) { return s.InRange(s.setup.faults.seed); },
     "their random seed (default 1)"},
    {"dropnext",
     {0, kMaxCount, "N"},
     [](const Setting& s) { return s.InRange(s.setup.faults.dropNext); },
     "the next N requests ignored"},
    {"turnaround",
     {0, kMaxTurnaround},
     [](const Setting& s) { return s.InRange(s.setup.config.turnaroundChars); },
     "as the device key"},
    {"preambles",
     {5, 20},
     [](const Setting& s) { return s.InRange(s.setup.config.responsePreambles); },
     "as the device key"},
    {"hangup",
     {1, 60000},
     [](const Setting& s) { return s.InRange(s.setup.faults.hangupMillis); },
     "ms into the next reply: the line drops, as a modem pulled out, and a fresh terminal takes "
     "the link at once"},
    {"notimpl",
     {0, 255},
     [](const Setting& s) {
       std::uint32_t command = 0;
       if (!s.InRange(command)) return false;
       s.setup.faults.notImplemented.push_back(static_cast<std::uint8_t>(command));
       return true;
     },
     "a command answered with code 64 and no data (repeatable)"},
    {"noise",
     {0, 0, "HEX"},
     [](const Setting& s) { return s.Bytes(s.setup.faults.noise); },
     "bytes among every reply's preambles"},
    {"stray",
     {0, 0, "HEX"},
     [](const Setting& s) { return s.Bytes(s.setup.faults.stray); },
     "bytes on the idle line after every request on the loop (after its answer, if any)"},
    {"strayafter",
     {0, 255},
     [](const Setting& s) { return s.InRange(s.setup.faults.strayAfterChars); },
     "character times of silence before them (default 20)"},
};

// Made-up sub-devices, at most; with the ones of --device, they fill the
// cards' channels one each.
constexpr unsigned long kMaxSubDevices = 1000;

constexpr GatewayKey kGatewayKeys[] = {
    {"subdevices",
     {0, kMaxSubDevices, "N"},
     [](const GatewaySetting& s) { return s.InRange(s.setup.subDevices); },
     "N sub-devices made up (tags SD-1, SD-2, ...; every fourth of revision 5), after those of "
     "--device, which are sub-devices too"},
    {"channels",
     {1, 255},
     [](const GatewaySetting& s) { return s.InRange(s.setup.config.channelsPerCard); },
     "channels on each I/O card, one sub-device on each (default 16)"},
    {"latency",
     {0, 600000},
     [](const GatewaySetting& s) { return s.Millis(s.setup.latencyMicros); },
     "ms before a sub-device's answer comes back (default 500)"},
    {"max",
     {1, 255},
     [](const GatewaySetting& s) { return s.InRange(s.setup.config.maxOutstanding); },
     "requests to sub-devices held at once, as command 74 reports (default 8); one more is "
     "answered busy"},
    {"bychannel",
     {0, kMaxSubDevices, "N"},
     [](const GatewaySetting& s) { return s.InRange(s.setup.byChannel); },
     "the first N sub-devices are reached only through command 77, by card and channel; a "
     "request to their long address goes unanswered"},
    {"moveport",
     {0, 0, "1"},
     [](const GatewaySetting& s) { return s.On(s.setup.faults.movePort); },
     "answer Session Initiate over UDP from a new port, and serve the session there"},
    {"restart",
     {0, kMaxCount, "N"},
     [](const GatewaySetting& s) { return s.InRange(s.setup.faults.restartAfter); },
     "restart when the request after the first N arrives: every session forgotten, that "
     "request unanswered, a host without a session ignored"},
    {"restartat",
     {0, 86400000},
     [](const GatewaySetting& s) { return s.Millis(s.setup.faults.restartAtMicros); },
     "restart so many ms after start instead"},
    {"silent",
     {0, kMaxCount, "N"},
     [](const GatewaySetting& s) { return s.InRange(s.setup.faults.silentAfter); },
     "answer nothing at all after the first N requests (0: from the start)"},
};

// A row left without its setter or help, or a name given twice (the second
// row would never be reached), fails the build.
template <typename Target>
constexpr bool WellFormed(std::span<const KeyOf<Target>> keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].set == nullptr || keys[i].help == nullptr || keys[i].help[0] == '\0') return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (std::string_view(keys[i].name) == keys[j].name) return false;
    }
  }
  return true;
}
static_assert(WellFormed<DeviceSetup>(kDeviceKeys),
              "each device key once, with its setter and help");
static_assert(WellFormed<DeviceSetup>(kFaultKeys), "each fault key once, with its setter and help");
static_assert(WellFormed<GatewaySetup>(kGatewayKeys),
              "each gateway key once, with its setter and help");

// Calls `handle(row, value)` for each key=value of a comma-separated list.
// Empty items ("a=1,,b=2") are skipped.
template <typename Target, typename Handle>
bool ForEachKey(std::string_view list, std::span<const KeyOf<Target>> keys, const char* kind,
                std::string& error, Handle handle) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    if (item.empty()) continue;
    const auto equals = item.find('=');
    const std::string key(item.substr(0, equals));
    const auto row =
        std::find_if(keys.begin(), keys.end(), [&](const auto& k) { return key == k.name; });
    if (row == keys.end()) {
      error = std::string("unknown ") + kind + " key '" + key + "'";
      return false;
    }
    if (equals == std::string_view::npos) {
      error = "key '" + key + "' needs a value";
      return false;
    }
    if (!handle(*row, std::string(item.substr(equals + 1)))) return false;
  }
  return true;
}

template <typename Target>
bool SetKeys(std::string_view keys, std::span<const KeyOf<Target>> table, const char* kind,
             Target& setup, std::string& error) {
  return ForEachKey(keys, table, kind, error,
                    [&](const KeyOf<Target>& row, const std::string& value) {
                      return row.set(SettingOf<Target>{row, value, setup, error});
                    });
}

// "  addr=0..63        polling address ...", the help wrapped to 79
// columns; a long key puts its help on the next line.
template <typename Target>
void AppendKeys(std::string& out, std::span<const KeyOf<Target>> keys) {
  constexpr std::size_t kHelpColumn = 20;
  constexpr std::size_t kWidth = 79;
  for (const auto& k : keys) {
    std::string line = std::string("  ") + k.name + "=" +
                       (k.range.shown != nullptr
                            ? std::string(k.range.shown)
                            : std::to_string(k.range.min) + ".." + std::to_string(k.range.max));
    if (line.size() >= kHelpColumn) {
      out += line + "\n";
      line.clear();
    }
    line.resize(kHelpColumn, ' ');
    bool lineEmpty = true;
    std::string_view words = k.help;
    while (!words.empty()) {
      const auto space = words.find(' ');
      const std::string_view word = words.substr(0, space);
      words.remove_prefix(space == std::string_view::npos ? words.size() : space + 1);
      if (!lineEmpty && line.size() + 1 + word.size() > kWidth) {
        out += line + "\n";
        line.assign(kHelpColumn, ' ');
        lineEmpty = true;
      }
      if (!lineEmpty) line += ' ';
      line += word;
      lineEmpty = false;
    }
    out += line + "\n";
  }
}

}  // namespace

bool ParseDevice(std::string_view keys, DeviceSetup& setup, std::string& error) {
  return SetKeys<DeviceSetup>(keys, kDeviceKeys, "device", setup, error);
}

bool ParseFault(std::string_view keys, DeviceSetup& setup, std::string& error) {
  return SetKeys<DeviceSetup>(keys, kFaultKeys, "fault", setup, error);
}

bool ParseGateway(std::string_view keys, GatewaySetup& setup, std::string& error) {
  return SetKeys<GatewaySetup>(keys, kGatewayKeys, "gateway", setup, error);
}

namespace {

// Long options without a short form; one more goes in the enum, the table
// and the switch in ParseCommandLine.
enum LongOnly {
  kOptDevice = 0x100,
  kOptFault,
  kOptLink,
  kOptVersion,
  kOptTrace,
  kOptHartIp,
  kOptPskFile,
  kOptGateway
};

const option kOptions[] = {
    {"device", required_argument, nullptr, kOptDevice},
    {"fault", required_argument, nullptr, kOptFault},
    {"link", required_argument, nullptr, kOptLink},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {"trace", required_argument, nullptr, kOptTrace},
    {"hart-ip", required_argument, nullptr, kOptHartIp},
    {"psk-file", required_argument, nullptr, kOptPskFile},
    {"gateway", required_argument, nullptr, kOptGateway},
    {nullptr, 0, nullptr, 0},
};
// Leading ':' makes getopt_long report a missing value as ':' (not '?')
// and keeps it from printing anything itself.
constexpr char kShortOptions[] = ":vh";

// The option as it was written, for messages: "--link", "-x".
std::string OptionName(int code, const char* written) {
  for (const option* o = kOptions; o->name != nullptr; ++o) {
    if (o->val == code) return std::string("--") + o->name;
  }
  if (code > 0 && code < 0x100) return std::string("-") + static_cast<char>(code);
  return written;
}

bool AddDevice(const std::string& keys, Options& o, std::string& error) {
  DeviceSetup setup;
  // Distinct long addresses unless id= says otherwise.
  setup.config.deviceId[2] = static_cast<std::uint8_t>(0x02 + o.devices.size());
  if (!ParseDevice(keys, setup, error)) return false;
  // Checked once all keys are in, as addr= and rev= come in any order.
  if (setup.config.pollAddress > kMaxOldPollAddress && setup.config.universalRevision < 6) {
    error = "addr=" + std::to_string(setup.config.pollAddress) +
            ": addresses above 15 need rev=6 or later";
    return false;
  }
  for (const auto& d : o.devices) {
    if (d.config.pollAddress == setup.config.pollAddress) {
      error = "polling address " + std::to_string(setup.config.pollAddress) +
              " is taken by an earlier --device";
      return false;
    }
  }
  o.devices.push_back(setup);
  return true;
}

bool AddFault(const std::string& keys, Options& o, std::string& error) {
  std::uint8_t addr = 0;
  if (!ForEachKey<DeviceSetup>(
          keys, kFaultKeys, "fault", error, [&](const Key& row, const std::string& v) {
            return std::string_view(row.name) != "addr" ||
                   Number(row.name, v, row.range.min, row.range.max, addr, error);
          })) {
    return false;
  }
  for (auto& d : o.devices) {
    if (d.config.pollAddress == addr) return ParseFault(keys, d, error);
  }
  error = "no device at polling address " + std::to_string(addr) + " (give it with --device)";
  return false;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, Options& o, std::string& error) {
  std::vector<std::string> words{"hartsim"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(words.size());

  std::vector<std::string> faults;
  // optind 0: glibc starts afresh, also when called again in one process.
  optind = 0;
  opterr = 0;
  for (;;) {
    const int code = ::getopt_long(argc, argv.data(), kShortOptions, kOptions, nullptr);
    if (code == -1) break;
    const std::string value = optarg != nullptr ? optarg : "";
    switch (code) {
      case 'h':
        o.help = true;
        break;
      case 'v':
        o.verbose = true;
        break;
      case kOptVersion:
        o.version = true;
        break;
      case kOptLink:
      case kOptTrace:
      case kOptPskFile:
        if (value.empty()) {
          error = "option '" + OptionName(code, "") + "' needs a non-empty value";
          return false;
        }
        (code == kOptLink ? o.link : code == kOptTrace ? o.trace : o.pskFile) = value;
        break;
      case kOptHartIp:
        o.hartIp = value;
        break;
      case kOptGateway:
        o.gateway.on = true;
        if (!ParseGateway(value, o.gateway, error)) {
          error = "--gateway: " + error;
          return false;
        }
        break;
      case kOptDevice:
        if (!AddDevice(value, o, error)) {
          error = "--device: " + error;
          return false;
        }
        break;
      case kOptFault:
        faults.push_back(value);  // last, so faults may name devices given after them
        break;
      case ':':
        error = "option '" + OptionName(optopt, argv[optind - 1]) + "' requires an argument";
        return false;
      default: {
        const std::string written = argv[optind - 1];
        // A long option given a value it does not take comes back as '?'
        // with its own code in optopt.
        if (optopt != 0 && written.rfind("--", 0) == 0) {
          error = "option '" + OptionName(optopt, written.c_str()) + "' doesn't allow an argument";
        } else {
          error = "unrecognized option '" +
                  (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : written) + "'";
        }
        return false;
      }
    }
  }
  if (optind < argc) {
    error = "unexpected argument '" + std::string(argv[optind]) + "'";
    return false;
  }
  if (!o.hartIp.empty() && !o.link.empty()) {
    error = "--hart-ip serves the devices instead of a terminal; --link has none to link";
    return false;
  }
  if (!o.pskFile.empty() && o.hartIp.empty()) {
    error = "--psk-file keys the HART-IP sessions; it goes with --hart-ip";
    return false;
  }
  if (o.gateway.on) {
    if (o.hartIp.empty()) {
      error = "--gateway serves its devices over HART-IP: give --hart-ip too";
      return false;
    }
    const std::size_t all = o.devices.size() + o.gateway.subDevices;
    if (all > 255ul * o.gateway.config.channelsPerCard) {
      error = "--gateway: " + std::to_string(all) + " sub-devices do not fit on 255 cards of " +
              std::to_string(o.gateway.config.channelsPerCard) + " channels";
      return false;
    }
  }
  // A gateway of made-up sub-devices needs no --device.
  if (o.devices.empty() && !(o.gateway.on && o.gateway.subDevices > 0)) {
    o.devices.push_back(DeviceSetup{});
  }

  for (const auto& keys : faults) {
    if (!AddFault(keys, o, error)) {
      error = "--fault: " + error;
      return false;
    }
  }
  return true;
}

DeviceConfig MadeUpSubDevice(std::size_t index) {
  DeviceConfig c;
  const std::size_t number = index + 1;
  c.universalRevision = index % 4 == 3 ? 5 : 7;
  c.deviceId = {0x20, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
  c.tag = "SD-" + std::to_string(number);
  if (c.universalRevision >= 6) c.longTag = "SUB-DEVICE " + std::to_string(number);
  c.loopCurrent = 4.0f + static_cast<float>(index % 17);
  c.variables = {{kUnitBar, 1.0f + 0.25f * static_cast<float>(index)}};
  return c;
}

std::string DeviceLine(const DeviceConfig& c) {
  const auto packed = PackAscii(c.tag, 8);
  std::string tag = UnpackAscii(packed.data(), packed.size());
  tag.erase(tag.find_last_not_of(' ') + 1);
  char id[8];
  std::snprintf(id, sizeof id, "%02X%02X%02X", c.deviceId[0], c.deviceId[1], c.deviceId[2]);
  return "device: address " + std::to_string(c.pollAddress) + ", revision " +
         std::to_string(c.universalRevision) + ", id " + id + ", tag " + tag;
}

namespace {

std::string UsageText() {
  std::string text = R"(Usage: hartsim [OPTION]...
Serves simulated HART field devices on a pseudo-terminal and prints its path,
or as a HART-IP gateway (--hart-ip), until SIGINT, SIGTERM or SIGHUP.

Options (--option VALUE or --option=VALUE):
      --device KEYS  add a device (repeatable); with none, one revision-7
                     device at address 0 tagged PT-101
      --fault KEYS   give the device at addr= a fault (repeatable)
      --link PATH    make PATH (e.g. /dev/com8) a symbolic link to the
                     terminal, removed again on exit. A link left by a
                     simulator that was killed is replaced; anything else at
                     PATH is refused.
      --trace FILE   write every frame on the line, from the device side, to
                     FILE, a capture Wireshark reads (HART-IP)
      --hart-ip [ADDR:]PORT
                     serve the devices as a HART-IP gateway on UDP and TCP
                     PORT (5094 is HART-IP's; 0 picks a free one), instead
                     of a terminal; at most 4 sessions at once
      --psk-file FILE
                     with --hart-ip: serve HART-IP version 2 only, TLS on
                     TCP and DTLS on UDP, keyed by FILE's one line
                     IDENTITY:KEY (key in hex; FILE readable by you alone)
      --gateway KEYS serve them behind a gateway of hartsim's own (with
                     --hart-ip): the gateway answers polling address 0 and
                     commands 74, 84 and 77; each device is a sub-device on a
                     card and channel, reached by its long address, answering
                     after a latency, many at once
  -v, --verbose      print a line for every request a device recognises
  -h, --help         this text
      --version      the version

Device KEYS, comma-separated key=value (numbers decimal or 0x hex):
)";
  AppendKeys<DeviceSetup>(text, kDeviceKeys);
  text += R"(
Fault KEYS (N is a count of requests; "every" where shown):
)";
  AppendKeys<DeviceSetup>(text, kFaultKeys);
  text += R"(
Gateway KEYS (N is a count of token-passing requests):
)";
  AppendKeys<GatewaySetup>(text, kGatewayKeys);
  text += R"(
A bursting device leaves 8 quiet characters after each frame, alternates the
master it names, and loses any request begun while it sends.

Example:
  hartsim --link /dev/com8 --device addr=0,rev=7,id=000102,tag=PT-101 \
          --device addr=3,rev=4,legacy=1,tag=TT-3 --fault addr=3,busy=2
  hartsim --hart-ip 5094 --gateway subdevices=60,latency=500,channels=8
)";
  return text;
}

}  // namespace

const char* Usage() {
  // Built once, from the key tables, so that no key goes without its help.
  static const std::string text = UsageText();
  return text.c_str();
}

const char* Version() {
  return "hartsim " VELTROP_VERSION;
}

}  // namespace sim
