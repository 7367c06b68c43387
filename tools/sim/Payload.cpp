#include "tools/sim/Payload.h"

#include <cstdio>

namespace kvl::sim {
namespace {
constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+/";
}

std::string Fnv1a64::hex() const {
  char b[17];
  std::snprintf(b, sizeof b, "%016llx", static_cast<unsigned long long>(h_));
  return b;
}

char patternByte(std::uint64_t offset) {
  const std::uint64_t line = offset / kPatternLine;
  const std::uint64_t col = offset % kPatternLine;
  if (col == kPatternLine - 2) return '\r';
  if (col == kPatternLine - 1) return '\n';
  return kAlphabet[(line + col) % 64];
}

void fillPattern(std::uint64_t offset, char* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = patternByte(offset + i);
}

}  // namespace kvl::sim
