// A console pane's pixels straight on an X server (app/PaneScreen.h).
#include "app/PaneScreen.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHash>
#include <QPointer>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kvl {
namespace {

// The shared memory's size: a few frames of a large pane at full speed.
constexpr std::size_t kSharedBytes = 8u << 20;
// Small images are laid out in this much of it at the start, which stays
// in the processor's cache between frames; larger ones in the smallest
// power-of-two multiple of it that holds four of them.
constexpr std::size_t kWarmBytes = 1u << 20;

xcb_connection_t* Connection() {
  const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

// Whether the window's pixels are laid out as Qt's Format_RGB32: 32 bits a
// pixel in this machine's byte order, red, green and blue in the low three
// bytes.
bool PixelsAreRgb32(xcb_connection_t* c, xcb_window_t window, std::uint8_t* depth) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  const std::uint16_t probe = 1;
  const bool littleEndian = *reinterpret_cast<const std::uint8_t*>(&probe) == 1;
  if ((setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST) != littleEndian) return false;
  std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attrs(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr), &std::free);
  std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
      xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr), &std::free);
  if (!attrs || !geometry) return false;
  *depth = geometry->depth;
  bool bits32 = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f))
    if (f.data->depth == geometry->depth) bits32 = f.data->bits_per_pixel == 32;
  if (!bits32) return false;
  for (auto s = xcb_setup_roots_iterator(setup); s.rem; xcb_screen_next(&s))
    for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d))
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
        if (v.data->visual_id == attrs->visual)
          return v.data->red_mask == 0xFF0000 && v.data->green_mask == 0xFF00 && v.data->blue_mask == 0xFF;
  return false;
}

// Where a copy inside the server found no pixels to move (a window lay over
// the pane), the server says so; those places of the pane are drawn again.
// While no window lies over the pane, its copies ask for no such answer,
// so a scroll does not wake the program a second time.
class ExposureFilter : public QAbstractNativeEventFilter {
 public:
  static ExposureFilter& instance() {
    static ExposureFilter* filter = [] {
      auto* f = new ExposureFilter;
      QCoreApplication::instance()->installNativeEventFilter(f);
      return f;
    }();
    return *filter;
  }
  // The server tells whether a window lies over a viewport only when that
  // changes, so it is followed from the viewport's creation on.
  void follow(xcb_window_t window) { uncovered_.insert(window, false); }
  bool uncovered(xcb_window_t window) const { return uncovered_.value(window, false); }
  void watch(xcb_window_t window, PaneScreen* screen) { screens_.insert(window, screen); }
  void forget(xcb_window_t window) {
    screens_.remove(window);
    uncovered_.remove(window);
  }

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
    if (type != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7F) {
      case XCB_GRAPHICS_EXPOSURE: {
        const auto* e = static_cast<const xcb_graphics_exposure_event_t*>(message);
        PaneScreen* screen = screens_.value(e->drawable);
        if (!screen) return false;
        screen->exposed(QRect(e->x, e->y, e->width, e->height));
        return true;
      }
      case XCB_VISIBILITY_NOTIFY: {
        const auto* e = static_cast<const xcb_visibility_notify_event_t*>(message);
        if (!uncovered_.contains(e->window)) return false;
        uncovered_.insert(e->window, e->state == XCB_VISIBILITY_UNOBSCURED);
        if (PaneScreen* screen = screens_.value(e->window)) screen->setUncovered(e->state == XCB_VISIBILITY_UNOBSCURED);
        return true;
      }
      default:
        return false;
    }
  }

 private:
  QHash<xcb_window_t, PaneScreen*> screens_;
  QHash<xcb_window_t, bool> uncovered_;
};

}  // namespace

QPaintEngine* PaneViewport::paintEngine() const { return direct ? nullptr : QWidget::paintEngine(); }

bool PaneViewport::event(QEvent* event) {
  // The viewport's X window was just made, before it is shown: it asks to
  // be told whether a window lies over it (Qt does not ask for this).
  if (event->type() == QEvent::WinIdChange && direct && internalWinId() != 0) {
    if (auto* c = Connection()) {
      const auto window = xcb_window_t(internalWinId());
      std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attrs(
          xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr), &std::free);
      if (attrs) {
        const std::uint32_t mask = attrs->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
        xcb_change_window_attributes(c, window, XCB_CW_EVENT_MASK, &mask);
        ExposureFilter::instance().follow(window);
      }
    }
  }
  return QWidget::event(event);
}

bool PaneScreen::wanted() {
  return QGuiApplication::platformName() == QLatin1String("xcb") && qEnvironmentVariableIsEmpty("KVL_PANE_VIA_QT") &&
         Connection() != nullptr;
}

