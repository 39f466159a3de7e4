#include "ui/headless/list_ports.h"

#include <cerrno>
#include <cstring>

#include "platform/services.h"
#include "platform_qt/json_writer.h"

namespace ui {

namespace {

struct PortState {
  platform::SerialPortInfo info;
  platform::PortHolders holders;
  platform::PortAccess access;
};

std::string HolderList(const platform::PortHolders& holders) {
  std::string s;
  for (const auto& h : holders.processes) {
    const std::string pid = "pid " + std::to_string(h.pid);
    s += (s.empty() ? "" : ", ") + (h.command.empty() ? pid : h.command + " (" + pid + ")");
  }
  return s;
}

std::string InUse(const platform::PortHolders& holders) {
  if (!holders.processes.empty()) return "yes, by " + HolderList(holders);
  return holders.complete ? "no" : "not by your processes (another user's cannot be seen)";
}

// Why this user cannot open the port, and what to do about it; empty when
// it can. The usual case is a device of group dialout and a user not in it,
// or added to it without having logged in since; joining the group helps
// only when the device's mode lets the group in.
std::string AccessHint(const platform::PortAccess& a) {
  if (a.error == 0) return {};
  if (a.error != EACCES) return std::strerror(a.error);
  if (!a.groupMayOpen) {
    return "its mode lets no group in; a udev rule with GROUP=\"dialout\", MODE=\"0660\" gives "
           "it to dialout";
  }
  if (!a.group.empty() && !a.groupInSession) {
    if (a.groupInDatabase) {
      return "you are in group " + a.group + ", but this login session is not yet: log in again";
    }
    return "the device is for group " + a.group + ": 'sudo usermod -aG " + a.group +
           " $USER', then log in again";
  }
  return std::strerror(a.error);
}

std::string UsbLine(const platform::SerialPortInfo& p) {
  std::string s = p.usbVendorId + ":" + p.usbProductId;
  for (const std::string* name : {&p.manufacturer, &p.product}) {
    if (!name->empty()) s += " " + *name;
  }
  if (!p.serialNumber.empty()) s += ", serial " + p.serialNumber;
  return s;
}

std::string Plain(const std::vector<PortState>& ports) {
  if (ports.empty()) {
    return "No serial ports found.\n"
           "A USB HART modem is listed once it is plugged in; if it is not, 'dmesg' tells what\n"
           "the kernel made of it. A pseudo-terminal (hartsim's --link) is never listed: give\n"
           "its path with --port.\n";
  }
  std::string s;
  auto line = [&s](std::string_view field, const std::string& value) {
    s += "  " + std::string(field) + ": " + value + "\n";
  };
  for (const auto& p : ports) {
    s += (s.empty() ? "" : "\n") + p.info.device + "\n";
    for (const auto& name : p.info.stableNames) line("stable name", name);
    if (!p.info.usbVendorId.empty()) line("USB", UsbLine(p.info));
    line("driver", p.info.driver.empty() ? "unknown" : p.info.driver);
    line("in use", InUse(p.holders));
    const std::string hint = AccessHint(p.access);
    line("you may open it", hint.empty() ? "yes" : "no: " + hint);
  }
  return s +
         "\nGive veltrop the port with --port PATH; a stable name stays the same whichever\n"
         "USB socket the modem is in.\n";
}

platform::JsonValue TextOrNull(const std::string& s) {
  return s.empty() ? platform::JsonValue() : platform::JsonValue(s);
}

std::string Json(const std::vector<PortState>& ports) {
  platform::JsonArray list;
  for (const auto& p : ports) {
    platform::JsonArray names, holders;
    for (const auto& n : p.info.stableNames) names.Append(n);
    for (const auto& h : p.holders.processes) {
      holders.Append(platform::JsonObject().Set("pid", h.pid).Set("command", h.command));
    }
    platform::JsonValue usb;
    if (!p.info.usbVendorId.empty()) {
      usb = platform::JsonObject()
                .Set("vendor_id", p.info.usbVendorId)
                .Set("product_id", p.info.usbProductId)
                .Set("manufacturer", TextOrNull(p.info.manufacturer))
                .Set("product", TextOrNull(p.info.product))
                .Set("serial", TextOrNull(p.info.serialNumber));
    }
    const bool known = !p.holders.processes.empty() || p.holders.complete;
    list.Append(platform::JsonObject()
                    .Set("device", p.info.device)
                    .Set("stable_names", names)
                    .Set("usb", usb)
                    .Set("driver", TextOrNull(p.info.driver))
                    .Set("in_use", known ? platform::JsonValue(!p.holders.processes.empty())
                                         : platform::JsonValue())
                    .Set("holders", holders)
                    .Set("may_open", p.access.error == 0)
                    .Set("group", TextOrNull(p.access.group))
                    .Set("hint", TextOrNull(AccessHint(p.access))));
  }
  return platform::JsonObject().Set("schema", 1).Set("ports", list).Write();
}

}  // namespace

int ListPorts(platform::SerialPortSource& source, bool json, const Console& console) {
  std::vector<platform::SerialPortInfo> found;
  std::string error;
  if (!source.Ports(found, error)) {
    console.err(platform::ApplicationName() + ": " + error);
    return kExitPort;
  }
  std::vector<PortState> ports;
  for (auto& info : found) {
    const std::string device = info.device;
    ports.push_back({std::move(info), source.Holders(device), source.Access(device)});
  }
  console.out(json ? Json(ports) : Plain(ports));
  return kExitFound;
}

}  // namespace ui
