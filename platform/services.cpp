#include "platform/services.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/busy.h"

namespace platform {

namespace {

class SteadyClock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    // Inside a dialog handler the windows are painted while it waits.
    if (WaitServingWindows(milliseconds)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  std::uint32_t TickCount() override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Truncation to 32 bits is the wrap every caller is written for.
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
};

Services& Installed() {
  static Services services{&RealSerialDriver(), &RealClock(), &RealOperator()};
  return services;
}

}  // namespace

Services& CurrentServices() {
  return Installed();
}

ScopedServices::ScopedServices(const Services& replacement) : saved_(Installed()) {
  Services& now = Installed();
  if (replacement.serial) now.serial = replacement.serial;
  if (replacement.clock) now.clock = replacement.clock;
  if (replacement.op) now.op = replacement.op;
}

ScopedServices::~ScopedServices() {
  Installed() = saved_;
}

Clock& RealClock() {
  static SteadyClock clock;
  return clock;
}

std::string ApplicationName() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "veltrop";
  return exe.stem().string();
}

void Sleep(std::uint32_t milliseconds) {
  CurrentServices().clock->Sleep(milliseconds);
}

std::uint32_t TickCount() {
  return CurrentServices().clock->TickCount();
}

int MessageBox(std::string_view text, Icon icon, Buttons buttons, std::string_view detail) {
  return CurrentServices().op->Message(text, icon, buttons, detail);
}

std::uint32_t OpenSerialDevice(std::string_view name, std::unique_ptr<SerialDevice>& device) {
  return CurrentServices().serial->Open(name, device);
}

std::string OpenFailureAdvice(std::string_view name, std::uint32_t error) {
  return CurrentServices().serial->OpenFailureAdvice(name, error);
}

}  // namespace platform
