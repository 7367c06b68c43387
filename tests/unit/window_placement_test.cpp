// Where the main window goes: outer size 970 x 729 with its frame, centred in
// the available area, cut to that area on a smaller screen.
#include "app/WindowPlacement.h"

#include <gtest/gtest.h>

namespace kvl {
namespace {

struct PlaceCase {
  const char* name;
  PlaceRect available;
  FrameMargins frame;
  PlaceRect client;
};

class MainWindowPlace : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(MainWindowPlace, OuterSizeCentredInTheAvailableArea) {
  const PlaceCase& c = GetParam();
  EXPECT_EQ(PlaceMainWindow(c.available, c.frame), c.client);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainWindowPlace,
    ::testing::Values(
        // No frame (no window manager): the client is the whole window.
        PlaceCase{"NoFrame", {0, 0, 1920, 1080}, {}, {475, 175, 970, 729}},
        // A title bar of 30 and borders of 3: the frame's outer size counts.
        PlaceCase{"Framed", {0, 0, 1920, 1080}, {3, 30, 3, 3}, {478, 205, 964, 696}},
        // A top bar of 27 and a dock on the left of 64 are not the window's.
        PlaceCase{"PanelsLeftOut", {64, 27, 1856, 1053}, {0, 0, 0, 0}, {507, 189, 970, 729}},
        // A 1366 x 768 laptop with a taskbar and a top bar: the window fits
        // the height that is left, frame included.
        PlaceCase{"LaptopCutToFit", {0, 27, 1366, 700}, {3, 30, 3, 3}, {201, 57, 964, 667}},
        PlaceCase{"NarrowScreen", {0, 0, 800, 600}, {2, 2, 2, 2}, {2, 2, 796, 596}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvl
