// Where the port and the modem come from, and the lines that are refused
// before any port is opened.
#include "ui/headless/options.h"

#include <gtest/gtest.h>

#include <map>

namespace ui {
namespace {

platform::CommandLine Given(std::vector<std::pair<std::string, std::string>> options) {
  platform::CommandLine given;
  for (auto& [name, value] : options) given.Set(name, value);
  return given;
}

Environment With(std::map<std::string, std::string> variables) {
  return [variables](std::string_view name) -> std::optional<std::string> {
    const auto it = variables.find(std::string(name));
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
}

platform::ConfigFile File(std::map<std::string, platform::ConfigValue, std::less<>> values) {
  return {"/home/tech/.config/veltrop/veltrop.conf", std::move(values)};
}

// Each setting on its own: a port from the line must not drag the modem
// from the line's source with it, nor hide the file's modem.
TEST(SharedSettings, TheLineWinsOverTheEnvironmentWhichWinsOverTheFile) {
  struct Case {
    platform::CommandLine given;
    std::map<std::string, std::string> environment;
    const char* port;
    const char* modem;
  };
  const auto file = File({{"port", {"/dev/ttyUSB1", 2}}, {"modem", {"rts", 3}}});
  for (const auto& c : {
           Case{Given({}), {}, "/dev/ttyUSB1", "rts"},
           Case{Given({}), {{"VELTROP_PORT", "/dev/ttyACM0"}}, "/dev/ttyACM0", "rts"},
           Case{Given({{"port", "/dev/ttyS0"}}),
                {{"VELTROP_PORT", "/dev/ttyACM0"}},
                "/dev/ttyS0",
                "rts"},
           Case{Given({{"modem", "self"}}), {{"VELTROP_MODEM", "rts"}}, "/dev/ttyUSB1", "self"},
           Case{Given({}), {{"VELTROP_MODEM", "self"}}, "/dev/ttyUSB1", "self"},
       }) {
    SharedSettings s;
    std::string error;
    ASSERT_TRUE(ChooseSharedSettings(c.given, With(c.environment), file, s, error)) << error;
    EXPECT_EQ(s.port, c.port);
    EXPECT_EQ(s.modem, c.modem);
  }
  SharedSettings none;
  std::string error;
  ASSERT_TRUE(ChooseSharedSettings(Given({}), With({}), File({}), none, error));
  EXPECT_TRUE(none.port.empty()) << "nothing given: COM8:'s own device";
  EXPECT_TRUE(none.modem.empty());
}

// A value that cannot be used is refused where it was written, and one
// from a source that is overridden is never looked at.
TEST(SharedSettings, ABadValueIsRefusedNamingWhereItCameFrom) {
  struct Case {
    platform::CommandLine given;
    std::map<std::string, std::string> environment;
    platform::ConfigFile file;
    const char* error;
  };
  for (const auto& c : {
           Case{Given({{"modem", "dtr"}}),
                {},
                File({}),
                "option '--modem' takes self or rts, not 'dtr'"},
           Case{Given({}),
                {{"VELTROP_MODEM", "RTS"}},
                File({}),
                "VELTROP_MODEM takes self or rts, not 'RTS'"},
           Case{Given({}),
                {},
                File({{"modem", {"yes", 4}}}),
                "/home/tech/.config/veltrop/veltrop.conf:4: modem takes self or rts, not 'yes'"},
           Case{Given({{"port", ""}}),
                {{"VELTROP_PORT", "/dev/ttyUSB0"}},
                File({}),
                "option '--port' needs a non-empty value"},
           Case{Given({}),
                {},
                File({{"port", {"hart-ip+tcp://gw:notaport", 1}}}),
                "/home/tech/.config/veltrop/veltrop.conf:1: port: 'hart-ip+tcp://gw:notaport' "
                "is not a gateway address; write hart-ip://HOST[:PORT] (UDP) or "
                "hart-ip+tcp://HOST[:PORT] (TCP), an IPv6 address in brackets"},
       }) {
    SharedSettings s;
    std::string error;
    EXPECT_FALSE(ChooseSharedSettings(c.given, With(c.environment), c.file, s, error));
    EXPECT_EQ(error, c.error);
  }
  SharedSettings s;
  std::string error;
  EXPECT_TRUE(ChooseSharedSettings(Given({{"modem", "rts"}}), With({{"VELTROP_MODEM", "bad"}}),
                                   File({{"modem", {"worse", 1}}}), s, error))
      << error;
}

TEST(HeadlessOptions, LinesThatWouldRunSomethingElseThanAskedAreRefused) {
  struct Case {
    platform::CommandLine given;
    const char* error;
  };
  for (const auto& c : {
           Case{Given({{"poll", ""}, {"scan", ""}}),
                "--scan polls address 0 first; it does not go with --poll"},
           Case{Given({{"list-ports", ""}, {"poll", ""}}),
                "--list-ports talks to no device; it does not go with --poll, --scan or "
                "--monitor"},
           Case{Given({{"list-ports", ""}, {"service", ""}}),
                "--service is for the window; it does not go with --list-ports"},
           Case{Given({{"json", ""}}),
                "--json goes with --poll, --scan, --monitor or --list-ports"},
       }) {
    HeadlessOptions o;
    std::string error;
    EXPECT_FALSE(ReadHeadlessOptions(c.given, o, error));
    EXPECT_EQ(error, c.error);
  }
  HeadlessOptions o;
  std::string error;
  ASSERT_TRUE(ReadHeadlessOptions(Given({{"list-ports", ""}, {"json", ""}}), o, error)) << error;
  EXPECT_EQ(o.mode, Mode::ListPorts);
  EXPECT_TRUE(o.json);
}

// --device-id: a device behind a gateway named by the hex identifier the
// scan prints.
TEST(DeviceIdOption, ReadAsHexAndRefusedWhereItMeansNothing) {
  HeadlessOptions o;
  std::string error;
  ASSERT_TRUE(ReadHeadlessOptions(Given({{"poll", ""}, {"device-id", "20000a"}}), o, error));
  EXPECT_EQ(o.deviceId, 0x20000Au);
  ASSERT_TRUE(ReadHeadlessOptions(Given({{"monitor", ""}, {"device-id", "FFFFFF"}}), o, error));
  EXPECT_EQ(o.deviceId, 0xFFFFFFu);
  ASSERT_TRUE(ReadHeadlessOptions(Given({{"poll", ""}}), o, error));
  EXPECT_FALSE(o.deviceId);
  for (const auto& given : {
           Given({{"poll", ""}, {"device-id", "1000000"}}),  // beyond 24 bits
           Given({{"poll", ""}, {"device-id", "-1"}}),
           Given({{"poll", ""}, {"device-id", "0x12"}}),
           Given({{"poll", ""}, {"device-id", ""}}),
           Given({{"scan", ""}, {"device-id", "200001"}}),
           Given({{"poll", ""}, {"device-id", "200001"}, {"address", "3"}}),
       }) {
    error.clear();
    EXPECT_FALSE(ReadHeadlessOptions(given, o, error));
    EXPECT_NE(error, "");
  }
}

}  // namespace
}  // namespace ui
