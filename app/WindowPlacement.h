// Where the main window goes on a screen: its outer size (frame included)
// is the design size, cut to the screen's available area (without panels and
// taskbar) where that is smaller, and it stands centred in that area. Plain
// geometry, so the rule is tested without a window.
#pragma once

namespace kvl {

struct PlaceRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const PlaceRect&) const = default;
};

// The frame a window manager draws around the client area.
struct FrameMargins {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// The main window's outer size by design.
inline constexpr int kMainOuterWidth = 970;
inline constexpr int kMainOuterHeight = 729;

// The client area (screen coordinates) of a window whose frame is `frame`,
// placed in `available`.
PlaceRect PlaceMainWindow(const PlaceRect& available, const FrameMargins& frame,
                          int outerWidth = kMainOuterWidth, int outerHeight = kMainOuterHeight);

}  // namespace kvl
