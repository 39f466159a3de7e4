#include "sim/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

bool SplitPairs(std::string_view keys, Pairs& pairs, std::string& error) {
  while (!keys.empty()) {
    const auto comma = keys.find(',');
    const auto item = keys.substr(0, comma);
    keys = comma == std::string_view::npos ? std::string_view{} : keys.substr(comma + 1);
    if (item.empty()) continue;
    const auto eq = item.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      error = "expected key=value, got '" + std::string(item) + "'";
      return false;
    }
    pairs.emplace_back(std::string(item.substr(0, eq)), std::string(item.substr(eq + 1)));
  }
  return true;
}

bool Unsigned(const std::string& key, const std::string& text, unsigned long max,
              unsigned long& value, std::string& error) {
  errno = 0;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-' || value > max) {
    error = key + "=" + text + ": expected a number from 0 to " + std::to_string(max);
    return false;
  }
  return true;
}

template <typename T>
bool Number(const std::string& key, const std::string& text, unsigned long min, unsigned long max,
            T& out, std::string& error) {
  unsigned long v = 0;
  if (!Unsigned(key, text, max, v, error)) return false;
  if (v < min) {
    error = key + "=" + text + ": expected a number from " + std::to_string(min) + " to " +
            std::to_string(max);
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

bool Float(const std::string& key, const std::string& text, float& out, std::string& error) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v)) {
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

bool CommonKey(const std::string& k, const std::string& v, DeviceSetup& s, bool& handled,
               std::string& error) {
  handled = true;
  auto& c = s.config;
  if (k == "turnaround") return Number(k, v, 0, 255, c.turnaroundChars, error);
  if (k == "preambles") return Number(k, v, 5, 20, c.responsePreambles, error);
  handled = false;
  return true;
}

}  // namespace

