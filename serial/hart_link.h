// HartLink: whole HART frames over the one serial port.
//
// It knows the outer shape of a reply (preambles, delimiter, header, byte
// count, data, checksum) and the modem's timing, nothing about commands.
#pragma once

#include <cstdint>
#include <span>

#include "serial/serial_port.h"

namespace serial {

// Link result codes: a type of their own, so that a platform error number
// cannot be passed where a link result is meant, or the other way round.
enum class LinkResult : std::uint32_t {
  kOk = 0,
  kFailure = 1,
  kChecksumError = 2,
  kDataIncomplete = 3,
  kWriteIncomplete = 4,
  kNoReply = 5,
  kAlreadyOpen = 8,
  kBadPort = 9,
  kBadBaudRate = 10,
  // A read or write failed because the port went away under us (the modem
  // was unplugged, its driver is gone): nothing more can be said on it.
  kPortLost = 11,
  kMissingBuffer = 14,
};

// Words for a result code, for logs and tools.
const char* LinkResultText(LinkResult result);

// Both driver queues, in bytes.
inline constexpr std::uint32_t kQueueSize = 2048;

// A reply buffer must hold delimiter, a long header and the largest data.
inline constexpr std::size_t kReplyBufferSize = 1 + 7 + 255;

// Bit 7 of a delimiter marks the 5-byte (unique) address; without it the
// address is the 1-byte polling address. The header is address, command and
// byte count.
inline constexpr std::uint8_t kLongAddressBit = 0x80;
constexpr std::size_t HeaderLength(std::uint8_t delimiter) {
  return (delimiter & kLongAddressBit) != 0 ? 7 : 3;
}

// A device sends at most 20 preambles; a longer run of 0xFF is a stuck
// device or a glitching line, not the start of a reply.
inline constexpr std::uint32_t kMaxPreambles = 20;
// The longest legal reply: the most preambles, delimiter, 5 address bytes,
// command, byte count, 255 data bytes and checksum.
inline constexpr std::uint32_t kLongestReplyChars = kMaxPreambles + 1 + 5 + 1 + 1 + 255 + 1;
// A receiver may miss the first preambles while its carrier detect
// settles, but a frame needs at least two in front of its delimiter; one
// 0xFF and a byte after it are as likely to be noise as a frame.
inline constexpr std::uint32_t kMinPreambles = 2;

// A delimiter names the frame type in its low three bits: 1 a burst frame
// (BACK), 2 a master's request (STX), 6 a slave's answer (ACK). Bits 3-6
// (physical layer, expansion bytes) are 0 on an asynchronous loop, so any
// other byte after the preambles is noise, not the start of a frame.
inline constexpr std::uint8_t kFrameTypeMask = 0x07;
inline constexpr std::uint8_t kFrameBurst = 1;
inline constexpr std::uint8_t kFrameRequest = 2;
inline constexpr std::uint8_t kFrameAnswer = 6;
constexpr bool IsDelimiter(std::uint8_t byte) {
  const std::uint8_t type = byte & kFrameTypeMask;
  return (byte & 0x78) == 0 &&
         (type == kFrameBurst || type == kFrameRequest || type == kFrameAnswer);
}
// Bit 7 of the first address byte names the master a frame is from or for:
// set for the primary master (us), clear for the secondary (a handheld).
inline constexpr std::uint8_t kPrimaryMasterBit = 0x80;

// Milliseconds that `chars` characters take on the loop: 11 bits each
// (start, 8 data, parity, stop) at 1200 baud, whatever rate the port was
// set to.
constexpr std::uint32_t CharactersMillis(std::uint32_t chars) {
  return static_cast<std::uint32_t>(std::uint64_t{chars} * 11 * 1000 / 1200);
}

// Character times of the loop's arbitration. A master that did not take
// part in the exchange just ended may talk within the link-grant time; the
// primary master may take a silent line after RT1.
inline constexpr std::uint32_t kLinkGrantChars = 8;
inline constexpr std::uint32_t kPrimaryRt1Chars = 33;

// Sees every frame the link moves, for a trace. Called on the caller's
// thread, after the bytes moved and before the link returns.
class FrameObserver {
 public:
  virtual ~FrameObserver() = default;
  // A request as it was handed to the port, preambles included.
  virtual void Sent(std::span<const std::uint8_t> request) = 0;
  // What one ReceiveFrame took off the line, in order, and its result. On
  // LinkResult::kOk the frame (delimiter through checksum) is the span's tail from
  // `frameOffset` on; otherwise `frameOffset` is the span's size. At most
  // 2 * kQueueSize bytes are kept: a line flooding faster than 1200 baud
  // for the whole read keeps only its first ones, and a frame that ends
  // beyond them is not marked.
  virtual void Received(std::span<const std::uint8_t> lineBytes, LinkResult result,
                        std::size_t frameOffset) = 0;
};

// The device the link always opens; it stands for the HART modem's port.
inline constexpr const char* kPortName = "COM8:";

class HartLink {
 public:
  static SerialPort theSerialPort;

