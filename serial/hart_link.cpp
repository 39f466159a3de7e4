#include "serial/hart_link.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/errors.h"
#include "platform/services.h"

namespace serial {

SerialPort HartLink::theSerialPort;

namespace {

constexpr std::uint8_t kPreamble = 0xFF;
// Four empty reads end the wait for a reply. They follow each other without
// a pause: the write pause already gave the device time to answer.
constexpr int kEmptyReadLimit = 4;
constexpr int kHeaderReadLimit = 4;

// Once a reply has started, a short read waits for more bytes while they
// keep coming. 50 ms is over five character times at 1200 baud (9.17 ms
// each) and longer than a USB serial adapter's 16 ms latency timer, so a gap
// that long means the device has stopped, not that the bytes are late.
constexpr std::uint32_t kReplyGapMs = 50;
constexpr std::uint32_t kReplyPollMs = 5;

// A request lost in a collision leaves the tail of the frame that was on
// the line in its reply slot: at least the last data bytes and the
// checksum. Fewer bytes without a frame are noise.
constexpr std::size_t kCollisionTailBytes = 3;

constexpr std::array<std::uint32_t, 15> kBaudRates = {110,   300,   600,    1200,   2400,
                                                      4800,  9600,  14400,  19200,  38400,
                                                      56000, 57600, 115200, 128000, 256000};

FrameObserver* observer = nullptr;
Keying keying = Keying::kSelf;

// The frame of the request just sent, delimiter through checksum, while its
// echo may still come back; empty once the echo has been dropped.
std::array<std::uint8_t, kReplyBufferSize + 1> sentFrame;
std::size_t sentFrameLength = 0;

// What the link knows of the other stations on the loop, from the open on.
struct Loop {
  // Another station's frame has been heard.
  bool shared = false;
  // A burst frame has been heard: a device in burst mode answers every
  // answer on the loop with a burst frame, so an answer never hands over
  // the line by itself.
  bool bursting = false;
  // The last request went out on silence, which a device bursting on its
  // own period may end just as RT1 runs out, at the same phase after every
  // retry.
  bool sentOnSilence = false;
  // The last request went out right after an answer to the secondary
  // master. Were it to meet a collision, a device in burst mode spoke
  // after that answer, where the line seemed ours.
  bool sentAfterAnswer = false;
  // Such a request met a burst frame or a collision: from then on silence
  // at the start of a wait, or after a burst frame, does not give the turn;
  // only a frame does.
  bool distrustSilence = false;
  // The secondary master has been heard: it may take a silent line as well,
  // at any moment, so silence whose start the master did not hear is no
  // turn.
  bool secondaryHeard = false;
};
Loop loop;

// Follows whole frames through the bytes heard while waiting for a turn,
// by the same rule as the frame search of a reply.
class FrameFollower {
 public:
  // True when `byte` ends a frame whose checksum is right; its delimiter
  // and first address byte are then Delimiter() and Address(), and the
  // frame, delimiter through checksum, Frame().
  bool Feed(std::uint8_t byte) {
    if (need_ == 0) {
      if (byte == kPreamble) {
        preambles_ = std::min(preambles_ + 1, kMaxPreambles + 1);
        return false;
      }
      if (preambles_ >= kMinPreambles && IsDelimiter(byte)) {
        delimiter_ = sum_ = frame_[0] = byte;
        have_ = 1;
        need_ = 1 + static_cast<std::uint32_t>(HeaderLength(byte));
      }
      preambles_ = 0;
      return false;
    }
    frame_[have_] = byte;
    if (++have_ == 2) address_ = byte;
    if (have_ == need_ && need_ == 1 + HeaderLength(delimiter_)) need_ += byte + 1u;  // byte count
    if (have_ < need_) {
      sum_ ^= byte;
      return false;
    }
    need_ = 0;
    return byte == sum_;
  }
  std::uint8_t Delimiter() const { return delimiter_; }
  std::uint8_t Address() const { return address_; }
  std::span<const std::uint8_t> Frame() const { return {frame_.data(), have_}; }
  // Inside a frame: its delimiter has been seen, its last byte not yet.
  bool InFrame() const { return need_ != 0; }

