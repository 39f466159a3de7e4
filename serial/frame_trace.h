// The frame trace: every HART frame the program sends and reads, with the
// time to the microsecond, in a capture file that Wireshark reads. Open for
// the whole run when the operator asks for one (--trace FILE); otherwise
// nothing is recorded.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace serial {

// Which end of the line the bytes came from.
enum class TraceOrigin { Master, Field };

// Creates `path`, or empties it if it is the user's own regular file (never
// through a symbolic link, never a FIFO or device). False, with `error`
// naming the file and the reason, if it cannot be written. A trace already
// open is closed first. The first record that cannot be written is told to
// the operator once, and the trace stops.
bool OpenFrameTrace(const std::string& path, std::string& error);
void CloseFrameTrace();
bool FrameTraceOpen();

// One frame, delimiter through checksum, stamped with the time now.
void TraceFrame(TraceOrigin origin, std::span<const std::uint8_t> frame);
// Bytes that did not make a frame, and why.
void TraceNoFrame(TraceOrigin origin, std::span<const std::uint8_t> bytes, std::string_view reason);
// A line about the conversation: how the frames that follow were carried.
void TraceNote(std::string_view note);

}  // namespace serial
