#include "sim/options.h"

#include <gtest/gtest.h>

namespace {

bool Parse(std::vector<std::string> args, sim::Options& o, std::string& error) {
  return sim::ParseCommandLine(args, o, error);
}

TEST(SimOptions, NoDeviceMeansOneRevision7DeviceTaggedPT101) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(Parse({}, o, error)) << error;
  ASSERT_EQ(o.devices.size(), 1u);
  EXPECT_EQ(o.devices[0].config.pollAddress, 0);
  EXPECT_EQ(o.devices[0].config.universalRevision, 7);
  EXPECT_EQ(o.devices[0].config.tag, "PT-101");
}

TEST(SimOptions, DevicesAndFaultsFromTheCommandLine) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(
      Parse({"--fault", "addr=3,busy=2,commerror=every,garbage=00A5,zeros=2", "--device",
             "addr=0,rev=7,id=0A0B0C,tag=PT-101,mfr=0x1a,type=0x11,current=16.0,"
             "pv=12.5,unit=7,sv=21.5:32",
             "--device", "addr=3,rev=4,legacy=1,preambles=20", "--link", "/tmp/x", "--verbose"},
            o, error))
      << error;
  ASSERT_EQ(o.devices.size(), 2u);
  const auto& a = o.devices[0].config;
  EXPECT_EQ(a.deviceId, (std::array<std::uint8_t, 3>{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(a.manufacturer, 0x1A);
  EXPECT_FLOAT_EQ(a.loopCurrent, 16.0f);
  ASSERT_EQ(a.variables.size(), 2u);
  EXPECT_EQ(a.variables[1].unit, 32);
  const auto& b = o.devices[1];
  EXPECT_TRUE(b.config.legacyCommandZero);
  EXPECT_EQ(b.config.responsePreambles, 20);
  EXPECT_EQ(b.config.deviceId[2], 0x03);  // no id=: its long address differs from the first
  EXPECT_EQ(b.faults.busy, 2u);
  EXPECT_EQ(b.faults.commErrors, sim::kEvery);
  EXPECT_EQ(b.faults.garbage, (std::vector<std::uint8_t>{0x00, 0xA5, 0x00, 0x00}));
  EXPECT_EQ(o.link, "/tmp/x");
  EXPECT_TRUE(o.verbose);
}

TEST(SimOptions, BadOptionsAreRefusedWithAMessage) {
  const std::vector<std::vector<std::string>> bad = {
      {"--device", "addr=16"},
      {"--device", "rev=8"},
      {"--device", "id=0102"},
      {"--device", "tag=TOOLONGTAG"},
      {"--device", "colour=red"},
      {"--device", "addr=1", "--device", "addr=1"},
      {"--fault", "addr=5,busy=1"},
      {"--fault", "busy=lots"},
      {"--fault", "drop=1.5"},
      {"--fault", "garbage=0G"},
      {"--link"},
      {"--frobnicate"},
  };
  for (const auto& args : bad) {
    sim::Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, o, error)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
