#include "core/Hex.h"

namespace kvl {

void AppendHexDigits(std::string& hex, std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  const std::size_t at = hex.size();
  hex.resize(at + 2 * bytes.size());
  char* out = hex.data() + at;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    *out++ = kDigits[b >> 4];
    *out++ = kDigits[b & 0x0F];
  }
}

std::string HexDigits(std::string_view bytes) {
  std::string hex;
  AppendHexDigits(hex, bytes);
  return hex;
}

}  // namespace kvl