 private:
  std::array<std::uint8_t, kReplyBufferSize + 1> frame_{};
  std::uint32_t preambles_ = 0;
  std::uint32_t have_ = 0;
  std::uint32_t need_ = 0;  // 0: looking for a frame
  std::uint8_t delimiter_ = 0;
  std::uint8_t address_ = 0;
  std::uint8_t sum_ = 0;
};

// Whether the primary master may talk right after this frame. A slave's
// frame addressed to one master hands the line to the other: after a burst
// frame naming the primary master the secondary talks next, after one naming
// the secondary we do, and after the secondary master's exchange (the
// slave's answer to it) the line is ours. After a request the addressed
// slave answers first.
bool HandsOverToPrimary(std::uint8_t delimiter, std::uint8_t address) {
  const bool primary = (address & kPrimaryMasterBit) != 0;
  switch (delimiter & kFrameTypeMask) {
    case kFrameBurst:
      return !primary;
    case kFrameAnswer:
      return !primary;
    default:
      return false;
  }
}

bool IsBurst(std::uint8_t delimiter) {
  return (delimiter & kFrameTypeMask) == kFrameBurst;
}

// A whole frame of another station heard while the master was not reading
// a reply: the line is shared, and the trace shows what was heard.
void NoteFrame(const FrameFollower& follower) {
  loop.shared = true;
  const std::uint8_t type = follower.Delimiter() & kFrameTypeMask;
  if (type != kFrameBurst && (follower.Address() & kPrimaryMasterBit) == 0) {
    loop.secondaryHeard = true;
  }
  if (IsBurst(follower.Delimiter())) loop.bursting = true;
  if (observer != nullptr) observer->Received(follower.Frame(), LinkResult::kOk, 0);
}

bool TimedOut(platform::Error e) {
  return e == platform::kErrorTimeout;
}

// The driver's word for a device that went away under an open descriptor:
// a hang-up, or EIO, ENXIO or ENODEV from a read or write.
bool PortGone(platform::Error e) {
  return e == platform::kErrorDeviceNotConnected;
}

// Whether `reply` (delimiter, header, data) is the request just sent: the
// checksums match too, as both were verified over the same bytes.
bool IsEcho(const std::uint8_t* reply) {
  if (sentFrameLength == 0) return false;
  const std::size_t header = HeaderLength(reply[0]);
  const std::size_t length = 1 + header + reply[header];
  return length + 1 == sentFrameLength && std::equal(reply, reply + length, sentFrame.begin());
}

struct ReadOutcome {
  platform::Error error;
  std::uint32_t count;
};

// One ReceiveFrame's reading: the clock of the whole read, and the bytes it
// took off the line, kept for the observer.
class Reading {
 public:
  // Reads up to `length` bytes. With `patient`, a read that comes back short
  // without a hard error keeps reading until the count is complete, no byte
  // has arrived for kReplyGapMs, or the read's time is up.
  ReadOutcome Read(std::uint8_t* into, std::uint32_t length, bool patient) {
    SerialPort& port = HartLink::theSerialPort;
    ReadOutcome out{platform::kErrorSuccess, 0};
    out.error = port.Read(into, length, &out.count);
    if (PortGone(out.error)) lost_ = true;
    Keep(into, out.count);
    if (!patient) return out;
    std::uint32_t lastByteAt = platform::TickCount();
    while (out.count < length && (out.error == platform::kErrorSuccess || TimedOut(out.error)) &&
           !Expired()) {
      if (static_cast<std::uint32_t>(platform::TickCount() - lastByteAt) >= kReplyGapMs) break;
      platform::Sleep(kReplyPollMs);
      std::uint32_t more = 0;
      const platform::Error e = port.Read(into + out.count, length - out.count, &more);
      if (PortGone(e)) lost_ = true;
      Keep(into + out.count, more);
      if (more > 0) {
        out.count += more;
        lastByteAt = platform::TickCount();
      }
      out.error = e;
    }
    // A read that completed after earlier time-outs is a complete read.
    if (out.count == length && TimedOut(out.error)) out.error = platform::kErrorSuccess;
    return out;
  }

