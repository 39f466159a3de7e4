#include "ui/pv_dialog.h"

#include <cstdio>

#include "hart/check.h"
#include "platform/services.h"
#include "ui/resources.h"

namespace ui {

namespace {

constexpr std::uintptr_t kTimer = 1;
constexpr std::uint32_t kPeriodMs = 2000;

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void Error(const char* text) {
  platform::MessageBox(text, platform::Icon::Error);
}

}  // namespace

PvDialog::PvDialog() : CDialog(PvDialogTemplate()) {
  OnClicked(kIdStart, &PvDialog::OnStart);
  OnClicked(kIdStop, &PvDialog::OnStop);
  OnTimerMessage(&PvDialog::OnTimer);
}

void PvDialog::DoDataExchange(platform::DataExchange& dx) {
  platform::DdxText(dx, kIdLoopCurrent, ao);
  platform::DdxText(dx, kIdPvValue, pv);
  platform::DdxText(dx, kIdTag, tag);
  platform::DdxUnsigned(dx, kIdCycles, cycles);
  platform::DdxInt(dx, kIdCycle, cycle);
  platform::DdxInt(dx, kIdErrors, errors);
}

void PvDialog::OnStart() {
  // The exchange has told the operator what is wrong with the entry.
  if (!UpdateData(true)) return;
  errors = 0;
  cycle = 1;
  if (cycles != 0) pv = "Error Test";
  UpdateData(false);
  UpdateWindow();

  if (timerId != 0) {
    Error("Timer already active");
    return;
  }
  // The link opens before the timer starts, so no tick can ever run
  // against a closed link while the failure is being reported.
  if (device->Open(portNumber, hart::kHartBaudRate) != serial::LinkResult::kOk) {
    device->Close();
    Error("Error opening COM port");
    hart::HartDevice::Settle(hart::kModemSettleMs);
    return;
  }
  timerId = SetTimer(kTimer, kPeriodMs);
  if (timerId == 0) {
    device->Close();
    Error("Error starting timer");
    return;
  }
  hart::HartDevice::Settle(hart::kModemSettleMs);
}

void PvDialog::OnStop() {
  if (timerId == 0) {
    Error("No active timers");
    return;
  }
  if (KillTimer(kTimer)) {
    timerId = 0;
  } else {
    Error("Error stopping timer");
  }
  device->Close();
}

void PvDialog::OnTimer(std::uintptr_t id) {
  // A tick that was already queued when the run stopped must not act.
  if (timerId == 0 || id != kTimer) {
    DefaultTimer(id);
    return;
  }
  bool ok = false;
  if (cycles != 0) {
    // A poll that failed because the port went away is not the device's
    // error: the test cannot go on.
    if (!device->Poll(0, 1) && !device->portLost) ++errors;
    ok = !device->portLost;
  } else {
    // A device the monitor does not sample is sent nothing and fails.
    const hart::DynamicReading reading = hart::ReadDynamicVariables(*device);
    ok = reading.outcome == hart::ReadOutcome::kOk;
    if (ok) {
      ao = Format("%.3f mA", reading.loopCurrent);
      pv = Format("%.3f", reading.variables.front().value);
    }
  }
  UpdateData(false);
  UpdateWindow();
  DefaultTimer(id);

  if (!ok) {
    OnStop();
    if (device->portLost) {
      device->ReportLostPort();
    } else {
      Error("HART Error");
    }
  } else if (cycles == static_cast<std::uint32_t>(cycle)) {
    OnStop();
    pv = "Complete";
    UpdateData(false);
    UpdateWindow();
  }
  ++cycle;
}

void PvDialog::StopOnClose() {
  if (timerId == 0) return;
  if (KillTimer(kTimer)) timerId = 0;
  device->Close();
}

void PvDialog::OnOK() {
  CDialog::OnOK();
  if (!IsOpen()) StopOnClose();
}

void PvDialog::OnCancel() {
  CDialog::OnCancel();
  StopOnClose();
}

}  // namespace ui
