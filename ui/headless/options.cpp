#include "ui/headless/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "hart/check.h"
#include "hart/hart_device.h"
#include "platform/posix_serial.h"
#include "platform/process.h"
#include "platform/psk_file.h"
#include "serial/frame_trace.h"
#include "serial/hart_ip_transport.h"
#include "serial/hart_link.h"

namespace ui {

namespace {

constexpr double kMinIntervalSeconds = 0.5;
constexpr double kMaxIntervalSeconds = 3600;
constexpr unsigned long kMaxCount = 1000000;
constexpr double kMinTolerance = 0.01;
constexpr double kMaxTolerance = 100;
// A WirelessHART gateway's answer may take tens of seconds over its mesh;
// below a tenth of a second not even a gateway's own answer comes.
constexpr unsigned long kMinHartIpWaitMs = 100;
constexpr unsigned long kMaxHartIpWaitMs = 120000;

bool Seconds(const std::string& text, std::uint32_t& ms) {
  char* end = nullptr;
  const double s = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(s) || s < kMinIntervalSeconds ||
      s > kMaxIntervalSeconds) {
    return false;
  }
  ms = static_cast<std::uint32_t>(std::lround(s * 1000));
  return true;
}

// A whole number from `min` to `max`, decimal digits only.
bool Whole(const std::string& text, unsigned long min, unsigned long max, std::uint32_t& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || n < min || n > max) return false;
  value = static_cast<std::uint32_t>(n);
  return true;
}

bool Address(const std::string& text, unsigned long min, std::uint8_t& address) {
  std::uint32_t n = 0;
  if (!Whole(text, min, hart::kLastPollAddress, n)) return false;
  address = static_cast<std::uint8_t>(n);
  return true;
}

// A device's unique identifier: one to six hex digits, as the device's
// label and the scan print it.
bool Identifier(const std::string& text, std::uint32_t& id) {
  if (text.empty() || text.size() > 6 ||
      text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  id = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

bool Percent(const std::string& text, float& percent) {
  char* end = nullptr;
  const double p = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(p) || p < kMinTolerance || p > kMaxTolerance) {
    return false;
  }
  percent = static_cast<float>(p);
  return true;
}

}  // namespace

const std::vector<platform::CommandLineOption>& ProgramOptions() {
  static const std::vector<platform::CommandLineOption> options = {
      {"service", "", "show the PV button (loop current and PV, error-rate test)"},
      {"port", "PATH", "the modem's device for COM8: (default /dev/com8)"},
      {"psk-file", "FILE", "IDENTITY:KEY, the key for hart-ip+tls:// and +dtls://"},
      {"trace", "FILE", "write every HART frame to FILE, a capture Wireshark reads"},
      {"modem", "KIND", "self (default), or rts: DTR powers the modem, RTS keys it"},
      {"poll", "", "poll address 0 without a window, check its loop, print it"},
      {"scan", "", "as --poll; scan addresses 1-14 if 0 does not answer"},
      {"address", "N", "--poll or --monitor polling address N (0-63)"},
      {"device-id", "HEX", "poll or monitor the gateway's sub-device with this id"},
      {"scan-to", "N", "--scan addresses 1 to N (1-63, default 14)"},
      {"tolerance", "PERCENT", "the loop check's limit, percent of span (default 0.25)"},
      {"json", "", "print JSON: one object, or one line per --monitor reading"},
      {"monitor", "", "poll, then read loop current and PV to QV until stopped"},
      {"interval", "SECONDS", "--monitor's period, 0.5 to 3600 (default 2)"},
      {"count", "N", "stop --monitor after N readings"},
      {"csv", "", "print --monitor's readings as CSV"},
      {"list-ports", "", "list the serial ports: names, users, your permission"},
      {"hart-ip-wait", "MS", "wait up to MS for a gateway's answer (default about 3 s)"},
      {"hart-ip-secondary", "", "ask a gateway for a session as secondary host"},
  };
  return options;
}

