// The veltrop program's options: the window's, and those that run a poll, a
// scan or a monitor without one. One table for both, so that --help, the
// window and the runs without a window read the line alike.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_line/command_line.h"
#include "command_line/config_file.h"
#include "hart/check.h"

namespace ui {

const std::vector<platform::CommandLineOption>& ProgramOptions();

enum class Mode { Window, Poll, Scan, Monitor, ListPorts };

struct HeadlessOptions {
  Mode mode = Mode::Window;
  bool json = false;
  bool csv = false;
  std::uint32_t intervalMs = 2000;                 // the PV dialog's period
  std::uint32_t count = 0;                         // 0: until interrupted
  std::uint8_t address = 0;                        // polled (and monitored)
  std::uint8_t scanLast = hart::kLastDropAddress;  // the scan covers 1 to this
  // Polled (and monitored) behind the gateway at address 0 instead.
  std::optional<std::uint32_t> deviceId;
  float tolerance = hart::kLoopTolerance;
};

// The user's settings file, under $XDG_CONFIG_HOME (~/.config).
inline constexpr const char* kSettingsFile = "veltrop/veltrop.conf";

// The port's device and how the modem is keyed; empty for the default
// ("COM8:"'s device, a modem that keys itself).
struct SharedSettings {
  std::string port;
  std::string modem;
};

// An environment variable's value; nullopt when it is not set or empty.
using Environment = std::function<std::optional<std::string>(std::string_view)>;

// Each of the two from --port and --modem, else VELTROP_PORT and
// VELTROP_MODEM, else the settings file's port and modem lines. False, with
// `error` naming where the value came from, for one that cannot be used.
bool ChooseSharedSettings(const platform::CommandLine& given, const Environment& environment,
                          const platform::ConfigFile& file, SharedSettings& settings,
                          std::string& error);

// The settings the window and the runs without one both take (the port's
// device and how the modem is keyed, as ChooseSharedSettings finds them),
// put into effect before anything else happens. False, with `error`, for a
// value that cannot be used or a settings file that cannot be read.
bool ApplySharedOptions(const platform::CommandLine& given, std::string& error);

// Opens --trace's file, if one is named: the last start-up step, so that a
// start that fails leaves the file as it was.
bool OpenTraceOption(const platform::CommandLine& given, std::string& error);

// What the line asks for. False, with `error` naming the option, for a line
// that mixes the window's options with the others or gives an option
// without its mode, or a value out of range.
bool ReadHeadlessOptions(const platform::CommandLine& given, HeadlessOptions& options,
                         std::string& error);

}  // namespace ui
