#include "sim/hartsim/options.h"

#include <getopt.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

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

// "N" or "every".
bool Count(const std::string& key, const std::string& text, std::int32_t& out, std::string& error) {
  if (text == "every") {
    out = kEvery;
    return true;
  }
  return Number(key, text, 0, 1000000, out, error);
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

// Calls `handle(index, key, value)` for each key=value of a comma-separated
// list, `index` being the key's place in `keys` (getsubopt's token list).
// Empty items ("a=1,,b=2") are skipped.
template <typename Handle>
bool ForEachKey(std::string_view list, char* const* keys, const char* kind, std::string& error,
                Handle handle) {
  std::string buffer(list);  // getsubopt writes its NULs into the list
  char* rest = buffer.data();
  while (*rest != '\0') {
    char* const item = rest;
    char* value = nullptr;
    const int index = ::getsubopt(&rest, keys, &value);
    if (*item == '\0') continue;
    const std::string key(item, std::strcspn(item, "="));
    if (index < 0) {
      error = std::string("unknown ") + kind + " key '" + key + "'";
      return false;
    }
    if (value == nullptr) {
      error = "key '" + key + "' needs a value";
      return false;
    }
    if (!handle(index, key, std::string(value))) return false;
  }
  return true;
}

// getsubopt's token lists are arrays of char*, hence the casts; each list is
// in the order of its enum.
enum DeviceKey {
  kDevAddr,
  kDevRev,
  kDevMfr,
  kDevType,
  kDevId,
  kDevTag,
  kDevDesc,
  kDevCurrent,
  kDevPv,
  kDevUnit,
  kDevSv,
  kDevTv,
  kDevQv,
  kDevLegacy,
  kDevStatus,
  kDevTurnaround,
  kDevPreambles,
  kDevNeed
};
char* const kDeviceKeys[] = {const_cast<char*>("addr"),
                             const_cast<char*>("rev"),
                             const_cast<char*>("mfr"),
                             const_cast<char*>("type"),
                             const_cast<char*>("id"),
                             const_cast<char*>("tag"),
                             const_cast<char*>("desc"),
                             const_cast<char*>("current"),
                             const_cast<char*>("pv"),
                             const_cast<char*>("unit"),
                             const_cast<char*>("sv"),
                             const_cast<char*>("tv"),
                             const_cast<char*>("qv"),
                             const_cast<char*>("legacy"),
                             const_cast<char*>("status"),
                             const_cast<char*>("turnaround"),
                             const_cast<char*>("preambles"),
                             const_cast<char*>("need"),
                             nullptr};
static_assert(std::size(kDeviceKeys) == kDevNeed + 2, "one name for each DeviceKey");

enum FaultKey {
  kFaultAddr,
  kFaultSilent,
  kFaultBusy,
  kFaultDelayed,
  kFaultCommError,
  kFaultCommBits,
  kFaultBurst,
  kFaultBurstPeriod,
  kFaultOtherMaster,
  kFaultOtherMasterPeriod,
  kFaultBadChecksum,
  kFaultGarbage,
  kFaultZeros,
  kFaultTruncate,
  kFaultTruncations,
  kFaultEcho,
  kFaultDrop,
  kFaultSeed,
  kFaultDropNext,
  kFaultTurnaround,
  kFaultPreambles,
  kFaultHangup,
  kFaultNotImplemented,
  kFaultNoise
};
// One key a line, as the enum above.
// clang-format off
char* const kFaultKeys[] = {const_cast<char*>("addr"),
                            const_cast<char*>("silent"),
                            const_cast<char*>("busy"),
                            const_cast<char*>("delayed"),
                            const_cast<char*>("commerror"),
                            const_cast<char*>("commbits"),
                            const_cast<char*>("burst"),
                            const_cast<char*>("burstperiod"),
                            const_cast<char*>("othermaster"),
                            const_cast<char*>("othermasterperiod"),
                            const_cast<char*>("badchecksum"),
                            const_cast<char*>("garbage"),
                            const_cast<char*>("zeros"),
                            const_cast<char*>("truncate"),
                            const_cast<char*>("truncations"),
                            const_cast<char*>("echo"),
                            const_cast<char*>("drop"),
                            const_cast<char*>("seed"),
                            const_cast<char*>("dropnext"),
                            const_cast<char*>("turnaround"),
                            const_cast<char*>("preambles"),
                            const_cast<char*>("hangup"),
                            const_cast<char*>("notimpl"),
                            const_cast<char*>("noise"),
                            nullptr};
// clang-format on
static_assert(std::size(kFaultKeys) == kFaultNoise + 2, "one name for each FaultKey");

// Character times from the request's end to the reply. A device must start
// within 28; more is a device too slow for any master, kept as a fault to
// practise on.
constexpr unsigned long kMaxTurnaround = 255;

// Polling addresses: 0-15 up to revision 5, 0-63 from revision 6 on.
constexpr unsigned long kMaxPollAddress = 63;
constexpr unsigned long kMaxOldPollAddress = 15;

}  // namespace

