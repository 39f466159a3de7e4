#include "ui/poll_dialog.h"

#include <cstdio>

#include "hart/check.h"
#include "platform/services.h"
#include "ui/about_dialog.h"
#include "ui/headless/headless.h"
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

  portNumber = hart::kPortNumber;
  hart::PollHooks hooks;
  hooks.scan = [this] {
    if (platform::MessageBox("No devices at address 0.  Multi-drop Poll?", platform::Icon::Question,
                             platform::Buttons::YesNo) != platform::kIdYes) {
      return false;
    }
    // The Tag and ID boxes still show the device that answered at address 0
    // last time; beside the addresses found now they would read as theirs.
    SetDlgItemText(kIdTag, "");
    SetDlgItemText(kIdDeviceId, "");
    UpdateWindow();
    return true;
  };
  hooks.scanned = [this](std::uint8_t address, const hart::FoundDevice* found) {
    if (found == nullptr) return true;
    char text[8];
    std::snprintf(text, sizeof text, addresses.empty() ? "%d" : ", %d", address);
    addresses += text;
    // The scan takes seconds: show each address as it answers, and only
    // that; the fields are written together once the scan is over.
    SetDlgItemText(kIdAddresses, addresses);
    UpdateWindow();
    return true;
  };
  const hart::PollResult result = hart::RunPoll(device, {}, hooks);

  status = hart::Verdict(result.outcome);
  switch (result.outcome) {
    case hart::PollOutcome::kPortError:
      platform::MessageBox(status, platform::Icon::Error);
      break;
    case hart::PollOutcome::kSingleDevice:
      id = static_cast<int>(device.Identifier());
      SetDlgItemToolTip(kIdDeviceId, IdentitySummary(result.devices.front().identity));
      tag = result.devices.front().tag.value_or("");
      addresses = "0";
      break;
    case hart::PollOutcome::kMultiDrop:
      id = 0;
      SetDlgItemToolTip(kIdDeviceId, "");
      tag = "Multi-Drop";
      break;
    case hart::PollOutcome::kNobody:
      id = 0;
      SetDlgItemToolTip(kIdDeviceId, "");
      // Answered No: the boxes are cleared; a scan that found nobody leaves
      // the tag as it was.
      if (!result.scanned) {
        tag = " ";
        addresses = " ";
      }
      break;
    case hart::PollOutcome::kPortLost:
      // The press ends here without a verdict: nobody was asked whether a
      // device is there, and a scan of a port that is gone would find nobody.
      id = 0;
      tag = " ";
      addresses = " ";
      break;
  }
  UpdateData(false);
  UpdateWindow();
  // Told once the port is released, so the modem can be plugged back in
  // and Poll pressed again straight from the message.
  if (result.outcome == hart::PollOutcome::kPortLost) device.ReportLostPort();
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