  // Whether the read has lasted as long as the longest legal reply takes
  // from its first byte: longer is a stuck device or line noise, which a
  // glitching loop delivers as 0xFF with good parity and stop bit as often
  // as anything else. Unsigned subtraction survives the tick's wrap.
  bool Expired() const {
    static const std::uint32_t limit = HartLink::TransmissionMillis(kLongestReplyChars);
    return started_ && static_cast<std::uint32_t>(platform::TickCount() - firstByteAt_) >= limit;
  }

  // Whether a read failed because the port went away.
  bool Lost() const { return lost_; }

  std::span<const std::uint8_t> Taken() const { return {taken_.data(), kept_}; }
  // Bytes taken off the line so far, kept or not.
  std::size_t TakenCount() const { return count_; }

 private:
  void Keep(const std::uint8_t* bytes, std::uint32_t n) {
    if (n > 0 && !started_) {
      started_ = true;
      firstByteAt_ = platform::TickCount();
    }
    const std::size_t room = taken_.size() - kept_;
    const std::size_t k = std::min<std::size_t>(n, room);
    std::copy(bytes, bytes + k, taken_.begin() + static_cast<std::ptrdiff_t>(kept_));
    kept_ += k;
    count_ += n;
  }

  // Only the first kept_ bytes are ever read: no need to clear the rest.
  std::array<std::uint8_t, 2 * kQueueSize> taken_;
  std::size_t kept_ = 0;
  std::size_t count_ = 0;
  bool started_ = false;
  bool lost_ = false;
  std::uint32_t firstByteAt_ = 0;
};

// The frame search: skips line noise until at least two preambles and a
// valid delimiter, which it leaves in `delimiter`. A byte that breaks the
// rule (noise before, among or after the preambles) is skipped and the
// count starts again, so a stray byte just before a reply does not cost the
// reply. Bounded: four empty reads, a run of more than kMaxPreambles, or
// the longest reply's time end it with 5.
LinkResult FindDelimiter(Reading& reading, std::uint8_t& delimiter) {
  std::uint32_t preambles = 0;
  bool heard = false;  // a preamble was seen: the rest of the frame is on its way
  for (int empty = 0;;) {
    const ReadOutcome r = reading.Read(&delimiter, 1, heard);
    if (TimedOut(r.error) || r.count == 0) {
      if (++empty == kEmptyReadLimit) return LinkResult::kNoReply;
    } else if (r.error != platform::kErrorSuccess) {
      return LinkResult::kFailure;
    } else if (delimiter == kPreamble) {
      heard = true;
      if (++preambles > kMaxPreambles) return LinkResult::kNoReply;
    } else if (preambles >= kMinPreambles && IsDelimiter(delimiter)) {
      return LinkResult::kOk;
    } else {
      preambles = 0;
    }
    if (reading.Expired()) return LinkResult::kNoReply;
  }
}

// Reads one frame and copies it to `reply` without its checksum; on
// success `frameOffset` is the delimiter's place among the bytes taken.
LinkResult Receive(Reading& reading, std::uint8_t* reply, std::size_t& frameOffset) {
  std::array<std::uint8_t, kReplyBufferSize + 1> frame{};

  if (const LinkResult found = FindDelimiter(reading, frame[0]); found != LinkResult::kOk) {
    return found;
  }
  frameOffset = reading.TakenCount() - 1;

  // The header's length is the received delimiter's, not the request's: a
  // burst frame or another master's request may stand where the reply was
  // expected, in either address type.
  const std::uint32_t header = static_cast<std::uint32_t>(HeaderLength(frame[0]));
  std::uint32_t have = 0;
  for (int shortReads = 0; have < header;) {
    const ReadOutcome r = reading.Read(&frame[1 + have], header - have, true);
    have += r.count;
    if (have == header && r.error != platform::kErrorSuccess) return LinkResult::kFailure;
    if (have < header && (++shortReads == kHeaderReadLimit || reading.Expired())) {
      return LinkResult::kNoReply;
    }
  }

  const std::uint32_t dataLength = frame[header];
  const std::uint32_t frameLength = 1 + header + dataLength;
  const ReadOutcome r = reading.Read(&frame[1 + header], dataLength + 1, true);
  if (TimedOut(r.error) || r.count < dataLength + 1) return LinkResult::kDataIncomplete;
  if (r.error != platform::kErrorSuccess) return LinkResult::kFailure;

  std::uint8_t check = 0;
  for (std::uint32_t i = 0; i < frameLength; ++i) check ^= frame[i];
  if (check != frame[frameLength]) return LinkResult::kChecksumError;

  std::memcpy(reply, frame.data(), frameLength);
  return LinkResult::kOk;
}

}  // namespace

const char* LinkResultText(LinkResult result) {
  switch (result) {
    case LinkResult::kOk:
      return "success";
    case LinkResult::kFailure:
      return "failure";
    case LinkResult::kChecksumError:
      return "checksum error";
    case LinkResult::kDataIncomplete:
      return "reply data incomplete";
    case LinkResult::kWriteIncomplete:
      return "write incomplete";
    case LinkResult::kNoReply:
      return "no reply";
    case LinkResult::kAlreadyOpen:
      return "port already open";
    case LinkResult::kBadPort:
      return "bad port number";
    case LinkResult::kBadBaudRate:
      return "unsupported baud rate";
    case LinkResult::kPortLost:
      return "port lost";
    case LinkResult::kMissingBuffer:
      return "missing buffer";
    default:
      return "unknown result";
  }
}

LinkResult HartLink::OpenLink(std::uint32_t portNumber, std::uint32_t baudRate) {
  if (theSerialPort.IsOpen()) return LinkResult::kAlreadyOpen;
  loop = {};
  if (portNumber == 0 || portNumber > 255) return LinkResult::kBadPort;
  theSerialPort.keying = keying;
  if (theSerialPort.Open(kPortName, kQueueSize, kQueueSize) != platform::kErrorSuccess) {
    // The box says only which port; beneath it the driver says why and what
    // the operator can do (join dialout, map the modem, free the port).
    platform::MessageBox(kPortName, platform::Icon::Error, platform::Buttons::Ok,
                         platform::OpenFailureAdvice(kPortName, theSerialPort.lastError));
    return LinkResult::kFailure;
  }
  if (std::find(kBaudRates.begin(), kBaudRates.end(), baudRate) == kBaudRates.end()) {
    return LinkResult::kBadBaudRate;
  }
  return theSerialPort.ConfigureLine(baudRate) == platform::kErrorSuccess ? LinkResult::kOk
                                                                          : LinkResult::kFailure;
}

platform::Error HartLink::CloseLink() {
  loop = {};
  return theSerialPort.Close();
}

void HartLink::SetKeying(Keying newKeying) {
  keying = newKeying;
}

void HartLink::ReportLostPort() {
  platform::MessageBox(kPortName, platform::Icon::Error, platform::Buttons::Ok,
                       platform::OpenFailureAdvice(kPortName, platform::kErrorDeviceNotConnected));
}

std::uint32_t HartLink::TransmissionMillis(std::uint32_t length) {
  // The same as the double-precision length * 11 / 1200 * 1000 + 27,
  // truncated, for every length.
  return CharactersMillis(length) + 27;
}

void HartLink::NoteOtherStation() {
  loop.shared = true;
}

bool HartLink::LineShared() {
  return loop.shared;
}

void HartLink::Settle(std::uint32_t ms) {
  platform::Sleep(ms);
  if (!theSerialPort.IsOpen()) return;
  // The modem's settle is time the line was heard, not lost: what other
  // stations said meanwhile waits in the driver's queue, at times we cannot
  // tell, but enough to know that they are there. A quiet loop leaves it
  // empty, and nothing more is read.
  // Read in pieces until the queue is empty, at most a queue's worth.
  FrameFollower follower;
  for (std::uint32_t total = 0; total < kQueueSize;) {
    std::array<std::uint8_t, 256> heard;
    std::uint32_t n = 0;
    const platform::Error e = theSerialPort.Read(heard.data(), heard.size(), &n);
    for (std::uint32_t i = 0; i < n; ++i) {
      if (follower.Feed(heard[i])) NoteFrame(follower);
    }
    if (n == 0 || (e != platform::kErrorSuccess && !TimedOut(e))) break;
    total += n;
  }
}

HartLink::Turn HartLink::AwaitTurn(std::uint32_t boundMs) {
  // What is buffered already came at times we cannot tell: it says nothing
  // about whether the line is free now.
  theSerialPort.Purge();
  FrameFollower follower;
  const std::uint32_t start = platform::TickCount();
  std::uint32_t lastByteAt = start;
  // RT1 counts from the last byte heard, whatever it was: a stray byte
  // restarts it, nothing more. Silence from the start of the wait does not
  // count where silence is distrusted or the secondary master is about;
  // after a burst frame, not where silence is distrusted.
  bool heardFrame = false;
  bool afterBurst = false;
  loop.sentOnSilence = loop.sentAfterAnswer = false;
  // Past the bound the request goes all the same, but not into another
  // station's frame: only once a frame has ended or the line has been idle
  // for the link-grant time. By the bound plus the longest frame any frame
  // that was under way has ended, and only noise keeps the line busy.
  const std::uint32_t hardBound = boundMs + TransmissionMillis(kLongestReplyChars);
  for (;;) {
    std::array<std::uint8_t, 64> heard;
    std::uint32_t n = 0;
    const platform::Error e = theSerialPort.Read(heard.data(), heard.size(), &n);
    if (n == 0 && e != platform::kErrorSuccess && !TimedOut(e)) return Turn::kNone;
    const std::uint32_t now = platform::TickCount();
    const std::uint32_t waited = static_cast<std::uint32_t>(now - start);
    bool frameJustEnded = false;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!follower.Feed(heard[i])) continue;
      // Only a frame whose last byte is the last one heard has just ended;
      // bytes after it mean another station has already begun.
      frameJustEnded = i + 1 == n;
      const std::uint8_t delimiter = follower.Delimiter();
      NoteFrame(follower);
      heardFrame = true;
      afterBurst = IsBurst(delimiter);
      const bool answer = (delimiter & kFrameTypeMask) == kFrameAnswer;
      // On a loop with a bursting device the burst frame that follows an
      // answer decides, not the answer.
      const bool burstDue = answer && loop.bursting;
      if (frameJustEnded && !burstDue && HandsOverToPrimary(delimiter, follower.Address())) {
        loop.sentAfterAnswer = answer;
        return Turn::kGranted;
      }
    }
    if (n > 0) lastByteAt = now;
    const std::uint32_t idle = static_cast<std::uint32_t>(now - lastByteAt);
    const bool silenceCounts = heardFrame ? !(afterBurst && loop.distrustSilence)
                                          : !loop.distrustSilence && !loop.secondaryHeard;
    if (n == 0 && silenceCounts && idle >= CharactersMillis(kPrimaryRt1Chars)) {
      loop.sentOnSilence = true;
      return Turn::kQuiet;
    }
    if (waited >= boundMs) {
      if (frameJustEnded || (n == 0 && idle >= CharactersMillis(kLinkGrantChars)) ||
          waited >= hardBound) {
        return Turn::kNone;
      }
    }
    platform::Sleep(kReplyPollMs);
  }
}

