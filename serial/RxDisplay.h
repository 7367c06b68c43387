// How received serial bytes reach the text pane: bytes 0 to 9 (NUL to TAB)
// are left out, CR and LF pass. The hex pane shows every byte (core/Hex.h).
#pragma once

#include <string>
#include <string_view>

namespace kvl {

// Appends the bytes to display, leaving out bytes 0..9.
void AppendRxDisplay(std::string& display, std::string_view bytes);

}  // namespace kvl
