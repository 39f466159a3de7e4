// The HART modem on a serial port: theSerialPort and HartLink, with the
// line's framing, the modem's echo, RTS keying and turn-taking on a shared
// loop. It claims every port name no other transport claims.
#pragma once

#include "serial/transport.h"

namespace serial {

extern const TransportKind kModemTransport;

}  // namespace serial
