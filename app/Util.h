// Receive state shared by both links and the reply parser. Touched only on
// the GUI thread.
#pragma once

#include <cstdint>
#include <string>

namespace kvl {

// Everything received on either link since the reply parser last took it,
// as the bytes arrived (serial time stamps included).
extern std::string RxText;
// Timer ticks still to wait after the last reception before the parser gets
// RxText; every reception sets it to kRxQuietTicksStart.
extern std::uint8_t RxQuietTicks;
inline constexpr std::uint8_t kRxQuietTicksStart = 3;

// Record one reception: append to RxText and restart the countdown.
void NoteReception(const std::string& bytes);

}  // namespace kvl
