#include "platform/interrupt.h"

#include <poll.h>
#include <signal.h>

#include <chrono>
#include <csignal>

namespace platform {

namespace {

volatile std::sig_atomic_t interrupted = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int) {
  interrupted = 1;
}

sigset_t HeldSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kSignals) sigaddset(&set, s);
  return set;
}

struct Saved {
  struct sigaction actions[3];
  sigset_t mask;
};
Saved saved;

class InterruptibleSteadyClock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds * 1ms;
    // ppoll lets the held signals in only while it waits, and atomically, so
    // one that arrives just before the wait still ends it.
    sigset_t open;
    sigprocmask(SIG_SETMASK, nullptr, &open);
    for (int s : kSignals) sigdelset(&open, s);
    while (interrupted == 0) {
      const auto left = until - steady_clock::now();
      if (left <= 0ns) return;
      const auto s = duration_cast<seconds>(left);
      timespec ts{static_cast<time_t>(s.count()),
                  static_cast<long>(duration_cast<nanoseconds>(left - s).count())};
      ppoll(nullptr, 0, &ts, &open);
    }
  }
  std::uint32_t TickCount() override { return RealClock().TickCount(); }
};

}  // namespace

InterruptGuard::InterruptGuard() {
  interrupted = 0;
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &saved.actions[i]);
  const sigset_t held = HeldSignals();
  sigprocmask(SIG_BLOCK, &held, &saved.mask);
}

InterruptGuard::~InterruptGuard() {
  sigprocmask(SIG_SETMASK, &saved.mask, nullptr);
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved.actions[i], nullptr);
}

bool Interrupted() {
  return interrupted != 0;
}

Clock& InterruptibleClock() {
  static InterruptibleSteadyClock clock;
  return clock;
}

}  // namespace platform
