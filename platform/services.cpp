#include "platform/services.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace platform {

namespace {

class SteadyClock final : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
  std::uint32_t TickCount() override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    // Truncation to 32 bits is the wrap every caller is written for.
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  }
};

// The operator message where no window system is at hand (tools, tests, a
// program before its application object has started): standard error.
class StandardErrorOperator final : public Operator {
 public:
  int Message(std::string_view text, Icon, Buttons buttons, std::string_view detail) override {
    const std::string caption = ApplicationName();
    std::fprintf(stderr, "%s: %.*s\n", caption.c_str(), static_cast<int>(text.size()), text.data());
    if (!detail.empty()) {
      std::fprintf(stderr, "%s: %.*s\n", caption.c_str(), static_cast<int>(detail.size()),
                   detail.data());
    }
    // Without anyone to ask, a question is answered No: nothing is started
    // that the operator did not agree to.
    return buttons == Buttons::YesNo ? kIdNo : kIdOk;
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

Operator& RealOperator() {
  static StandardErrorOperator op;
  return op;
}

void InstallServices(const Services& replacement) {
  Services& now = Installed();
  if (replacement.serial) now.serial = replacement.serial;
  if (replacement.clock) now.clock = replacement.clock;
  if (replacement.op) now.op = replacement.op;
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

Error OpenSerialDevice(std::string_view name, std::unique_ptr<SerialDevice>& device) {
  return CurrentServices().serial->Open(name, device);
}

std::string OpenFailureAdvice(std::string_view name, Error error) {
  return CurrentServices().serial->OpenFailureAdvice(name, error);
}

std::string PortTarget(std::string_view name) {
  return CurrentServices().serial->Target(name);
}

}  // namespace platform
