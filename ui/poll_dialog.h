// The main window: polls address 0 and shows the device's identifier, tag
// and polling address with a verdict; offers a multi-drop scan when nobody
// answers at address 0.
#pragma once

#include <cstdint>
#include <string>

#include "hart/hart_device.h"
#include "platform_qt/dialog.h"

namespace ui {

class PollDialog : public platform::CDialog {
 public:
  PollDialog();

  void OnPoll();
  void OnAbout();
  void OnPv();

  // Fields, in data-exchange order.
  std::string status;
  std::string tag;
  int id = 0;  // 24-bit identifier of the device at address 0; 0 when none
  std::string addresses;

  // The service view: the PV button, created hidden, is shown.
  bool serviceView = false;

  std::uint8_t portNumber = 8;
  hart::HartDevice device;
  int icon;

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(platform::DataExchange& dx) override;
};

}  // namespace ui
