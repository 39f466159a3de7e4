// Process-wide platform services and the seam tests use to replace them.
//
// Code above this layer calls the free functions below. They forward to the
// services currently installed: the real ones by default, or the doubles a
// test installed with a ScopedServices guard for the length of a scope.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_device.h"

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Milliseconds since an arbitrary start; wraps at 2^32. Take differences in
  // unsigned 32-bit arithmetic.
  virtual std::uint32_t TickCount() = 0;
};

enum class Icon { None, Error, Information, Question };
enum class Buttons { Ok, YesNo };
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

class Operator {
 public:
  virtual ~Operator() = default;
  // Shows a modal message captioned with the application's name and returns
  // the button pressed (kIdOk, kIdYes or kIdNo). `detail`, when not empty, is
  // shown beneath the text in smaller print.
  virtual int Message(std::string_view text, Icon icon, Buttons buttons,
                      std::string_view detail) = 0;
};

struct Services {
  SerialDriver* serial = nullptr;
  Clock* clock = nullptr;
  Operator* op = nullptr;
};

// The services in force now.
Services& CurrentServices();

// Installs the non-null members of `replacement` until the guard is
// destroyed, then restores what was there before. Guards nest.
class ScopedServices {
 public:
  explicit ScopedServices(const Services& replacement);
  ~ScopedServices();
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  Services saved_;
};

// The real services. The real operator writes to standard error and the
// real clock sleeps plainly; an application with windows installs its own
// at start (a message box, a clock that paints the windows while it waits).
SerialDriver& RealSerialDriver();
Clock& RealClock();
Operator& RealOperator();

// Makes the non-null members of `replacement` the services from now on (a
// ScopedServices guard still restores what was there when it was made).
// They must outlive their use.
void InstallServices(const Services& replacement);

// The application's name: the executable's file name without extension.
std::string ApplicationName();

// Forwarders to the current services.
void Sleep(std::uint32_t milliseconds);
std::uint32_t TickCount();
int MessageBox(std::string_view text, Icon icon, Buttons buttons = Buttons::Ok,
               std::string_view detail = {});
Error OpenSerialDevice(std::string_view name, std::unique_ptr<SerialDevice>& device);
std::string OpenFailureAdvice(std::string_view name, Error error);
std::string PortTarget(std::string_view name);

}  // namespace platform
