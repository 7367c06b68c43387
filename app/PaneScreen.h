// A console pane's pixels straight on an X server. On X11 the pane's
// viewport is an X window of its own that Qt does not buffer: the rows the
// pane draws go to the server as they are drawn, and scrolling moves the
// pixels already there with one copy inside the server. Through Qt's
// window buffer the same scroll costs two copies of the pane in the server
// (the buffer's, then the window's) and every frame passes through the
// whole window's paint and flush.
//
// Anywhere else (Wayland, the offscreen platform of the tests, a scaled
// screen, a display whose pixels are not 32-bit) the viewport stays an
// ordinary widget painted by Qt.
#pragma once

#include "app/Pixels.h"

#include <QImage>
#include <QPointer>
#include <QRgb>
#include <QWidget>
#include <cstdint>

namespace kvl {

// The pane's viewport: paints through Qt, or straight to its X window once
// PaneScreen has taken it over (Qt then has no paint engine for it).
class PaneViewport : public QWidget {
 public:
  using QWidget::QWidget;
  QPaintEngine* paintEngine() const override;
  bool direct = false;

 protected:
  bool event(QEvent* event) override;
};

class PaneScreen {
 public:
  PaneScreen() = default;
  PaneScreen(const PaneScreen&) = delete;
  PaneScreen& operator=(const PaneScreen&) = delete;
  ~PaneScreen();

  // Whether the viewports of this program can be drawn straight on the
  // display: an X11 display, and KVL_PANE_VIA_QT not set (which keeps the
  // pane in Qt's buffer, to compare the two).
  static bool wanted();
  // Asks for the viewport's own X window and tells Qt it paints itself.
  // Call before the window is shown.
  static void prepare(PaneViewport* viewport);

  // Takes the viewport's X window over, at its first paint: false, leaving
  // the viewport to Qt, when its pixels cannot be put as Qt's 32-bit images
  // (another depth or byte order, a scaled screen).
  bool attach(PaneViewport* viewport);
  bool attached() const { return window_ != 0; }

  // An image of size to paint into and put. On a local server it lies in
  // memory shared with the server, so that put sends no pixels through the
  // connection.
  Pixels canvas(QSize size);
  // Puts the canvas's pixels at at, in the viewport's coordinates.
  void put(QPoint at);
  // Fills area with one colour, in the server (no pixels are sent).
  void fill(const QRect& area, QRgb colour);
  // Moves the pixels of area by dy (the area's rows that fall outside it
  // are dropped). Where the server has no pixels for what moves in (a
  // window over the pane), it says so and the viewport gets an update there.
  void scroll(const QRect& area, int dy);
  // Sends what was drawn to the server.
  void flush();

  // From the server: where a copy found no pixels to move; whether no
  // window lies over the pane.
  void exposed(const QRect& area);
  void setUncovered(bool uncovered);

 private:
  void attachShared();
  void detachShared();

  QPointer<QWidget> viewport_;
  bool uncovered_ = false;  // copies ask for no exposures
  void* connection_ = nullptr;
  std::uint32_t window_ = 0;
  std::uint32_t gc_ = 0;
  std::uint32_t gcForeground_ = 0;  // the pixel value the GC fills with
  std::uint8_t depth_ = 0;
  std::uint32_t maxRequestBytes_ = 0;
  // The canvas: an image of its own, or pixels in the shared memory.
  QImage ownCanvas_;
  Pixels canvas_;
  // The memory shared with the server: canvases are laid out one after the
  // other in a lap of it, in two halves. Leaving a half, a request with an
  // answer is sent behind the images put there; entering it again a lap
  // later, that answer says the server is done with them. It has long
  // come by then, so drawing does not wait for the server.
  struct Fence {
    unsigned int sequence = 0;
    bool pending = false;
  };
  void leaveHalf(int half);
  void awaitFence(Fence& fence);
  void dropFences(bool connectionLive);
  Fence fences_[2];
  std::size_t lap_ = 0;
  std::uint32_t segment_ = 0;
  std::uint8_t* shared_ = nullptr;
  std::size_t sharedSize_ = 0;
  std::size_t sharedUsed_ = 0;
  std::size_t canvasAt_ = 0;
  bool canvasShared_ = false;
};

}  // namespace kvl
