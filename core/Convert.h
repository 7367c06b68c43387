// Conversions of number texts as the device's and the settings file's
// values need them, with the rules and messages of the Delphi runtime the
// terminal's behaviour follows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvl {

// Conversion of a number text to a signed 32-bit integer: leading spaces, an
// optional '+' or '-', then decimal digits whose value lies in the signed
// 32-bit range, or a prefix "$", "0x", "0X", "x" or "X" and one to eight
// hexadecimal digits taken as a 32-bit pattern ("$FFFFFFFF" is -1). Nothing
// may follow the digits. False (value untouched) when the text is not such a
// number.
bool StrToInt32(std::string_view text, std::int32_t& value);

// Message of a failed conversion: "'<text>' is not a valid integer value".
std::string NotValidIntegerMessage(std::string_view numberText);

}  // namespace kvl