bool ChooseSharedSettings(const platform::CommandLine& given, const Environment& environment,
                          const platform::ConfigFile& file, SharedSettings& settings,
                          std::string& error) {
  // `from` names where a value came from in the error that refuses it.
  auto choose = [&](const char* option, const char* variable, std::string& value,
                    std::string& from) {
    if (given.IsSet(option)) {
      value = given.Value(option);
      from = std::string("option '--") + option + "'";
      if (value.empty()) error = from + " needs a non-empty value";
    } else if (const auto v = environment(variable)) {
      value = *v;
      from = variable;
    } else if (const auto it = file.values.find(option); it != file.values.end()) {
      value = it->second.value;
      from = file.path + ":" + std::to_string(it->second.line) + ": " + option;
    }
    return error.empty();
  };
  SharedSettings s;
  std::string portFrom, modemFrom;
  if (!choose("port", "VELTROP_PORT", s.port, portFrom) ||
      !choose("modem", "VELTROP_MODEM", s.modem, modemFrom)) {
    return false;
  }
  serial::HartIpAddress gateway;
  if (serial::IsHartIpName(s.port) && !serial::ParseHartIpName(s.port, gateway)) {
    error = portFrom + ": '" + s.port +
            "' is not a gateway address; write hart-ip://HOST[:PORT] (UDP) or "
            "hart-ip+tcp://HOST[:PORT] (TCP), an IPv6 address in brackets";
    return false;
  }
  if (!s.modem.empty() && s.modem != "self" && s.modem != "rts") {
    error = modemFrom + " takes self or rts, not '" + s.modem + "'";
    return false;
  }
  settings = s;
  return true;
}

bool ApplySharedOptions(const platform::CommandLine& given, std::string& error) {
  for (const char* name : {"trace", "psk-file"}) {
    if (given.IsSet(name) && given.Value(name).empty()) {
      error = std::string("option '--") + name + "' needs a non-empty value";
      return false;
    }
  }
  platform::ConfigFile file;
  const std::string path = platform::UserConfigFile(kSettingsFile);
  std::string text;
  const int read = path.empty() ? ENOENT : platform::ReadSmallFile(path, text);
  if (read != 0 && read != ENOENT && read != ENOTDIR) {
    error = path + ": " + std::strerror(read);
    return false;
  }
  if (read == 0 && !platform::ParseConfig(text, path, {"port", "modem"}, file, error)) {
    return false;
  }
  SharedSettings settings;
  if (!ChooseSharedSettings(given, platform::EnvironmentValue, file, settings, error)) {
    return false;
  }
  if (!settings.modem.empty()) {
    hart::UseModemKeying(settings.modem == "rts" ? serial::Keying::kRts : serial::Keying::kSelf);
  }
  if (given.IsSet("psk-file")) {
    // Checked now, so that a key file others can read stops the program
    // before it talks to anyone; read again, and wiped, at each session.
    platform::PreSharedKey key;
    if (!platform::ReadPskFile(given.Value("psk-file"), key, error)) {
      error = "--psk-file: " + error;
      return false;
    }
    serial::SetHartIpKeyFile(given.Value("psk-file"));
  } else if (serial::IsSecureHartIpName(settings.port)) {
    error = "--port " + settings.port + " needs the gateway's key: give --psk-file FILE";
    return false;
  }
  if (!settings.port.empty()) platform::SetPortPath(serial::kPortName, settings.port);
  serial::HartIpSettings gateway;
  if (given.IsSet("hart-ip-wait") && !Whole(given.Value("hart-ip-wait"), kMinHartIpWaitMs,
                                            kMaxHartIpWaitMs, gateway.responseWaitMs)) {
    error = "option '--hart-ip-wait' takes milliseconds from " + std::to_string(kMinHartIpWaitMs) +
            " to " + std::to_string(kMaxHartIpWaitMs) + ", not '" + given.Value("hart-ip-wait") +
            "'";
    return false;
  }
  gateway.secondaryHost = given.IsSet("hart-ip-secondary");
  serial::SetHartIpSettings(gateway);
  return true;
}

bool OpenTraceOption(const platform::CommandLine& given, std::string& error) {
  return !given.IsSet("trace") || serial::OpenFrameTrace(given.Value("trace"), error);
}