void PaneScreen::prepare(PaneViewport* viewport) {
  // The viewport's own X window; the widgets beside it get theirs too, so
  // that the find bar over it stays over it.
  viewport->setAttribute(Qt::WA_NativeWindow);
  viewport->setAttribute(Qt::WA_PaintOnScreen);
  viewport->setAttribute(Qt::WA_NoSystemBackground);
  viewport->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport->direct = true;
}

bool PaneScreen::attach(PaneViewport* viewport) {
  if (window_ != 0) return true;
  auto* c = static_cast<xcb_connection_t*>(Connection());
  const xcb_window_t window = c ? xcb_window_t(viewport->internalWinId()) : 0;
  if (window == 0 || viewport->devicePixelRatioF() != 1.0 || !PixelsAreRgb32(c, window, &depth_)) {
    // Qt paints it after all, into its window buffer.
    viewport->direct = false;
    viewport->setAttribute(Qt::WA_PaintOnScreen, false);
    viewport->update();
    return false;
  }
  connection_ = c;
  window_ = window;
  gc_ = xcb_generate_id(c);
  const std::uint32_t exposures = 1;
  xcb_create_gc(c, gc_, window_, XCB_GC_GRAPHICS_EXPOSURES, &exposures);
  maxRequestBytes_ = std::min<std::uint32_t>(xcb_get_maximum_request_length(c), 1u << 20) * 4;
  viewport_ = viewport;
  ExposureFilter::instance().watch(window_, this);
  setUncovered(ExposureFilter::instance().uncovered(window_));
  attachShared();
  return true;
}

PaneScreen::~PaneScreen() {
  if (window_ != 0) ExposureFilter::instance().forget(window_);
  detachShared();
}

void PaneScreen::exposed(const QRect& area) {
  if (viewport_) viewport_->update(area);
}

void PaneScreen::setUncovered(bool uncovered) {
  auto* c = static_cast<xcb_connection_t*>(connection_);
  if (!c || uncovered == uncovered_) return;
  uncovered_ = uncovered;
  const std::uint32_t exposures = uncovered ? 0 : 1;
  xcb_change_gc(c, gc_, XCB_GC_GRAPHICS_EXPOSURES, &exposures);
  // A copy made after a window came over the pane and before this was
  // known asked for no answer: the pane is drawn whole once.
  if (!uncovered && viewport_) viewport_->update();
}

void PaneScreen::attachShared() {
  // Only a server on this machine sees the memory; it says so by accepting
  // the attach.
  auto* c = static_cast<xcb_connection_t*>(connection_);
  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
  if (!shm || !shm->present) return;
  const int id = shmget(IPC_PRIVATE, kSharedBytes, IPC_CREAT | 0600);
  if (id < 0) return;
  void* memory = shmat(id, nullptr, 0);
  const std::uint32_t segment = xcb_generate_id(c);
  xcb_generic_error_t* error =
      memory == reinterpret_cast<void*>(-1) ? nullptr : xcb_request_check(c, xcb_shm_attach_checked(c, segment, id, 0));
  // Gone as soon as both sides have let go of it.
  shmctl(id, IPC_RMID, nullptr);
  if (memory == reinterpret_cast<void*>(-1)) return;
  if (error) {
    std::free(error);
    shmdt(memory);
    return;
  }
  // Every page is touched once now, so that drawing never stops for the
  // kernel to find one.
  std::memset(memory, 0, kSharedBytes);
  segment_ = segment;
  shared_ = static_cast<std::uint8_t*>(memory);
  sharedSize_ = kSharedBytes;
  sharedUsed_ = 0;
}

void PaneScreen::detachShared() {
  if (!shared_) return;
  auto* c = static_cast<xcb_connection_t*>(connection_);
  ownCanvas_ = QImage();
  canvas_ = Pixels{};
  const bool live = qGuiApp && Connection() == c;
  dropFences(live);
  lap_ = 0;
  if (live) {
    xcb_shm_detach(c, segment_);
    xcb_flush(c);
  }
  shmdt(shared_);
  shared_ = nullptr;
}

void PaneScreen::put(QPoint at) {
  auto* c = static_cast<xcb_connection_t*>(connection_);
  const Pixels& image = canvas_;
  if (!c || !image.bits) return;
  if (canvasShared_) {
    xcb_shm_put_image(c, window_, gc_, std::uint16_t(image.width), std::uint16_t(image.height), 0, 0,
                      std::uint16_t(image.width), std::uint16_t(image.height), std::int16_t(at.x()),
                      std::int16_t(at.y()), depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_, std::uint32_t(canvasAt_));
    return;
  }
  // Through the connection, in bands of rows that fit a request.
  const std::uint32_t rowBytes = std::uint32_t(image.stride * sizeof(QRgb));
  const int band = std::max(1, int((maxRequestBytes_ - 64) / rowBytes));
  for (int y = 0; y < image.height; y += band) {
    const int rows = std::min(band, image.height - y);
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_, std::uint16_t(image.width), std::uint16_t(rows),
                  std::int16_t(at.x()), std::int16_t(at.y() + y), 0, depth_, rowBytes * std::uint32_t(rows),
                  reinterpret_cast<const std::uint8_t*>(image.line(y)));
  }
}