bool ParseDevice(std::string_view keys, DeviceSetup& s, std::string& error) {
  auto& c = s.config;
  return ForEachKey(keys, kDeviceKeys, "device", error,
                    [&](int index, const std::string& k, const std::string& v) {
                      switch (static_cast<DeviceKey>(index)) {
                        case kDevAddr:
                          return Number(k, v, 0, kMaxPollAddress, c.pollAddress, error);
                        case kDevRev:
                          return Number(k, v, 1, 7, c.universalRevision, error);
                        case kDevMfr:
                          return Number(k, v, 0, 255, c.manufacturer, error);
                        case kDevType:
                          return Number(k, v, 0, 255, c.deviceType, error);
                        case kDevId: {
                          std::vector<std::uint8_t> id;
                          if (!Hex(k, v, id, error)) return false;
                          if (id.size() != 3) {
                            error = k + "=" + v + ": expected six hex digits";
                            return false;
                          }
                          std::copy(id.begin(), id.end(), c.deviceId.begin());
                          return true;
                        }
                        case kDevTag:
                          if (v.size() > 8) {
                            error = k + "=" + v + ": at most 8 characters";
                            return false;
                          }
                          c.tag = v;
                          return true;
                        case kDevDesc:
                          if (v.size() > 16) {
                            error = k + "=" + v + ": at most 16 characters";
                            return false;
                          }
                          c.descriptor = v;
                          return true;
                        case kDevCurrent:
                          return Float(k, v, c.loopCurrent, error);
                        case kDevPv:
                          return Float(k, v, c.variables.at(0).value, error);
                        case kDevUnit:
                          return Number(k, v, 0, 255, c.variables.at(0).unit, error);
                        case kDevSv:
                        case kDevTv:
                        case kDevQv: {
                          const std::size_t slot = static_cast<std::size_t>(index - kDevSv) + 1;
                          if (c.variables.size() <= slot) c.variables.resize(slot + 1);
                          return VariableValue(k, v, c.variables[slot], error);
                        }
                        case kDevLegacy:
                          return Flag(k, v, c.legacyCommandZero, error);
                        case kDevStatus:
                          return Number(k, v, 0, 255, c.deviceStatus, error);
                        case kDevTurnaround:
                          return Number(k, v, 0, kMaxTurnaround, c.turnaroundChars, error);
                        case kDevPreambles:
                          return Number(k, v, 5, 20, c.responsePreambles, error);
                        case kDevNeed:
                          return Number(k, v, 2, 20, c.requestPreambles, error);
                      }
                      return false;
                    });
}

bool ParseFault(std::string_view keys, DeviceSetup& s, std::string& error) {
  auto& f = s.faults;
  auto& c = s.config;
  return ForEachKey(keys, kFaultKeys, "fault", error,
                    [&](int index, const std::string& k, const std::string& v) {
                      std::uint32_t millis = 0;
                      switch (static_cast<FaultKey>(index)) {
                        case kFaultAddr:  // the caller's
                          return true;
                        case kFaultSilent:
                          return Flag(k, v, f.silent, error);
                        case kFaultBusy:
                          return Number(k, v, 0, 1000000, f.busy, error);
                        case kFaultDelayed:
                          return Number(k, v, 0, 1000000, f.delayed, error);
                        case kFaultCommError:
                          return Count(k, v, f.commErrors, error);
                        case kFaultCommBits:
                          return Number(k, v, 0, 0x7F, f.commErrorBits, error);
                        case kFaultBurst:
                          // A number is a period in milliseconds, on a strict grid.
                          if (v != "0" && v != "1" && v != "long") {
                            if (!Number(k, v, 10, 60000, millis, error)) {
                              error += " (or 1, long, 0)";
                              return false;
                            }
                            f.burstPeriodMicros = millis * 1000ull;
                            f.burstStrict = true;
                          }
                          f.burst = v != "0";
                          f.burstLong = v == "long";
                          return true;
                        case kFaultBurstPeriod:
                          if (!Number(k, v, 10, 60000, millis, error)) return false;
                          f.burstPeriodMicros = millis * 1000ull;
                          return true;
                        case kFaultOtherMaster:
                          return Flag(k, v, f.otherMaster, error);
                        case kFaultOtherMasterPeriod:
                          if (!Number(k, v, 10, 60000, millis, error)) return false;
                          f.otherMasterPeriodMicros = millis * 1000ull;
                          return true;
                        case kFaultBadChecksum:
                          return Count(k, v, f.badChecksums, error);
                        case kFaultGarbage:
                          return Hex(k, v, f.garbage, error);
                        case kFaultZeros: {
                          std::uint32_t n = 0;
                          if (!Number(k, v, 0, 255, n, error)) return false;
                          f.garbage.insert(f.garbage.end(), n, 0x00);
                          return true;
                        }
                        case kFaultTruncate:
                          return Number(k, v, 0, 1000, f.truncateAfter, error);
                        case kFaultTruncations:
                          return Count(k, v, f.truncations, error);
                        case kFaultEcho:
                          return Flag(k, v, f.echo, error);
                        case kFaultDrop: {
                          float fraction = 0;
                          if (!Float(k, v, fraction, error)) return false;
                          if (fraction < 0 || fraction > 1) {
                            error = k + "=" + v + ": expected a fraction from 0 to 1";
                            return false;
                          }
                          f.dropFraction = fraction;
                          return true;
                        }
                        case kFaultSeed:
                          return Number(k, v, 0, 0xFFFFFFFFul, f.seed, error);
                        case kFaultDropNext:
                          return Number(k, v, 0, 1000000, f.dropNext, error);
                        case kFaultTurnaround:
                          return Number(k, v, 0, kMaxTurnaround, c.turnaroundChars, error);
                        case kFaultPreambles:
                          return Number(k, v, 5, 20, c.responsePreambles, error);
                        case kFaultHangup:
                          return Number(k, v, 1, 60000, f.hangupMillis, error);
                        case kFaultNotImplemented: {
                          std::uint32_t command = 0;
                          if (!Number(k, v, 0, 255, command, error)) return false;
                          f.notImplemented.push_back(static_cast<std::uint8_t>(command));
                          return true;
                        }
                        case kFaultNoise:
                          return Hex(k, v, f.noise, error);
                      }
                      return false;
                    });
}

