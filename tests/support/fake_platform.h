// Everything a test needs to run the serial and HART code in virtual time:
// a virtual clock, an in-memory line, a scripted operator, installed for the
// fixture's lifetime.
#pragma once

#include "platform/services.h"
#include "serial/hart_link.h"
#include "tests/support/memory_serial.h"
#include "tests/support/scripted_operator.h"
#include "tests/support/virtual_clock.h"

namespace support {

struct FakePlatform {
  VirtualClock clock;
  MemoryLine line{clock};
  MemorySerialDriver driver{line};
  ScriptedOperator op;
  platform::ScopedServices guard{{&driver, &clock, &op}};
  // Declared last so it runs first: the one static port must not outlive
  // the line its device points into.
  struct LinkCloser {
    ~LinkCloser() { serial::HartLink::CloseLink(); }
  } closer;
};

}  // namespace support