  // Opens "COM8:" with the HART line format at `baudRate`. 8: already open;
  // 9: port number outside 1-255; 1: the port would not open (the operator
  // is told "COM8:") or not configure; 10: a rate not supported (the port
  // stays open).
  static LinkResult OpenLink(std::uint32_t portNumber, std::uint32_t baudRate);
  // The port's error number of its Close (always 0).
  static platform::Error CloseLink();

  // Sends one request frame and returns once the modem has had time to put
  // it on the wire and the device to answer: 0, 1, 4, 11 or 14.
  static LinkResult SendFrame(const std::uint8_t* bytes, std::uint32_t length);

  // Reads one frame into `reply` (at least kReplyBufferSize bytes):
  // delimiter, header (HeaderLength of the delimiter received), data; the
  // checksum is verified and not delivered. The frame's own delimiter sizes
  // it, so a burst frame or another master's request of either address type
  // is read whole; what it is, and whether it answers a request, is the
  // caller's to judge. 0, 1, 2, 3, 5, 11 or 14. Both driver buffers are
  // purged afterwards, whatever the outcome.
  //
  // A modem that hears its own transmitter hands the request back before
  // the reply: a frame identical to the request just sent is that echo. It
  // is dropped once, and the read goes on for the reply within the same
  // bounds.
  //
  // Bounded on a noisy line: a run of more than kMaxPreambles preambles
  // ends the read at once with 5, and no read lasts longer than the longest
  // legal reply takes from its first byte (5 before the delimiter, 3 after).
  static LinkResult ReceiveFrame(std::uint8_t* reply);

  // How the modem is keyed, from the next OpenLink on.
  static void SetKeying(Keying keying);

  // Tells the operator that the port went away, with the driver's advice:
  // the port's own message, as for a port that will not open.
  static void ReportLostPort();

  // Marks the line as shared: the master has heard another station (a
  // burst frame, the secondary master or the answer to it). Until the link
  // is closed, the master waits for its turn (AwaitTurn) before each
  // request; a line never marked keeps the fixed timing of a quiet loop.
  static void NoteOtherStation();
  static bool LineShared();

  // Waits out the modem's settle after the port opened (`ms`) and takes
  // what the line carried meanwhile: a whole frame of another station in it
  // marks the line shared, so the first request waits for its turn too.
  static void Settle(std::uint32_t ms);

  // Listens until the line is the primary master's. Right after a frame
  // that hands it the line (a burst frame naming the secondary master, or
  // an answer to the secondary on a loop without a bursting device):
  // kGranted. Once the line has been silent for RT1 since the last byte
  // heard (a request, an answer, a burst frame naming the primary master
  // whose turn the secondary left unused, a stray byte): kQuiet. Once a
  // request sent on silence has met a burst frame or a collision, silence at
  // the start and after a burst frame no longer counts on this link: the
  // device bursts on its own period, which may end the gap just as RT1 runs
  // out. Once the secondary master has been heard, silence whose start the
  // master did not hear is no turn either: the secondary may take it too.
  // After an answer on a loop with a bursting device, the burst frame that
  // follows decides. Each whole frame heard goes to the observer. At `boundMs`
  // without a turn it returns kNone, but never inside another station's
  // frame: only after a frame has ended, or after the link-grant time of
  // idle line (or, on a line flooded with noise, one longest frame later).
  enum class Turn { kGranted, kQuiet, kNone };
  static Turn AwaitTurn(std::uint32_t boundMs);

  // Installs the observer of every frame sent and read (null: none). The
  // caller keeps it alive while it is installed.
  static void SetObserver(FrameObserver* observer);
  // The observer installed, for the transports that carry frames without
  // the link (null: none).
  static FrameObserver* Observer();

  // Transmission time of `length` characters in milliseconds, as the modem
  // timing rule computes it: their time on the loop and a 27 ms margin.
  static std::uint32_t TransmissionMillis(std::uint32_t length);
};

}  // namespace serial
