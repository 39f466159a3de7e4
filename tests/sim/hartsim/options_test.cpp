#include "sim/hartsim/options.h"

#include <gtest/gtest.h>

#include <set>

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
      Parse({"--fault",
             "addr=3,busy=2,commerror=every,garbage=00A5,zeros=2,notimpl=13,notimpl=3,hangup=250",
             "--fault", "addr=40,burst=445,othermaster=1,noise=3C", "--device",
             "addr=0,rev=7,id=0A0B0C,tag=PT-101,mfr=0x1a,type=0x11,current=16.0,"
             "pv=12.5,unit=7,sv=21.5:32",
             "--device", "addr=40,rev=6,need=9", "--device", "addr=3,rev=4,legacy=1,preambles=20",
             "--link", "/tmp/x", "--verbose"},
            o, error))
      << error;
  ASSERT_EQ(o.devices.size(), 3u);
  const auto& a = o.devices[0].config;
  EXPECT_EQ(a.deviceId, (std::array<std::uint8_t, 3>{0x0A, 0x0B, 0x0C}));
  EXPECT_EQ(a.manufacturer, 0x1A);
  EXPECT_FLOAT_EQ(a.loopCurrent, 16.0f);
  ASSERT_EQ(a.variables.size(), 2u);
  EXPECT_EQ(a.variables[1].unit, 32);
  const auto& forty = o.devices[1];
  EXPECT_EQ(forty.config.requestPreambles, 9);
  EXPECT_TRUE(forty.faults.burst && forty.faults.burstStrict && forty.faults.otherMaster);
  EXPECT_EQ(forty.faults.burstPeriodMicros, 445'000u);
  EXPECT_EQ(forty.faults.noise, std::vector<std::uint8_t>{0x3C});
  const auto& b = o.devices[2];
  EXPECT_TRUE(b.config.legacyCommandZero);
  EXPECT_EQ(b.config.responsePreambles, 20);
  EXPECT_EQ(b.config.deviceId[2], 0x04);  // no id=: its long address differs from the others
  EXPECT_EQ(b.faults.busy, 2u);
  EXPECT_EQ(b.faults.commErrors, sim::kEvery);
  EXPECT_EQ(b.faults.garbage, (std::vector<std::uint8_t>{0x00, 0xA5, 0x00, 0x00}));
  EXPECT_EQ(b.faults.notImplemented, (std::vector<std::uint8_t>{13, 3}));
  EXPECT_EQ(b.faults.hangupMillis, 250u);
  EXPECT_EQ(o.link, "/tmp/x");
  EXPECT_TRUE(o.verbose);
}

TEST(SimOptions, BadOptionsAreRefusedWithAMessage) {
  const std::vector<std::vector<std::string>> bad = {
      {"--device", "addr=64"},
      {"--device", "addr=16,rev=5"},  // above 15 only from revision 6 on
      {"--fault", "burst=5"},
      {"--device", "rev=8"},
      {"--device", "id=0102"},
      {"--device", "tag=TOOLONGTAG"},
      {"--device", "colour=red"},
      {"--device", "addr=1", "--device", "addr=1"},
      {"--fault", "addr=5,busy=1"},
      {"--fault", "busy=lots"},
      {"--fault", "drop=1.5"},
      {"--fault", "garbage=0G"},
      {"--fault", "hangup=0"},  // 0 would be no fault at all
      {"--link"},
      {"--hart-ip", "5094", "--link", "/dev/com8"},  // a gateway has no terminal to link
      {"--psk-file", "gw.key"},                      // a key for no HART-IP server
      {"--hart-ip", "5094", "--psk-file="},
      {"--frobnicate"},
      {"--help=yes"},
      {"stray"},
      {"--device", "tag"},
      {"--fault", "busy=every"},  // "every" only where the device can repeat a fault
      {"--device", "turnaround=256"},
      {"--link", ""},  // no link at all, silently
      {"--trace="},
      {"--device", "current=1e40"},  // a finite double, an infinite float
      {"--fault", "drop=nan"},
      {"--gateway", "subdevices=4"},  // a gateway is served over HART-IP only
      {"--hart-ip", "0", "--gateway", "channels=1,subdevices=256"},  // 255 cards at most
      {"--hart-ip", "0", "--gateway", "max=0"},
  };
  for (const auto& args : bad) {
    sim::Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, o, error)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_FALSE(error.empty());
  }
}

