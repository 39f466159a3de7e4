// veltrop --list-ports: the serial ports a modem could be on, so that a
// technician can tell which one to give --port, and what stands in the way
// of opening it.
#pragma once

#include "platform/serial_ports.h"
#include "ui/headless/headless.h"

namespace ui {

// Prints every port `source` has, as text or as one JSON object; 0 also
// when there is none, kExitPort when the list cannot be read.
int ListPorts(platform::SerialPortSource& source, bool json, const Console& console);

}  // namespace ui
