// The serial ports this system has, as udev knows them, who holds each one
// and whether this user may open it. Facts only: what they mean to a
// technician is for the program to say.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct SerialPortInfo {
  std::string device;                    // /dev/ttyUSB0
  std::vector<std::string> stableNames;  // its links under /dev/serial/by-id
  // A USB adapter's ids as four hex digits ("0403", "6001"); empty for a
  // port that is not on USB.
  std::string usbVendorId, usbProductId;
  // As the adapter names itself, else as the USB id database names it.
  std::string manufacturer, product, serialNumber;
  std::string driver;  // the kernel driver behind the port: ftdi_sio, cdc_acm, serial
};

// A process that has the port open or locked.
struct PortHolder {
  int pid = 0;
  std::string command;  // its name, as ps shows it
  bool operator==(const PortHolder&) const = default;
};

struct PortHolders {
  std::vector<PortHolder> processes;
  // False when some process's open files could not be read (another user's,
  // unless we are root): then a port that looks free may still be open.
  bool complete = true;
};

struct PortAccess {
  int error = 0;                 // 0 when this user may open the port to read and write; else errno
  std::string group;             // the group that owns the device (dialout)
  bool groupMayOpen = false;     // the device's mode lets its group read and write it
  bool groupInSession = false;   // this login session has that group
  bool groupInDatabase = false;  // the group database lists this user in it
};

// The seam between listing the ports and the system that has them.
class SerialPortSource {
 public:
  virtual ~SerialPortSource() = default;
  // Every serial port with hardware behind it, in the order of their
  // device names. Virtual terminals and pseudo-terminals are not ports,
  // nor is a built-in UART slot the kernel found no chip in. False, with
  // `error`, when the system's device list cannot be read.
  virtual bool Ports(std::vector<SerialPortInfo>& ports, std::string& error) = 0;
  virtual PortHolders Holders(const std::string& device) = 0;
  virtual PortAccess Access(const std::string& device) = 0;
};

// The system's ports, read with libudev and /proc.
SerialPortSource& SystemSerialPorts();

}  // namespace platform
