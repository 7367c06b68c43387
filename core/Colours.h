// Colours as Windows colour values: red in the low byte, blue in the high
// byte. The panes and the SIM window turn them into screen colours.
#pragma once

#include <cstdint>

namespace kvl {

// Received data and the TCP link's own reports.
inline constexpr std::uint32_t kNavy = 0x800000;
// Echoes of sent commands, the serial port's reports, the connecting notice,
// every hex line.
inline constexpr std::uint32_t kGrey = 0x808080;
// The name a SIM contact carries.
inline constexpr std::uint32_t kLime = 0x00FF00;

}  // namespace kvl
