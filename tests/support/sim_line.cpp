#include "tests/support/sim_line.h"

namespace support {

SimLine::SimLine(MemoryLine& line, sim::Segment& segment) : line_(line), segment_(segment) {
  line_.onWrite = [this](const std::vector<std::uint8_t>& bytes, std::uint64_t endMicros) {
    // The write returned when its last byte left; the earlier ones left one
    // character time apart before it, at whatever speed the port is set to.
    const std::uint64_t step =
        CharacterMicros(line_.settings.baudRate ? line_.settings.baudRate : 1200);
    const std::uint64_t span = bytes.empty() ? 0 : (bytes.size() - 1) * step;
    const std::uint64_t first = endMicros > span ? endMicros - span : 0;
    // Up to the first character's start bit: a device that hears a
    // request begin holds its own frame back.
    Put(segment_.Unsolicited(first > step ? first - step : 0));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      Put(segment_.Receive(bytes[i], first + i * step));
    }
  };
  line_.onCatchUp = [this](std::uint64_t nowMicros) { Put(segment_.Unsolicited(nowMicros + 1)); };
}

SimLine::~SimLine() {
  line_.onWrite = nullptr;
  line_.onCatchUp = nullptr;
}

void SimLine::Put(const std::vector<sim::TimedByte>& bytes) {
  for (const auto& b : bytes) line_.Deliver(b.value, b.atMicros);
}

}  // namespace support
