// Frames written out by hand for tests: hex text to bytes, and the HART
// longitudinal checksum appended the way the protocol defines it (never by
// the code under test).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace support {

// "FFFFFFFFFF 06 80 00" -> bytes: pairs of hex digits, spaces ignored.
inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// Appends the XOR of every byte from the delimiter (the first byte after
// the leading 0xFF preambles) to the end.
inline std::vector<std::uint8_t> WithChecksum(std::vector<std::uint8_t> frame) {
  std::uint8_t x = 0;
  std::size_t i = 0;
  while (i < frame.size() && frame[i] == 0xFF) ++i;
  for (; i < frame.size(); ++i) x ^= frame[i];
  frame.push_back(x);
  return frame;
}

}  // namespace support
