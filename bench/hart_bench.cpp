// CPU cost of the master's hot paths, in virtual time (the modem's real
// pauses are not spent, so the figures are the code's own work).
#include <benchmark/benchmark.h>

#include <vector>

#include "hart/hart_device.h"
#include "hart/packed_ascii.h"
#include "serial/hart_link.h"
#include "tests/support/fake_platform.h"

namespace {

std::vector<std::uint8_t> WithChecksum(std::vector<std::uint8_t> frame) {
  std::uint8_t x = 0;
  for (std::size_t i = 5; i < frame.size(); ++i) x ^= frame[i];
  frame.push_back(x);
  return frame;
}

const std::vector<std::uint8_t> kIdentity =
    WithChecksum({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x06, 0x80, 0x00, 0x0E, 0, 0, 0xFE,
                  0x1A, 0x11, 5,    5,    1,    2,    3,    0,    0,    1, 2});

void ReceiveShortFrame(benchmark::State& state) {
  support::FakePlatform fake;
  serial::HartLink::OpenLink(8, 1200);
  std::uint8_t reply[serial::kReplyBufferSize];
  for (auto _ : state) {
    fake.line.DeliverNow(kIdentity);
    if (serial::HartLink::ReceiveFrame(reply) != serial::LinkResult::kOk) {
      state.SkipWithError("the command-0 reply was not received");
      break;
    }
  }
  // items_per_second: whole frames received and checked a second.
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kIdentity.size()));
}
BENCHMARK(ReceiveShortFrame);

// The largest reply: long header and 255 data bytes.
std::vector<std::uint8_t> MaximumFrame() {
  std::vector<std::uint8_t> frame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x86, 1, 2, 3, 4, 5, 3, 0xFF};
  for (int i = 0; i < 255; ++i) frame.push_back(static_cast<std::uint8_t>(i));
  return WithChecksum(frame);
}

void ReceiveMaximumFrame(benchmark::State& state) {
  support::FakePlatform fake;
  serial::HartLink::OpenLink(8, 1200);
  const std::vector<std::uint8_t> frame = MaximumFrame();
  std::uint8_t reply[serial::kReplyBufferSize];
  for (auto _ : state) {
    fake.line.DeliverNow(frame);
    if (serial::HartLink::ReceiveFrame(reply) != serial::LinkResult::kOk) {
      state.SkipWithError("the maximum frame was not received");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(ReceiveMaximumFrame);

void ReceiveMaximumFrameOneBytePerRead(benchmark::State& state) {
  support::FakePlatform fake;
  serial::HartLink::OpenLink(8, 1200);
  fake.line.maxBytesPerRead = 1;
  const std::vector<std::uint8_t> frame = MaximumFrame();
  std::uint8_t reply[serial::kReplyBufferSize];
  for (auto _ : state) {
    fake.line.DeliverNow(frame);
    benchmark::DoNotOptimize(serial::HartLink::ReceiveFrame(reply));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(ReceiveMaximumFrameOneBytePerRead);

void PollAnsweringDevice(benchmark::State& state) {
  support::FakePlatform fake;
  fake.line.onWrite = [&](const std::vector<std::uint8_t>&, std::uint64_t end) {
    fake.line.DeliverPaced(kIdentity, end + 20'000);
  };
  hart::HartDevice device;
  device.Open(8, 1200);
  for (auto _ : state) benchmark::DoNotOptimize(device.Poll(0, 2));
}
BENCHMARK(PollAnsweringDevice);

void UnpackTag(benchmark::State& state) {
  const std::uint8_t packed[] = {0x41, 0x4B, 0x71, 0xC3, 0x18, 0x20};
  char out[hart::kUnpackedSize];
  for (auto _ : state) {
    hart::UnpackAscii(packed, sizeof packed, out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(UnpackTag);

}  // namespace
