// Ctrl+C, SIGTERM and SIGHUP for the program's runs without a window.
//
// While a guard lives the three signals are held back everywhere except
// inside the interruptible clock's sleeps, so a serial read, write or drain
// is never cut short half-way. Once one has arrived every later sleep
// returns at once: a conversation under way fails fast, and the run winds
// up and closes its port instead of dying with it open.
#pragma once

#include "platform/services.h"

namespace platform {

class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// True once one of the signals arrived while a guard was alive.
bool Interrupted();

// The steady clock, with sleeps that end early once interrupted.
Clock& InterruptibleClock();

}  // namespace platform
