// How received serial bytes reach the text pane: bytes 0 to 9 (NUL to TAB)
// are left out, CR and LF pass. The hex pane shows every byte (core/Hex.h).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace kvl {

// Appends the bytes to display, leaving out bytes 0..9.
void AppendRxDisplay(std::string& display, std::string_view bytes);

// The stamp before a received burst ("View time"): "[" + the local time in
// the locale's long time format + "] ", as Windows-1251 bytes like the rest
// of the received text. format is for tests; the terminal uses "%X".
std::string RxTimeStamp(const std::tm& localTime, const char* format = "%X");

}  // namespace kvl
