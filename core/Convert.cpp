#include "core/Convert.h"

namespace kvl {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Tail(std::string_view s, std::size_t from) {
  return from >= s.size() ? std::string_view() : s.substr(from);
}

}  // namespace

bool StrToInt32(std::string_view s, std::int32_t& value) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  std::string_view rest = Tail(s, i);

  std::size_t hexPrefix = 0;
  if (!rest.empty() && (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X'))
    hexPrefix = 1;
  else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X'))
    hexPrefix = 2;

  if (hexPrefix) {
    std::string_view digits = rest.substr(hexPrefix);
    if (digits.empty() || digits.size() > 8) return false;
    std::uint32_t v = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    if (negative) v = 0u - v;  // the pattern wraps as a 32-bit value
    value = static_cast<std::int32_t>(v);
    return true;
  }

  if (rest.empty()) return false;
  // Magnitude limit: 2^31 - 1, or 2^31 with a minus sign.
  const std::uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  std::uint64_t v = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > limit) return false;
  }
  value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v))
                   : static_cast<std::int32_t>(v);
  return true;
}

std::string NotValidIntegerMessage(std::string_view numberText) {
  return "'" + std::string(numberText) + "' is not a valid integer value";
}

}  // namespace kvl
