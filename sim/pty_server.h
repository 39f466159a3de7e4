// Serves a segment on a pseudo-terminal in real time, so a program that
// opens a serial device by path can talk to simulated devices.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/segment.h"

namespace sim {

class PtyServer {
 public:
  // The segment is the caller's and must outlive the server.
  explicit PtyServer(Segment& segment) : segment_(segment) {}
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens a pseudo-terminal in raw mode and starts serving it on a
  // background thread. Returns 0, or the errno of the call that failed
  // (`error` names it).
  int Start(std::string& error);
  // Stops the thread (joins it) and closes the terminal. Safe to repeat.
  void Stop();

  // The path a client opens, e.g. /dev/pts/5; empty before Start. A
  // hang-up fault replaces the terminal, and the path with it.
  std::string SlavePath();

  // Called on the server's thread when a hang-up fault has dropped the
  // terminal at `oldPath` and a fresh one serves at `newPath` (empty if none
  // could be opened), as a modem pulled out and plugged back in. Set before
  // Start.
  std::function<void(const std::string& oldPath, const std::string& newPath)> onReplug;
  // Whether the terminal was given to group dialout (mode 0660), so that
  // an operator in that group can open it; false where this user may not.
  bool SharedWithSerialGroup() const { return shared_; }

  // Runs `fn` on the segment while the server thread keeps off it (for
  // changing faults or reading counters while serving).
  void WithSegment(const std::function<void(Segment&)>& fn);

  // Sees the bytes the server moves, on the server's thread, with their
  // times in microseconds since Start: the master's as they are read, the
  // devices' as they go out. It is called at every turn of the loop, with
  // no bytes when none moved, so that it knows the time. Set before Start.
  std::function<void(const std::vector<TimedByte>& fromMaster,
                     const std::vector<TimedByte>& toMaster, std::uint64_t nowMicros)>
      tap;

 private:
  void Serve();
  // Opens a pseudo-terminal in raw mode as masterFd_/slaveFd_/slavePath_.
  // Returns 0, or the errno of the call that failed (`error` names it).
  int OpenTerminal(std::string& error);
  void CloseTerminal();
  // Drops the terminal under the client and serves a fresh one.
  void Replug();

  Segment& segment_;
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  int masterFd_ = -1;
  int slaveFd_ = -1;  // held open so the master never sees a hang-up between clients
  int wakeFds_[2] = {-1, -1};
  std::string slavePath_;
  bool shared_ = false;
};

}  // namespace sim
