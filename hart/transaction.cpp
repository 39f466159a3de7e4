#include "hart/transaction.h"

#include <algorithm>
#include <vector>

#include "platform/services.h"
#include "serial/transport.h"

namespace hart {

namespace {

using serial::HartLink;
using serial::LinkResult;

// The longest wait for a turn before one request: two periods of a slow
// burst device (its frames name each master in turn) and a frame.
constexpr std::uint32_t kTurnWaitMs = 2500;

// Everything the engine asks of the transport that carries its frames, in
// one place: whether other stations share the line, the wait for the
// master's turn, the send and the read. One operation's requests on a line
// where another station has been heard each wait for the master's turn,
// within the policy's budget.
class Line {
 public:
  explicit Line(std::uint32_t budgetMs) : start_(platform::TickCount()), budget_(budgetMs) {}

  // Whether another attempt may start. A quiet line leaves it to the
  // attempt counts, so its timing is exactly as it always was. On a shared
  // line what is left must cover at least the shortest wait for the turn
  // (RT1 of silence), or the request would go out blind.
  bool MayTry() const {
    return !Carrier().LineShared() ||
           Elapsed() + serial::CharactersMillis(serial::kPrimaryRt1Chars) <= budget_;
  }

  struct Sent {
    LinkResult result;
    // The request went out right after a frame that handed the master the
    // line, where nothing else could start.
    bool inTurn;
  };
  Sent Send(const std::uint8_t* request, std::size_t length) const {
    bool granted = false;
    if (Carrier().LineShared()) {
      const std::uint32_t spent = Elapsed();
      granted = Carrier().AwaitTurn(std::min(kTurnWaitMs, spent < budget_ ? budget_ - spent : 0)) ==
                HartLink::Turn::kGranted;
    }
    return {Carrier().SendFrame(request, static_cast<std::uint32_t>(length)), granted};
  }

  static LinkResult Receive(ReplyBuffer& reply) {
    // Bytes beyond a short reply's data read as zero rather than as
    // whatever the last reply left.
    reply.fill(0);
    return Carrier().ReceiveFrame(reply.data());
  }

  static void NoteOtherStation() { Carrier().NoteOtherStation(); }

