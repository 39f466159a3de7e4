// Arbitrary packed-ASCII input of any length.
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "hart/packed_ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  char out[hart::kUnpackedSize + 1];
  out[hart::kUnpackedSize] = 'Z';  // canary
  hart::UnpackAscii(data, size, reinterpret_cast<char(&)[hart::kUnpackedSize]>(out));
  FUZZ_CHECK(out[hart::kUnpackedSize] == 'Z');
  FUZZ_CHECK(out[hart::kUnpackedSize - 1] == '\0');
  const std::size_t decoded = (size / 3) * 4;
  for (std::size_t i = 0; i + 1 < hart::kUnpackedSize; ++i) {
    if (i < decoded) {
      FUZZ_CHECK(out[i] >= 0x20 && out[i] <= 0x5F);
    } else {
      FUZZ_CHECK(out[i] == '\0');
    }
  }
  return 0;
}
