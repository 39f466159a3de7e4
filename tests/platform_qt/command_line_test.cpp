#include "command_line/command_line.h"
#include "command_line/config_file.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::CommandLineAction;

const std::vector<platform::CommandLineOption> kOptions = {
    {"service", "", "show the PV button"},
    {"trace", "FILE", "write a trace"},
};

platform::ParsedCommandLine Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "veltrop");
  return platform::ParseCommandLine(static_cast<int>(args.size()), args.data(), kOptions);
}

// Qt takes its own options off the line after ours have been read; their
// values must not be taken for arguments, nor their names for unknown
// options, in either of the spellings Qt accepts.
TEST(CommandLine, QtsOwnOptionsAndTheirValuesAreLetThrough) {
  const auto parsed = Parse({"-platform", "xcb", "--service", "-display", ":1", "-style=Fusion",
                             "-reverse", "--geometry", "400x300"});
  ASSERT_EQ(parsed.action, CommandLineAction::Run) << parsed.error;
  EXPECT_TRUE(parsed.given.IsSet("service"));
  EXPECT_FALSE(parsed.given.IsSet("trace"));
  EXPECT_EQ(parsed.given.Value("display"), ":1");
  EXPECT_EQ(parsed.given.Value("platform"), "xcb");
}

TEST(CommandLine, TraceTakesItsValueInBothSpellingsAndTheLastOneCounts) {
  EXPECT_EQ(Parse({"--trace", "a.pcap"}).given.Value("trace"), "a.pcap");
  EXPECT_EQ(Parse({"--trace=b.pcap"}).given.Value("trace"), "b.pcap");
  EXPECT_EQ(Parse({"--trace=a.pcap", "--trace", "c.pcap"}).given.Value("trace"), "c.pcap");
  // A file name that starts with a dash is still the value.
  EXPECT_EQ(Parse({"--trace", "-odd.pcap"}).given.Value("trace"), "-odd.pcap");
}

TEST(CommandLine, ErrorsNameTheOptionOrArgument) {
  struct Case {
    std::vector<const char*> args;
    const char* named;
  };
  // In getopt_long's words, as every other program (hartsim too) says them.
  for (const auto& c : {Case{{"--bogus"}, "unrecognized option '--bogus'"},
                        Case{{"--bogus=1"}, "unrecognized option '--bogus'"},
                        Case{{"-x"}, "unrecognized option '-x'"},
                        Case{{"--service", "--trace"}, "option '--trace' requires an argument"},
                        Case{{"poll"}, "unexpected argument 'poll'"},
                        Case{{"--service=yes"}, "option '--service' doesn't allow an argument"},
                        Case{{"--bogus", "--help"}, "unrecognized option '--bogus'"}}) {
    const auto parsed = Parse(c.args);
    EXPECT_EQ(parsed.action, CommandLineAction::Error) << c.named;
    EXPECT_EQ(parsed.error, c.named);
  }
}

TEST(CommandLine, HelpAndVersionWinOverTheOptionsBesideThem) {
  EXPECT_EQ(Parse({"--service", "--help"}).action, CommandLineAction::Help);
  EXPECT_EQ(Parse({"-h"}).action, CommandLineAction::Help);
  EXPECT_EQ(Parse({"--trace", "x.pcap", "--version"}).action, CommandLineAction::Version);
  EXPECT_EQ(Parse({}).action, CommandLineAction::Run);
}

}  // namespace

namespace {

const std::vector<std::string> kKeys = {"port", "modem"};

TEST(ConfigFile, ReadsKeyValueLinesAroundCommentsAndBlanks) {
  platform::ConfigFile file;
  std::string error;
  ASSERT_TRUE(
      platform::ParseConfig("# the site's modem\n\n  port=/dev/serial/by-id/usb-FT#1 \n"
                            "modem = self\t# keys itself\r\nmodem = rts",
                            "v.conf", kKeys, file, error))
      << error;
  // A '#' inside a value is part of it; only one after a blank starts a comment.
  EXPECT_EQ(file.values["port"].value, "/dev/serial/by-id/usb-FT#1");
  EXPECT_EQ(file.values["port"].line, 3);
  EXPECT_EQ(file.values["modem"].value, "rts") << "the last line wins, as the last option does";
  EXPECT_EQ(file.values["modem"].line, 5);
}

TEST(ConfigFile, AMalformedLineIsRefusedByFileAndLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  for (const auto& c :
       {Case{"port /dev/ttyUSB0",
             "v.conf:1: 'port /dev/ttyUSB0' is not a "
             "'key = value' line"},
        Case{"\n# ok\n= /dev/ttyUSB0",
             "v.conf:3: '= /dev/ttyUSB0' is not a "
             "'key = value' line"},
        Case{"prot = /dev/ttyUSB0", "v.conf:1: unknown setting 'prot' (known: port, modem)"},
        Case{"port = /dev/ttyUSB0\nmodem =  # none",
             "v.conf:2: 'modem' needs a "
             "value"}}) {
    platform::ConfigFile file;
    std::string error;
    EXPECT_FALSE(platform::ParseConfig(c.text, "v.conf", kKeys, file, error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
