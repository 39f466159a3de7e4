#include "ui/headless/headless.h"

#include <cstdio>
#include <iterator>

#include "platform/interrupt.h"
#include "platform/posix_serial.h"
#include "platform/process.h"
#include "platform/services.h"
#include "ui/link_settings.h"

namespace ui {

namespace {

// The PV dialog reads nothing from devices before revision 5.
constexpr std::uint8_t kFirstMonitoredRevision = 5;

// The link's messages, kept for the run to print where they belong; a
// question is answered No, as nobody is there to ask.
class Collector final : public platform::Operator {
 public:
  int Message(std::string_view text, platform::Icon, platform::Buttons buttons,
              std::string_view detail) override {
    std::string line(text);
    if (!detail.empty()) line += (line.empty() ? "" : " ") + std::string(detail);
    lines_.push_back(line);
    return buttons == platform::Buttons::YesNo ? platform::kIdNo : platform::kIdOk;
  }
  std::string Take() {
    std::string all;
    for (const auto& l : lines_) all += (all.empty() ? "" : "; ") + l;
    lines_.clear();
    return all;
  }

 private:
  std::vector<std::string> lines_;
};

std::string Printf(const char* format, auto... values) {
  char text[64];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string Prefixed(std::string_view line) {
  return platform::ApplicationName() + ": " + std::string(line);
}

std::string NumberAndHex(unsigned value, int digits) {
  return Printf("%u (0x%0*X)", value, digits, value);
}

std::string Hex6(std::uint32_t id) {
  return Printf("%06X", static_cast<unsigned>(id));
}

std::string Joined(const std::vector<std::string_view>& parts, std::string_view separator) {
  std::string all;
  for (const auto& p : parts) {
    if (!all.empty()) all += separator;
    all += p;
  }
  return all;
}

std::string StatusText(std::uint8_t status) {
  const auto names = hart::DeviceStatusNames(status);
  return Printf("0x%02X", static_cast<unsigned>(status)) + " (" +
         (names.empty() ? std::string("none") : Joined(names, ", ")) + ")";
}

std::string Quoted(std::string_view s) {
  std::string q = "\"";
  for (const unsigned char c : s) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      q += Printf("\\u%04x", static_cast<unsigned>(c));
    } else {
      q += static_cast<char>(c);
    }
  }
  return q + "\"";
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string CsvField(std::string_view s) {
  if (s.find_first_of(",\"\n") == std::string_view::npos) return std::string(s);
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

template <typename T>
std::string OrNull(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "null";
}

std::string JsonDevice(const FoundDevice& d) {
  const hart::Identity& id = d.identity;
  std::vector<std::string_view> flags = hart::DeviceStatusNames(d.deviceStatus);
  std::string flagList;
  for (const auto& f : flags) flagList += (flagList.empty() ? "" : ", ") + Quoted(f);
  const std::pair<const char*, std::string> fields[] = {
      {"address", std::to_string(d.address)},
      {"identifier", std::to_string(id.identifier)},
      {"identifier_hex", Quoted(Hex6(id.identifier))},
      {"manufacturer", OrNull(id.manufacturer)},
      {"device_type", std::to_string(id.deviceType)},
      {"expanded_device_type", OrNull(id.expandedDeviceType)},
      {"universal_revision", std::to_string(id.universalRevision)},
      {"device_revision", std::to_string(id.deviceRevision)},
      {"software_revision", std::to_string(id.softwareRevision)},
      {"hardware_revision", std::to_string(id.hardwareRevision)},
      {"preambles", std::to_string(id.requestPreambles)},
      {"tag", d.tag ? Quoted(*d.tag) : "null"},
      {"status", std::to_string(d.deviceStatus)},
      {"status_flags", "[" + flagList + "]"},
      {"response_code", std::to_string(d.responseCode)},
      {"attempts", "{\"poll\": " + std::to_string(d.pollRequests) + ", \"tag\": " +
                       (d.tagRequests != 0 ? std::to_string(d.tagRequests) : "null") + "}"},
  };
  std::string s = "    {\n";
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    s += std::string("      \"") + fields[i].first + "\": " + fields[i].second +
         (i + 1 < std::size(fields) ? ",\n" : "\n");
  }
  return s + "    }";
}

// The Poll press: open, settle, command 0 at address 0 twice, the tag; the
// multi-drop question answered by `scan`.
int PollPress(hart::HartDevice& device, bool scan, Collector& link, const Console& console,
              PollRecord& record) {
  record.port = platform::PortPath(serial::kPortName);
  record.time = platform::LocalTimeIso8601();
  if (device.Open(kPortNumber, kHartBaudRate) != serial::LinkResult::kOk) {
    // A port that opened but would not take the line settings is released.
    device.Close();
    record.verdict = "Error opening COM port";
    const std::string why = link.Take();
    if (!why.empty()) console.err(Prefixed(why));
    console.err(Prefixed(record.verdict));
    return kExitPort;
  }
  hart::HartDevice::Settle(kModemSettleMs);
  if (device.Poll(0, kPollAttempts)) {
    FoundDevice found = Found(device);
    platform::Sleep(kBeforeTagMs);
    char text[hart::kTagTextSize] = {};
    bool read = hart::ReadTag(device, text);
    found.tagRequests = device.LastRequests();
    if (!read) {
      read = hart::ReadTag(device, text);
      found.tagRequests += device.LastRequests();
    }
    if (read) found.tag = text;
    record.devices.push_back(found);
    record.verdict = "Test Pass, single device";
  } else if (scan && !platform::Interrupted()) {
    console.err(Prefixed("No devices at address 0; polling addresses 1 to 14"));
    for (std::uint8_t a = kFirstDropAddress; a <= kLastDropAddress; ++a) {
      if (platform::Interrupted()) break;
      if (device.Poll(a, 1)) {
        record.devices.push_back(Found(device));
        console.err(Prefixed("a device answers at address " + std::to_string(a)));
      }
    }
    record.verdict = record.devices.empty() ? "Test Failed" : "Test Pass, multi-drop network";
  } else {
    record.verdict = "Test Failed";
    if (!scan) console.err(Prefixed("No devices at address 0; --scan polls addresses 1 to 14"));
  }
  device.Close();
  if (platform::Interrupted()) return kExitInterrupted;
  return record.devices.empty() ? kExitNobody : kExitFound;
}

// One command-3 reading; the link is opened again first when the last
// reading failed (an unplugged modem is found again once it is back).
Reading TakeReading(hart::HartDevice& device, bool& linkOpen, Collector& link) {
  Reading r;
  r.time = platform::LocalTimeIso8601();
  if (!linkOpen) {
    if (device.Open(kPortNumber, kHartBaudRate) != serial::LinkResult::kOk) {
      device.Close();
      const std::string why = link.Take();
      r.error = why.empty() ? "Error opening COM port" : "Error opening COM port: " + why;
      return r;
    }
    linkOpen = true;
    hart::HartDevice::Settle(kModemSettleMs);
  }
  std::uint8_t data[hart::kCommandDataSize];
  if (device.SendCommand(hart::kCommandReadCurrentAndVariables, data)) {
    r.ok = true;
    r.loopCurrent = hart::ToHostFloat(data + hart::kLoopCurrentAt);
    r.unit = data[hart::kPvUnitAt];
    r.pv = hart::ToHostFloat(data + hart::kPvAt);
    r.deviceStatus = device.LastAnswer().deviceStatus;
    return r;
  }
  r.error = "HART Error: no valid answer to command 3 in " + std::to_string(device.LastRequests()) +
            " requests";
  const std::string why = link.Take();
  if (!why.empty()) r.error += " (" + why + ")";
  device.Close();
  linkOpen = false;
  return r;
}

// The PV dialog's monitor: the first reading one period after the link
// opens, then one each period; a reading that overruns its period is
// followed by one at once, not by a backlog.
int Monitor(hart::HartDevice& device, const HeadlessOptions& options, Collector& link,
            const Console& console) {
  if (device.universalRevision < kFirstMonitoredRevision) {
    console.err(Prefixed(
        "HART Error: loop current and PV are read from universal revision 5 on; this device "
        "has revision " +
        std::to_string(device.universalRevision)));
    return kExitNobody;
  }
  if (device.Open(kPortNumber, kHartBaudRate) != serial::LinkResult::kOk) {
    device.Close();
    const std::string why = link.Take();
    if (!why.empty()) console.err(Prefixed(why));
    console.err(Prefixed("Error opening COM port"));
    return kExitPort;
  }
  bool linkOpen = true;
  std::uint32_t next = platform::TickCount() + options.intervalMs;
  hart::HartDevice::Settle(kModemSettleMs);
  if (options.csv) console.out(CsvHeader());
  std::uint32_t readings = 0, failed = 0;
  while (!platform::Interrupted()) {
    const auto wait = static_cast<std::int32_t>(next - platform::TickCount());
    if (wait > 0) platform::Sleep(static_cast<std::uint32_t>(wait));
    if (platform::Interrupted()) break;
    const Reading r = TakeReading(device, linkOpen, link);
    // A reading cut short by Ctrl+C is no reading.
    if (platform::Interrupted()) break;
    console.out(FormatReading(r, options.csv));
    ++readings;
    if (!r.ok) ++failed;
    if (options.count != 0 && readings >= options.count) break;
    next += options.intervalMs;
    if (static_cast<std::int32_t>(platform::TickCount() - next) > 0) next = platform::TickCount();
  }
  if (linkOpen) device.Close();
  console.err(
      Prefixed(std::to_string(readings) + " readings, " + std::to_string(failed) + " failed"));
  return kExitFound;
}

}  // namespace

FoundDevice Found(const hart::HartDevice& device) {
  FoundDevice f;
  const auto& answer = device.LastAnswer();
  f.address = device.pollAddress;
  hart::DecodeIdentity(answer.data, answer.dataLength, f.identity);
  f.responseCode = answer.responseCode;
  f.deviceStatus = answer.deviceStatus;
  f.pollRequests = device.LastRequests();
  return f;
}

std::string FormatPlain(const PollRecord& record) {
  std::string s;
  auto line = [&s](std::string_view field, const std::string& value) {
    s += std::string(field) + ": " + value + "\n";
  };
  line("port", record.port);
  line("time", record.time);
  line("verdict", record.verdict);
  std::string addresses;
  for (const auto& d : record.devices) {
    addresses += (addresses.empty() ? "" : ", ") + std::to_string(d.address);
  }
  line("addresses", addresses.empty() ? "none" : addresses);
  for (const auto& d : record.devices) {
    const hart::Identity& id = d.identity;
    s += "\n";
    line("address", std::to_string(d.address));
    line("identifier", std::to_string(id.identifier) + " (" + Hex6(id.identifier) + ")");
    line("manufacturer", id.manufacturer ? NumberAndHex(*id.manufacturer, 2) : "not given");
    line("device type", NumberAndHex(id.deviceType, 2));
    if (id.expandedDeviceType) {
      line("expanded device type", NumberAndHex(*id.expandedDeviceType, 4));
    }
    line("universal revision", std::to_string(id.universalRevision));
    line("device revision", std::to_string(id.deviceRevision));
    line("software revision", std::to_string(id.softwareRevision));
    line("hardware revision", std::to_string(id.hardwareRevision));
    line("preambles", std::to_string(id.requestPreambles));
    if (d.tagRequests != 0) line("tag", d.tag ? "\"" + *d.tag + "\"" : "no answer");
    line("status", StatusText(d.deviceStatus));
    line("response code", std::to_string(d.responseCode));
    line("attempts", "poll " + std::to_string(d.pollRequests) +
                         (d.tagRequests != 0 ? ", tag " + std::to_string(d.tagRequests) : ""));
  }
  return s;
}

std::string FormatJson(const PollRecord& record) {
  std::string addresses, devices;
  for (const auto& d : record.devices) {
    addresses += (addresses.empty() ? "" : ", ") + std::to_string(d.address);
    devices += (devices.empty() ? "\n" : ",\n") + JsonDevice(d);
  }
  return "{\n  \"port\": " + Quoted(record.port) + ",\n  \"time\": " + Quoted(record.time) +
         ",\n  \"verdict\": " + Quoted(record.verdict) + ",\n  \"addresses\": [" + addresses +
         "],\n  \"devices\": [" + devices + (devices.empty() ? "]" : "\n  ]") + "\n}\n";
}

std::string_view CsvHeader() {
  return "time,loop_current_ma,pv,unit_code,unit,status,status_flags,error\n";
}

std::string FormatReading(const Reading& r, bool csv) {
  if (!r.ok)
    return csv ? r.time + ",,,,,,," + CsvField(r.error) + "\n"
               : r.time + "  no reading: " + r.error + "\n";
  const std::string unit(hart::UnitName(r.unit));
  if (csv) {
    return r.time + "," + Printf("%.3f", r.loopCurrent) + "," + Printf("%.3f", r.pv) + "," +
           std::to_string(r.unit) + "," + CsvField(unit) + "," +
           Printf("0x%02X", static_cast<unsigned>(r.deviceStatus)) + "," +
           CsvField(Joined(hart::DeviceStatusNames(r.deviceStatus), "; ")) + ",\n";
  }
  return r.time + "  " + Printf("%.3f mA", r.loopCurrent) + "  PV " + Printf("%.3f", r.pv) +
         (unit.empty() ? "" : " " + unit) + " (unit " + std::to_string(r.unit) + ")  status " +
         StatusText(r.deviceStatus) + "\n";
}

std::string IdentitySummary(const hart::Identity& id) {
  std::string s = "Identifier " + Hex6(id.identifier) + " hex\nManufacturer " +
                  (id.manufacturer ? NumberAndHex(*id.manufacturer, 2) : "not given") +
                  ", device type " + NumberAndHex(id.deviceType, 2);
  if (id.expandedDeviceType)
    s += ", expanded " + Printf("0x%04X", unsigned{*id.expandedDeviceType});
  return s + "\nRevisions: universal " + std::to_string(id.universalRevision) + ", device " +
         std::to_string(id.deviceRevision) + ", software " + std::to_string(id.softwareRevision) +
         ", hardware " + std::to_string(id.hardwareRevision);
}

int RunHeadless(hart::HartDevice& device, const HeadlessOptions& options, const Console& console) {
  Collector link;
  platform::ScopedServices scope({nullptr, nullptr, &link});
  PollRecord record;
  const int status = PollPress(device, options.mode == Mode::Scan, link, console, record);
  if (status == kExitInterrupted) {
    console.err(Prefixed("interrupted"));
    return status;
  }
  if (options.mode != Mode::Monitor) {
    console.out(options.json ? FormatJson(record) : FormatPlain(record));
    return status;
  }
  if (status != kExitFound) return status;
  const FoundDevice& d = record.devices.front();
  console.err(Prefixed("monitoring " + (d.tag ? "\"" + *d.tag + "\", " : std::string()) +
                       "identifier " + std::to_string(d.identity.identifier) +
                       ", at address 0 every " + Printf("%g", options.intervalMs / 1000.0) +
                       " s; Ctrl+C stops"));
  return Monitor(device, options, link, console);
}

}  // namespace ui