namespace {

// Long options without a short form; one more goes in the enum, the table
// and the switch in ParseCommandLine.
enum LongOnly { kOptDevice = 0x100, kOptFault, kOptLink, kOptVersion, kOptTrace, kOptHartIp };

const option kOptions[] = {
    {"device", required_argument, nullptr, kOptDevice},
    {"fault", required_argument, nullptr, kOptFault},
    {"link", required_argument, nullptr, kOptLink},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {"trace", required_argument, nullptr, kOptTrace},
    {"hart-ip", required_argument, nullptr, kOptHartIp},
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
  if (!ForEachKey(keys, kFaultKeys, "fault", error,
                  [&](int index, const std::string& k, const std::string& v) {
                    return index != kFaultAddr || Number(k, v, 0, kMaxPollAddress, addr, error);
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
        if (value.empty()) {
          error = "option '" + OptionName(code, "") + "' needs a non-empty value";
          return false;
        }
        (code == kOptLink ? o.link : o.trace) = value;
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

const char* Usage() {
  return R"(Usage: hartsim [OPTION]...
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
  -v, --verbose      print a line for every request a device recognises
  -h, --help         this text
      --version      the version

Device KEYS, comma-separated key=value (numbers decimal or 0x hex):
  addr=0..63        polling address (default 0; above 15 from rev=6 on)
  rev=1..7          universal revision (default 7)
  mfr=0..255 type=0..255 (default 0x1a, 0x11)
  id=HHHHHH         six hex digits; default 000102 for the first --device,
                    000103 for the second, ...
  tag=TEXT          at most 8 characters, served in packed ASCII (upper case)
  desc=TEXT         at most 16 characters, likewise
  current=MA pv=VALUE unit=0..255 sv=VALUE:UNIT tv=VALUE:UNIT qv=VALUE:UNIT
  status=0..255     device status byte
  preambles=5..20   preambles before each reply (default 5)
  need=2..20        preambles a request needs to be heard (default 5; told
                    to masters in command 0)
  turnaround=0..255 character times before the reply (default 2; a device
                    must start within 28, more is a device too slow)
  legacy=1          old command-0 layout without the 254 marker

Fault KEYS (N is a count of requests; "every" where shown):
  addr=0..63 (the device; default 0) silent=1 busy=N delayed=N
  commerror=N|every commbits=0..0x7f burst=1|long|PERIOD burstperiod=10..60000
  othermaster=1 othermasterperiod=10..60000 (ms) badchecksum=N|every
  garbage=HEX zeros=0..255 noise=HEX truncate=K truncations=N|every
  echo=1 drop=0..1 seed=N dropnext=N turnaround=0..255 preambles=5..20
  notimpl=0..255 (a command answered with code 64 and no data; repeatable)
  hangup=1..60000 (ms into the next reply: the line drops, as a modem pulled
                    out, and a fresh terminal takes the link at once)
  burst=1 sends long frames from revision 5 on, short ones below (long:
  always); burst=PERIOD (10..60000 ms) bursts on that strict grid. A
  bursting device leaves 8 quiet characters after each frame, alternates the
  master it names, and loses any request begun while it sends.
  othermaster=1: a secondary master's request and the device's answer, in
  the secondary's turn. garbage= goes before a reply's preambles, noise=
  among them.

Example:
  hartsim --link /dev/com8 --device addr=0,rev=7,id=000102,tag=PT-101 \
          --device addr=3,rev=4,legacy=1,tag=TT-3 --fault addr=3,busy=2
)";
}

const char* Version() {
  return "hartsim " VELTROP_VERSION;
}

}  // namespace sim
