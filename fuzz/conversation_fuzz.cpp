// A poll, a command-3 read and a tag read against a device whose replies
// are arbitrary bytes, and what the program prints of the answers: the
// identity, status flags and unit decoded from them.
//
// Input: chunks of [length byte][that many reply bytes]; each request the
// master writes is answered by the next chunk, paced at 1200 baud after a
// short turnaround. When the chunks run out the device is silent.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hart/device_info.h"
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
    const auto& answer = device.LastAnswer();
    FUZZ_CHECK(answer.dataLength <= hart::kCommandDataSize);
    hart::Identity identity;
    // An answer is never shorter than the identity every layout has.
    FUZZ_CHECK(hart::DecodeIdentity(answer.data, answer.dataLength, identity));
    FUZZ_CHECK(identity.identifier == device.Identifier());
    FUZZ_CHECK(hart::DeviceStatusNames(answer.deviceStatus).size() <= 8);
    std::uint8_t values[hart::kCommandDataSize];
    if (device.SendCommand(3, values)) {
      volatile float current = hart::ToHostFloat(values);
      (void)current;
      FUZZ_CHECK(hart::UnitName(values[4]).size() < 16);
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
