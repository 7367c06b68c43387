#include "serial/RxRender.h"

namespace kvl {

namespace {

void AppendHex(std::string_view bytes, std::string& hex) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  hex.reserve(hex.size() + 2 * bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0x0F];
  }
}

}  // namespace

void RenderRx(std::string_view bytes, bool wantHex, std::string& display, std::string& hex) {
  display.reserve(display.size() + bytes.size());
  for (const char c : bytes)
    if (static_cast<unsigned char>(c) >= 10) display += c;
  if (wantHex) AppendHex(bytes, hex);
}

std::string HexOf(std::string_view bytes) {
  std::string hex;
  AppendHex(bytes, hex);
  return hex;
}

}  // namespace kvl
