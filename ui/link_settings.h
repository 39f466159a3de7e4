// How the window and the runs without one open the HART link and poll.
#pragma once

#include <cstdint>

namespace ui {

inline constexpr std::uint8_t kPortNumber = 8;  // "COM8:"
inline constexpr std::uint32_t kHartBaudRate = 1200;
// The modem settles after the port opens before it can carry a request.
inline constexpr std::uint32_t kModemSettleMs = 1000;
// A pause between the poll's answer and the tag request, so the device has
// finished with the first before it sees the second.
inline constexpr std::uint32_t kBeforeTagMs = 500;
inline constexpr std::uint8_t kPollAttempts = 2;
// Multi-drop polling addresses scanned; 15 is left out.
inline constexpr std::uint8_t kFirstDropAddress = 1;
inline constexpr std::uint8_t kLastDropAddress = 14;

}  // namespace ui
