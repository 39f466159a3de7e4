// HART frames in a pcap file that Wireshark and tshark decode with their
// HART-IP dissector.
//
// Each frame, delimiter through checksum and without its preambles, becomes
// one HART-IP token-passing PDU (message ID 3) in a UDP datagram on the
// HART-IP port 5094, in raw IPv4: the master is 192.0.2.1, the field side
// of the line 192.0.2.2 (addresses reserved for documentation, so a trace
// never names a real host). Bytes that did not make a frame go to UDP port
// 5095 instead, behind a line of text saying why, so that the trace shows
// them apart from every frame and they can never be decoded as one.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hartip/pdu.h"

namespace hartip {

// Which end of the line the bytes came from.
enum class Origin { Master, Field };

inline constexpr std::uint16_t kNoFramePort = 5095;

// The HART-IP message type of a frame with this delimiter: the low three
// bits are the frame type (1 burst, 2 master to slave, 6 slave to master);
// bit 7, the address length, does not matter.
std::uint8_t MessageType(std::uint8_t delimiter);

// The datagram that carries one frame (IPv4 header, UDP header, HART-IP
// header, frame), as written to the file. An empty frame gives an empty
// packet: there is no delimiter to type it by.
std::vector<std::uint8_t> FramePacket(Origin origin, std::span<const std::uint8_t> frame,
                                      std::uint16_t sequence);
// The datagram that carries bytes which were not a frame: "no frame: "
// `reason` and a newline, then the bytes as they were.
std::vector<std::uint8_t> NoFramePacket(Origin origin, std::span<const std::uint8_t> bytes,
                                        std::string_view reason);
// A line about the conversation itself, "note: " `note`, on the same port
// as bytes that made no frame, from the master's side.
std::vector<std::uint8_t> NotePacket(std::string_view note);

// Writes the records through libpcap, flushing after each one so that a
// trace survives the program being killed. Not thread-safe: one writer,
// one thread at a time.
class PcapWriter {
 public:
  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates `path`, or empties it if it is a regular file of the user's
  // own, and writes the file header. A symbolic link, a FIFO, a device or
  // another user's file is refused untouched. False, with `error` naming
  // the file and the reason, if it cannot be written.
  bool Open(const std::string& path, std::string& error);
  void Close();
  bool IsOpen() const { return dumper_ != nullptr; }

  // The time now in microseconds since 1970: the wall clock read at Open,
  // advanced by the steady clock, so records never go back in time when
  // the system clock is set.
  std::uint64_t Now() const;

  // One frame, delimiter through checksum; an empty one is written as no
  // frame. A master's request takes the next sequence number, every other
  // frame carries the last one, so a reply sits beside its request.
  // False when the record could not be written: the writer has then closed
  // the file (the records before stay), and Failure() says why. Writing to
  // a closed writer does nothing and returns true.
  bool WriteFrame(Origin origin, std::span<const std::uint8_t> frame, std::uint64_t unixMicros);
  bool WriteNoFrame(Origin origin, std::span<const std::uint8_t> bytes, std::string_view reason,
                    std::uint64_t unixMicros);
  bool WriteNote(std::string_view note, std::uint64_t unixMicros);

  // Why the last write failed, naming the file; empty if none has since Open.
  const std::string& Failure() const { return failure_; }

 private:
  bool Write(const std::vector<std::uint8_t>& packet, std::uint64_t unixMicros);

  std::string path_;
  std::string failure_;
  void* pcap_ = nullptr;    // pcap_t, kept out of this header
  void* dumper_ = nullptr;  // pcap_dumper_t
  std::uint16_t sequence_ = 0;
  std::uint64_t openedAtMicros_ = 0;
  std::chrono::steady_clock::time_point openedAt_{};
};

}  // namespace hartip
