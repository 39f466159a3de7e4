// Arbitrary bytes as the frame a gateway's response carries: the HART-IP
// transport's check of it before the engine sees it. What passes is a whole
// frame with a right checksum, and only its own bytes are delivered.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "serial/hart_ip_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> frame(data, size);
  std::array<std::uint8_t, serial::kReplyBufferSize + 1> reply;
  reply.fill(0xA5);
  if (serial::CheckAnswerFrame(frame, reply.data()) != serial::LinkResult::kOk) {
    // Nothing is delivered from a frame that does not check out.
    FUZZ_CHECK(std::all_of(reply.begin(), reply.end(), [](std::uint8_t b) { return b == 0xA5; }));
    return 0;
  }
  FUZZ_CHECK(serial::IsDelimiter(frame[0]));
  const std::size_t header = serial::HeaderLength(frame[0]);
  const std::size_t length = 1 + header + frame[header];
  FUZZ_CHECK(length + 1 <= frame.size());
  FUZZ_CHECK(length <= serial::kReplyBufferSize);
  FUZZ_CHECK(std::equal(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length),
                        frame.begin()));
  FUZZ_CHECK(reply[length] == 0xA5);
  std::uint8_t check = 0;
  for (std::size_t i = 0; i <= length; ++i) check ^= frame[i];
  FUZZ_CHECK(check == 0);
  return 0;
}
