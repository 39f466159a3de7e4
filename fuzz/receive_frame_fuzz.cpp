// Arbitrary bytes on the line, read as one reply frame.
//
// Input: byte 0 chooses one byte per read (bit 1) and whether the bytes
// arrive paced at 1200 baud rather than all at once (bit 2); the rest is
// what the device sends. The frame's own delimiter sizes it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "serial/hart_link.h"
#include "tests/support/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  support::FakePlatform fake;
  if (serial::HartLink::OpenLink(8, 1200) != serial::LinkResult::kOk) std::abort();
  if (data[0] & 2) fake.line.maxBytesPerRead = 1;
  const std::vector<std::uint8_t> wire(data + 1, data + size);
  if (data[0] & 4) {
    fake.line.DeliverPaced(wire, fake.clock.NowMicros());
  } else {
    fake.line.DeliverNow(wire);
  }

  std::array<std::uint8_t, serial::kReplyBufferSize + 1> reply{};
  reply.back() = 0xA5;  // a canary just past the documented buffer size
  const std::uint64_t start = fake.clock.NowMicros();
  const serial::LinkResult result = serial::HartLink::ReceiveFrame(reply.data());
  // No read outlasts the longest legal reply (284 characters, 2.63 s) by
  // more than the gap that ends a patient read and a tick or two.
  FUZZ_CHECK(fake.clock.NowMicros() - start <= 2'700'000);
  FUZZ_CHECK(result == serial::LinkResult::kOk || result == serial::LinkResult::kFailure ||
             result == serial::LinkResult::kChecksumError ||
             result == serial::LinkResult::kDataIncomplete ||
             result == serial::LinkResult::kNoReply);
  FUZZ_CHECK(reply.back() == 0xA5);
  if (result == serial::LinkResult::kOk) {
    // A delivered frame is one the device really sent: delimiter, header and
    // data appear in the input after at least two preambles, and the byte
    // after them is their checksum, worked out here independently.
    const std::size_t header = serial::HeaderLength(reply[0]);
    const std::size_t length = 1 + header + reply[header];
    FUZZ_CHECK(reply[0] != 0xFF);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum ^= reply[i];
    bool found = false;
    for (std::size_t i = 2; i + length < wire.size() && !found; ++i) {
      found = wire[i - 2] == 0xFF && wire[i - 1] == 0xFF && wire[i + length] == sum &&
              std::equal(reply.begin(), reply.begin() + static_cast<long>(length),
                         wire.begin() + static_cast<long>(i));
    }
    FUZZ_CHECK(found);
  }
  // Every outcome leaves both driver buffers purged.
  FUZZ_CHECK(!fake.line.purges().empty());
  return 0;
}
