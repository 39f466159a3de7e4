// Wires a simulated HART segment to an in-memory line, in virtual time:
//
//   support::FakePlatform fp;
//   sim::Segment seg;
//   seg.Add(sim::DeviceConfig{});
//   support::SimLine link(fp.line, seg);
//
// Every write the code under test makes reaches the segment with the time
// each byte left, and what the devices send is put on the line at the times
// the segment gives. Unsolicited traffic (burst frames, another master) is
// put on the line as time passes, before each read and each write.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/segment.h"
#include "tests/support/memory_serial.h"

namespace support {

class SimLine {
 public:
  SimLine(MemoryLine& line, sim::Segment& segment);
  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

 private:
  void Put(const std::vector<sim::TimedByte>& bytes);

  MemoryLine& line_;
  sim::Segment& segment_;
};

}  // namespace support
