// Veltrop without a window: what a script reads, and the monitor going on
// past a failed reading.
#include "ui/headless/headless.h"

#include <gtest/gtest.h>

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
ui::FoundDevice Device(std::uint8_t address, const std::string& data, std::uint8_t status = 0) {
  const auto bytes = support::Hex(data);
  ui::FoundDevice d;
  d.address = address;
  EXPECT_TRUE(hart::DecodeIdentity(bytes.data(), bytes.size(), d.identity)) << data;
  d.deviceStatus = status;
  d.pollRequests = 1;
  return d;
}

ui::FoundDevice WithTag(ui::FoundDevice d, const std::string& tag) {
  d.tag = tag;
  d.tagRequests = 2;
  return d;
}

ui::PollRecord Record(std::string verdict, std::vector<ui::FoundDevice> devices) {
  return {"COM8:", "2026-12-08T15:04:05+01:00", std::move(verdict), std::move(devices)};
}

ui::Reading Good(float current, std::uint8_t unit, float pv, std::uint8_t status = 0) {
  return {"2026-12-08T15:04:07+01:00", true, current, unit, pv, status, ""};
}

ui::Reading Failed(std::string why) {
  return {"2026-12-08T15:04:07+01:00", false, 0, 0, 0, 0, std::move(why)};
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
    {"RevisionSevenJson",
     [] {
       return FormatJson(
           Record("Test Pass, single device", {WithTag(Device(0, kRevision7), "PT-101  ")}));
     },
     {"  \"verdict\": \"Test Pass, single device\",", "  \"addresses\": [0],",
      "      \"identifier\": 258,", "      \"identifier_hex\": \"000102\",",
      "      \"manufacturer\": 24602,", "      \"device_type\": 17,",
      "      \"expanded_device_type\": 57361,", "      \"universal_revision\": 7,",
      "      \"device_revision\": 3,", "      \"software_revision\": 2,",
      "      \"hardware_revision\": 1,", "      \"tag\": \"PT-101  \",",
      "      \"attempts\": {\"poll\": 1, \"tag\": 2}"}},
    {"RevisionFivePlain",
     [] {
       return FormatPlain(
           Record("Test Pass, single device", {WithTag(Device(0, kRevision5, 0x81), "FT-7    ")}));
     },
     {"identifier: 11259375 (ABCDEF)", "manufacturer: 26 (0x1A)", "device type: 17 (0x11)",
      "hardware revision: 2", "preambles: 6", "tag: \"FT-7    \"",
      "status: 0x81 (device malfunction, primary variable out of limits)",
      "attempts: poll 1, tag 2"}},
    {"LegacyLayoutGivesNoManufacturer",
     [] { return FormatJson(Record("Test Pass, single device", {Device(0, kLegacy)})); },
     {"      \"manufacturer\": null,", "      \"expanded_device_type\": null,",
      "      \"identifier_hex\": \"0A0B0C\",", "      \"universal_revision\": 4,",
      "      \"device_revision\": 3,", "      \"hardware_revision\": 1,"}},
    {"TagQuotesAndBackslashesAreEscaped",
     [] {
       return FormatJson(
           Record("Test Pass, single device", {WithTag(Device(0, kRevision5), "A\"B\\C   ")}));
     },
     {"      \"tag\": \"A\\\"B\\\\C   \","}},
    {"MultiDropDevicesHaveNoTag",
     [] {
       return FormatJson(
           Record("Test Pass, multi-drop network", {Device(2, kRevision5), Device(5, kLegacy)}));
     },
     {"  \"addresses\": [2, 5],", "      \"tag\": null,",
      "      \"attempts\": {\"poll\": 1, \"tag\": null}"}},
    {"NobodyIsAWholeJsonObject",
     [] { return FormatJson(Record("Test Failed", {})); },
     {"{\n  \"port\": \"COM8:\",\n  \"time\": \"2026-12-08T15:04:05+01:00\",\n  \"verdict\": "
      "\"Test Failed\",\n  \"addresses\": [],\n  \"devices\": []\n}\n"}},
    {"ReadingPlainNamesTheUnit",
     [] { return FormatReading(Good(16.0f, 32, 21.5f, 0x20), false); },
     {"2026-12-08T15:04:07+01:00  16.000 mA  PV 21.500 degC (unit 32)  status 0x20 (cold start)"}},
    {"ReadingOfAnUnlistedUnitGivesItsCode",
     [] { return FormatReading(Good(4.0f, 200, -1.25f), false); },
     {"  4.000 mA  PV -1.250 (unit 200)  status 0x00 (none)"}},
    {"ReadingCsv",
     [] { return FormatReading(Good(12.5f, 57, 50.0f, 0x0C), true); },
     {"2026-12-08T15:04:07+01:00,12.500,50.000,57,%,0x0C,loop current fixed; loop current "
      "saturated,\n"}},
    {"FailedReadingCsvQuotesItsReason",
     [] { return FormatReading(Failed("COM8: /dev/com8 does not exist, \"plug\" it"), true); },
     {"2026-12-08T15:04:07+01:00,,,,,,,\"COM8: /dev/com8 does not exist, \"\"plug\"\" it\"\n"}},
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
      {[&](std::string_view s) { out += s; }, [&](std::string_view s) { err += s; }});
  EXPECT_EQ(status, ui::kExitFound) << err;
  std::vector<std::string> rows;
  for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
    rows.push_back(out.substr(at, end - at));
  }
  ASSERT_EQ(rows.size(), 4u) << out;
  EXPECT_NE(rows[1].find(",12.500,"), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find(",,,,,,,HART Error: no valid answer to command 3 in 4 requests"),
            std::string::npos)
      << rows[2];
  EXPECT_NE(rows[3].find(",12.500,"), std::string::npos) << rows[3];
  // The poll press, the monitor, and the monitor again after the failure.
  EXPECT_EQ(fake.line.openedNames.size(), 3u);
  EXPECT_FALSE(fake.line.IsOpen());
}

}  // namespace
