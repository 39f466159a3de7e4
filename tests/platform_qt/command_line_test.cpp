#include "command_line/command_line.h"

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