bool ParseDevice(std::string_view keys, DeviceSetup& s, std::string& error) {
  Pairs pairs;
  if (!SplitPairs(keys, pairs, error)) return false;
  auto& c = s.config;
  for (const auto& [k, v] : pairs) {
    bool handled = false;
    if (!CommonKey(k, v, s, handled, error)) return false;
    if (handled) continue;
    bool ok = true;
    if (k == "addr")
      ok = Number(k, v, 0, 15, c.pollAddress, error);
    else if (k == "rev")
      ok = Number(k, v, 1, 7, c.universalRevision, error);
    else if (k == "mfr")
      ok = Number(k, v, 0, 255, c.manufacturer, error);
    else if (k == "type")
      ok = Number(k, v, 0, 255, c.deviceType, error);
    else if (k == "id") {
      std::vector<std::uint8_t> id;
      ok = Hex(k, v, id, error);
      if (ok && id.size() != 3) {
        error = k + "=" + v + ": expected six hex digits";
        ok = false;
      }
      if (ok) std::copy(id.begin(), id.end(), c.deviceId.begin());
    } else if (k == "tag") {
      c.tag = v;
      if (v.size() > 8) error = k + "=" + v + ": at most 8 characters", ok = false;
    } else if (k == "desc") {
      c.descriptor = v;
      if (v.size() > 16) error = k + "=" + v + ": at most 16 characters", ok = false;
    } else if (k == "current")
      ok = Float(k, v, c.loopCurrent, error);
    else if (k == "pv")
      ok = Float(k, v, c.variables.at(0).value, error);
    else if (k == "unit")
      ok = Number(k, v, 0, 255, c.variables.at(0).unit, error);
    else if (k == "sv" || k == "tv" || k == "qv") {
      const std::size_t index = k == "sv" ? 1 : k == "tv" ? 2 : 3;
      if (c.variables.size() <= index) c.variables.resize(index + 1);
      ok = VariableValue(k, v, c.variables[index], error);
    } else if (k == "legacy")
      ok = Flag(k, v, c.legacyCommandZero, error);
    else if (k == "status")
      ok = Number(k, v, 0, 255, c.deviceStatus, error);
    else {
      error = "unknown device key '" + k + "'";
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

bool ParseFault(std::string_view keys, DeviceSetup& s, std::string& error) {
  Pairs pairs;
  if (!SplitPairs(keys, pairs, error)) return false;
  auto& f = s.faults;
  for (const auto& [k, v] : pairs) {
    bool handled = false;
    if (!CommonKey(k, v, s, handled, error)) return false;
    if (handled) continue;
    bool ok = true;
    std::uint32_t millis = 0;
    if (k == "addr") continue;
    if (k == "silent")
      ok = Flag(k, v, f.silent, error);
    else if (k == "busy")
      ok = Number(k, v, 0, 1000000, f.busy, error);
    else if (k == "delayed")
      ok = Number(k, v, 0, 1000000, f.delayed, error);
    else if (k == "commerror")
      ok = Count(k, v, f.commErrors, error);
    else if (k == "commbits")
      ok = Number(k, v, 0, 0x7F, f.commErrorBits, error);
    else if (k == "burst") {
      f.burst = v != "0";
      f.burstLong = v == "long";
      if (v != "0" && v != "1" && v != "long")
        error = k + "=" + v + ": expected 1, long or 0", ok = false;
    } else if (k == "burstperiod") {
      ok = Number(k, v, 10, 60000, millis, error);
      f.burstPeriodMicros = millis * 1000ull;
    } else if (k == "othermaster")
      ok = Flag(k, v, f.otherMaster, error);
    else if (k == "othermasterperiod") {
      ok = Number(k, v, 10, 60000, millis, error);
      f.otherMasterPeriodMicros = millis * 1000ull;
    } else if (k == "badchecksum")
      ok = Count(k, v, f.badChecksums, error);
    else if (k == "garbage")
      ok = Hex(k, v, f.garbage, error);
    else if (k == "zeros") {
      std::uint32_t n = 0;
      ok = Number(k, v, 0, 255, n, error);
      f.garbage.insert(f.garbage.end(), n, 0x00);
    } else if (k == "truncate")
      ok = Number(k, v, 0, 1000, f.truncateAfter, error);
    else if (k == "truncations")
      ok = Count(k, v, f.truncations, error);
    else if (k == "echo")
      ok = Flag(k, v, f.echo, error);
    else if (k == "drop") {
      float fraction = 0;
      ok = Float(k, v, fraction, error);
      if (ok && (fraction < 0 || fraction > 1))
        error = k + "=" + v + ": expected 0 to 1", ok = false;
      f.dropFraction = fraction;
    } else if (k == "seed")
      ok = Number(k, v, 0, 0xFFFFFFFFul, f.seed, error);
    else if (k == "dropnext")
      ok = Number(k, v, 0, 1000000, f.dropNext, error);
    else {
      error = "unknown fault key '" + k + "'";
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, Options& o, std::string& error) {
  std::vector<std::string> faults;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--link") {
      if (!value(o.link)) return false;
    } else if (a == "--trace") {
      if (!value(o.trace)) return false;
    } else if (a == "--device") {
      if (!value(v)) return false;
      DeviceSetup setup;
      // Distinct long addresses unless id= says otherwise.
      setup.config.deviceId[2] = static_cast<std::uint8_t>(0x02 + o.devices.size());
      if (!ParseDevice(v, setup, error)) {
        error = "--device " + v + ": " + error;
        return false;
      }
      for (const auto& d : o.devices) {
        if (d.config.pollAddress == setup.config.pollAddress) {
          error = "--device " + v + ": address " + std::to_string(setup.config.pollAddress) +
                  " is taken";
          return false;
        }
      }
      o.devices.push_back(setup);
    } else if (a == "--fault") {
      if (!value(v)) return false;
      faults.push_back(v);
    } else {
      error = "unknown option '" + a + "' (try --help)";
      return false;
    }
  }
  if (o.devices.empty()) o.devices.push_back(DeviceSetup{});

  // Faults last, so they may name devices given after them.
  for (const auto& keys : faults) {
    Pairs pairs;
    if (!SplitPairs(keys, pairs, error)) {
      error = "--fault " + keys + ": " + error;
      return false;
    }
    std::uint8_t addr = 0;
    for (const auto& [k, v] : pairs) {
      if (k == "addr" && !Number(k, v, 0, 15, addr, error)) {
        error = "--fault " + keys + ": " + error;
        return false;
      }
    }
    DeviceSetup* target = nullptr;
    for (auto& d : o.devices) {
      if (d.config.pollAddress == addr) target = &d;
    }
    if (!target) {
      error = "--fault " + keys + ": no device at address " + std::to_string(addr);
      return false;
    }
    if (!ParseFault(keys, *target, error)) {
      error = "--fault " + keys + ": " + error;
      return false;
    }
  }
  return true;
}

const char* Usage() {
  return R"(Usage: hartsim [options]
Serves simulated HART field devices on a pseudo-terminal and prints its path.

Options:
  --device KEYS   add a device (repeatable); with none, one revision-7 device
                  at address 0 tagged PT-101
  --fault KEYS    give the device at addr= a fault (repeatable)
  --link PATH     make PATH (e.g. /dev/com8) a symbolic link to the terminal,
                  removed again on exit (SIGINT, SIGTERM). An existing PATH is
                  never replaced, except a stale link into /dev/pts/ whose
                  target is gone (left by a simulator that was killed).
  --trace FILE    write every frame on the line, from the device side, to
                  FILE, a capture Wireshark reads (HART-IP)
  --verbose       print a line for every request a device recognises
  --help          this text

Device KEYS, comma-separated key=value (numbers decimal or 0x hex):
  addr=0..15 rev=1..7 mfr=0x1a type=0x11 id=000102 (six hex digits; the
  default is 000102 for the first --device, 000103 for the second, ...)
  tag=PT-101 (8 chars) desc=TEXT (16 chars) current=mA pv=12.5 unit=7
  sv=VALUE:UNIT tv=VALUE:UNIT qv=VALUE:UNIT status=BYTE
  preambles=5..20 (reply preambles) turnaround=CHARS (default 2)
  legacy=1 (old command-0 layout without the 254 marker)
  Revision 7 command 0 puts the manufacturer in byte 1 and the device type in
  byte 2 of the expanded device type.

Fault KEYS (N is a count of requests, or "every"):
  addr=A silent=1 busy=N delayed=N commerror=N commbits=0x08
  burst=1|long burstperiod=MS othermaster=1 othermasterperiod=MS
  badchecksum=N garbage=HEX zeros=N truncate=K truncations=N
  turnaround=CHARS (slow: up to 28) preambles=5..20 echo=1
  drop=FRACTION seed=N dropnext=N

Example:
  hartsim --link /dev/com8 --device addr=0,rev=7,id=000102,tag=PT-101 \
          --device addr=3,rev=4,legacy=1,tag=TT-3 --fault addr=3,busy=2
)";
}

}  // namespace sim
