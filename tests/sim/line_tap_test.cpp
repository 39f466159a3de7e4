// Cutting the simulator's line into frames for hartsim's trace.
#include "sim/line_tap.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <mutex>

#include "sim/pty_server.h"
#include "tests/sim/wire.h"

namespace {

using simtest::Hex;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kChar = sim::kCharacterMicros;

// `bytes` one character apart from `first`.
std::vector<sim::TimedByte> Paced(const Bytes& bytes, std::uint64_t first) {
  std::vector<sim::TimedByte> out;
  for (std::size_t i = 0; i < bytes.size(); ++i) out.push_back({first + i * kChar, bytes[i]});
  return out;
}

void AddAll(sim::LineTap& tap, bool fromMaster, const std::vector<sim::TimedByte>& bytes) {
  for (const auto& b : bytes) tap.Add(fromMaster, b);
}

const Bytes kRequest = Hex("FF FF FF FF FF 02 80 00 00 82");
const Bytes kReply = Hex("FF FF FF FF FF 06 80 00 04 00 00 12 34 A4");

TEST(LineTap, ARequestAndItsReplyComeOutAsFramesInTimeOrderOnceTheLineIsQuiet) {
  sim::LineTap tap;
  const std::uint64_t requestEnd = 1000 + 9 * kChar;
  const std::uint64_t replyStart = requestEnd + 2 * kChar;  // the turnaround
  AddAll(tap, true, Paced(kRequest, 1000));
  AddAll(tap, false, Paced(kReply, replyStart));
  const std::uint64_t replyEnd = replyStart + 13 * kChar;

  // While the reply is still arriving nothing later than its start may go
  // out; the request, over before it, may.
  auto early = tap.Take(replyStart + 5 * kChar);
  ASSERT_EQ(early.size(), 1u);
  EXPECT_TRUE(early[0].fromMaster);
  EXPECT_TRUE(early[0].isFrame);
  EXPECT_EQ(early[0].bytes, Hex("02 80 00 00 82"));
  EXPECT_EQ(early[0].atMicros, requestEnd);

  EXPECT_TRUE(tap.Take(replyEnd + sim::LineTap::kQuietMicros).empty()) << "not yet quiet";
  auto late = tap.Take(replyEnd + sim::LineTap::kQuietMicros + 1);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_FALSE(late[0].fromMaster);
  EXPECT_EQ(late[0].bytes, Hex("06 80 00 04 00 00 12 34 A4"));
  EXPECT_EQ(late[0].atMicros, replyEnd);
}

// The faults a device can be given, as the trace must show them.
TEST(LineTap, WhatMakesNoFrameComesOutWithItsBytesAndReason) {
  struct Case {
    const char* name;
    Bytes line;
    std::vector<std::pair<bool, const char*>> records;  // frame?, bytes
    const char* reason;
  };
  const Case cases[] = {
      {"garbage before the preambles",
       Hex("3C 00 FF FF FF FF FF 06 80 00 04 00 00 12 34 A4"),
       {{false, "3C 00"}, {true, "06 80 00 04 00 00 12 34 A4"}},
       "line noise before the preambles"},
      {"truncated",
       Hex("FF FF FF FF FF 06 80 00 04 00 00"),
       {{false, "FF FF FF FF FF 06 80 00 04 00 00"}},
       "incomplete frame"},
      {"bad checksum",
       Hex("FF FF FF FF FF 06 80 00 04 00 00 12 34 A5"),
       {{false, "FF FF FF FF FF 06 80 00 04 00 00 12 34 A5"}},
       "checksum error"},
      {"noise alone", Hex("00 00 00"), {{false, "00 00 00"}}, "line noise"},
      {"an echo, then the reply",
       Hex("FF FF FF FF FF 02 80 00 00 82 FF FF FF FF FF 06 80 00 04 00 00 12 34 A4"),
       {{true, "02 80 00 00 82"}, {true, "06 80 00 04 00 00 12 34 A4"}},
       ""},
      {"a long-frame burst with a count past the end",
       Hex("FF FF 81 A6 06 00 01 02 01 FF 00"),
       {{false, "FF FF 81 A6 06 00 01 02 01 FF 00"}},
       "incomplete frame"},
  };
  for (const auto& c : cases) {
    const auto records = sim::CutFrames(false, Paced(c.line, 0));
    ASSERT_EQ(records.size(), c.records.size()) << c.name;
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].isFrame, c.records[i].first) << c.name;
      EXPECT_EQ(records[i].bytes, Hex(c.records[i].second)) << c.name;
      if (!records[i].isFrame) {
        EXPECT_EQ(records[i].reason, c.reason) << c.name;
      }
    }
  }
}

TEST(LineTap, TakeAllGivesWhatIsStillOnTheLine) {
  sim::LineTap tap;
  AddAll(tap, true, Paced(kRequest, 0));
  EXPECT_TRUE(tap.Take(kChar * 10).empty());
  const auto all = tap.TakeAll();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].bytes, Hex("02 80 00 00 82"));
}

// The server shows its tap what it read from the master and what it sent
// back, with times that do not go back.
TEST(LineTap, ThePtyServerShowsItsTapBothDirections) {
  sim::Segment segment;
  segment.Add(sim::DeviceConfig{});
  sim::PtyServer server(segment);
  std::mutex mutex;
  std::vector<sim::TimedByte> in, out;
  server.tap = [&](const std::vector<sim::TimedByte>& fromMaster,
                   const std::vector<sim::TimedByte>& toMaster, std::uint64_t) {
    std::lock_guard lock(mutex);
    in.insert(in.end(), fromMaster.begin(), fromMaster.end());
    out.insert(out.end(), toMaster.begin(), toMaster.end());
  };
  std::string error;
  ASSERT_EQ(server.Start(error), 0) << error;
  const int fd = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  const auto request = Hex(simtest::kCmd0Short);
  ASSERT_EQ(::write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::size_t got = 0;
  while (got < 34) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    std::uint8_t buf[64];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  server.Stop();

  ASSERT_EQ(in.size(), request.size());
  ASSERT_EQ(out.size(), 34u);
  EXPECT_EQ(in.front().value, 0xFF);
  EXPECT_EQ(out.back().value, 0x67);  // the reply's checksum
  EXPECT_GT(out.front().atMicros, in.back().atMicros);
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_GE(out[i].atMicros, out[i - 1].atMicros);
}

}  // namespace
