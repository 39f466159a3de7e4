#include "ui/poll_dialog.h"

#include <cstdio>

#include "platform/services.h"
#include "ui/about_dialog.h"
#include "ui/headless/headless.h"
#include "ui/link_settings.h"
#include "ui/pv_dialog.h"
#include "ui/resources.h"

namespace ui {

PollDialog::PollDialog() : CDialog(PollDialogTemplate()), icon(kIconApp) {
  OnClicked(kIdPoll, &PollDialog::OnPoll);
  OnClicked(kIdAbout, &PollDialog::OnAbout);
  OnClicked(kIdPv, &PollDialog::OnPv);
}

bool PollDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  SetIcon(icon, true);
  SetIcon(icon, false);
  CenterWindow();
  if (serviceView) ShowDlgItem(kIdPv, true);
  status = "Click Poll to start";
  UpdateData(false);
  UpdateWindow();
  return true;
}

void PollDialog::DoDataExchange(platform::DataExchange& dx) {
  platform::DdxText(dx, kIdStatus, status);
  platform::DdxText(dx, kIdTag, tag);
  platform::DdxInt(dx, kIdDeviceId, id);
  platform::DdxText(dx, kIdAddresses, addresses);
}

void PollDialog::OnPoll() {
  // A box that does not hold a number has been reported by the exchange;
  // the poll goes on with the fields as they were.
  UpdateData(true);
  addresses.clear();
  status = "Polling...";
  UpdateData(false);
  UpdateWindow();

  portNumber = kPortNumber;
  if (device.Open(portNumber, kHartBaudRate) != serial::LinkResult::kOk) {
    // A port that opened but would not take the line settings is released
    // here, or every later press would find it still open.
    device.Close();
    status = "Error opening COM port";
    platform::MessageBox(status, platform::Icon::Error);
    UpdateData(false);
    UpdateWindow();
    return;
  }

  hart::HartDevice::Settle(kModemSettleMs);
  if (device.Poll(0, kPollAttempts)) {
    id = static_cast<int>(device.Identifier());
    SetDlgItemToolTip(kIdDeviceId, IdentitySummary(Found(device).identity));
    platform::Sleep(kBeforeTagMs);
    char text[hart::kTagTextSize] = {};
    if (!hart::ReadTag(device, text)) hart::ReadTag(device, text);
    tag = text;
    status = "Test Pass, single device";
    addresses = "0";
  } else if (!device.portLost &&
             platform::MessageBox("No devices at address 0.  Multi-drop Poll?",
                                  platform::Icon::Question,
                                  platform::Buttons::YesNo) == platform::kIdYes) {
    // The Tag and ID boxes still show the device that answered at address 0
    // last time; beside the addresses found now they would read as theirs.
    SetDlgItemText(kIdTag, "");
    SetDlgItemText(kIdDeviceId, "");
    UpdateWindow();
    bool found = false;
    for (std::uint8_t address = kFirstDropAddress; address <= kLastDropAddress && !device.portLost;
         ++address) {
      if (!device.Poll(address, 1)) continue;
      char text[8];
      std::snprintf(text, sizeof text, found ? ", %d" : "%d", address);
      addresses += text;
      found = true;
      // The scan takes seconds: show each address as it answers, and only
      // that; the fields are written together once the scan is over.
      SetDlgItemText(kIdAddresses, addresses);
      UpdateWindow();
    }
    id = 0;
    SetDlgItemToolTip(kIdDeviceId, "");
    if (found) {
      status = "Test Pass, multi-drop network";
      tag = "Multi-Drop";
    } else {
      status = "Test Failed";
    }
  } else if (!device.portLost) {
    id = 0;
    SetDlgItemToolTip(kIdDeviceId, "");
    tag = " ";
    status = "Test Failed";
    addresses = " ";
  }
  if (device.portLost) {
    // The press ends here without a verdict: nobody was asked whether a
    // device is there, and a scan of a port that is gone would find nobody.
    id = 0;
    tag = " ";
    status = "COM port lost";
    addresses = " ";
  }
  UpdateData(false);
  UpdateWindow();
  device.Close();
  // Told once the port is released, so the modem can be plugged back in
  // and Poll pressed again straight from the message.
  if (device.portLost) device.ReportLostPort();
}

void PollDialog::OnAbout() {
  AboutDialog about;
  about.DoModal();
}

void PollDialog::OnPv() {
  if (id == 0) {
    platform::MessageBox("Must Poll first", platform::Icon::Error);
    return;
  }
  PvDialog pv;
  pv.device = &device;
  pv.tag = tag;
  pv.portNumber = portNumber;
  pv.DoModal();
}

}  // namespace ui
