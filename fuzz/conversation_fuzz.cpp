// A poll, a command-3 read and a tag read against a device whose replies
// are arbitrary bytes.
//
// Input: chunks of [length byte][that many reply bytes]; each request the
// master writes is answered by the next chunk, paced at 1200 baud after a
// short turnaround. When the chunks run out the device is silent.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hart/hart_device.h"
#include "tests/support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  support::FakePlatform fake;
  std::size_t at = 0;
  std::size_t requests = 0;
  fake.line.onWrite = [&](const std::vector<std::uint8_t>&, std::uint64_t end) {
    ++requests;
    if (at >= size) return;
    const std::size_t n = std::min<std::size_t>(data[at], size - at - 1);
    const std::vector<std::uint8_t> reply(data + at + 1, data + at + 1 + n);
    at += 1 + n;
    fake.line.DeliverPaced(reply, end + 20'000);
  };

  hart::HartDevice device;
  if (device.Open(8, 1200) != serial::LinkResult::kOk) std::abort();
  const bool found = device.Poll(0, 2);
  FUZZ_CHECK(requests <= 10);
  if (found) {
    std::uint8_t values[hart::kCommandDataSize];
    if (device.SendCommand(3, values)) {
      volatile float current = hart::ToHostFloat(values);
      (void)current;
    }
    char tag[hart::kTagTextSize] = {};
    if (hart::ReadTag(device, tag)) {
      FUZZ_CHECK(std::strlen(tag) <= 8);
      for (char c : std::string(tag)) FUZZ_CHECK(c >= 0x20 && c <= 0x5F);
    } else {
      FUZZ_CHECK(tag[0] == '\0');
    }
  }
  device.Close();
  return 0;
}
