// hartsim --trace FILE: the frames on the simulator's terminal, from the
// device side, in a HART-IP capture file. Part of the hartsim program, not
// of the sim library, which depends on nothing of ours.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "hartip/pcap_writer.h"
#include "sim/hartsim/hart_ip_server.h"
#include "sim/line_tap.h"
#include "sim/pty_server.h"

namespace sim {

class HartsimTrace {
 public:
  // Taps `server`; call before its Start. Nothing is recorded until Open.
  // Behind a HART-IP server the records are the frames on its loop.
  void Attach(PtyServer& server);
  void Attach(HartIpServer& server);
  // Opens the file once the terminal is served and linked, so that a start
  // that fails never touches it; the records' times count from here. False,
  // with `error` naming the file and the reason, if it cannot be written.
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return open_; }
  // After the server has stopped: writes what is still held.
  void Finish();
  // Whether a record could not be written. The first failure is one line
  // on standard error; the trace stops, and hartsim is asked to stop too
  // (SIGTERM), since a capture with a hole in it is what a trace run must
  // not give.
  bool Failed() const { return failed_; }

 private:
  void Write(const std::vector<TapRecord>& records);
  void Take(const std::vector<TimedByte>& fromMaster, const std::vector<TimedByte>& toMaster,
            std::uint64_t nowMicros);

  hartip::PcapWriter writer_;
  LineTap tap_;
  std::uint64_t startMicros_ = 0;
  std::chrono::steady_clock::time_point attachedAt_{};
  std::atomic<bool> open_{false};
  std::atomic<bool> failed_{false};
};

}  // namespace sim
