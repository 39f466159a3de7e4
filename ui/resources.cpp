#include "ui/resources.h"

#include <cmath>
#include <vector>

#include "platform_qt/resources.h"

namespace ui {

namespace {

using platform::ControlKind;
using platform::ControlTemplate;
using platform::DialogTemplate;
constexpr int kNone = platform::kNoControlId;

constexpr ControlTemplate kPollControls[] = {
    {kIdPoll, ControlKind::PushButton, "Poll", 49, 85, 23, 14},
    {kIdStatus, ControlKind::Edit, "", 36, 123, 86, 14},
    {kNone, ControlKind::Label, "Status:", 9, 126, 24, 8},
    {kIdTag, ControlKind::Edit, "", 36, 25, 82, 14},
    {kNone, ControlKind::Label, "Tag:", 18, 27, 16, 8},
    {kIdDeviceId, ControlKind::Edit, "", 36, 45, 82, 14},
    {kNone, ControlKind::Label, "ID:", 23, 47, 11, 8},
    {kIdAddresses, ControlKind::Edit, "", 36, 64, 82, 14},
    {kNone, ControlKind::Label, "Addr:", 16, 66, 19, 8},
    {kIdAbout, ControlKind::PushButton, "?", 82, 85, 16, 14, 0, "About"},
    {kIdPv, ControlKind::PushButton, "PV", 67, 103, 17, 14,
     platform::kHidden | platform::kNoTabStop},
    {kNone, ControlKind::Label, "Korvani, Ltd", 43, 11, 56, 10},
};

constexpr ControlTemplate kAboutControls[] = {
    {kIdOk, ControlKind::DefaultPushButton, "OK", 45, 83, 19, 14},
    {kNone, ControlKind::Label, "Veltrop Version 1.2", 17, 14, 77, 8},
    {kNone, ControlKind::Label, "Korvani, Ltd", 29, 27, 50, 8},
    {kNone, ControlKind::Label, "korvani.example", 18, 41, 70, 8},
    {kNone, ControlKind::Label, "Tel +1 555 0142", 18, 52, 64, 8},
    {kNone, ControlKind::Label, "Fax +1 555 0143", 18, 62, 66, 8},
    {kNone, ControlKind::GroupBox, "", 7, 7, 99, 96},
};

constexpr ControlTemplate kPvControls[] = {
    {kIdOk, ControlKind::DefaultPushButton, "OK", 52, 94, 17, 14},
    {kNone, ControlKind::Label, "PV:", 14, 34, 12, 8},
    {kIdPvValue, ControlKind::Edit, "", 32, 31, 67, 14},
    {kNone, ControlKind::Label, "AO:", 14, 53, 13, 8},
    {kIdLoopCurrent, ControlKind::Edit, "", 32, 50, 67, 14},
    {kIdTag, ControlKind::Edit, "", 40, 13, 40, 12, platform::kReadOnly | platform::kNoBorder,
     "Tag"},
    {kIdStart, ControlKind::PushButton, "Start", 23, 72, 33, 14},
    {kIdStop, ControlKind::PushButton, "Stop", 65, 72, 33, 14},
    // Three boxes without labels: the number of cycles, the cycle being run
    // and the failed polls.
    {kIdCycles, ControlKind::Edit, "", 14, 110, 25, 14, 0, "Cycles"},
    {kIdCycle, ControlKind::Edit, "", 47, 110, 25, 14, 0, "Cycle"},
    {kIdErrors, ControlKind::Edit, "", 80, 110, 25, 14, 0, "Errors"},
};

// The main window is listed as an application window and carries an OK
// button in its caption; it has no system menu of its own.
constexpr DialogTemplate kPollTemplate{
    "Veltrop",    platform::kVisible | platform::kCaptionOk | platform::kAppWindow,
    "System",     8,
    139,          151,
    kPollControls};
constexpr DialogTemplate kAboutTemplate{
    "About",
    platform::kSystemMenu | platform::kModalFrame | platform::kVisible,
    "MS Sans Serif",
    8,
    116,
    110,
    kAboutControls};
constexpr DialogTemplate kPvTemplate{
    "PV",
    platform::kSystemMenu | platform::kModalFrame | platform::kVisible,
    "MS Sans Serif",
    8,
    122,
    137,
    kPvControls};

}  // namespace

// A loop-current gauge: a dark dial, a green arc for the 4-20 mA span, and a
// needle standing at about 16 mA. The radii are those of the 32-pixel icon,
// scaled to `size`.
std::vector<std::uint32_t> DrawAppIcon(int size) {
  std::vector<std::uint32_t> px(static_cast<std::size_t>(size * size));
  const double k = size / static_cast<double>(kIconSize);
  const double c = (size - 1) / 2.0;
  const double pi = std::acos(-1.0);
  const double needle = pi * 0.25;  // angle of the needle from the right
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const double dx = (x - c) / k;
      const double dy = (c - y) / k;
      const double r = std::sqrt(dx * dx + dy * dy);
      const double a = std::atan2(dy, dx);
      std::uint32_t colour = 0x00000000;  // transparent
      if (r <= 15.5) colour = 0xFF1E2A38;
      if (r > 13.5 && r <= 15.5) colour = 0xFFB0B8C0;
      if (r > 9.5 && r <= 12.0 && a > -0.2 && a < pi + 0.2) colour = 0xFF2FA84F;
      // The needle: points close to the line at `needle` from the centre.
      const double along = dx * std::cos(needle) + dy * std::sin(needle);
      const double across = -dx * std::sin(needle) + dy * std::cos(needle);
      if (along >= -1.0 && along <= 12.0 && std::fabs(across) <= 1.0) colour = 0xFFF2C230;
      if (r <= 2.0) colour = 0xFFF2C230;
      px[static_cast<std::size_t>(y * size + x)] = colour;
    }
  }
  return px;
}

const platform::DialogTemplate& PollDialogTemplate() {
  return kPollTemplate;
}
const platform::DialogTemplate& AboutDialogTemplate() {
  return kAboutTemplate;
}
const platform::DialogTemplate& PvDialogTemplate() {
  return kPvTemplate;
}

const std::uint32_t* AppIconPixels() {
  static const auto pixels = DrawAppIcon(kIconSize);
  return pixels.data();
}

void RegisterResources() {
  platform::RegisterIcon(kIconApp, kIconSize, kIconSize, AppIconPixels());
  platform::RegisterString(kStringSocketsFailed, "Windows CE sockets initialization failed.");
  platform::RegisterDialogTemplate(kIddPollDialog, kPollTemplate);
  platform::RegisterDialogTemplate(kIddAboutBox, kAboutTemplate);
  platform::RegisterDialogTemplate(kIddPvDialog, kPvTemplate);
}

}  // namespace ui
