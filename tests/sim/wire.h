// Helpers for the simulator tests: requests fed to a segment as a master puts
// them on the line, written out in hex (the parser the other tests use; it
// is test support, not the master's code, so the simulator's tests stay
// apart from hart/).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/segment.h"
#include "tests/support/frames.h"

namespace simtest {

using support::Hex;

inline std::vector<std::uint8_t> Values(const std::vector<sim::TimedByte>& bytes) {
  std::vector<std::uint8_t> out;
  for (const auto& b : bytes) out.push_back(b.value);
  return out;
}

constexpr std::uint64_t kChar = 9167;

// Feeds `request` one character apart so that its last byte arrives at `endMicros`.
inline std::vector<sim::TimedByte> Send(sim::Segment& segment, const std::string& request,
                                        std::uint64_t endMicros = 1'000'000) {
  const auto bytes = Hex(request);
  std::vector<sim::TimedByte> out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto more = segment.Receive(bytes[i], endMicros - (bytes.size() - 1 - i) * kChar);
    out.insert(out.end(), more.begin(), more.end());
  }
  return out;
}

// Requests to the default device (address 0, manufacturer 0x1A, type 0x11, id 000102).
inline const char* const kCmd0Short = "FF FF FF FF FF FF FF 02 80 00 00 82";
inline const char* const kCmd3Long = "FF FF FF FF FF 82 9A 11 00 01 02 03 00 09";

}  // namespace simtest
