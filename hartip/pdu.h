// HART-IP messages (version 1, and 2 inside TLS or DTLS): the 8-byte header and the bodies this
// program sends and reads. Everything on UDP or TCP port 5094 passes
// through here, whether it is written to a capture file, sent to a
// gateway or served by the simulator.
//
// Header, big-endian: version, message type, message id, status,
// sequence number (16 bits), byte count (16 bits, header included).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace hartip {

inline constexpr std::uint8_t kVersion = 1;
// Inside a TLS or DTLS session keyed by a pre-shared key the header says 2;
// a server keyed so answers no version-1 host.
inline constexpr std::uint8_t kSecureVersion = 2;
inline constexpr std::uint16_t kHartIpPort = 5094;

// Message types.
inline constexpr std::uint8_t kTypeRequest = 0;
inline constexpr std::uint8_t kTypeResponse = 1;
inline constexpr std::uint8_t kTypePublish = 2;
inline constexpr std::uint8_t kTypeError = 3;
inline constexpr std::uint8_t kTypeNak = 15;

// Message ids.
inline constexpr std::uint8_t kSessionInitiate = 0;
inline constexpr std::uint8_t kSessionClose = 1;
inline constexpr std::uint8_t kKeepAlive = 2;
inline constexpr std::uint8_t kTokenPassingPdu = 3;

// Status codes. 0 is success; 8 is a warning on Session Initiate (the
// server chose another inactivity timer), every other value an error.
inline constexpr std::uint8_t kStatusSuccess = 0;
inline constexpr std::uint8_t kStatusInvalidSelection = 2;  // host type other than 0 or 1
inline constexpr std::uint8_t kStatusTooFewBytes = 5;
inline constexpr std::uint8_t kStatusTimerAdjusted = 8;
inline constexpr std::uint8_t kStatusVersionNotSupported = 14;
inline constexpr std::uint8_t kStatusSessionsInUse = 15;
inline constexpr std::uint8_t kStatusSessionExists = 16;

// Session Initiate body: host type, inactivity close timer (ms, 32 bits).
inline constexpr std::uint8_t kSecondaryHost = 0;
inline constexpr std::uint8_t kPrimaryHost = 1;
inline constexpr std::size_t kSessionInitiateBody = 5;

inline constexpr std::size_t kHeaderSize = 8;
// The longest HART frame a token-passing PDU carries: delimiter, 5-byte
// address, command, byte count, 255 data bytes, checksum. No preambles.
inline constexpr std::size_t kMaxFrameSize = 1 + 5 + 1 + 1 + 255 + 1;
// No message this program sends or accepts is longer; a byte count beyond
// it is refused before a byte of the body is buffered.
inline constexpr std::size_t kMaxPduSize = kHeaderSize + kMaxFrameSize;

struct Header {
  std::uint8_t version = kVersion;
  std::uint8_t messageType = kTypeRequest;
  std::uint8_t messageId = kTokenPassingPdu;
  std::uint8_t status = kStatusSuccess;
  std::uint16_t sequence = 0;
  std::uint16_t byteCount = kHeaderSize;
};

struct Pdu {
  Header header;
  std::vector<std::uint8_t> body;
};

// The message: header (`version`, byte count from the body) and body. The
// body is at most kMaxPduSize - kHeaderSize bytes; a longer one is cut.
std::vector<std::uint8_t> Encode(std::uint8_t messageType, std::uint8_t messageId,
                                 std::uint8_t status, std::uint16_t sequence,
                                 std::span<const std::uint8_t> body,
                                 std::uint8_t version = kVersion);

std::vector<std::uint8_t> SessionInitiateBody(std::uint8_t hostType, std::uint32_t timerMs);
// False when the body is too short to hold a host type and a timer.
bool ReadSessionInitiateBody(std::span<const std::uint8_t> body, std::uint8_t& hostType,
                             std::uint32_t& timerMs);

enum class ReadResult {
  kComplete,   // one message, `used` bytes of the input
  kNeedMore,   // the input is the start of a message that may still be whole
  kMalformed,  // the byte count is below the header or above kMaxPduSize
};

// Reads the message at the start of `bytes`. The version is not judged
// here: a server answers another version with its own status.
ReadResult ReadPdu(std::span<const std::uint8_t> bytes, Pdu& pdu, std::size_t& used);

// A UDP datagram holds exactly one message: false when it is truncated,
// malformed or has bytes beyond its byte count.
bool ReadDatagram(std::span<const std::uint8_t> datagram, Pdu& pdu);

// Cuts a TCP byte stream into messages. Holds at most one message's worth
// of bytes: a byte count out of range makes the stream unusable (there is
// no way to find the next header), and it stays so.
class StreamReader {
 public:
  // Appends what arrived. Returns false once the stream is malformed.
  bool Feed(std::span<const std::uint8_t> bytes);
  // The next whole message, if one has arrived.
  ReadResult Next(Pdu& pdu);
  bool Malformed() const { return malformed_; }
  // Bytes of a message begun but not yet whole.
  std::size_t Pending() const { return buffer_.size(); }

 private:
  std::vector<std::uint8_t> buffer_;
  bool malformed_ = false;
};

}  // namespace hartip