LinkResult HartLink::SendFrame(const std::uint8_t* bytes, std::uint32_t length) {
  if (bytes == nullptr) return LinkResult::kMissingBuffer;
  const std::uint32_t transmission = TransmissionMillis(length);
  // Whatever is already waiting was not sent in answer to this request: a
  // reply that came after its read gave up, a burst frame, line noise. Left
  // there it would be read as this request's answer.
  theSerialPort.Purge();
  const std::uint32_t start = platform::TickCount();
  std::uint32_t written = 0;
  const platform::Error e = theSerialPort.Write(bytes, length, &written);
  if (observer != nullptr && written > 0) observer->Sent({bytes, std::min(written, length)});
  // What an echoing modem hands back: the frame after the preambles.
  const std::uint8_t* end = bytes + length;
  const std::uint8_t* frame =
      std::find_if(bytes, end, [](std::uint8_t b) { return b != kPreamble; });
  sentFrameLength =
      written == length ? std::min(static_cast<std::size_t>(end - frame), sentFrame.size()) : 0;
  std::copy(frame, frame + sentFrameLength, sentFrame.begin());
  if (PortGone(e)) return LinkResult::kPortLost;
  if (TimedOut(e) || written < length) return LinkResult::kWriteIncomplete;
  if (e != platform::kErrorSuccess) return LinkResult::kFailure;
  // The write pause normally covers this already; only frames longer than
  // about 50 bytes still wait here. Unsigned subtraction survives the
  // tick count's wrap.
  while (static_cast<std::uint32_t>(platform::TickCount() - start) < transmission) {
  }
  return LinkResult::kOk;
}

