// How a console pane that follows its end moves as rows arrive. A device
// that brings a row or two a second sees each row scroll in at the bottom;
// while rows stream in faster, the pane moves about twice a second by
// several rows, leaving blank rows below the end that the next rows fill
// without moving anything. Moving the pane costs a copy of all its pixels
// in the display server, more than drawing the rows it moves by, so a
// stream that scrolled at every row would cost more than the text.
#pragma once

#include <cstddef>

namespace kvl {

// The pane moves at most about this often while rows stream in.
inline constexpr int kPaneMovesPerSecond = 2;

// Rows the pane moves by at least when the end goes below it, for rows
// arriving at rowsPerSecond in a pane of pageRows rows: 1 (row by row) for
// a slow device, at most three quarters of a page.
int JumpRows(int rowsPerSecond, int pageRows);

struct FollowPlace {
  std::size_t top = 0;  // the row at the top of the pane
  int tail = 0;         // blank rows below the end at the scroll bar's end
};

// Where a pane that follows its end stands once it holds `rows` rows:
// where it stands (`top`) while the end is on screen, otherwise so that
// the end stands jump - 1 rows above the bottom.
FollowPlace FollowEnd(std::size_t rows, std::size_t pageRows, std::size_t top, int jump);

}  // namespace kvl
