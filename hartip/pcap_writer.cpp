#include "hartip/pcap_writer.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hartip {

namespace {

constexpr std::uint8_t kMasterAddress[4] = {192, 0, 2, 1};
constexpr std::uint8_t kFieldAddress[4] = {192, 0, 2, 2};
constexpr std::size_t kIpHeader = 20;
constexpr std::size_t kUdpHeader = 8;
// Large enough for any datagram built here: a frame is at most 263 bytes,
// and a read that did not make one keeps at most a few kilobytes.
constexpr int kSnapLength = 65535;

void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  out[at] = static_cast<std::uint8_t>(value >> 8);
  out[at + 1] = static_cast<std::uint8_t>(value);
}

// The IPv4 header checksum: the ones' complement of the ones' complement
// sum of the header's 16-bit words.
std::uint16_t IpChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kIpHeader; i += 2) sum += (header[i] << 8) | header[i + 1];
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// IPv4 and UDP headers in front of `payload`. UDP over IPv4 may leave its
// checksum 0 (none).
std::vector<std::uint8_t> Datagram(Origin origin, std::uint16_t port,
                                   std::span<const std::uint8_t> payload) {
  // A datagram cannot exceed 65535 bytes; a longer run of line bytes is cut.
  const std::size_t room = 0xFFFF - kIpHeader - kUdpHeader;
  const std::size_t size = std::min(payload.size(), room);
  std::vector<std::uint8_t> out(kIpHeader + kUdpHeader + size);
  const std::uint8_t* from = origin == Origin::Master ? kMasterAddress : kFieldAddress;
  const std::uint8_t* to = origin == Origin::Master ? kFieldAddress : kMasterAddress;
  out[0] = 0x45;  // version 4, five 32-bit words of header
  Put16(out, 2, static_cast<std::uint32_t>(out.size()));
  out[8] = 64;  // time to live
  out[9] = 17;  // UDP
  std::copy(from, from + 4, out.begin() + 12);
  std::copy(to, to + 4, out.begin() + 16);
  Put16(out, 10, IpChecksum(out.data()));
  // Both ends use the port, so the dissector is chosen whichever way the
  // datagram goes.
  Put16(out, kIpHeader, port);
  Put16(out, kIpHeader + 2, port);
  Put16(out, kIpHeader + 4, static_cast<std::uint32_t>(kUdpHeader + size));
  std::copy(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(size),
            out.begin() + kIpHeader + kUdpHeader);
  return out;
}

}  // namespace

std::uint8_t MessageType(std::uint8_t delimiter) {
  switch (delimiter & 0x07) {
    case 0x01:
      return kTypePublish;
    case 0x02:
      return kTypeRequest;
    default:
      return kTypeResponse;
  }
}

std::vector<std::uint8_t> FramePacket(Origin origin, std::span<const std::uint8_t> frame,
                                      std::uint16_t sequence) {
  if (frame.empty()) return {};
  return Datagram(origin, kHartIpPort,
                  Encode(MessageType(frame[0]), kTokenPassingPdu, kStatusSuccess, sequence, frame));
}

namespace {

std::vector<std::uint8_t> TextPacket(Origin origin, std::string_view prefix,
                                     std::string_view reason, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> payload;
  payload.insert(payload.end(), prefix.begin(), prefix.end());
  payload.insert(payload.end(), reason.begin(), reason.end());
  payload.push_back('\n');
  payload.insert(payload.end(), bytes.begin(), bytes.end());
  return Datagram(origin, kNoFramePort, payload);
}

}  // namespace

std::vector<std::uint8_t> NoFramePacket(Origin origin, std::span<const std::uint8_t> bytes,
                                        std::string_view reason) {
  return TextPacket(origin, "no frame: ", reason, bytes);
}

std::vector<std::uint8_t> NotePacket(std::string_view note) {
  return TextPacket(Origin::Master, "note: ", note, {});
}

PcapWriter::~PcapWriter() {
  Close();
}

namespace {

// Opens `path` for the trace without harming anything else: no symbolic
// link followed (O_NOFOLLOW), no wait on a FIFO nobody reads (O_NONBLOCK:
// ENXIO instead of blocking for ever), nothing but a regular file, and an
// existing file only if it is the user's own, so a trace run as root never
// empties a file of someone else's. Only then is it emptied. -1 with
// `error` set, or the descriptor, blocking again.
int OpenTraceFile(const std::string& path, std::string& error) {
  const auto fail = [&](const std::string& why) {
    error = "cannot write " + path + ": " + why;
    return -1;
  };
  constexpr int kFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), kFlags);
  if (fd < 0) {
    if (errno == ELOOP) return fail("it is a symbolic link; name the file itself");
    if (errno == ENXIO) return fail("it is a FIFO or a device, not a file");
    return fail(std::strerror(errno));
  }
  struct stat st {};
  const char* refused = nullptr;
  if (::fstat(fd, &st) != 0) {
    refused = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    refused = "it is not a regular file";
  } else if (st.st_uid != ::geteuid()) {
    refused = "it belongs to another user";
  }
  if (refused == nullptr &&
      (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || ::ftruncate(fd, 0) != 0)) {
    refused = std::strerror(errno);
  }
  if (refused != nullptr) {
    ::close(fd);
    return fail(refused);
  }
  return fd;
}

}  // namespace

