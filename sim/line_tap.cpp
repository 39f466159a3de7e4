#include "sim/line_tap.h"

#include <algorithm>
#include <limits>

namespace sim {

namespace {

void NoFrame(bool fromMaster, const std::vector<TimedByte>& bytes, std::size_t from, std::size_t to,
             const char* reason, std::vector<TapRecord>& out) {
  if (from >= to) return;
  TapRecord r;
  r.fromMaster = fromMaster;
  for (std::size_t i = from; i < to; ++i) r.bytes.push_back(bytes[i].value);
  r.reason = reason;
  r.atMicros = bytes[to - 1].atMicros;
  out.push_back(std::move(r));
}

}  // namespace

std::vector<TapRecord> CutFrames(bool fromMaster, const std::vector<TimedByte>& bytes) {
  std::vector<TapRecord> out;
  const std::size_t n = bytes.size();
  std::size_t at = 0;
  while (at < n) {
    std::size_t preamble = at;
    while (preamble < n && bytes[preamble].value != kPreamble) ++preamble;
    std::size_t delimiter = preamble;
    while (delimiter < n && bytes[delimiter].value == kPreamble) ++delimiter;
    if (delimiter == n) {
      NoFrame(fromMaster, bytes, at, n, preamble == n ? "line noise" : "preambles without a frame",
              out);
      return out;
    }
    // Delimiter, address (5 bytes with bit 7, else 1), command, byte count,
    // data, checksum.
    const std::uint8_t d = bytes[delimiter].value;
    const std::size_t countAt = delimiter + ((d & 0x80) != 0 ? 5 : 1) + 2;
    const std::size_t end = countAt < n ? countAt + 1 + bytes[countAt].value + 1 : n + 1;
    if (end > n) {
      NoFrame(fromMaster, bytes, at, n, "incomplete frame", out);
      return out;
    }
    std::uint8_t sum = 0;
    for (std::size_t i = delimiter; i + 1 < end; ++i) sum ^= bytes[i].value;
    if (sum != bytes[end - 1].value) {
      NoFrame(fromMaster, bytes, at, end, "checksum error", out);
      at = end;
      continue;
    }
    NoFrame(fromMaster, bytes, at, preamble, "line noise before the preambles", out);
    TapRecord frame;
    frame.fromMaster = fromMaster;
    frame.isFrame = true;
    for (std::size_t i = delimiter; i < end; ++i) frame.bytes.push_back(bytes[i].value);
    frame.atMicros = bytes[end - 1].atMicros;
    out.push_back(std::move(frame));
    at = end;
  }
  return out;
}

void LineTap::Add(bool fromMaster, const TimedByte& byte) {
  Transmission& t = open_[fromMaster ? 1 : 0];
  if (!t.bytes.empty() && byte.atMicros - t.bytes.back().atMicros > kQuietMicros) {
    Close(fromMaster);
  }
  t.bytes.push_back(byte);
}

void LineTap::Close(bool fromMaster) {
  Transmission& t = open_[fromMaster ? 1 : 0];
  auto records = CutFrames(fromMaster, t.bytes);
  ready_.insert(ready_.end(), records.begin(), records.end());
  t.bytes.clear();
}

std::vector<TapRecord> LineTap::Take(std::uint64_t nowMicros) {
  std::uint64_t stillGoing = std::numeric_limits<std::uint64_t>::max();
  for (bool fromMaster : {false, true}) {
    const Transmission& t = open_[fromMaster ? 1 : 0];
    if (t.bytes.empty()) continue;
    if (nowMicros > t.bytes.back().atMicros + kQuietMicros) {
      Close(fromMaster);
    } else {
      stillGoing = std::min(stillGoing, t.bytes.front().atMicros);
    }
  }
  return Release(stillGoing);
}

std::vector<TapRecord> LineTap::TakeAll() {
  Close(false);
  Close(true);
  return Release(std::numeric_limits<std::uint64_t>::max());
}

std::vector<TapRecord> LineTap::Release(std::uint64_t before) {
  std::stable_sort(ready_.begin(), ready_.end(),
                   [](const TapRecord& a, const TapRecord& b) { return a.atMicros < b.atMicros; });
  const auto split = std::find_if(ready_.begin(), ready_.end(),
                                  [&](const TapRecord& r) { return r.atMicros >= before; });
  std::vector<TapRecord> out(std::make_move_iterator(ready_.begin()),
                             std::make_move_iterator(split));
  ready_.erase(ready_.begin(), split);
  return out;
}

}  // namespace sim
