// veltrop --list-ports against a fake system: what a technician is told
// about each port, and what a script reads.
#include "ui/headless/list_ports.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <map>

namespace ui {
namespace {

class FakePorts final : public platform::SerialPortSource {
 public:
  std::vector<platform::SerialPortInfo> ports;
  std::map<std::string, platform::PortHolders> holders;
  std::map<std::string, platform::PortAccess> access;
  bool fails = false;

  bool Ports(std::vector<platform::SerialPortInfo>& out, std::string& error) override {
    if (fails) error = "no udev here";
    out = ports;
    return !fails;
  }
  platform::PortHolders Holders(const std::string& device) override { return holders[device]; }
  platform::PortAccess Access(const std::string& device) override { return access[device]; }
};

struct Listed {
  int status;
  std::string out, err;
};

Listed List(FakePorts& fake, bool json) {
  Listed r{};
  r.status = ListPorts(fake, json,
                       {[&](std::string_view s) { r.out += s; },
                        [&](std::string_view s) { r.err += std::string(s) + "\n"; }, nullptr});
  return r;
}

platform::SerialPortInfo Ftdi() {
  platform::SerialPortInfo p;
  p.device = "/dev/ttyUSB0";
  p.stableNames = {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0"};
  p.usbVendorId = "0403";
  p.usbProductId = "6001";
  p.manufacturer = "FTDI";
  p.product = "FT232R USB UART";
  p.serialNumber = "A10K3XYZ";
  p.driver = "ftdi_sio";
  return p;
}

TEST(ListPorts, NoPortsIsNotAFailureAndSaysWhereAModemComesFrom) {
  FakePorts none;
  const Listed text = List(none, false);
  EXPECT_EQ(text.status, kExitFound);
  EXPECT_NE(text.out.find("No serial ports found."), std::string::npos);
  EXPECT_NE(text.out.find("--port"), std::string::npos) << "a pty is given by its path";
  const Listed json = List(none, true);
  EXPECT_EQ(json.status, kExitFound);
  EXPECT_EQ(json.out, "{\"ports\":[],\"schema\":1}\n");
}

TEST(ListPorts, AListThatCannotBeReadIsThePortsFailure) {
  FakePorts broken;
  broken.fails = true;
  broken.ports = {Ftdi()};
  const Listed r = List(broken, true);
  EXPECT_EQ(r.status, kExitPort);
  EXPECT_TRUE(r.out.empty()) << "a script must not take a half list for the whole";
  EXPECT_NE(r.err.find("no udev here"), std::string::npos);
}

// One port as a technician reads it: who holds it, or that another user's
// program may hold it unseen; and what keeps this user from opening it, the
// usual reason told apart from the one where they already did the right
// thing and only need to log in again.
TEST(ListPorts, SaysWhoHoldsThePortAndWhatKeepsThisUserFromOpeningIt) {
  struct Case {
    const char* told;
    // {errno, the device's group, its mode lets the group in, the group in
    // this session, in the group database}
    platform::PortAccess access{};
    platform::PortHolders holders{};
    QJsonValue inUse = false;
  };
  for (const auto& c : {
           Case{"you may open it: yes", {0, "dialout", true, false, false}},
           Case{"you may open it: no: the device is for group dialout: 'sudo usermod -aG "
                "dialout $USER', then log in again",
                {EACCES, "dialout", true, false, false}},
           Case{"you may open it: no: you are in group dialout, but this login session is not "
                "yet: log in again",
                {EACCES, "dialout", true, false, true}},
           // Joining a group the device's mode keeps out would not help.
           Case{"you may open it: no: its mode lets no group in; a udev rule with "
                "GROUP=\"dialout\", MODE=\"0660\" gives it to dialout",
                {EACCES, "root", false, false, false}},
           Case{"you may open it: no: Permission denied", {EACCES, "dialout", true, true, true}},
           Case{"you may open it: no: Device or resource busy",
                {EBUSY, "dialout", true, true, true}},
           Case{"in use: no"},
           Case{"in use: yes, by ModemManager (pid 812), minicom (pid 4242)",
                {},
                {{{812, "ModemManager"}, {4242, "minicom"}}, false},
                true},
           // Another user's program may hold it unseen: not "no".
           Case{"in use: not by your processes (another user's cannot be seen)",
                {},
                {{}, false},
                QJsonValue::Null},
       }) {
    FakePorts fake;
    fake.ports = {Ftdi()};
    fake.access["/dev/ttyUSB0"] = c.access;
    fake.holders["/dev/ttyUSB0"] = c.holders;
    const Listed r = List(fake, false);
    EXPECT_NE(r.out.find(std::string("  ") + c.told + "\n"), std::string::npos) << c.told << "\n"
                                                                                << r.out;
    const auto port = QJsonDocument::fromJson(QByteArray::fromStdString(List(fake, true).out))
                          .object()["ports"]
                          .toArray()[0]
                          .toObject();
    EXPECT_EQ(port["in_use"], c.inUse) << c.told;
    EXPECT_EQ(port["holders"].toArray().size(), static_cast<qsizetype>(c.holders.processes.size()));
  }
}

TEST(ListPorts, JsonCarriesTheAdaptersNamesAndLeavesAbsentOnesNull) {
  FakePorts fake;
  platform::SerialPortInfo builtIn;
  builtIn.device = "/dev/ttyS0";
  builtIn.driver = "serial";
  fake.ports = {Ftdi(), builtIn};
  fake.access["/dev/ttyS0"] = {EACCES, "dialout", true, false, false};
  const QJsonArray ports = QJsonDocument::fromJson(QByteArray::fromStdString(List(fake, true).out))
                               .object()["ports"]
                               .toArray();
  ASSERT_EQ(ports.size(), 2);
  const QJsonObject usb = ports[0].toObject();
  EXPECT_EQ(usb["device"], "/dev/ttyUSB0");
  EXPECT_EQ(usb["stable_names"].toArray()[0],
            "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
  EXPECT_EQ(usb["usb"].toObject()["vendor_id"], "0403");
  EXPECT_EQ(usb["usb"].toObject()["product"], "FT232R USB UART");
  EXPECT_EQ(usb["driver"], "ftdi_sio");
  EXPECT_EQ(usb["may_open"], true);
  EXPECT_TRUE(usb["hint"].isNull());
  const QJsonObject uart = ports[1].toObject();
  EXPECT_TRUE(uart["usb"].isNull());
  EXPECT_EQ(uart["may_open"], false);
  EXPECT_EQ(uart["group"], "dialout");
  EXPECT_TRUE(uart["hint"].toString().contains("usermod"));
}

}  // namespace
}  // namespace ui
