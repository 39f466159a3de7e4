// HART packed ASCII: four 6-bit characters in three bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hart {

inline constexpr std::size_t kUnpackedSize = 22;

// Decodes length / 3 groups of three bytes into `out`. Every position is
// cleared first; a character that would land beyond position 21 is dropped
// and position 21 cleared instead, so `out` never overflows.
void UnpackAscii(const std::uint8_t* packed, std::size_t length, char (&out)[kUnpackedSize]);

}  // namespace hart
