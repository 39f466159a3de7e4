// Reads a capture file back through libpcap, as Wireshark would, for the
// trace tests.
#pragma once

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace support {

struct PcapRecord {
  std::uint64_t micros;
  std::vector<std::uint8_t> bytes;
};

inline std::vector<PcapRecord> ReadPcap(const std::string& path, int* linkType = nullptr) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), error);
  EXPECT_NE(p, nullptr) << error;
  std::vector<PcapRecord> out;
  if (p == nullptr) return out;
  if (linkType != nullptr) *linkType = pcap_datalink(p);
  pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  while (pcap_next_ex(p, &header, &data) == 1) {
    out.push_back({static_cast<std::uint64_t>(header->ts.tv_sec) * 1'000'000u +
                       static_cast<std::uint64_t>(header->ts.tv_usec),
                   std::vector<std::uint8_t>(data, data + header->caplen)});
  }
  pcap_close(p);
  return out;
}

// A file name in /tmp, removed again with the object.
class TempPath {
 public:
  TempPath() {
    char name[] = "/tmp/veltrop-trace-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
  }
  ~TempPath() { unlink(path_.c_str()); }
  TempPath(const TempPath&) = delete;
  TempPath& operator=(const TempPath&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace support
