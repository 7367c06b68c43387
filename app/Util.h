// Receive state shared by both links and the reply parser. Touched only on
// the GUI thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvl {

// Everything received on either link since the reply parser last took it,
// as the bytes arrived (serial time stamps included), up to the newest
// kRxTextKeep bytes of a batch that grows larger (see NoteReception).
extern std::string RxText;
// The replies the parser looks for are a few hundred bytes; a device that
// never pauses for the parser would otherwise grow RxText without end.
inline constexpr std::size_t kRxTextKeep = std::size_t(1) << 20;
// Timer ticks still to wait after the last reception before the parser gets
// RxText; every reception sets it to kRxQuietTicksStart.
extern std::uint8_t RxQuietTicks;
inline constexpr std::uint8_t kRxQuietTicksStart = 3;

// The link that owns the device: -1 none, 1..16 the selected COM port, 0 the
// connected TCP link. The periodic port scan runs only while it is -1.
extern std::int32_t ActiveLink;
// The port number the next scan tick probes: 1..16, then 1 again.
extern std::uint8_t ScanIndex;

// Record one reception: append to RxText and restart the countdown. When
// RxText passes twice kRxTextKeep, its oldest bytes go and the newest
// kRxTextKeep stay (trimmed in steps, so an append stays cheap).
void NoteReception(const std::string& bytes);

// Puts every global of this file back to its value at start-up.
void ResetSharedState();

}  // namespace kvl
