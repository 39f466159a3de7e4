#include "sim/codec.h"

#include <bit>
#include <cstring>

namespace sim {

namespace {

std::uint8_t SixBitCode(char c) {
  auto u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') u = static_cast<unsigned char>(u - 'a' + 'A');
  if (u < 0x20 || u > 0x5F) u = '?';
  return static_cast<std::uint8_t>(u & 0x3F);
}

// Preambles kept for the echo of a request; a master sends at most 20.
constexpr std::size_t kMaxKeptPreambles = 32;

}  // namespace

std::vector<std::uint8_t> PackAscii(std::string_view text, std::size_t characters) {
  std::vector<std::uint8_t> out;
  out.reserve(characters / 4 * 3);
  for (std::size_t i = 0; i + 4 <= characters; i += 4) {
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = i + k < text.size() ? text[i + k] : ' ';
      group = (group << 6) | SixBitCode(c);
    }
    out.push_back(static_cast<std::uint8_t>(group >> 16));
    out.push_back(static_cast<std::uint8_t>(group >> 8));
    out.push_back(static_cast<std::uint8_t>(group));
  }
  return out;
}

std::string UnpackAscii(const std::uint8_t* bytes, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i + 3 <= length; i += 3) {
    const std::uint32_t group =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) {
      const auto code = static_cast<char>((group >> shift) & 0x3F);
      text.push_back(code < 0x20 ? static_cast<char>(code + 0x40) : code);
    }
  }
  return text;
}

void AppendFloat(std::vector<std::uint8_t>& out, float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

float ReadFloat(const std::uint8_t* bytes) {
  const std::uint32_t bits = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                             (std::uint32_t{bytes[2]} << 8) | bytes[3];
  return std::bit_cast<float>(bits);
}

std::uint8_t Checksum(const std::uint8_t* first, const std::uint8_t* last) {
  std::uint8_t sum = 0;
  for (; first != last; ++first) sum ^= *first;
  return sum;
}

void RequestAssembler::Reset() {
  state_ = State::Preambles;
  preambles_ = 0;
  current_ = Request{};
}

std::optional<Request> RequestAssembler::Feed(std::uint8_t value, std::uint64_t atMicros) {
  if (haveLast_ && atMicros > lastAt_ + maxGap_) Reset();
  haveLast_ = true;
  lastAt_ = atMicros;

  const TimedByte timed{atMicros, value};
  switch (state_) {
    case State::Preambles:
      if (value == kPreamble) {
        ++preambles_;
        if (current_.raw.size() < kMaxKeptPreambles) current_.raw.push_back(timed);
        return std::nullopt;
      }
      if (preambles_ >= 2 && (value == kDelimiterRequestShort || value == kDelimiterRequestLong)) {
        current_.delimiter = value;
        current_.preambles = preambles_;
        current_.raw.push_back(timed);
        addressLength_ = value == kDelimiterRequestLong ? 5 : 1;
        sum_ = value;
        state_ = State::Address;
        return std::nullopt;
      }
      // Not a request: a reply or burst frame from a device, or noise.
      Reset();
      return std::nullopt;
    case State::Address:
      current_.address.push_back(value);
      if (current_.address.size() == addressLength_) state_ = State::Command;
      break;
    case State::Command:
      current_.command = value;
      state_ = State::ByteCount;
      break;
    case State::ByteCount:
      byteCount_ = value;
      state_ = byteCount_ == 0 ? State::Checksum : State::Data;
      break;
    case State::Data:
      current_.data.push_back(value);
      if (current_.data.size() == byteCount_) state_ = State::Checksum;
      break;
    case State::Checksum: {
      current_.raw.push_back(timed);
      current_.checksumOk = value == sum_;
      current_.endMicros = atMicros;
      Request done = std::move(current_);
      Reset();
      return done;
    }
  }
  current_.raw.push_back(timed);
  sum_ ^= value;
  return std::nullopt;
}

}  // namespace sim