 private:
  static serial::Transport& Carrier() { return serial::CurrentTransport(); }
  std::uint32_t Elapsed() const {
    return static_cast<std::uint32_t>(platform::TickCount() - start_);
  }
  std::uint32_t start_;
  std::uint32_t budget_;
};

void Pause(std::uint32_t ms) {
  if (ms != 0) platform::Sleep(ms);
}

}  // namespace

TransactionResult Transact(const std::uint8_t* request, std::size_t length, const Asked& asked,
                           const RetryPolicy& policy, ReplyBuffer& reply) {
  const Line line(policy.sharedBudgetMs);
  TransactionResult result;
  int attempt = 0;  // attempts spent: busy answers spend none
  int limit = policy.attempts;
  int busyInARow = 0;
  while (attempt < limit && (result.requests == 0 || busyInARow > 0 || line.MayTry())) {
    const Line::Sent sent = line.Send(request, length);
    // Retrying a port that is gone would only keep the operator waiting
    // for the same failure.
    if (sent.result == LinkResult::kPortLost) return {Outcome::kPortLost, result.requests};
    ++result.requests;
    if (sent.result != LinkResult::kOk) Pause(policy.failedWritePauseMs);
    if (attempt == policy.settleAtAttempt) Pause(policy.settleMs);

    const LinkResult received = Line::Receive(reply);
    if (received == LinkResult::kPortLost) return {Outcome::kPortLost, result.requests};
    if (received != LinkResult::kOk) {
      ++attempt;
      busyInARow = 0;
      Pause(policy.failedReadPauseMs);
      continue;
    }
    const ReplyKind kind = ClassifyReply(reply.data(), asked);
    const std::uint8_t code = JudgedResponseCode(reply.data(), asked);
    if (kind == ReplyKind::kAnswer) return {Outcome::kAnswered, result.requests, code};
    if (kind == ReplyKind::kRefused) return {Outcome::kRefused, result.requests, code};
    if (kind == ReplyKind::kBusy && policy.waitsOutBusy) {
      if (++busyInARow >= policy.busyLimit) return {Outcome::kBusy, result.requests};
      Pause(policy.busyPauseMs);
      continue;
    }
    busyInARow = 0;
    ++attempt;
    if (kind == ReplyKind::kForeign) {
      if (!sent.inTurn) limit = policy.foreignAttempts;
      Line::NoteOtherStation();
    }
  }
  return result;
}

void TransactEach(std::span<Pending> requests, const RetryPolicy& policy, std::size_t window) {
  serial::Transport& carrier = serial::CurrentTransport();
  window = std::min(window, carrier.MostOutstanding());
  if (window <= 1 || carrier.LineShared()) {
    // Requests that take turns on a line keep the single request's timing
    // exactly, turn-taking and all.
    for (Pending& p : requests) {
      p.result = Transact(p.request, p.length, p.asked, policy, *p.reply);
      if (p.result.outcome == Outcome::kPortLost) {
        for (Pending& rest : requests) {
          if (rest.result.requests == 0) rest.result.outcome = Outcome::kPortLost;
        }
        return;
      }
    }
    return;
  }
  struct State {
    Pending* pending;
    int attempts = 0;
    int busyInARow = 0;
  };
  std::vector<State> open;
  for (Pending& p : requests) {
    p.result = {};
    if (policy.attempts > 0) open.push_back({&p});
  }
  std::vector<serial::Exchange> exchanges;
  while (!open.empty()) {
    exchanges.clear();
    for (const State& s : open) {
      s.pending->reply->fill(0);
      exchanges.push_back({s.pending->request, static_cast<std::uint32_t>(s.pending->length),
                           s.pending->reply->data()});
    }
    carrier.ExchangeEach(exchanges, window);
    std::vector<State> again;
    bool unanswered = false;
    for (std::size_t i = 0; i < open.size(); ++i) {
      State s = open[i];
      Pending& p = *s.pending;
      const serial::Exchange& x = exchanges[i];
      if (x.sent == LinkResult::kPortLost || x.received == LinkResult::kPortLost) {
        for (State& rest : open) rest.pending->result.outcome = Outcome::kPortLost;
        return;
      }
      if (x.sent != LinkResult::kOk) {
        // Not sent (the session was being renewed): it goes again, and the
        // attempt is spent as a failed write's would be.
        unanswered = true;
        if (++s.attempts < policy.attempts) again.push_back(s);
        continue;
      }
      ++p.result.requests;
      if (x.received != LinkResult::kOk) {
        unanswered = true;
        s.busyInARow = 0;
        if (++s.attempts < policy.attempts) again.push_back(s);
        continue;
      }
      const ReplyKind kind = ClassifyReply(p.reply->data(), p.asked);
      const std::uint8_t code = JudgedResponseCode(p.reply->data(), p.asked);
      if (kind == ReplyKind::kAnswer || kind == ReplyKind::kRefused) {
        p.result.outcome = kind == ReplyKind::kAnswer ? Outcome::kAnswered : Outcome::kRefused;
        p.result.responseCode = code;
        continue;
      }
      if (kind == ReplyKind::kBusy && policy.waitsOutBusy) {
        if (++s.busyInARow >= policy.busyLimit) {
          p.result.outcome = Outcome::kBusy;
        } else {
          again.push_back(s);
        }
        continue;
      }
      s.busyInARow = 0;
      if (++s.attempts < policy.attempts) again.push_back(s);
    }
    open = std::move(again);
    if (!open.empty()) Pause(unanswered ? policy.failedReadPauseMs : policy.busyPauseMs);
  }
}

}  // namespace hart
