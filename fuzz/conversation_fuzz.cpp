// A Poll press with its loop check and additional status, and a reading of
// the dynamic variables, against a device whose replies are arbitrary
// bytes, and what the program prints of the answers: the identity, status
// flags, range and units decoded from them.
//
// Input: chunks of [length byte][that many reply bytes]; each request the
// master writes is answered by the next chunk, paced at 1200 baud after a
// short turnaround. When the chunks run out the device is silent.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hart/check.h"
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
  // The press as the runs without a window make it: poll, tag, the loop
  // check (commands 15 and 2) and command 48 where the status asks for it.
  hart::PollPlan plan;
  plan.details = true;
  const hart::PollResult result = hart::RunPoll(device, plan);
  FUZZ_CHECK(result.outcome == hart::PollOutcome::kSingleDevice ||
             result.outcome == hart::PollOutcome::kNobody);
  FUZZ_CHECK(!serial::HartLink::theSerialPort.IsOpen());
  if (result.outcome == hart::PollOutcome::kNobody) {
    FUZZ_CHECK(requests <= 10);
    return 0;
  }
  const hart::FoundDevice& found = result.devices.front();
  FUZZ_CHECK(found.pollRequests <= 10);
  FUZZ_CHECK(found.identity.identifier == device.Identifier());
  FUZZ_CHECK(hart::DeviceStatusNames(found.deviceStatus).size() <= 8);
  if (found.tag) {
    FUZZ_CHECK(found.tag->size() <= 8);
    for (char c : *found.tag) FUZZ_CHECK(c >= 0x20 && c <= 0x5F);
  }
  FUZZ_CHECK(found.loop.has_value());
  if (found.loop->verdict != hart::LoopVerdict::kNotChecked) {
    FUZZ_CHECK(std::isfinite(found.loop->deviation));
  } else {
    FUZZ_CHECK(!found.loop->why.empty());
  }
  if (found.loop->range) FUZZ_CHECK(hart::UnitName(found.loop->range->unit).size() < 16);
  if (found.additionalStatus) {
    FUZZ_CHECK(found.additionalStatus->bytes.size() <= hart::kCommandDataSize);
    FUZZ_CHECK(hart::ExtendedStatusNames(found.additionalStatus->extended.value_or(0)).size() <= 6);
  }

  if (device.Open(8, 1200) != serial::LinkResult::kOk) std::abort();
  const hart::DynamicReading reading = hart::ReadDynamicVariables(device);
  FUZZ_CHECK(reading.variables.size() <= 4);
  if (reading.outcome == hart::ReadOutcome::kOk) {
    FUZZ_CHECK(!reading.variables.empty());
    for (const auto& v : reading.variables) FUZZ_CHECK(hart::UnitName(v.unit).size() < 16);
  }
  FUZZ_CHECK((reading.outcome == hart::ReadOutcome::kRefused) == (reading.refusal != 0));
  device.Close();
  return 0;
}
