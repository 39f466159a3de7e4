#include "serial/link_trace.h"

#include <string>

#include "serial/frame_trace.h"

namespace serial {

namespace {

constexpr std::uint8_t kPreamble = 0xFF;

// Delimiter, header and checksum around the data: the size the frame
// declares, or 0 while the bytes do not yet reach its byte count.
std::size_t DeclaredSize(std::span<const std::uint8_t> frame) {
  if (frame.empty()) return 0;
  const std::size_t header = HeaderLength(frame[0]);
  if (frame.size() < 1 + header) return 0;
  return 1 + header + frame[header] + 1;
}

}  // namespace

void LinkTrace::Sent(std::span<const std::uint8_t> request) {
  if (!FrameTraceOpen()) return;
  std::size_t start = 0;
  while (start < request.size() && request[start] == kPreamble) ++start;
  const auto frame = request.subspan(start);
  const std::size_t declared = DeclaredSize(frame);
  if (declared == 0 || frame.size() < declared) {
    // The port took only part of the request.
    TraceNoFrame(TraceOrigin::Master, request,
                 "request cut short (" + std::to_string(request.size()) + " bytes written)");
    return;
  }
  TraceFrame(TraceOrigin::Master, frame.first(declared));
}

void LinkTrace::Received(std::span<const std::uint8_t> lineBytes, LinkResult result,
                         std::size_t frameOffset) {
  if (!FrameTraceOpen()) return;
  if (result == LinkResult::kOk && frameOffset < lineBytes.size()) {
    TraceFrame(TraceOrigin::Field, lineBytes.subspan(frameOffset));
    return;
  }
  std::string reason = LinkResultText(result);
  // A frame was read, but it ended beyond the bytes the link keeps for us.
  if (result == LinkResult::kOk) reason = "frame beyond the bytes kept of a flooded line";
  TraceNoFrame(TraceOrigin::Field, lineBytes, reason);
}

}  // namespace serial
