// Received bytes as the hex pane shows them: two upper-case hex digits per
// byte, no separator. The one hex rendering of both links.
#pragma once

#include <string>
#include <string_view>

namespace kvl {

// Appends the digit pairs of bytes to hex, e.g. "OK\r\n" -> "4F4B0D0A".
void AppendHexDigits(std::string& hex, std::string_view bytes);

// The digit pairs of bytes.
std::string HexDigits(std::string_view bytes);

}  // namespace kvl
