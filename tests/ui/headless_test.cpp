// Veltrop without a window: what a script reads, and the monitor going on
// past a failed reading.
#include "ui/headless/headless.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cctype>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/segment.h"
#include "tests/support/fake_platform.h"
#include "tests/support/frames.h"
#include "tests/support/sim_line.h"

namespace {

// A device found at `address` whose command-0 answer carried `data`
// (written out by hand from the protocol's layouts).
hart::FoundDevice Device(std::uint8_t address, const std::string& data, std::uint8_t status = 0) {
  const auto bytes = support::Hex(data);
  hart::FoundDevice d;
  d.address = address;
  EXPECT_TRUE(hart::DecodeIdentity(bytes.data(), bytes.size(), d.identity)) << data;
  d.deviceStatus = status;
  d.pollRequests = 1;
  return d;
}

hart::FoundDevice WithTag(hart::FoundDevice d, const std::string& tag) {
  d.tag = tag;
  d.tagRequests = 2;
  return d;
}

using Outcome = hart::PollOutcome;

ui::PollRecord Record(Outcome outcome, std::vector<hart::FoundDevice> devices,
                      std::string port = "COM8:") {
  ui::PollRecord r{std::move(port), "2026-12-08T15:04:05+01:00", {}, ""};
  r.result.outcome = outcome;
  r.result.devices = std::move(devices);
  return r;
}

ui::Reading Good(float current, std::vector<hart::Variable> variables, std::uint8_t status = 0) {
  ui::Reading r{"2026-12-08T15:04:07.250+01:00", {}, ""};
  r.reading.outcome = hart::ReadOutcome::kOk;
  r.reading.loopCurrent = current;
  r.reading.variables = std::move(variables);
  r.reading.deviceStatus = status;
  return r;
}

ui::Reading Failed(std::string why) {
  return {"2026-12-08T15:04:07.250+01:00", {}, std::move(why)};
}

hart::FoundDevice WithLoop(hart::FoundDevice d, hart::LoopVerdict verdict, float deviation) {
  hart::LoopCheck loop;
  loop.verdict = verdict;
  loop.answered = true;
  loop.measuredMa = 12.5f;
  loop.percent = 50.0f;
  loop.expectedMa = 12.0f;
  loop.deviation = deviation;
  loop.tolerance = 0.25f;
  loop.range = hart::RangeValues{7, 25.0f, 0.0f, 0};
  d.loop = loop;
  return d;
}

struct OutputCase {
  const char* name;
  std::function<std::string()> print;
  std::vector<std::string> lines;  // each one whole in the output
};

// Revision 7: bytes 1-2 the expanded device type E011, bytes 17-18 the
// 16-bit manufacturer 601A; hardware revision 1 with signalling code 0.
const char* const kRevision7 = "FE E0 11 05 07 03 02 08 00 00 01 02 05 01 00 00 00 60 1A 00 1A 01";
const char* const kRevision5 = "FE 1A 11 06 05 02 03 10 00 AB CD EF";
// The older layout: device type, preambles, universal, device, software and
// hardware revision, flags, identifier, and no manufacturer at all.
const char* const kLegacy = "11 05 04 03 02 01 00 0A 0B 0C 00 00";

const OutputCase kOutputCases[] = {
    {"RevisionFivePlain",
     [] {
       return FormatPlain(
           Record(Outcome::kSingleDevice, {WithTag(Device(0, kRevision5, 0x81), "FT-7    ")}));
     },
     {"verdict: Test Pass, single device\n", "identifier: 11259375 (ABCDEF)",
      "manufacturer: 26 (0x1A)", "device type: 17 (0x11)", "hardware revision: 2", "preambles: 6",
      "tag: \"FT-7    \"", "status: 0x81 (device malfunction, primary variable out of limits)",
      "attempts: poll 1, tag 2"}},
    {"ReadingPlainNamesEveryVariableAndUnit",
     [] {
       return FormatReading(Good(16.0f, {{32, 21.5f}, {7, 1.25f}}, 0x20),
                            ui::ReadingFormat::kPlain);
     },
     {"2026-12-08T15:04:07.250+01:00  16.000 mA  PV 21.500 degC (unit 32)  SV 1.250 bar (unit 7)"
      "  status 0x20 (cold start)\n"}},
    {"ReadingOfAnUnlistedUnitGivesItsCode",
     [] {
       return FormatReading(Good(4.0f, {{200, -1.25f}}), ui::ReadingFormat::kPlain);
     },
     {"  4.000 mA  PV -1.250 (unit 200)  status 0x00 (none)"}},
    // The columns scripts read by position stay where they were; SV, TV
    // and QV come after them.
    {"ReadingCsv",
     [] {
       return FormatReading(Good(12.5f, {{57, 50.0f}, {32, 21.0f}}, 0x0C), ui::ReadingFormat::kCsv);
     },
     {"2026-12-08T15:04:07.250+01:00,12.500,50.000,57,%,0x0C,loop current fixed; loop current "
      "saturated,,21.000,32,degC,,,,,,\n"}},
    {"FailedReadingCsvQuotesItsReason",
     [] {
       return FormatReading(Failed("COM8: /dev/com8 does not exist, \"plug\" it"),
                            ui::ReadingFormat::kCsv);
     },
     {"2026-12-08T15:04:07.250+01:00,,,,,,,\"COM8: /dev/com8 does not exist, \"\"plug\"\" it\",,,,,"
      ",,,,\n"}},
};

void PrintTo(const OutputCase& c, std::ostream* os) {
  *os << c.name;
}

class HeadlessOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(HeadlessOutput, Prints) {
  const std::string out = GetParam().print();
  for (const auto& line : GetParam().lines) {
    EXPECT_NE(out.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessOutput, ::testing::ValuesIn(kOutputCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The CSV header has a name for every cell of a row.
TEST(HeadlessOutputCsv, HeaderAndRowsHaveTheSameColumns) {
  const auto columns = [](std::string_view line) {
    int n = 1;
    bool quoted = false;
    for (const char c : line) {
      if (c == '"') quoted = !quoted;
      if (c == ',' && !quoted) ++n;
    }
    return n;
  };
  const int header = columns(ui::CsvHeader());
  EXPECT_EQ(
      columns(FormatReading(Good(4.0f, {{7, 1}, {7, 2}, {7, 3}, {7, 4}}), ui::ReadingFormat::kCsv)),
      header);
  EXPECT_EQ(columns(FormatReading(Failed("a, b"), ui::ReadingFormat::kCsv)), header);
}

// A member of a JSON document by path ("devices/0/tag").
QJsonValue At(const std::string& json, const std::string& path) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
  QJsonValue v = document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
  for (const QString& step : QString::fromStdString(path).split('/')) {
    bool index = false;
    const int i = step.toInt(&index);
    v = index ? v.toArray().at(i) : v.toObject().value(step);
  }
  return v;
}

struct JsonCase {
  const char* name;
  std::function<std::string()> print;
  // Path and the value there, as JSON text.
  std::vector<std::pair<std::string, std::string>> values;
  bool line = false;  // a monitor's reading: JSON lines, one object each
};

const JsonCase kJsonCases[] = {
    {"RevisionSeven",
     [] {
       return FormatJson(
           Record(Outcome::kSingleDevice, {WithTag(Device(0, kRevision7), "PT-101  ")}));
     },
     {{"schema", "1"},
      {"result", R"("pass")"},
      {"verdict", R"("Test Pass, single device")"},
      {"reason", "null"},
      {"addresses", "[0]"},
      {"devices/0/identifier", "258"},
      {"devices/0/identifier_hex", R"("000102")"},
      {"devices/0/manufacturer", "24602"},
      {"devices/0/expanded_device_type", "57361"},
      {"devices/0/hardware_revision", "1"},
      // The tag without the blanks that pad it to eight characters.
      {"devices/0/tag", R"("PT-101")"},
      {"devices/0/attempts", R"({"poll": 1, "tag": 2})"},
      {"devices/0/loop_check", "null"}}},
    {"LegacyLayoutGivesNoManufacturer",
     [] { return FormatJson(Record(Outcome::kSingleDevice, {Device(0, kLegacy)})); },
     {{"devices/0/manufacturer", "null"},
      {"devices/0/expanded_device_type", "null"},
      {"devices/0/identifier_hex", R"("0A0B0C")"}}},
    {"MultiDropDevicesHaveNoTag",
     [] {
       return FormatJson(Record(Outcome::kMultiDrop, {Device(2, kRevision5), Device(5, kLegacy)}));
     },
     {{"addresses", "[2, 5]"}, {"devices/1/tag", "null"}, {"devices/1/attempts/tag", "null"}}},
    {"NobodyFails",
     [] {
       auto r = Record(Outcome::kNobody, {});
       r.reason = "no device answered at address 0";
       return FormatJson(r);
     },
     {{"result", R"("fail")"},
      {"verdict", R"("Test Failed")"},
      {"reason", R"("no device answered at address 0")"},
      {"devices", "[]"}}},
    {"FailedLoopCheck",
     [] {
       auto r = Record(Outcome::kSingleDevice,
                       {WithLoop(Device(0, kRevision5), hart::LoopVerdict::kFail, 3.125f)});
       r.reason = "loop check failed";
       return FormatJson(r);
     },
     {{"result", R"("fail")"},
      {"devices/0/loop_check/result", R"("fail")"},
      {"devices/0/loop_check/deviation_percent_of_span", "3.125"},
      {"devices/0/loop_check/expected_ma", "12"},
      {"devices/0/loop_check/range/unit", R"("bar")"}}},
    // Text is UTF-8 both ways, escaped as JSON asks.
    {"NonAsciiPortAndEscapedTag",
     [] {
       return FormatJson(Record(Outcome::kSingleDevice,
                                {WithTag(Device(0, kRevision5), "A\"B\\C   ")},
                                "/tmp/j\xC3\xBCrgen/com8"));
     },
     {{"port", "\"/tmp/j\xC3\xBCrgen/com8\""}, {"devices/0/tag", R"("A\"B\\C")"}}},
    {"ReadingLine",
     [] {
       return FormatReading(Good(12.5f, {{7, 0.1f}, {32, 21.0f}}, 0x20), ui::ReadingFormat::kJson);
     },
     {{"result", R"("ok")"},
      {"time", R"("2026-12-08T15:04:07.250+01:00")"},
      {"loop_current_ma", "12.5"},
      // A float written as the decimal it stands for, not as a double.
      {"pv", R"({"value": 0.1, "unit_code": 7, "unit": "bar"})"},
      {"sv/unit", R"("degC")"},
      {"qv", "null"},
      {"status_flags", R"(["cold start"])"}},
     true},
    {"FailedReadingLine",
     [] { return FormatReading(Failed("HART Error: x"), ui::ReadingFormat::kJson); },
     {{"result", R"("error")"}, {"error", R"("HART Error: x")"}, {"pv", "null"}},
     true},
};

void PrintTo(const JsonCase& c, std::ostream* os) {
  *os << c.name;
}

class HeadlessJson : public ::testing::TestWithParam<JsonCase> {};

TEST_P(HeadlessJson, Writes) {
  const std::string out = GetParam().print();
  for (const auto& [path, expected] : GetParam().values) {
    const QJsonValue want = At("[" + expected + "]", "0");
    EXPECT_EQ(At(out, path), want) << path << " in:\n" << out;
  }
  if (GetParam().line) {
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HeadlessJson, ::testing::ValuesIn(kJsonCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A reading that fails is printed with its reason and the monitor goes on:
// the port is opened again for the next reading, and closed at the end.
TEST(HeadlessMonitor, GoesOnPastAFailedReadingAndClosesThePort) {
  support::FakePlatform fake;
  sim::Segment segment;
  support::SimLine line{fake.line, segment};
  sim::DeviceConfig config;
  config.loopCurrent = 12.5f;
  sim::Device& device = segment.Add(config);
  int readings = 0;
  segment.onTransaction = [&](const sim::Transaction& t) {
    if (t.command == 3 && ++readings == 1) device.faults.dropNext = 4;  // the second reading's four
  };
  std::string out, err;
  ui::HeadlessOptions options;
  options.mode = ui::Mode::Monitor;
  options.csv = true;
  options.count = 3;
  hart::HartDevice hart;
  const int status = ui::RunHeadless(
      hart, options,
      {[&](std::string_view s) { out += s; }, [&](std::string_view s) { err += s; }, nullptr});
  EXPECT_EQ(status, ui::kExitFound) << err;
  std::vector<std::string> rows;
  for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    rows.push_back(out.substr(at, end - at));
  }
  ASSERT_EQ(rows.size(), 4u) << out;
  EXPECT_NE(rows[1].find(",12.500,"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find(",,,,,,,HART Error: no valid answer to command 3 in 4 requests,"),
            std::string::npos)
      << rows[2];
  EXPECT_NE(rows[3].find(",12.500,"), std::string::npos) << rows[3];
  // The poll press, the monitor, and the monitor again after the failure.
  EXPECT_EQ(fake.line.openedNames.size(), 3u);
  EXPECT_FALSE(fake.line.IsOpen());
}

// A whole run without a window against simulated devices in virtual time.
struct Session {
  support::FakePlatform fake;
  sim::Segment segment;
  support::SimLine line{fake.line, segment};
  std::string out, err;
  std::vector<std::string> progress;

  int operator()(const ui::HeadlessOptions& options) {
    hart::HartDevice device;
    return ui::RunHeadless(device, options,
                           {[this](std::string_view s) { out += s; },
                            [this](std::string_view s) { err += std::string(s) + "\n"; },
                            [this](std::string_view s) { progress.emplace_back(s); }});
  }
};

ui::HeadlessOptions Options(ui::Mode mode) {
  ui::HeadlessOptions o;
  o.mode = mode;
  return o;
}

sim::DeviceConfig At(std::uint8_t address, std::uint8_t revision = 7) {
  sim::DeviceConfig c;
  c.pollAddress = address;
  c.universalRevision = revision;
  return c;
}

// The loop check against a device of known range and current: PV 12.5 bar
// on 0 to 25 bar asks for 12 mA.
TEST(HeadlessLoopCheck, HalfAMilliampTooMuchFailsUnlessTheToleranceAllowsIt) {
  Session run;
  sim::DeviceConfig c = At(0);
  c.loopCurrent = 12.5f;
  run.segment.Add(c);
  EXPECT_EQ(run(Options(ui::Mode::Poll)), ui::kExitLoopCheck) << run.err;
  EXPECT_NE(run.out.find("loop check: fail, +3.125 % of span (limit 0.25 %)\n"), std::string::npos)
      << run.out;
  EXPECT_NE(
      run.out.find("loop current: 12.500 mA at 50.000 % of range; the PV asks for 12.000 mA\n"),
      std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("range: 0.000 to 25.000 bar (unit 7)\n"), std::string::npos) << run.out;
  ui::HeadlessOptions wider = Options(ui::Mode::Poll);
  wider.tolerance = 5.0f;
  EXPECT_EQ(run(wider), ui::kExitFound) << run.err;
  EXPECT_NE(run.out.find("loop check: pass, +3.125 % of span (limit 5.00 %)"), std::string::npos)
      << run.out;
}

// Command 48 is asked only when the device says there is more status.
TEST(HeadlessPoll, MoreStatusAvailableReadsCommand48AndNamesItsBits) {
  Session run;
  sim::DeviceConfig c = At(0);
  c.deviceStatus = 0x10;
  c.additionalStatus = {0, 0, 0, 0, 0, 0x80, 0x09, 0, 0};
  sim::Device& asked = run.segment.Add(c);
  sim::Device& quiet = run.segment.Add(At(1));
  EXPECT_EQ(run(Options(ui::Mode::Poll)), ui::kExitFound) << run.err;
  EXPECT_NE(run.out.find("additional status: 00 00 00 00 00 80 09 00 00 (extended: failure, "
                         "maintenance required)\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(asked.Seen(48), 1u);
  ui::HeadlessOptions o = Options(ui::Mode::Poll);
  o.address = 1;
  EXPECT_EQ(run(o), ui::kExitFound) << run.err;
  EXPECT_EQ(quiet.Seen(48), 0u);
}

// A device that refuses command 3 gives no reading at all: the monitor says
// why in the device's words, and its exit status says it failed.
TEST(HeadlessMonitor, EveryReadingRefusedExitsNonZeroNamingTheCode) {
  Session run;
  run.segment.Add(At(0)).faults.notImplemented = {3};
  ui::HeadlessOptions o = Options(ui::Mode::Monitor);
  o.count = 2;
  EXPECT_EQ(run(o), ui::kExitNobody);
  EXPECT_NE(run.out.find("no reading: HART Error: command 3 refused: 64 command not implemented"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("2 readings, 2 failed"), std::string::npos) << run.err;
  // An answer, if a refusal: the link is kept for the next reading.
  EXPECT_EQ(run.fake.line.openedNames.size(), 2u) << "the poll press and the monitor";
}

// A device a wide scan finds is monitored at its own address, with SV, TV
// and QV; CSV times carry milliseconds.
TEST(HeadlessScan, ReachesAddress40WithScanToAndTheDeviceThereIsMonitored) {
  Session run;
  sim::DeviceConfig c = At(40, 6);
  c.variables = {{sim::kUnitBar, 12.5f}, {sim::kUnitDegC, 21.0f}, {sim::kUnitMilliamp, 12.0f}};
  run.segment.Add(c);
  ui::HeadlessOptions scan = Options(ui::Mode::Scan);
  scan.scanLast = 63;
  EXPECT_EQ(run(scan), ui::kExitFound) << run.err;
  EXPECT_NE(run.out.find("addresses: 40\n"), std::string::npos) << run.out;

  run.out.clear();
  ui::HeadlessOptions monitor = Options(ui::Mode::Monitor);
  monitor.address = 40;
  monitor.count = 1;
  monitor.csv = true;
  EXPECT_EQ(run(monitor), ui::kExitFound) << run.err;
  EXPECT_NE(run.err.find("at address 40 every"), std::string::npos) << run.err;
  const std::string row = run.out.substr(run.out.find('\n') + 1);
  EXPECT_TRUE(row.size() > 24 && row[19] == '.' && std::isdigit(row[22])) << row;
  EXPECT_NE(row.find(",21.000,32,degC,12.000,39,mA,,,\n"), std::string::npos) << row;
}

// The scan's progress names each address before it is polled, and the line
// is cleared once the scan is over.
TEST(HeadlessScan, ShowsProgressAddressByAddress) {
  Session run;
  run.segment.Add(At(3));
  EXPECT_EQ(run(Options(ui::Mode::Scan)), ui::kExitFound) << run.err;
  ASSERT_EQ(run.progress.size(), 14u + 2u) << "14 addresses, cleared for the find and at the end";
  EXPECT_NE(run.progress.front().find("address 1 of 14"), std::string::npos);
  EXPECT_NE(run.progress[run.progress.size() - 2].find("address 14 of 14"), std::string::npos);
  EXPECT_EQ(run.progress.back(), "");
}

// A port that goes away in the middle of the press is the port's failure,
// not a loop where nobody answers.
TEST(HeadlessPoll, APortLostMidPollIsThePortsFailure) {
  Session run;
  run.segment.Add(At(0));
  run.segment.onTransaction = [&](const sim::Transaction&) { run.fake.line.hungUp = true; };
  ui::HeadlessOptions o = Options(ui::Mode::Poll);
  o.json = true;
  EXPECT_EQ(run(o), ui::kExitPort);
  EXPECT_EQ(At(run.out, "verdict"), QJsonValue("COM port lost")) << run.out;
  EXPECT_EQ(At(run.out, "result"), QJsonValue("error"));
  EXPECT_NE(run.err.find("COM8:"), std::string::npos) << run.err;
}

}  // namespace
