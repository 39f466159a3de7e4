#include "ui/headless/headless.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/interrupt.h"
#include "platform/posix_serial.h"
#include "platform/process.h"
#include "platform/services.h"
#include "platform_qt/json_writer.h"

namespace ui {

namespace {

using platform::JsonArray;
using platform::JsonObject;
using platform::JsonValue;

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

// Command 3's variables, as the plain text names them and the JSON keys.
constexpr const char* kVariableNames[] = {"PV", "SV", "TV", "QV"};
constexpr const char* kVariableKeys[] = {"pv", "sv", "tv", "qv"};

std::string Printf(const char* format, auto... values) {
  char text[96];
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

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string s;
  for (const std::uint8_t b : bytes) s += (s.empty() ? "" : " ") + Printf("%02X", unsigned{b});
  return s;
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

// A float as the shortest decimal that reads back as it, so that 0.1f is
// written 0.1 and not as the double nearest the float.
JsonValue Decimal(float value) {
  if (!std::isfinite(value)) return nullptr;  // JSON has no NaN
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  *end = '\0';
  return std::strtod(text, nullptr);
}

template <typename T>
JsonValue OrNull(const std::optional<T>& value) {
  return value ? JsonValue(*value) : JsonValue(nullptr);
}

JsonArray Names(const std::vector<std::string_view>& names) {
  JsonArray array;
  for (const auto& n : names) array.Append(n);
  return array;
}

std::string WithoutPadding(std::string tag) {
  tag.erase(tag.find_last_not_of(' ') + 1);
  return tag;
}

std::string_view LoopResult(hart::LoopVerdict verdict) {
  switch (verdict) {
    case hart::LoopVerdict::kPass:
      return "pass";
    case hart::LoopVerdict::kFail:
      return "fail";
    case hart::LoopVerdict::kNotChecked:
      break;
  }
  return "not_checked";
}

std::string UnitText(std::uint8_t code) {
  const std::string_view unit = hart::UnitName(code);
  return (unit.empty() ? "" : std::string(unit) + " ") + "(unit " + std::to_string(code) + ")";
}

JsonObject LoopJson(const hart::LoopCheck& loop) {
  JsonObject o;
  o.Set("result", LoopResult(loop.verdict))
      .Set("reason", loop.why.empty() ? JsonValue(nullptr) : JsonValue(loop.why))
      .Set("tolerance_percent_of_span", Decimal(loop.tolerance));
  const bool read = loop.answered;
  o.Set("loop_current_ma", read ? Decimal(loop.measuredMa) : nullptr)
      .Set("percent_of_range", read ? Decimal(loop.percent) : nullptr)
      .Set("expected_ma", read ? Decimal(loop.expectedMa) : nullptr)
      .Set("deviation_percent_of_span", read ? Decimal(loop.deviation) : nullptr);
  if (loop.range) {
    o.Set("range", JsonObject()
                       .Set("lower", Decimal(loop.range->lower))
                       .Set("upper", Decimal(loop.range->upper))
                       .Set("unit_code", loop.range->unit)
                       .Set("unit", hart::UnitName(loop.range->unit))
                       .Set("transfer_function", loop.range->transferFunction));
  } else {
    o.Set("range", nullptr);
  }
  return o;
}

JsonObject DeviceJson(const hart::FoundDevice& d) {
  const hart::Identity& id = d.identity;
  JsonObject o;
  o.Set("address", d.address)
      .Set("identifier", id.identifier)
      .Set("identifier_hex", Hex6(id.identifier))
      .Set("manufacturer", OrNull(id.manufacturer))
      .Set("device_type", id.deviceType)
      .Set("expanded_device_type", OrNull(id.expandedDeviceType))
      .Set("universal_revision", id.universalRevision)
      .Set("device_revision", id.deviceRevision)
      .Set("software_revision", id.softwareRevision)
      .Set("hardware_revision", id.hardwareRevision)
      .Set("preambles", id.requestPreambles)
      .Set("tag", d.tag ? JsonValue(WithoutPadding(*d.tag)) : JsonValue(nullptr))
      .Set("status", d.deviceStatus)
      .Set("status_flags", Names(hart::DeviceStatusNames(d.deviceStatus)))
      .Set("response_code", d.responseCode)
      .Set("attempts",
           JsonObject()
               .Set("poll", d.pollRequests)
               .Set("tag", d.tagRequests != 0 ? JsonValue(d.tagRequests) : JsonValue(nullptr)));
  if (d.additionalStatus) {
    const auto& more = *d.additionalStatus;
    o.Set("additional_status",
          JsonObject()
              .Set("bytes_hex", HexBytes(more.bytes))
              .Set("extended_status", OrNull(more.extended))
              .Set("extended_flags", Names(hart::ExtendedStatusNames(more.extended.value_or(0)))));
  } else {
    o.Set("additional_status", nullptr);
  }
  o.Set("loop_check", d.loop ? JsonValue(LoopJson(*d.loop)) : JsonValue(nullptr));
  return o;
}

JsonObject SubDeviceJson(const hart::SubDeviceRecord& d) {
  JsonObject o;
  o.Set("index", d.index);
  if (d.summary) {
    const hart::SubDeviceSummary& s = *d.summary;
    o.Set("identifier", s.identifier)
        .Set("identifier_hex", Hex6(s.identifier))
        .Set("manufacturer", s.manufacturer)
        .Set("device_type", s.expandedDeviceType & 0xFF)
        .Set("expanded_device_type", s.expandedDeviceType)
        .Set("universal_revision", s.universalRevision)
        .Set("device_revision", s.deviceRevision)
        .Set("card", s.card)
        .Set("channel", s.channel);
  }
  o.Set("tag", d.tag ? JsonValue(WithoutPadding(*d.tag)) : JsonValue(nullptr))
      .Set("long_tag", OrNull(d.longTag))
      .Set("reached_by", !d.tag        ? JsonValue(nullptr)
                         : d.byChannel ? JsonValue("card_and_channel")
                                       : JsonValue("long_address"));
  if (d.read) {
    o.Set("pv", JsonObject()
                    .Set("value", Decimal(d.pv))
                    .Set("unit_code", d.pvUnit)
                    .Set("unit", hart::UnitName(d.pvUnit)))
        .Set("loop_current_ma", Decimal(d.loopCurrent));
  } else {
    o.Set("pv", nullptr).Set("loop_current_ma", nullptr);
  }
  return o.Set("result", d.tag ? "answered" : "no_answer")
      .Set("reason", d.why.empty() ? JsonValue(nullptr) : JsonValue(d.why));
}

JsonObject GatewayJson(const hart::GatewayListing& g) {
  const hart::IoCapabilities& c = g.capabilities;
  JsonArray devices;
  for (const auto& d : g.devices) devices.Append(SubDeviceJson(d));
  return JsonObject()
      .Set("cards", c.cards)
      .Set("channels_per_card", c.channelsPerCard)
      .Set("devices_known", c.devicesKnown)
      .Set("requests_held", c.maxOutstanding)
      .Set("sub_devices", devices);
}

void PlainSubDevice(const hart::SubDeviceRecord& d,
                    const std::function<void(std::string_view, const std::string&)>& line) {
  line("sub-device", std::to_string(d.index));
  if (d.summary) {
    const hart::SubDeviceSummary& s = *d.summary;
    line("identifier", std::to_string(s.identifier) + " (" + Hex6(s.identifier) + ")");
    line("manufacturer", NumberAndHex(s.manufacturer, 2));
    line("device type", NumberAndHex(s.expandedDeviceType & 0xFFu, 2) + ", expanded " +
                            Printf("0x%04X", unsigned{s.expandedDeviceType}));
    line("universal revision", std::to_string(s.universalRevision));
    line("card", std::to_string(s.card));
    line("channel", std::to_string(s.channel));
  }
  if (d.tag) line("tag", "\"" + WithoutPadding(*d.tag) + "\"");
  if (d.byChannel) line("reached by", "card and channel (command 77)");
  if (d.longTag) line("long tag", "\"" + *d.longTag + "\"");
  if (d.read) {
    line("PV", Printf("%.3f ", d.pv) + UnitText(d.pvUnit));
    line("loop current", Printf("%.3f mA", d.loopCurrent));
  }
  if (!d.why.empty()) line(d.tag ? "not read" : "no answer", d.why);
}

// The result keyword: what the exit status says, in a word.
std::string_view ResultKeyword(const PollRecord& record) {
  switch (record.result.outcome) {
    case hart::PollOutcome::kSingleDevice:
    case hart::PollOutcome::kMultiDrop:
      return record.reason.empty() ? "pass" : "fail";
    case hart::PollOutcome::kNobody:
      return "fail";
    case hart::PollOutcome::kPortError:
    case hart::PollOutcome::kPortLost:
      break;
  }
  return "error";
}

void PlainLoop(const hart::LoopCheck& loop,
               const std::function<void(std::string_view, const std::string&)>& line) {
  if (!loop.answered) {
    line("loop check", "not checked: " + loop.why);
  } else {
    line("loop check",
         std::string(loop.verdict == hart::LoopVerdict::kNotChecked ? "not checked: " + loop.why
                                                                    : LoopResult(loop.verdict)) +
             Printf(", %+.3f %% of span (limit %.2f %%)", loop.deviation, loop.tolerance));
    line("loop current", Printf("%.3f mA at %.3f %% of range; the PV asks for %.3f mA",
                                loop.measuredMa, loop.percent, loop.expectedMa));
  }
  if (loop.range) {
    line("range", Printf("%.3f to %.3f ", loop.range->lower, loop.range->upper) +
                      UnitText(loop.range->unit));
  }
}

// The press `options` asks for, the details (loop check, command 48) with
// --poll and --scan but not for the monitor, which reads on its own.
int PollPress(hart::HartDevice& device, const HeadlessOptions& options, Collector& link,
              const Console& console, PollRecord& record) {
  record.port = platform::PortPath(serial::kPortName);
  record.time = platform::LocalTimeIso8601();
  const bool scan = options.mode == Mode::Scan;
  hart::PollPlan plan;
  plan.address = options.address;
  plan.scanLast = options.scanLast;
  plan.details = options.mode != Mode::Monitor;
  plan.tolerance = options.tolerance;
  plan.gateway = scan;
  plan.subDevice = options.deviceId;
  const std::string last = std::to_string(options.scanLast);
  hart::PollHooks hooks;
  hooks.scan = [&] {
    if (!scan) {
      console.err(Prefixed("No devices at address " + std::to_string(options.address) +
                           "; --scan polls addresses 1 to 14"));
      return false;
    }
    if (platform::Interrupted()) return false;
    console.err(Prefixed("No devices at address 0; polling addresses 1 to " + last));
    return true;
  };
  hooks.polling = [&](std::uint8_t address) {
    if (console.progress) {
      console.progress(Prefixed("address " + std::to_string(address) + " of " + last));
    }
  };
  hooks.scanned = [&](std::uint8_t address, const hart::FoundDevice* found) {
    if (found != nullptr) {
      if (console.progress) console.progress("");
      console.err(Prefixed("a device answers at address " + std::to_string(address)));
    }
    return !platform::Interrupted();
  };
  hooks.subDevice = [&](std::uint16_t index, std::uint16_t count) {
    if (console.progress) {
      console.progress(
          Prefixed("sub-device " + std::to_string(index) + " of " + std::to_string(count)));
    }
    return !platform::Interrupted();
  };
  hooks.reading = [&](const std::string& step) {
    if (console.progress) console.progress(Prefixed(step));
  };
  record.result = hart::RunPoll(device, plan, hooks);
  if (console.progress && (record.result.scanned || record.result.gateway)) console.progress("");

  const hart::PollOutcome outcome = record.result.outcome;
  if (outcome == hart::PollOutcome::kPortLost) device.ReportLostPort();
  if (platform::Interrupted()) return kExitInterrupted;
  switch (outcome) {
    case hart::PollOutcome::kPortError:
    case hart::PollOutcome::kPortLost: {
      const std::string why = link.Take();
      record.reason = why.empty() ? std::string(hart::Verdict(outcome)) : why;
      if (!why.empty()) console.err(Prefixed(why));
      console.err(Prefixed(hart::Verdict(outcome)));
      return kExitPort;
    }
    case hart::PollOutcome::kNobody:
      record.reason = record.result.scanned ? "no device answered at addresses 0 to " + last
                      : options.deviceId
                          ? "no device with identifier " + Hex6(*options.deviceId) +
                                " behind a gateway at address 0"
                          : "no device answered at address " + std::to_string(options.address);
      return kExitNobody;
    case hart::PollOutcome::kSingleDevice:
    case hart::PollOutcome::kMultiDrop:
      break;
  }
  const auto& loop = record.result.devices.front().loop;
  if (loop && loop->verdict == hart::LoopVerdict::kFail) {
    record.reason = Printf("loop check failed: %+.3f %% of span, beyond %.2f %%", loop->deviation,
                           loop->tolerance);
    return kExitLoopCheck;
  }
  return kExitFound;
}

// One command-3 reading; the link is opened again first when the last
// reading got no answer (an unplugged modem is found again once it is
// back).
Reading TakeReading(hart::HartDevice& device, bool& linkOpen, Collector& link) {
  Reading r;
  r.time = platform::LocalTimeIso8601(true);
  if (!linkOpen) {
    if (device.Open(hart::kPortNumber, hart::kHartBaudRate) != serial::LinkResult::kOk) {
      device.Close();
      const std::string why = link.Take();
      r.error = why.empty() ? "Error opening COM port" : "Error opening COM port: " + why;
      return r;
    }
    linkOpen = true;
    hart::HartDevice::Settle(hart::kModemSettleMs);
  }
  r.reading = hart::ReadDynamicVariables(device);
  if (r.reading.outcome == hart::ReadOutcome::kOk) return r;
  r.error = "HART Error: " + hart::CommandFailure(device, hart::kCommandReadCurrentAndVariables);
  const std::string why = link.Take();
  if (!why.empty()) r.error += " (" + why + ")";
  // A device that refused the command answered: the link is sound.
  if (r.reading.outcome != hart::ReadOutcome::kRefused) {
    device.Close();
    linkOpen = false;
  }
  return r;
}

// The PV dialog's monitor: the first reading one period after the link
// opens, then one each period; a reading that overruns its period is
// followed by one at once, not by a backlog.
int Monitor(hart::HartDevice& device, const HeadlessOptions& options, Collector& link,
            const Console& console) {
  if (!hart::Monitored(device)) {
    console.err(Prefixed(
        "HART Error: loop current and PV are read from universal revision 5 on; this device "
        "has revision " +
        std::to_string(device.universalRevision)));
    return kExitNobody;
  }
  if (device.Open(hart::kPortNumber, hart::kHartBaudRate) != serial::LinkResult::kOk) {
    device.Close();
    const std::string why = link.Take();
    if (!why.empty()) console.err(Prefixed(why));
    console.err(Prefixed("Error opening COM port"));
    return kExitPort;
  }
  const ReadingFormat format = options.json  ? ReadingFormat::kJson
                               : options.csv ? ReadingFormat::kCsv
                                             : ReadingFormat::kPlain;
  bool linkOpen = true;
  std::uint32_t next = platform::TickCount() + options.intervalMs;
  hart::HartDevice::Settle(hart::kModemSettleMs);
  if (format == ReadingFormat::kCsv) console.out(CsvHeader());
  std::uint32_t readings = 0, failed = 0;
  while (!platform::Interrupted()) {
    const auto wait = static_cast<std::int32_t>(next - platform::TickCount());
    if (wait > 0) platform::Sleep(static_cast<std::uint32_t>(wait));
    if (platform::Interrupted()) break;
    const Reading r = TakeReading(device, linkOpen, link);
    // A reading cut short by Ctrl+C is no reading.
    if (platform::Interrupted()) break;
    console.out(FormatReading(r, format));
    ++readings;
    if (r.reading.outcome != hart::ReadOutcome::kOk) ++failed;
    if (options.count != 0 && readings >= options.count) break;
    next += options.intervalMs;
    if (static_cast<std::int32_t>(platform::TickCount() - next) > 0) next = platform::TickCount();
  }
  if (linkOpen) device.Close();
  console.err(
      Prefixed(std::to_string(readings) + " readings, " + std::to_string(failed) + " failed"));
  if (platform::Interrupted() && readings == 0) return kExitInterrupted;
  // A monitor that never read anything has not shown the device works.
  return failed < readings ? kExitFound : kExitNobody;
}

}  // namespace

std::string FormatPlain(const PollRecord& record) {
  std::string s;
  auto line = [&s](std::string_view field, const std::string& value) {
    s += std::string(field) + ": " + value + "\n";
  };
  line("port", record.port);
  line("time", record.time);
  line("verdict", std::string(hart::Verdict(record.result.outcome)));
  if (!record.reason.empty()) line("reason", record.reason);
  std::string addresses;
  for (const auto& d : record.result.devices) {
    addresses += (addresses.empty() ? "" : ", ") + std::to_string(d.address);
  }
  line("addresses", addresses.empty() ? "none" : addresses);
  for (const auto& d : record.result.devices) {
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
    if (d.additionalStatus) {
      const auto& more = *d.additionalStatus;
      const auto names = hart::ExtendedStatusNames(more.extended.value_or(0));
      line(
          "additional status",
          HexBytes(more.bytes) +
              (more.extended ? " (extended: " + (names.empty() ? "none" : Joined(names, ", ")) + ")"
                             : ""));
    }
    line("response code", std::to_string(d.responseCode));
    if (d.loop) PlainLoop(*d.loop, line);
    line("attempts", "poll " + std::to_string(d.pollRequests) +
                         (d.tagRequests != 0 ? ", tag " + std::to_string(d.tagRequests) : ""));
  }
  if (const auto& gateway = record.result.gateway) {
    const hart::IoCapabilities& c = gateway->capabilities;
    s += "\n";
    line("gateway", std::to_string(gateway->devices.size()) + " sub-devices on " +
                        std::to_string(c.cards) + " cards of " + std::to_string(c.channelsPerCard) +
                        " channels, " + std::to_string(c.maxOutstanding) +
                        " requests held at once");
    for (const auto& d : gateway->devices) {
      s += "\n";
      PlainSubDevice(d, line);
    }
  }
  return s;
}

std::string FormatJson(const PollRecord& record) {
  JsonArray addresses, devices;
  for (const auto& d : record.result.devices) {
    addresses.Append(d.address);
    devices.Append(DeviceJson(d));
  }
  return JsonObject()
      .Set("schema", kJsonSchema)
      .Set("program", platform::ApplicationName())
      .Set("version", VELTROP_VERSION)
      .Set("port", record.port)
      .Set("time", record.time)
      .Set("result", ResultKeyword(record))
      .Set("verdict", hart::Verdict(record.result.outcome))
      .Set("reason", record.reason.empty() ? JsonValue(nullptr) : JsonValue(record.reason))
      .Set("addresses", addresses)
      .Set("devices", devices)
      .Set("gateway", record.result.gateway ? JsonValue(GatewayJson(*record.result.gateway))
                                            : JsonValue(nullptr))
      .Write(platform::JsonLayout::Indented);
}

std::string_view CsvHeader() {
  // SV, TV and QV after the columns scripts already read by position.
  return "time,loop_current_ma,pv,unit_code,unit,status,status_flags,error,sv,sv_unit_code,"
         "sv_unit,tv,tv_unit_code,tv_unit,qv,qv_unit_code,qv_unit\n";
}

std::string FormatReading(const Reading& r, ReadingFormat format) {
  const hart::DynamicReading& d = r.reading;
  const bool ok = d.outcome == hart::ReadOutcome::kOk;
  if (format == ReadingFormat::kJson) {
    JsonObject o;
    o.Set("schema", kJsonSchema)
        .Set("time", r.time)
        .Set("result", ok ? "ok" : "error")
        .Set("error", ok ? JsonValue(nullptr) : JsonValue(r.error))
        .Set("loop_current_ma", ok ? Decimal(d.loopCurrent) : nullptr)
        .Set("status", ok ? JsonValue(d.deviceStatus) : JsonValue(nullptr))
        .Set("status_flags",
             ok ? JsonValue(Names(hart::DeviceStatusNames(d.deviceStatus))) : JsonValue(nullptr));
    for (std::size_t i = 0; i < std::size(kVariableKeys); ++i) {
      const char* key = kVariableKeys[i];
      if (i < d.variables.size()) {
        o.Set(key, JsonObject()
                       .Set("value", Decimal(d.variables[i].value))
                       .Set("unit_code", d.variables[i].unit)
                       .Set("unit", hart::UnitName(d.variables[i].unit)));
      } else {
        o.Set(key, nullptr);
      }
    }
    return o.Write(platform::JsonLayout::Compact);
  }
  if (format == ReadingFormat::kCsv) {
    if (!ok) return r.time + ",,,,,,," + CsvField(r.error) + ",,,,,,,,,\n";
    const auto cells = [&d](std::size_t i) {
      if (i >= d.variables.size()) return std::string(",,");
      const hart::Variable& v = d.variables[i];
      return Printf("%.3f", v.value) + "," + std::to_string(v.unit) + "," +
             CsvField(hart::UnitName(v.unit));
    };
    return r.time + "," + Printf("%.3f", d.loopCurrent) + "," + cells(0) + "," +
           Printf("0x%02X", static_cast<unsigned>(d.deviceStatus)) + "," +
           CsvField(Joined(hart::DeviceStatusNames(d.deviceStatus), "; ")) + ",," + cells(1) + "," +
           cells(2) + "," + cells(3) + "\n";
  }
  if (!ok) return r.time + "  no reading: " + r.error + "\n";
  std::string s = r.time + "  " + Printf("%.3f mA", d.loopCurrent);
  for (std::size_t i = 0; i < d.variables.size(); ++i) {
    s += std::string("  ") + kVariableNames[i] + " " + Printf("%.3f", d.variables[i].value) + " " +
         UnitText(d.variables[i].unit);
  }
  return s + "  status " + StatusText(d.deviceStatus) + "\n";
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
  const int status = PollPress(device, options, link, console, record);
  if (status == kExitInterrupted) {
    console.err(Prefixed("interrupted"));
    return status;
  }
  if (options.mode != Mode::Monitor) {
    console.out(options.json ? FormatJson(record) : FormatPlain(record));
    return status;
  }
  if (status != kExitFound) return status;
  const hart::FoundDevice& d = record.result.devices.front();
  console.err(Prefixed("monitoring " + (d.tag ? "\"" + *d.tag + "\", " : std::string()) +
                       "identifier " + std::to_string(d.identity.identifier) +
                       (options.deviceId ? ", behind the gateway at address " : ", at address ") +
                       std::to_string(d.address) + " every " +
                       Printf("%g", options.intervalMs / 1000.0) + " s; Ctrl+C stops"));
  return Monitor(device, options, link, console);
}

}  // namespace ui
