// Veltrop without a window: the Poll press, the multi-drop scan and the PV
// dialog's monitor run from a shell or a script, on the same HartDevice and
// with the same timings as the window, and their results printed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hart/device_info.h"
#include "hart/hart_device.h"
#include "ui/headless/options.h"

namespace ui {

// Exit statuses of a run without a window.
inline constexpr int kExitFound = 0;
inline constexpr int kExitNobody = 1;  // also: a device the monitor cannot read
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;
inline constexpr int kExitInterrupted = 130;  // what a shell reports after Ctrl+C

// Where a run's output goes: records and readings, and lines for the
// technician. Each call is one whole record or line.
struct Console {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
};

struct FoundDevice {
  std::uint8_t address = 0;
  hart::Identity identity;
  std::uint8_t responseCode = 0;
  std::uint8_t deviceStatus = 0;
  int pollRequests = 0;
  // The window reads the tag of the device at address 0 only; nullopt when
  // it was not asked or never answered (then tagRequests is not 0).
  std::optional<std::string> tag;
  int tagRequests = 0;
};

// What one Poll press found.
struct PollRecord {
  std::string port;
  std::string time;
  std::string verdict;  // the window's Status text
  std::vector<FoundDevice> devices;
};

// One of the monitor's command-3 readings.
struct Reading {
  std::string time;
  bool ok = false;
  float loopCurrent = 0;  // mA
  std::uint8_t unit = 0;  // the PV's unit code
  float pv = 0;
  std::uint8_t deviceStatus = 0;
  std::string error;  // why there is no reading
};

// `device` after a Poll that answered: the identity it reported, its status
// and the requests the poll took.
FoundDevice Found(const hart::HartDevice& device);

std::string FormatPlain(const PollRecord& record);
std::string FormatJson(const PollRecord& record);
std::string_view CsvHeader();
std::string FormatReading(const Reading& reading, bool csv);

// The ID box's tool tip after a poll: the identifier in hex, manufacturer,
// device type and revisions.
std::string IdentitySummary(const hart::Identity& identity);

// Runs the poll, scan or monitor `options` asks for on `device` and prints
// it; returns the exit status. The link's messages (the port that will not
// open and why) go to the console's err, never to a message box.
int RunHeadless(hart::HartDevice& device, const HeadlessOptions& options, const Console& console);

}  // namespace ui