bool PcapWriter::Open(const std::string& path, std::string& error) {
  Close();
  failure_.clear();
  // Checked here rather than left to pcap_dump_open, whose message for a
  // missing directory does not name the file.
  const int fd = OpenTraceFile(path, error);
  if (fd < 0) return false;
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  pcap_t* pcap = pcap_open_dead(DLT_RAW, kSnapLength);
  if (pcap == nullptr) {
    std::fclose(file);
    error = "cannot write " + path + ": libpcap could not start a capture file";
    return false;
  }
  pcap_dumper_t* dumper = pcap_dump_fopen(pcap, file);
  if (dumper == nullptr) {
    error = "cannot write " + path + ": " + pcap_geterr(pcap);
    std::fclose(file);
    pcap_close(pcap);
    return false;
  }
  if (pcap_dump_flush(dumper) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    pcap_dump_close(dumper);
    pcap_close(pcap);
    return false;
  }
  path_ = path;
  pcap_ = pcap;
  dumper_ = dumper;
  sequence_ = 0;
  openedAt_ = std::chrono::steady_clock::now();
  openedAtMicros_ =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  return true;
}

void PcapWriter::Close() {
  if (dumper_ != nullptr) pcap_dump_close(static_cast<pcap_dumper_t*>(dumper_));
  if (pcap_ != nullptr) pcap_close(static_cast<pcap_t*>(pcap_));
  dumper_ = nullptr;
  pcap_ = nullptr;
}

std::uint64_t PcapWriter::Now() const {
  const auto since = std::chrono::steady_clock::now() - openedAt_;
  return openedAtMicros_ +
         static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

bool PcapWriter::WriteFrame(Origin origin, std::span<const std::uint8_t> frame,
                            std::uint64_t unixMicros) {
  if (frame.empty()) return WriteNoFrame(origin, frame, "empty frame", unixMicros);
  if (MessageType(frame[0]) == kTypeRequest && origin == Origin::Master) ++sequence_;
  return Write(FramePacket(origin, frame, sequence_), unixMicros);
}

bool PcapWriter::WriteNoFrame(Origin origin, std::span<const std::uint8_t> bytes,
                              std::string_view reason, std::uint64_t unixMicros) {
  return Write(NoFramePacket(origin, bytes, reason), unixMicros);
}

bool PcapWriter::WriteNote(std::string_view note, std::uint64_t unixMicros) {
  return Write(NotePacket(note), unixMicros);
}

bool PcapWriter::Write(const std::vector<std::uint8_t>& packet, std::uint64_t unixMicros) {
  if (dumper_ == nullptr || packet.empty()) return true;
  pcap_pkthdr header{};
  header.ts.tv_sec = static_cast<time_t>(unixMicros / 1'000'000);
  header.ts.tv_usec = static_cast<suseconds_t>(unixMicros % 1'000'000);
  header.caplen = static_cast<bpf_u_int32>(packet.size());
  header.len = header.caplen;
  auto* dumper = static_cast<pcap_dumper_t*>(dumper_);
  // pcap_dump returns nothing; a record it could not write shows as the
  // stream's error flag. Each record reaches the file at once: a trace of a
  // program that was killed still holds everything up to the kill.
  std::FILE* file = pcap_dump_file(dumper);
  const long before = std::ftell(file);  // flushed after every record: the size on disk
  errno = 0;
  pcap_dump(reinterpret_cast<u_char*>(dumper), &header, packet.data());
  const bool lost = std::ferror(file) != 0;
  if (pcap_dump_flush(dumper) == 0 && !lost) return true;
  // A full disk or a failing device: the records after a lost one would
  // make a capture with a hole in it, so the trace stops here and says so.
  // The part of this record that did reach the disk is cut off again, so
  // the file ends on a whole record and still opens in Wireshark.
  const int err = errno != 0 ? errno : EIO;
  failure_ = "cannot write " + path_ + ": " + std::strerror(err) + "; the trace stops here";
  // What the stream still holds of it must not go out on close either.
  __fpurge(file);
  if (before >= 0) {
    [[maybe_unused]] const int cut = ::ftruncate(::fileno(file), before);
  }
  std::clearerr(file);
  Close();
  return false;
}

}  // namespace hartip
