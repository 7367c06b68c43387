// The console pane's scroll bar. Text arriving changes its range on every
// refresh; with many rows its handle keeps its size and place to the pixel,
// and it is drawn again only when what it shows changes. While the text
// flows it is drawn when the text pauses for kQuietMs, or at the latest
// every kMostLagMs, and then only where the handle was and is: the handle
// creeping by a pixel is not worth drawing the bar a few times a second
// (Qt's raster painter also hands each tall fill of the bar to its painting
// threads and waits for them). What the engineer does with it is drawn at
// once, whole.
#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QScrollBar>
#include <QTimer>

namespace kvl {

class PaneScrollBar : public QScrollBar {
 public:
  static constexpr int kQuietMs = 1000;
  static constexpr int kMostLagMs = 10000;

  PaneScrollBar();
  // Changes made while this is set come from text arriving; they are
  // judged together when it is cleared (the range grows before the value
  // follows it, so the bar leaves its end only for a moment).
  void setArriving(bool arriving);
  // What the paint event under way draws, in the bar's coordinates; empty
  // outside one. The bar's style draws only the bands that meet it.
  QRect painting() const { return painting_; }

 protected:
  void sliderChange(SliderChange change) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  struct Look {
    QRect handle;
    bool atMinimum = false, atMaximum = false;
    bool operator==(const Look&) const = default;
  };
  // What the look comes from: while text arrives, a change that can only
  // move the handle is told apart from these without asking the style.
  struct Setting {
    int minimum = 0, maximum = 0, value = 0, length = 0;
    bool operator==(const Setting&) const = default;
  };
  Look look() const;
  Setting setting() const;
  static bool onlyHandleCan(const Setting& before, const Setting& now);
  // Puts the handle's drawing off until the text pauses for kQuietMs.
  void drawWhenQuiet();
  bool onlyHandleMoved(const Look& now) const;
  // Only the handle moved: the bar is drawn from where it was to where it
  // is (a pixel more each way, for the handle's edge). Anything else is
  // drawn with the whole bar.
  void redrawHandle();

  Look drawn_{QRect(), true, true};
  QRect painting_;
  Setting judged_;
  QElapsedTimer sinceDrawn_, sinceLooked_, sinceArrival_;
  QTimer late_;
  bool arriving_ = false;
};

}  // namespace kvl
