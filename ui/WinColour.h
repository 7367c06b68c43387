// A Windows colour value (red in the low byte, blue in the high byte) as a
// screen colour.
#pragma once

#include <QColor>
#include <cstdint>

namespace kvl {

inline QColor WinColour(std::uint32_t colour) {
  return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

}  // namespace kvl
