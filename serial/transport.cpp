#include "serial/transport.h"

#include "platform/services.h"
#include "serial/hart_ip_transport.h"
#include "serial/modem_transport.h"

namespace serial {

namespace {

// Asked in order; the modem takes what no other claims.
const TransportKind* const kTransports[] = {
    &kHartIpTransport,
    &kModemTransport,
};

std::unique_ptr<Transport>& Opened() {
  static std::unique_ptr<Transport> opened;
  return opened;
}

Transport& ClosedPort() {
  static const std::unique_ptr<Transport> modem = kModemTransport.make();
  return *modem;
}

}  // namespace

void Transport::ExchangeEach(std::span<Exchange> exchanges, std::size_t) {
  for (Exchange& x : exchanges) {
    x.sent = SendFrame(x.request, x.length);
    if (x.sent == LinkResult::kPortLost) return;
    x.received = ReceiveFrame(x.reply);
    if (x.received == LinkResult::kPortLost) return;
  }
}

LinkResult OpenTransport(std::uint32_t portNumber, std::uint32_t baudRate) {
  // A port closed underneath (HartLink::CloseLink) is closed.
  if (Opened() != nullptr && Opened()->IsOpen()) return LinkResult::kAlreadyOpen;
  Opened().reset();
  const std::string target = platform::PortTarget(kPortName);
  for (const TransportKind* kind : kTransports) {
    if (!kind->claims(target)) continue;
    std::unique_ptr<Transport> transport = kind->make();
    const LinkResult opened = transport->Open(portNumber, target, baudRate);
    // A rate the modem does not take leaves its port open, as OpenLink does.
    if (opened == LinkResult::kOk || opened == LinkResult::kBadBaudRate) {
      Opened() = std::move(transport);
    }
    return opened;
  }
  return LinkResult::kFailure;
}

platform::Error CloseTransport() {
  if (Opened() == nullptr) return ClosedPort().Close();
  const platform::Error e = Opened()->Close();
  Opened().reset();
  return e;
}

Transport& CurrentTransport() {
  return Opened() != nullptr ? *Opened() : ClosedPort();
}

}  // namespace serial