LinkResult HartLink::ReceiveFrame(std::uint8_t* reply) {
  if (reply == nullptr) return LinkResult::kMissingBuffer;
  Reading reading;
  std::size_t frameOffset = 0;
  LinkResult result = Receive(reading, reply, frameOffset);
  std::size_t echoBytes = 0;
  if (result == LinkResult::kOk && IsEcho(reply)) {
    echoBytes = reading.TakenCount();
    result = Receive(reading, reply, frameOffset);
  }
  sentFrameLength = 0;
  if (result != LinkResult::kOk && reading.Lost()) result = LinkResult::kPortLost;
  // Bytes without a whole frame in a reply slot are what a request lost in
  // a collision leaves: the tail of the frame that was on the line, its
  // preambles purged before the request went out. Treat the line as shared
  // from here, or every retry on a fixed clock meets a periodic sender at
  // the same phase again. A port gone is not a collision, nor is the
  // modem's echo of our own request.
  // One or two stray bytes are line noise (a modem's carrier dropping),
  // not the tail of a frame, and say nothing about other stations.
  const bool unframed = result != LinkResult::kOk && result != LinkResult::kPortLost &&
                        reading.TakenCount() >= echoBytes + kCollisionTailBytes;
  if (unframed) loop.shared = true;
  const bool burst = result == LinkResult::kOk && IsBurst(reply[0]);
  if (burst) loop.bursting = true;
  // A request sent on silence that met a burst frame, or the wreck a
  // collision leaves (a frame's tail, a frame garbled), went out where a
  // device bursting on its own period ends its gaps; stray bytes say
  // nothing of the kind.
  if (loop.sentOnSilence && (burst || unframed)) loop.distrustSilence = true;
  if (loop.sentAfterAnswer && unframed) loop.bursting = true;
  loop.sentOnSilence = loop.sentAfterAnswer = false;
  theSerialPort.Purge();
  if (observer != nullptr) {
    const auto taken = reading.Taken();
    const bool marked = result == LinkResult::kOk && taken.size() == reading.TakenCount();
    observer->Received(taken, result, marked ? frameOffset : taken.size());
  }
  return result;
}

void HartLink::SetObserver(FrameObserver* newObserver) {
  observer = newObserver;
}

FrameObserver* HartLink::Observer() {
  return observer;
}

}  // namespace serial
