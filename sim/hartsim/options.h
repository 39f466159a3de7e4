// The `hartsim` command line: devices, faults and where to serve them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"
#include "sim/gateway.h"
#include "sim/hartsim/hart_ip_server.h"

namespace sim {

struct DeviceSetup {
  DeviceConfig config;
  Faults faults;
};

// --gateway: hartsim serves its devices behind a gateway of its own.
struct GatewaySetup {
  bool on = false;
  GatewayConfig config = DefaultGatewayConfig();
  std::uint32_t subDevices = 0;  // made up, after those of --device
  std::uint64_t latencyMicros = 500'000;
  std::uint32_t byChannel = 0;  // the first N reached only through command 77
  HartIpFaults faults;
};

struct Options {
  std::vector<DeviceSetup> devices;  // one revision-7 device at address 0 if none given
  std::string link;                  // --link PATH
  std::string trace;                 // --trace FILE
  std::string hartIp;                // --hart-ip [ADDR:]PORT
  std::string pskFile;               // --psk-file FILE
  GatewaySetup gateway;              // --gateway KEYS
  bool verbose = false;
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name, GNU style: `--link PATH` or
// `--link=PATH`, unambiguous abbreviations, `--` ends the options. Returns
// false with a message naming the offending option on any error.
bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error);

// One --device value, e.g. "addr=0,rev=7,id=000102,tag=PT-101".
bool ParseDevice(std::string_view keys, DeviceSetup& setup, std::string& error);
// One --fault value applied to `setup`; its addr= key chooses the device
// and is checked by the caller.
bool ParseFault(std::string_view keys, DeviceSetup& setup, std::string& error);

// One --gateway value.
bool ParseGateway(std::string_view keys, GatewaySetup& setup, std::string& error);
// The made-up sub-device number `index` (from 0) of subdevices=N: its own
// identifier, tag and long tag; every fourth one of revision 5, without a
// long tag.
DeviceConfig MadeUpSubDevice(std::size_t index);

// The line hartsim prints for a device, with its tag as the device serves
// it (packed ASCII: upper case, '?' for what it cannot carry).
std::string DeviceLine(const DeviceConfig& config);

const char* Usage();
// "hartsim 1.2.0"
const char* Version();

}  // namespace sim
