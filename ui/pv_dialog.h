// The PV dialog: every two seconds either reads loop current and primary
// variable (cycle count 0) or polls address 0 once and counts the failures
// (the error-rate test of `cycles` polls).
#pragma once

#include <cstdint>
#include <string>

#include "hart/hart_device.h"
#include "platform_qt/dialog.h"

namespace ui {

class PvDialog : public platform::CDialog {
 public:
  PvDialog();

  void OnStart();
  void OnStop();
  void OnTimer(std::uintptr_t timerId);

  // Fields, in data-exchange order.
  std::string ao;
  std::string pv;
  std::string tag;
  std::uint32_t cycles = 0;  // 0: monitor; N: error-rate test of N polls
  int cycle = 0;
  int errors = 0;

  std::uintptr_t timerId = 0;  // 0: no timer running
  hart::HartDevice* device = nullptr;
  std::uint8_t portNumber = 8;

 protected:
  void DoDataExchange(platform::DataExchange& dx) override;
  // Closing the dialog by any means stops a run and closes the link.
  void OnOK() override;
  void OnCancel() override;

 private:
  void StopOnClose();
};

}  // namespace ui
