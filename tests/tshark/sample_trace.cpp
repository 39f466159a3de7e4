// Writes a trace of every kind of record the frame traces hold, for the
// tshark check: a master's request, its reply, a burst frame, another
// master's long-frame request, and a read that did not make a frame.
//
//   sample_trace FILE
#include <cstdio>
#include <string>

#include "hartip/pcap_writer.h"
#include "tests/support/frames.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sample_trace FILE\n");
    return 2;
  }
  hartip::PcapWriter writer;
  std::string error;
  if (!writer.Open(argv[1], error)) {
    std::fprintf(stderr, "sample_trace: %s\n", error.c_str());
    return 1;
  }
  using hartip::Origin;
  using support::Hex;
  const std::uint64_t t = 1'700'000'000'000'000;
  // Command 0 to polling address 0 and a revision-7 device's answer
  // (manufacturer 0x26, device type 0x2611, identifier 000102).
  writer.WriteFrame(Origin::Master, Hex("02 80 00 00 82"), t);
  writer.WriteFrame(
      Origin::Field,
      support::WithChecksum(Hex("06 80 00 18 00 00 FE 26 11 05 07 01 01 08 00 00 01 02 05 04 00 00 "
                                "00 00 26 00 00 00")),
      t + 610'123);
  writer.WriteFrame(Origin::Field,
                    support::WithChecksum(Hex("81 A6 11 00 01 02 01 07 00 00 40 80 00 00")),
                    t + 900'000);
  writer.WriteFrame(Origin::Field, support::WithChecksum(Hex("82 26 11 00 01 02 0D 00")),
                    t + 1'000'000);
  writer.WriteNoFrame(Origin::Field, Hex("FF FF FF 06 80 00 0E"), "data incomplete", t + 1'500'000);
  return 0;
}
