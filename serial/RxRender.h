// How received serial bytes are shown: the text pane leaves out bytes 0 to 9
// (NUL to TAB; CR and LF pass), the hex pane shows every byte as two
// upper-case hex digits without separator.
#pragma once

#include <string>
#include <string_view>

namespace kvl {

// Appends the bytes to display (bytes 0..9 left out) and, with wantHex, to
// hex as digit pairs.
void RenderRx(std::string_view bytes, bool wantHex, std::string& display, std::string& hex);

// The bytes as upper-case hex digit pairs, e.g. "OK\r\n" -> "4F4B0D0A".
std::string HexOf(std::string_view bytes);

}  // namespace kvl
