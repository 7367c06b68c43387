// What the simulator streams for throughput runs: a file's bytes or a
// generated pattern, and the FNV-1a 64 checksum it reports for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvl::sim {

class Fnv1a64 {
 public:
  static constexpr std::uint64_t kOffset = 0xcbf29ce484222325ull;
  static constexpr std::uint64_t kPrime = 0x100000001b3ull;

  void update(std::string_view bytes) {
    for (unsigned char c : bytes) {
      h_ ^= c;
      h_ *= kPrime;
    }
  }
  std::uint64_t value() const { return h_; }
  std::string hex() const;  // 16 lower-case hex digits

 private:
  std::uint64_t h_ = kOffset;
};

// The generated payload: lines of 64 printable characters, each ended by
// "\r\n", the characters shifting by one from line to line. Byte `offset`
// of it, or `n` bytes from `offset` on.
inline constexpr std::size_t kPatternLine = 66;
char patternByte(std::uint64_t offset);
void fillPattern(std::uint64_t offset, char* out, std::size_t n);

}  // namespace kvl::sim
