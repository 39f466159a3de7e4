// The serial driver on POSIX termios.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/serial_device.h"

struct termios;  // <termios.h> stays inside the driver's source

namespace platform {

// The port names the program uses, mapped to device paths. "COM8:" is the
// HART modem's fixed port; a site points /dev/com8 at its modem with a udev
// rule (SYMLINK+="com8") or a symlink, or names the device with --port. A
// name not in the map is used as a path. A name that maps to a gateway
// (hart-ip://...) is carried by its own transport above this layer, which
// asks the map through Target.
std::map<std::string, std::string> DefaultPortPaths();

// From now on the real driver opens `path` when asked for `name` (veltrop
// --port PATH for "COM8:"); its advice on a failed open names `path`.
void SetPortPath(std::string_view name, std::string path);
// The device the real driver opens for `name`.
std::string PortPath(std::string_view name);

// How long a write of `length` characters may take, queueing and draining,
// when the port sets no write time-outs: twice their time on the wire at
// `baud` (11 bits a character; 1200 when the speed is unknown), plus a
// second for a USB adapter's latency and the scheduler. Past it the
// adapter is taken to be wedged and the write fails with 1460.
std::chrono::milliseconds WriteBound(std::uint32_t length, std::uint32_t baud);

class PosixSerialDriver final : public SerialDriver {
 public:
  PosixSerialDriver();
  explicit PosixSerialDriver(std::map<std::string, std::string> portPaths);
  Error Open(std::string_view name, std::unique_ptr<SerialDevice>& device) override;

  // The device path `name` stands for.
  std::string PathFor(std::string_view name) const;
  std::string Target(std::string_view name) const override { return PathFor(name); }
  void SetPortPath(std::string_view name, std::string path);

  // The errno behind the last failed Open, 0 after a successful one.
  int LastOpenErrno() const { return lastOpenErrno_; }
  std::string OpenFailureAdvice(std::string_view name, Error error) const override;

 private:
  std::map<std::string, std::string> portPaths_;
  int lastOpenErrno_ = 0;
};

// One open terminal device. Made only by PosixSerialDriver::Open.
class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  Error SetQueueSizes(std::uint32_t inSize, std::uint32_t outSize) override;
  Error SetEventMask(std::uint32_t mask) override;
  Error GetSettings(LineSettings& settings) override;
  Error SetSettings(const LineSettings& settings) override;
  Error GetTimeouts(Timeouts& timeouts) override;
  Error SetTimeouts(const Timeouts& timeouts) override;
  Error Write(const std::uint8_t* data, std::uint32_t length, std::uint32_t& written) override;
  Error Read(std::uint8_t* data, std::uint32_t length, std::uint32_t& read) override;
  Error Purge(std::uint32_t flags) override;
  Error ClearErrors(std::uint32_t& errors) override;
  Error SetModemLine(ModemLine line, bool raised) override;
  Error GetModemStatus(std::uint32_t& status) override;

  // The errno behind the last failure, for diagnostics.
  int LastErrno() const { return lastErrno_; }
  // A pseudo-terminal stands in for a modem in tests and the simulator; it
  // ignores speed and parity and has no modem-control lines.
  bool IsPseudoTerminal() const { return pty_; }

 private:
  friend class PosixSerialDriver;
  struct LineCounts {
    std::uint32_t frame = 0, parity = 0, overrun = 0, brk = 0;
  };
  using Clock = std::chrono::steady_clock;

  PosixSerialDevice(int fd, bool pty, const termios& original);
  Error Fail(int err);
  Error HangUp(int err);
  Error TransferFailure(int err);
  // A write that ran past its bound: drops the unsent bytes, 1460.
  Error Stalled();
  Error ApplyModemLines(const LineSettings& settings);
  // 0 with the counts, or an errno value.
  int ReadLineCounts(LineCounts& counts) const;
  Error ReadInitialSettings();

  int fd_;
  bool pty_;
  std::unique_ptr<termios> original_;
  LineSettings settings_;
  Timeouts timeouts_;
  LineCounts counts_;
  bool hungUp_ = false;
  int lastErrno_ = 0;
};

}  // namespace platform
