// Frames written out by hand for tests: hex text to bytes, and the HART
// longitudinal checksum appended the way the protocol defines it (never by
// the code under test).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace support {

// "FFFFFFFFFF 06 80 00" -> bytes: pairs of hex digits, each group of them
// separated by white space. A digit left without its pair, or anything that
// is not a hex digit, throws std::invalid_argument: a typo in a hand-written
// frame must fail its test rather than quietly drop a byte.
inline std::vector<std::uint8_t> Hex(const std::string& text) {
  const auto digit = [&text](char c) -> std::uint8_t {
    if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
    throw std::invalid_argument("not a hex digit in \"" + text + "\"");
  };
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < text.size();) {
    if (blank(text[i])) {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || blank(text[i + 1])) {
      throw std::invalid_argument("hex digit without its pair in \"" + text + "\"");
    }
    out.push_back(static_cast<std::uint8_t>(digit(text[i]) << 4 | digit(text[i + 1])));
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
