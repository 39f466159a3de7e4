#include "serial/modem_transport.h"

namespace serial {

namespace {

class ModemTransport final : public Transport {
 public:
  // theSerialPort opens "COM8:" itself, through the serial driver's map.
  LinkResult Open(std::uint32_t portNumber, std::string_view, std::uint32_t baudRate) override {
    return HartLink::OpenLink(portNumber, baudRate);
  }
  platform::Error Close() override { return HartLink::CloseLink(); }
  bool IsOpen() const override { return HartLink::theSerialPort.IsOpen(); }
  LinkResult SendFrame(const std::uint8_t* bytes, std::uint32_t length) override {
    return HartLink::SendFrame(bytes, length);
  }
  LinkResult ReceiveFrame(std::uint8_t* reply) override { return HartLink::ReceiveFrame(reply); }
  void Settle(std::uint32_t ms) override { HartLink::Settle(ms); }
  bool LineShared() override { return HartLink::LineShared(); }
  void NoteOtherStation() override { HartLink::NoteOtherStation(); }
  HartLink::Turn AwaitTurn(std::uint32_t boundMs) override { return HartLink::AwaitTurn(boundMs); }
  void ReportLostPort() override { HartLink::ReportLostPort(); }
};

bool ClaimsAny(std::string_view) {
  return true;
}

std::unique_ptr<Transport> MakeModem() {
  return std::make_unique<ModemTransport>();
}

}  // namespace

const TransportKind kModemTransport{ClaimsAny, MakeModem};

}  // namespace serial
