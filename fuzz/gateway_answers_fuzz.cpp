// A gateway's answers to commands 74, 84 and 20 of any length: each
// decoded from a buffer exactly as long as the bytes that came, so that a
// read past them is caught.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hart/gateway.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  const std::uint8_t* at = bytes.data();
  const auto capabilities = hart::DecodeIoCapabilities(at, size);
  FUZZ_CHECK(capabilities.has_value() == (size >= 8));
  const auto summary = hart::DecodeSubDeviceSummary(at, size);
  FUZZ_CHECK(summary.has_value() == (size >= 48));
  if (summary) {
    FUZZ_CHECK(summary->identifier <= 0xFFFFFF);
    FUZZ_CHECK(summary->longTag.size() <= hart::kLongTagSize);
    FUZZ_CHECK(summary->longTag.find('\0') == std::string::npos);
  }
  const auto longTag = hart::DecodeLongTag(at, size);
  FUZZ_CHECK(longTag.has_value() == (size >= hart::kLongTagSize));
  if (longTag) {
    FUZZ_CHECK(longTag->size() <= hart::kLongTagSize);
    FUZZ_CHECK(longTag->find('\0') == std::string::npos);
    FUZZ_CHECK(std::memcmp(longTag->data(), at, longTag->size()) == 0);
  }
  return 0;
}
