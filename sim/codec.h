// Byte-level pieces of the HART wire format as a field device sees them:
// packed ASCII, big-endian floats, the longitudinal checksum, and an
// assembler that picks master requests out of the byte stream.
//
// Written independently of the master's frame code so the two cross-check
// each other; nothing here is shared with hart/.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// One byte on the line and the time (microseconds) it has fully arrived.
struct TimedByte {
  std::uint64_t atMicros;
  std::uint8_t value;
  friend bool operator==(const TimedByte&, const TimedByte&) = default;
};

// 1200 baud, 11 bits a character (start, 8 data, odd parity, stop).
inline constexpr std::uint64_t kCharacterMicros = 9167;

inline constexpr std::uint8_t kPreamble = 0xFF;
inline constexpr std::uint8_t kDelimiterBurstShort = 0x01;
inline constexpr std::uint8_t kDelimiterRequestShort = 0x02;
inline constexpr std::uint8_t kDelimiterReplyShort = 0x06;
inline constexpr std::uint8_t kDelimiterBurstLong = 0x81;
inline constexpr std::uint8_t kDelimiterRequestLong = 0x82;
inline constexpr std::uint8_t kDelimiterReplyLong = 0x86;
inline constexpr std::uint8_t kPrimaryMasterBit = 0x80;
inline constexpr std::uint8_t kBurstModeBit = 0x40;

// Packs `text` into packed ASCII, 4 characters to 3 bytes, 6 bits each with
// the first character in the top bits. The text is padded with spaces (or
// cut) to `characters`, which must be a multiple of 4. Lower case is folded to
// upper case; characters the 6-bit set cannot carry become '?'.
std::vector<std::uint8_t> PackAscii(std::string_view text, std::size_t characters);
// The reverse: codes 0x00-0x1F are '@'..'_', codes 0x20-0x3F are ' '..'?'.
std::string UnpackAscii(const std::uint8_t* bytes, std::size_t length);

void AppendFloat(std::vector<std::uint8_t>& out, float value);
float ReadFloat(const std::uint8_t* bytes);

// XOR of every byte in [first, last).
std::uint8_t Checksum(const std::uint8_t* first, const std::uint8_t* last);

// A complete master request as it arrived.
struct Request {
  std::uint8_t delimiter = 0;
  std::vector<std::uint8_t> address;  // 1 byte (short) or 5 bytes (long)
  std::uint8_t command = 0;
  std::vector<std::uint8_t> data;
  bool checksumOk = false;
  int preambles = 0;  // in front of the delimiter, after the last noise byte
  // Every byte of the frame from its first preamble, with arrival times.
  std::vector<TimedByte> raw;
  std::uint64_t endMicros = 0;  // arrival of the checksum byte

  bool IsLong() const { return address.size() == 5; }
};

// Collects master requests from the bytes on the line. A request needs at
// least two preambles in front of its delimiter (a slave is allowed to miss
// the first ones while its carrier detect settles); anything else between
// frames is skipped. A pause longer than `maxGapMicros` inside a frame
// abandons it, as a slave's receiver does when the master stops mid-frame.
class RequestAssembler {
 public:
  explicit RequestAssembler(std::uint64_t maxGapMicros = 10 * kCharacterMicros)
      : maxGap_(maxGapMicros) {}

  // Feeds one byte; returns the request it completes, if any.
  std::optional<Request> Feed(std::uint8_t value, std::uint64_t atMicros);
  void Reset();

 private:
  enum class State { Preambles, Address, Command, ByteCount, Data, Checksum };

  std::uint64_t maxGap_;
  State state_ = State::Preambles;
  int preambles_ = 0;
  std::size_t addressLength_ = 0;
  std::uint8_t byteCount_ = 0;
  std::uint8_t sum_ = 0;
  std::uint64_t lastAt_ = 0;
  bool haveLast_ = false;
  Request current_;
};

}  // namespace sim
