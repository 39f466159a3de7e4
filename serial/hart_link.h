// HartLink: whole HART frames over the one serial port.
//
// It knows the outer shape of a reply (preambles, delimiter, header, byte
// count, data, checksum) and the modem's timing, nothing about commands.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"

namespace serial {

// Link result codes.
inline constexpr std::uint32_t kLinkOk = 0;
inline constexpr std::uint32_t kLinkFailure = 1;
inline constexpr std::uint32_t kLinkChecksumError = 2;
inline constexpr std::uint32_t kLinkDataIncomplete = 3;
inline constexpr std::uint32_t kLinkWriteIncomplete = 4;
inline constexpr std::uint32_t kLinkNoReply = 5;
inline constexpr std::uint32_t kLinkAlreadyOpen = 8;
inline constexpr std::uint32_t kLinkBadPort = 9;
inline constexpr std::uint32_t kLinkBadBaudRate = 10;
inline constexpr std::uint32_t kLinkMissingBuffer = 14;

// Words for a result code, for logs and tools.
const char* LinkResultText(std::uint32_t result);

// A reply buffer must hold delimiter, a long header and the largest data.
inline constexpr std::size_t kReplyBufferSize = 1 + 7 + 255;

// The device the link always opens; it stands for the HART modem's port.
inline constexpr const char* kPortName = "COM8:";

class HartLink {
 public:
  static SerialPort theSerialPort;

  // Opens "COM8:" with the HART line format at `baudRate`. 8: already open;
  // 9: port number outside 1-255; 1: the port would not open (the operator
  // is told "COM8:") or not configure; 10: a rate not supported (the port
  // stays open).
  static std::uint32_t OpenLink(std::uint32_t portNumber, std::uint32_t baudRate);
  static std::uint32_t CloseLink();

  // Sends one request frame and returns once the modem has had time to put
  // it on the wire and the device to answer: 0, 1, 4 or 14.
  static std::uint32_t SendFrame(const std::uint8_t* bytes, std::uint32_t length);

  // Reads one reply frame into `reply` (at least kReplyBufferSize bytes):
  // delimiter, header (7 bytes if `longFrame`, else 3), data; the checksum
  // is verified and not delivered. 0, 1, 2, 3, 5 or 14. Both driver buffers
  // are purged afterwards, whatever the outcome.
  static std::uint32_t ReceiveFrame(bool longFrame, std::uint8_t* reply);

  // Transmission time of `length` characters in milliseconds, as the modem
  // timing rule computes it (always at 1200 baud).
  static std::uint32_t TransmissionMillis(std::uint32_t length);
};

}  // namespace serial