bool ReadHeadlessOptions(const platform::CommandLine& given, HeadlessOptions& options,
                         std::string& error) {
  HeadlessOptions o;
  if (given.IsSet("monitor")) {
    o.mode = Mode::Monitor;
  } else if (given.IsSet("scan")) {
    o.mode = Mode::Scan;
  } else if (given.IsSet("poll")) {
    o.mode = Mode::Poll;
  } else if (given.IsSet("list-ports")) {
    o.mode = Mode::ListPorts;
  }
  o.json = given.IsSet("json");
  o.csv = given.IsSet("csv");

  const bool polling = o.mode == Mode::Poll || o.mode == Mode::Scan;
  if (o.mode == Mode::Monitor && given.IsSet("scan")) {
    error = "--monitor reads one device (--address N); it does not go with --scan";
  } else if (given.IsSet("scan") && given.IsSet("poll")) {
    error = "--scan polls address 0 first; it does not go with --poll";
  } else if (given.IsSet("list-ports") && o.mode != Mode::ListPorts) {
    error = "--list-ports talks to no device; it does not go with --poll, --scan or --monitor";
  } else if (o.mode == Mode::ListPorts && given.IsSet("service")) {
    error = "--service is for the window; it does not go with --list-ports";
  } else if (o.mode != Mode::Window && given.IsSet("service")) {
    error = "--service is for the window; it does not go with --poll, --scan or --monitor";
  } else if (o.json && o.mode == Mode::Window) {
    error = "--json goes with --poll, --scan, --monitor or --list-ports";
  } else if (o.json && o.csv) {
    error = "--json and --csv are two ways to print a reading; choose one";
  } else if (given.IsSet("address") && o.mode != Mode::Poll && o.mode != Mode::Monitor) {
    error = "--address goes with --poll or --monitor; --scan polls addresses 1 to 14";
  } else if (given.IsSet("device-id") && o.mode != Mode::Poll && o.mode != Mode::Monitor) {
    error = "--device-id goes with --poll or --monitor; --scan lists every device behind a gateway";
  } else if (given.IsSet("device-id") && given.IsSet("address")) {
    error =
        "--device-id names a device behind the gateway at address 0; it does not go with "
        "--address";
  } else if (given.IsSet("device-id") &&
             !Identifier(given.Value("device-id"), o.deviceId.emplace())) {
    error = "--device-id: '" + given.Value("device-id") +
            "' is not a unique identifier of one to six hex digits";
  } else if (given.IsSet("scan-to") && o.mode != Mode::Scan) {
    error = "--scan-to goes with --scan";
  } else if (given.IsSet("tolerance") && !polling) {
    error = "--tolerance goes with --poll or --scan";
  } else if (given.IsSet("address") && !Address(given.Value("address"), 0, o.address)) {
    error = "--address: '" + given.Value("address") + "' is not a polling address from 0 to 63";
  } else if (given.IsSet("scan-to") && !Address(given.Value("scan-to"), 1, o.scanLast)) {
    error = "--scan-to: '" + given.Value("scan-to") + "' is not a polling address from 1 to 63";
  } else if (given.IsSet("tolerance") && !Percent(given.Value("tolerance"), o.tolerance)) {
    error = "--tolerance: '" + given.Value("tolerance") +
            "' is not a percentage of span from 0.01 to 100";
  } else if (o.mode != Mode::Monitor &&
             (o.csv || given.IsSet("interval") || given.IsSet("count"))) {
    error = std::string("--") +
            (o.csv                     ? "csv"
             : given.IsSet("interval") ? "interval"
                                       : "count") +
            " goes with --monitor";
  } else if (given.IsSet("interval") && !Seconds(given.Value("interval"), o.intervalMs)) {
    error =
        "--interval: '" + given.Value("interval") + "' is not a number of seconds from 0.5 to 3600";
  } else if (given.IsSet("count") && !Whole(given.Value("count"), 1, kMaxCount, o.count)) {
    error = "--count: '" + given.Value("count") + "' is not a whole number from 1 to 1000000";
  }
  if (!error.empty()) return false;
  options = o;
  return true;
}

}  // namespace ui
