#include "hart/packed_ascii.h"

#include <algorithm>

namespace hart {

void UnpackAscii(const std::uint8_t* packed, std::size_t length, char (&out)[kUnpackedSize]) {
  // All 22 positions are cleared, so the text is terminated whatever the
  // input length.
  std::fill(out, out + kUnpackedSize, '\0');
  for (std::size_t g = 0; g < length / 3; ++g) {
    std::uint32_t v = (std::uint32_t{packed[3 * g]} << 16) |
                      (std::uint32_t{packed[3 * g + 1]} << 8) | packed[3 * g + 2];
    for (int k = 3; k >= 0; --k) {
      // Codes 0-31 stand for 0x40-0x5F (@, A-Z, [ \ ] ^ _), codes 32-63 for
      // 0x20-0x3F (space, punctuation, digits).
      const std::uint8_t code = v & 0x3F;
      const char c = static_cast<char>((code & 0x20) ? code : (code | 0x40));
      const std::size_t pos = 4 * g + static_cast<std::size_t>(k);
      // The last position is the terminator's: a character bound for it, or
      // beyond it, is dropped, so the text always ends within the buffer.
      if (pos >= kUnpackedSize - 1) {
        out[kUnpackedSize - 1] = '\0';
      } else {
        out[pos] = c;
      }
      v >>= 6;
    }
  }
}

}  // namespace hart