void PaneScreen::scroll(const QRect& area, int dy) {
  auto* c = static_cast<xcb_connection_t*>(connection_);
  if (!c || dy == 0 || std::abs(dy) >= area.height()) return;
  const int h = area.height() - std::abs(dy);
  const int from = dy < 0 ? area.top() - dy : area.top();
  xcb_copy_area(c, window_, window_, gc_, std::int16_t(area.left()), std::int16_t(from), std::int16_t(area.left()),
                std::int16_t(from + dy), std::uint16_t(area.width()), std::uint16_t(h));
}

void PaneScreen::fill(const QRect& area, QRgb colour) {
  auto* c = static_cast<xcb_connection_t*>(connection_);
  if (!c || area.isEmpty()) return;
  // A pixel of the window is the colour's red, green and blue, as in Qt's
  // 32-bit image.
  const std::uint32_t pixel = colour & 0xFFFFFFu;
  if (pixel != gcForeground_) {
    xcb_change_gc(c, gc_, XCB_GC_FOREGROUND, &pixel);
    gcForeground_ = pixel;
  }
  const xcb_rectangle_t r{std::int16_t(area.x()), std::int16_t(area.y()), std::uint16_t(area.width()),
                          std::uint16_t(area.height())};
  xcb_poly_fill_rectangle(c, window_, gc_, 1, &r);
}

void PaneScreen::flush() {
  if (connection_) xcb_flush(static_cast<xcb_connection_t*>(connection_));
}

void PaneScreen::leaveHalf(int half) {
  // The server answers once it has put every image sent before: the half
  // left is free again when the fence sent now is answered, and the half
  // entered when the fence sent on leaving it is.
  auto* c = static_cast<xcb_connection_t*>(connection_);
  fences_[half] = {xcb_get_input_focus(c).sequence, true};
  awaitFence(fences_[1 - half]);
}

void PaneScreen::dropFences(bool connectionLive) {
  // Their answers are not waited for; the connection throws them away.
  for (Fence& fence : fences_) {
    if (fence.pending && connectionLive)
      xcb_discard_reply(static_cast<xcb_connection_t*>(connection_), fence.sequence);
    fence.pending = false;
  }
}

void PaneScreen::awaitFence(Fence& fence) {
  if (!fence.pending) return;
  auto* c = static_cast<xcb_connection_t*>(connection_);
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus_cookie_t{fence.sequence}, nullptr));
  fence.pending = false;
}

Pixels PaneScreen::canvas(QSize size) {
  const std::size_t bytes = std::size_t(size.width()) * 4 * std::size_t(size.height());
  canvasShared_ = shared_ && bytes > 0 && bytes <= sharedSize_ / 2;
  if (!canvasShared_) {
    // An image of its own, whose pixels go through the connection.
    if (ownCanvas_.size() != size) ownCanvas_ = QImage(size, QImage::Format_RGB32);
    canvas_ = Pixels::of(ownCanvas_);
    return canvas_;
  }
  std::size_t lap = kWarmBytes;
  while (lap < 4 * bytes && lap < sharedSize_) lap *= 2;
  lap = std::min(lap, sharedSize_);
  if (lap > lap_) {
    // A longer lap (the pane grew): the server is waited for once, after
    // which the whole memory is free.
    dropFences(true);
    auto* c = static_cast<xcb_connection_t*>(connection_);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    lap_ = lap;
    sharedUsed_ = 0;
  }
  // An image lies in one half (it is at most a quarter of the lap).
  const std::size_t half = lap_ / 2;
  if (sharedUsed_ < half && sharedUsed_ + bytes > half) {
    leaveHalf(0);
    sharedUsed_ = half;
  } else if (sharedUsed_ + bytes > lap_) {
    leaveHalf(1);
    sharedUsed_ = 0;
  }
  canvasAt_ = sharedUsed_;
  sharedUsed_ += bytes;
  if (!ownCanvas_.isNull()) ownCanvas_ = QImage();
  canvas_ = Pixels{reinterpret_cast<QRgb*>(shared_ + canvasAt_), size.width(), size.height(),
                   std::size_t(size.width()), QImage::Format_RGB32};
  return canvas_;
}

}  // namespace kvl
