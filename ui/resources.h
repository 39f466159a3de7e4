// The application's resources: dialog templates, control identifiers, the
// icon and the string table, and the texts the dialogs show.
#pragma once

#include "platform_qt/dialog.h"

namespace ui {

inline constexpr int kIdOk = 1;

// Poll dialog controls.
inline constexpr int kIdPoll = 1000;
inline constexpr int kIdStatus = 1001;
inline constexpr int kIdTag = 1002;
inline constexpr int kIdDeviceId = 1003;
inline constexpr int kIdAddresses = 1004;
inline constexpr int kIdAbout = 1005;
inline constexpr int kIdPv = 1006;

// PV dialog controls (the tag box shares 1002 with the Poll dialog).
inline constexpr int kIdPvValue = 1007;
inline constexpr int kIdLoopCurrent = 1008;
inline constexpr int kIdStart = 1010;
inline constexpr int kIdStop = 1011;
inline constexpr int kIdCycles = 1012;
inline constexpr int kIdCycle = 1013;
inline constexpr int kIdErrors = 1014;

inline constexpr int kIconApp = 128;
inline constexpr int kStringSocketsFailed = 103;

// Dialog templates by resource id.
inline constexpr int kIddPollDialog = 102;
inline constexpr int kIddAboutBox = 104;
inline constexpr int kIddPvDialog = 105;

const platform::DialogTemplate& PollDialogTemplate();   // kIddPollDialog
const platform::DialogTemplate& AboutDialogTemplate();  // kIddAboutBox
const platform::DialogTemplate& PvDialogTemplate();     // kIddPvDialog

// Registers the icon and the string table. Call once before the first dialog.
void RegisterResources();

// The icon's pixels (32 x 32, 0xAARRGGBB), drawn in code.
const std::uint32_t* AppIconPixels();
inline constexpr int kIconSize = 32;
// The same drawing at `size` x `size` pixels, for the desktop's larger
// icon sizes; at kIconSize it is AppIconPixels' picture.
std::vector<std::uint32_t> DrawAppIcon(int size);

}  // namespace ui
