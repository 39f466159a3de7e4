#include "sim/hartsim/options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

struct Setting;

// One key of --device or --fault: its name, its values, what it sets and
// its line in --help.
struct Key {
  const char* name;
  Range range;
  bool (*set)(const Setting&);
  const char* help;
};

// What a key's setter is given: its row, the value written and the device
// to set. Its checks take the row's range and name the key in any error.
struct Setting {
  const Key& row;
  const std::string& value;
  DeviceSetup& setup;
  std::string& error;

  template <typename T>
  bool InRange(T& out) const {
    return Number(row.name, value, row.range.min, row.range.max, out, error);
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
     "a secondary master's request and the device's answer, in the secondary's turn"},
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
};

// A row left without its setter or help, or a name given twice (the second
// row would never be reached), fails the build.
constexpr bool WellFormed(std::span<const Key> keys) {
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].set == nullptr || keys[i].help == nullptr || keys[i].help[0] == '\0') return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (std::string_view(keys[i].name) == keys[j].name) return false;
    }
  }
  return true;
}
static_assert(WellFormed(kDeviceKeys), "each device key once, with its setter and help");
static_assert(WellFormed(kFaultKeys), "each fault key once, with its setter and help");

// Calls `handle(row, value)` for each key=value of a comma-separated list.
// Empty items ("a=1,,b=2") are skipped.
template <typename Handle>
bool ForEachKey(std::string_view list, std::span<const Key> keys, const char* kind,
                std::string& error, Handle handle) {
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    if (item.empty()) continue;
    const auto equals = item.find('=');
    const std::string key(item.substr(0, equals));
    const auto row =
        std::find_if(keys.begin(), keys.end(), [&](const Key& k) { return key == k.name; });
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

bool SetKeys(std::string_view keys, std::span<const Key> table, const char* kind,
             DeviceSetup& setup, std::string& error) {
  return ForEachKey(keys, table, kind, error, [&](const Key& row, const std::string& value) {
    return row.set(Setting{row, value, setup, error});
  });
}

// "  addr=0..63        polling address ...", the help wrapped to 79
// columns; a long key puts its help on the next line.
void AppendKeys(std::string& out, std::span<const Key> keys) {
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
  return SetKeys(keys, kDeviceKeys, "device", setup, error);
}

bool ParseFault(std::string_view keys, DeviceSetup& setup, std::string& error) {
  return SetKeys(keys, kFaultKeys, "fault", setup, error);
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
  kOptPskFile
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
  if (!ForEachKey(keys, kFaultKeys, "fault", error, [&](const Key& row, const std::string& v) {
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
  if (o.devices.empty()) o.devices.push_back(DeviceSetup{});

  for (const auto& keys : faults) {
    if (!AddFault(keys, o, error)) {
      error = "--fault: " + error;
      return false;
    }
  }
  return true;
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
  -v, --verbose      print a line for every request a device recognises
  -h, --help         this text
      --version      the version

Device KEYS, comma-separated key=value (numbers decimal or 0x hex):
)";
  AppendKeys(text, kDeviceKeys);
  text += R"(
Fault KEYS (N is a count of requests; "every" where shown):
)";
  AppendKeys(text, kFaultKeys);
  text += R"(
A bursting device leaves 8 quiet characters after each frame, alternates the
master it names, and loses any request begun while it sends.

Example:
  hartsim --link /dev/com8 --device addr=0,rev=7,id=000102,tag=PT-101 \
          --device addr=3,rev=4,legacy=1,tag=TT-3 --fault addr=3,busy=2
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
