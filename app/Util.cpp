#include "app/Util.h"

namespace kvl {

std::string RxText;
std::uint8_t RxQuietTicks = 0;

void NoteReception(const std::string& bytes) {
  RxText += bytes;
  RxQuietTicks = kRxQuietTicksStart;
}

}  // namespace kvl
