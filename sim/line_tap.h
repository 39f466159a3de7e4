// Cuts what passes over the simulator's line into frames, for a trace.
//
// Bytes go in per direction with their times. A transmission ends when its
// direction has been quiet for kQuietMicros; it is then cut into frames by
// their own delimiters and byte counts. What is not part of a whole frame
// with a good checksum (noise before the preambles, a truncated or
// corrupted frame) comes out as bytes with the reason. Pure computation:
// the caller moves the bytes and writes the records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/codec.h"

namespace sim {

struct TapRecord {
  bool fromMaster = false;
  bool isFrame = false;
  // A frame from its delimiter through its checksum, or the bytes that
  // made none.
  std::vector<std::uint8_t> bytes;
  std::string reason;          // why the bytes made no frame
  std::uint64_t atMicros = 0;  // arrival of the last byte
};

class LineTap {
 public:
  // Three characters of silence: the gaps inside a frame are far shorter,
  // and a device's turnaround keeps a reply apart from its request.
  static constexpr std::uint64_t kQuietMicros = 3 * kCharacterMicros;

  // One byte that went over the line; times never go back within a
  // direction.
  void Add(bool fromMaster, const TimedByte& byte);

  // The records of every transmission that has ended by `nowMicros`, in
  // the order of their times; a record later than the first byte of a
  // transmission still going is held back until that one ends too.
  std::vector<TapRecord> Take(std::uint64_t nowMicros);
  // Everything still held, as though the line had gone quiet.
  std::vector<TapRecord> TakeAll();

 private:
  struct Transmission {
    std::vector<TimedByte> bytes;
  };
  void Close(bool fromMaster);
  std::vector<TapRecord> Release(std::uint64_t before);

  Transmission open_[2];  // [0] field side, [1] master
  std::vector<TapRecord> ready_;
};

// Cuts one transmission into records (exposed for tests).
std::vector<TapRecord> CutFrames(bool fromMaster, const std::vector<TimedByte>& bytes);

}  // namespace sim
