// hartsim --trace FILE: the frames on the simulator's terminal, from the
// device side, in a HART-IP capture file. Part of the hartsim program, not
// of the sim library, which depends on nothing of ours.
#pragma once

#include <string>

#include "hartip/pcap_writer.h"
#include "sim/hartsim/hart_ip_server.h"
#include "sim/line_tap.h"
#include "sim/pty_server.h"

namespace sim {

class HartsimTrace {
 public:
  // False, with `error` naming the file and the reason, if it cannot be
  // written.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return writer_.IsOpen(); }
  // Taps `server`; call just before its Start, whose clock the records'
  // times count from. Behind a HART-IP server the records are the frames
  // on its loop.
  void Attach(PtyServer& server);
  void Attach(HartIpServer& server);
  // After the server has stopped: writes what is still held.
  void Finish();

 private:
  void Write(const std::vector<TapRecord>& records);
  void Take(const std::vector<TimedByte>& fromMaster, const std::vector<TimedByte>& toMaster,
            std::uint64_t nowMicros);

  hartip::PcapWriter writer_;
  LineTap tap_;
  std::uint64_t startMicros_ = 0;
};

}  // namespace sim
