#include "app/PaneFollow.h"

#include <algorithm>

namespace kvl {

int JumpRows(int rowsPerSecond, int pageRows) {
  return std::clamp(rowsPerSecond / kPaneMovesPerSecond, 1, std::max(1, pageRows * 3 / 4));
}

FollowPlace FollowEnd(std::size_t rows, std::size_t pageRows, std::size_t top, int jump) {
  const std::size_t page = std::max<std::size_t>(1, pageRows);
  const std::size_t full = rows > page ? rows - page : 0;  // the end at the bottom
  if (rows <= top + page && top >= full) return {top, int(std::min(top - full, page - 1))};
  const std::size_t tail = rows > page ? std::size_t(std::clamp(jump, 1, int(page))) - 1 : 0;
  return {full + tail, int(tail)};
}

}  // namespace kvl
