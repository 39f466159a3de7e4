// Veltrop without a window: the Poll press, the multi-drop scan, the loop
// check and the PV dialog's monitor run from a shell or a script, through
// the same checks as the window (hart/check.h), and their results printed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "hart/check.h"
#include "ui/headless/options.h"

namespace ui {

// Exit statuses of a run without a window.
inline constexpr int kExitFound = 0;
// Nobody answered; a device the monitor cannot read, or a monitor none of
// whose readings succeeded.
inline constexpr int kExitNobody = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPort = 3;           // the port did not open, or went away
inline constexpr int kExitLoopCheck = 4;      // a device answered; its loop check failed
inline constexpr int kExitInterrupted = 130;  // what a shell reports after Ctrl+C

// The version of the JSON records; it goes up when a field changes its
// meaning or goes away (new fields leave it as it is).
inline constexpr int kJsonSchema = 1;

// Where a run's output goes: records and readings, and lines for the
// technician. Each call is one whole record or line. `progress`, when set,
// redraws one line in place (empty text clears it).
struct Console {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
  std::function<void(std::string_view)> progress;
};

// What one Poll press found, and where and when.
struct PollRecord {
  std::string port;
  std::string time;
  hart::PollResult result;
  std::string reason;  // why the press failed, for people; empty when it passed
};

// One of the monitor's command-3 readings.
struct Reading {
  std::string time;  // to the millisecond
  hart::DynamicReading reading;
  std::string error;  // why there is no reading
};

std::string FormatPlain(const PollRecord& record);
std::string FormatJson(const PollRecord& record);
std::string_view CsvHeader();
enum class ReadingFormat { kPlain, kCsv, kJson };
std::string FormatReading(const Reading& reading, ReadingFormat format);

// The ID box's tool tip after a poll: the identifier in hex, manufacturer,
// device type and revisions.
std::string IdentitySummary(const hart::Identity& identity);

// Runs the poll, scan or monitor `options` asks for on `device` and prints
// it; returns the exit status. The link's messages (the port that will not
// open and why) go to the console's err, never to a message box.
int RunHeadless(hart::HartDevice& device, const HeadlessOptions& options, const Console& console);

}  // namespace ui
