// One transaction with the field device: a request sent in the master's
// turn, its reply slot read and judged, and the retries of one operation.
// Poll, SendCommand and SendCommandByte all run here; what tells them apart
// is a row of the retry policy table below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "hart/reply.h"
#include "serial/hart_link.h"

namespace hart {

// How one operation retries.
struct RetryPolicy {
  // Attempts on a quiet line (Poll's come from its caller).
  std::uint8_t attempts;
  // The attempt count once another station's frame stood in the reply slot
  // of a request that did not go out in a granted turn: most likely the
  // request was lost in a collision. After a granted turn such a frame
  // means only that nobody answered first (an empty address of a scan on a
  // loop with a bursting device), and the attempt is spent.
  std::uint8_t foreignAttempts;
  // Pauses: after a write that did not complete, after a read that brought
  // no frame, and before the read of attempt `settleAtAttempt` (counted
  // from 0; -1: none) to give a struggling device time to recover.
  std::uint32_t failedWritePauseMs;
  std::uint32_t failedReadPauseMs;
  int settleAtAttempt;
  std::uint32_t settleMs;
  // Busy and delayed-response answers come from a device that is there and
  // will do it later: waited out (not an attempt, a pause, at most
  // `busyLimit` in a row: a device that never stops answering busy would
  // hold the master forever), or a failed attempt.
  bool waitsOutBusy;
  std::uint32_t busyPauseMs;
  int busyLimit;
  // On a line shared with other stations no attempt starts once the
  // operation has spent this long, busy answers aside.
  std::uint32_t sharedBudgetMs;
};

// The retry policy table. A poll at address 0 against a bursting device or
// a noisy line ends within 8 s of the press, the modem's settle included;
// a command takes no longer on a shared line than its four attempts on a
// quiet one.
// clang-format off
//                    attempts foreign  pauses: write read  settle at/ms  busy: waits  ms  limit  shared ms
inline constexpr RetryPolicy
    kPollPolicy       {0,       10,             0,    0,   -1,    0,          true, 500,  30,    4000},
    kCommandPolicy    {4,       13,             1000, 300,  3, 1000,          true, 500,  30,    5000},
    kCommandBytePolicy{4,       13,             0,    0,   -1,    0,          false,  0,   0,    5000};
// clang-format on

// What an operation's transaction came to.
enum class Outcome {
  kAnswered,  // the reply buffer holds the device's answer
  // The device refused with an error-class response code (64, command not
  // implemented, and every other but busy and delayed response): it would
  // say the same again, so it is not asked again.
  kRefused,
  kNoAnswer,  // attempts, or the shared line's budget, used up without one
  kBusy,      // the device answered busy or delayed busyLimit times in a row
  kPortLost,  // the port went away: nothing more can be said on it
};

struct TransactionResult {
  Outcome outcome = Outcome::kNoAnswer;
  // Requests that went out, answered or not.
  int requests = 0;
  // kAnswered and kRefused: the answer's response code (0 when the device
  // carried the command out without a warning).
  std::uint8_t responseCode = 0;
};

using ReplyBuffer = std::array<std::uint8_t, serial::kReplyBufferSize>;

// Sends `request` (`length` bytes, preambles included) and retries under
// `policy` until the device answers what `asked` describes. On kAnswered
// `reply` holds the answer as the link delivers it.
TransactionResult Transact(const std::uint8_t* request, std::size_t length, const Asked& asked,
                           const RetryPolicy& policy, ReplyBuffer& reply);

// One of the requests TransactEach carries.
struct Pending {
  const std::uint8_t* request = nullptr;  // preambles included
  std::size_t length = 0;
  Asked asked;
  ReplyBuffer* reply = nullptr;
  TransactionResult result;
};

// Each request under `policy` as Transact would carry it, with up to
// `window` of them outstanding at once where the transport carries
// several (each answer is then matched to its request by the transport);
// otherwise one Transact after another. Attempts go in rounds: the
// requests still unanswered after one round are sent again in the next,
// after one pause for the round.
void TransactEach(std::span<Pending> requests, const RetryPolicy& policy, std::size_t window);

}  // namespace hart
