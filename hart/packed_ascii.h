// HART packed ASCII: four 6-bit characters in three bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hart {

inline constexpr std::size_t kUnpackedSize = 22;

// Decodes length / 3 groups of three bytes into `out`. Every position is
// cleared first; at most 21 characters are decoded and position 21 always
// holds the terminating zero, whatever the input length.
void UnpackAscii(const std::uint8_t* packed, std::size_t length, char (&out)[kUnpackedSize]);

}  // namespace hart