TEST(SimOptions, AGatewayOfMadeUpSubDevicesNeedsNoDeviceAndKeepsThoseGiven) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--hart-ip", "0", "--gateway",
                     "subdevices=60,latency=250,channels=8,max=4,moveport=1,restart=3,silent=0"},
                    o, error))
      << error;
  EXPECT_TRUE(o.devices.empty());
  const auto& g = o.gateway;
  EXPECT_EQ(g.subDevices, 60u);
  EXPECT_EQ(g.latencyMicros, 250'000u);
  EXPECT_EQ(g.config.channelsPerCard, 8);
  EXPECT_EQ(g.config.maxOutstanding, 4);
  EXPECT_TRUE(g.faults.movePort);
  EXPECT_EQ(g.faults.restartAfter, 3u);
  EXPECT_EQ(g.faults.silentAfter, 0u);  // silent from the start, not off

  sim::Options given;
  ASSERT_TRUE(
      Parse({"--hart-ip", "0", "--gateway", "restartat=1500", "--device", "rev=5"}, given, error))
      << error;
  ASSERT_EQ(given.devices.size(), 1u);
  EXPECT_EQ(given.devices[0].config.universalRevision, 5);
  EXPECT_EQ(given.gateway.faults.restartAtMicros, 1'500'000u);
}

TEST(SimOptions, MadeUpSubDevicesHaveLongAddressesAndTagsOfTheirOwn) {
  std::set<std::array<std::uint8_t, 3>> ids;
  std::set<std::string> tags;
  for (std::size_t i = 0; i < 1000; ++i) {
    const auto c = sim::MadeUpSubDevice(i);
    ids.insert(c.deviceId);
    tags.insert(c.tag);
    EXPECT_LE(c.tag.size(), 8u);
  }
  EXPECT_EQ(ids.size(), 1000u);
  EXPECT_EQ(tags.size(), 1000u);
}

TEST(SimOptions, LongOptionsTakeTheirValueEitherWay) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--link=/tmp/a", "--device=addr=2,tag=TT-2", "--device", "addr=4", "--fault",
                     "addr=4,badchecksum=every", "--verb", "--version"},
                    o, error))
      << error;
  EXPECT_EQ(o.link, "/tmp/a");
  ASSERT_EQ(o.devices.size(), 2u);
  EXPECT_EQ(o.devices[0].config.tag, "TT-2");
  EXPECT_EQ(o.devices[1].faults.badChecksums, sim::kEvery);
  EXPECT_TRUE(o.verbose);  // an unambiguous abbreviation
  EXPECT_TRUE(o.version);
  EXPECT_FALSE(o.help);

  // A second parse in the same process starts afresh.
  sim::Options again;
  ASSERT_TRUE(Parse({"--link", "/tmp/b"}, again, error)) << error;
  EXPECT_EQ(again.link, "/tmp/b");
  EXPECT_FALSE(again.verbose);
}

TEST(SimOptions, NumbersAreDecimalUnlessWrittenHex) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--device", "addr=010,mfr=0X1a,status=08"}, o, error)) << error;
  EXPECT_EQ(o.devices[0].config.pollAddress, 10);  // not octal eight
  EXPECT_EQ(o.devices[0].config.manufacturer, 0x1A);
  EXPECT_EQ(o.devices[0].config.deviceStatus, 8);
}

// One message a mistake: the range as accepted, the key once.
TEST(SimOptions, ARangeErrorSaysTheAcceptedRangeAndTheKeyOnce) {
  struct Case {
    std::vector<std::string> args;
    std::string range;
  };
  const std::vector<Case> cases = {
      {{"--device", "rev=8"}, "from 1 to 7"},         {{"--device", "rev=0"}, "from 1 to 7"},
      {{"--device", "preambles=21"}, "from 5 to 20"}, {{"--fault", "preambles=4"}, "from 5 to 20"},
      {{"--fault", "addr=64"}, "from 0 to 63"},
  };
  for (const auto& c : cases) {
    sim::Options o;
    std::string error;
    ASSERT_FALSE(Parse(c.args, o, error)) << c.args[1];
    EXPECT_NE(error.find(c.range), std::string::npos) << error;
    const std::string key = c.args[1].substr(0, c.args[1].find('='));
    EXPECT_EQ(error.find(key), error.rfind(key)) << error;
  }
}

// A key list read as getsubopt(3) reads one: empty items skipped, a
// value kept whole after its first '=', an empty value still a value.
TEST(SimOptions, EmptyItemsAreSkippedAndAValueKeepsEverythingAfterItsEquals) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(Parse(
      {"--device", ",addr=2,,tag=A=B,", "--device", "tag=,addr=3", "--fault", "addr=2,,busy=1,"}, o,
      error))
      << error;
  ASSERT_EQ(o.devices.size(), 2u);
  EXPECT_EQ(o.devices[0].config.tag, "A=B");
  EXPECT_EQ(o.devices[0].faults.busy, 1u);
  EXPECT_EQ(o.devices[1].config.pollAddress, 3);
  EXPECT_EQ(o.devices[1].config.tag, "");
}

TEST(SimOptions, TheDeviceLineShowsTheTagAsTheDeviceServesIt) {
  sim::Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--device", "id=0A0B0C,tag=pt-101"}, o, error)) << error;
  EXPECT_EQ(sim::DeviceLine(o.devices[0].config),
            "device: address 0, revision 7, id 0A0B0C, tag PT-101");
  o.devices[0].config.tag = "a~b";  // no '~' in packed ASCII
  EXPECT_NE(sim::DeviceLine(o.devices[0].config).find("tag A?B"), std::string::npos);
}

}  // namespace
