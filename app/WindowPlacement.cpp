#include "app/WindowPlacement.h"

#include <algorithm>

namespace kvl {

PlaceRect PlaceMainWindow(const PlaceRect& available, const FrameMargins& frame, int outerWidth,
                          int outerHeight) {
  const int width = std::min(outerWidth, available.width);
  const int height = std::min(outerHeight, available.height);
  const int left = available.x + (available.width - width) / 2;
  const int top = available.y + (available.height - height) / 2;
  PlaceRect client;
  client.x = left + frame.left;
  client.y = top + frame.top;
  client.width = std::max(1, width - frame.left - frame.right);
  client.height = std::max(1, height - frame.top - frame.bottom);
  return client;
}

}  // namespace kvl
