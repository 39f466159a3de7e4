#include "serial/frame_trace.h"

#include "hartip/pcap_writer.h"
#include "platform/services.h"

namespace serial {

namespace {

hartip::PcapWriter& Writer() {
  static hartip::PcapWriter writer;
  return writer;
}

hartip::Origin ToOrigin(TraceOrigin origin) {
  return origin == TraceOrigin::Master ? hartip::Origin::Master : hartip::Origin::Field;
}

// The writer closes itself on its first failed record, so this is shown
// once; the operator learns that the capture is short, and why, while the
// conversation goes on.
void Report(bool written) {
  if (!written) platform::MessageBox(Writer().Failure(), platform::Icon::Error);
}

}  // namespace

bool OpenFrameTrace(const std::string& path, std::string& error) {
  return Writer().Open(path, error);
}

void CloseFrameTrace() {
  Writer().Close();
}

bool FrameTraceOpen() {
  return Writer().IsOpen();
}

void TraceFrame(TraceOrigin origin, std::span<const std::uint8_t> frame) {
  hartip::PcapWriter& w = Writer();
  if (w.IsOpen()) Report(w.WriteFrame(ToOrigin(origin), frame, w.Now()));
}

void TraceNoFrame(TraceOrigin origin, std::span<const std::uint8_t> bytes,
                  std::string_view reason) {
  hartip::PcapWriter& w = Writer();
  if (w.IsOpen()) Report(w.WriteNoFrame(ToOrigin(origin), bytes, reason, w.Now()));
}

void TraceNote(std::string_view note) {
  hartip::PcapWriter& w = Writer();
  if (w.IsOpen()) Report(w.WriteNote(note, w.Now()));
}

}  // namespace serial
