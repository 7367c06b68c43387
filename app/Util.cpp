#include "app/Util.h"

namespace kvl {

std::string RxText;
std::uint8_t RxQuietTicks = 0;
std::int32_t ActiveLink = -1;
std::uint8_t ScanIndex = 1;

void NoteReception(const std::string& bytes) {
  RxText += bytes;
  if (RxText.size() > 2 * kRxTextKeep) RxText.erase(0, RxText.size() - kRxTextKeep);
  RxQuietTicks = kRxQuietTicksStart;
}

void ResetSharedState() {
  RxText.clear();
  RxQuietTicks = 0;
  ActiveLink = -1;
  ScanIndex = 1;
}

}  // namespace kvl
