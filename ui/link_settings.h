// How both dialogs open the HART link.
#pragma once

#include <cstdint>

namespace ui {

inline constexpr std::uint32_t kHartBaudRate = 1200;
// The modem settles after the port opens before it can carry a request.
inline constexpr std::uint32_t kModemSettleMs = 1000;

}  // namespace ui
