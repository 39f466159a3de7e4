// --device-id: a device behind a gateway named by the hex identifier the
// scan prints.
#include <gtest/gtest.h>

#include "ui/headless/options.h"

namespace ui {
namespace {

platform::CommandLine Given(std::vector<std::pair<std::string, std::string>> options) {
  platform::CommandLine given;
  for (auto& [name, value] : options) given.Set(name, value);
  return given;
}

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
