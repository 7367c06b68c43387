// The console pane's scroll bar (app/PaneScrollBar.h) and the style that
// draws a tall bar in bands.
#include "app/PaneScrollBar.h"

#include <QApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <algorithm>

namespace kvl {
namespace {

// Draws a tall scroll bar in bands of fewer than 96 pixel rows, each drawn
// with the whole bar's option into an image of the band's size, so the bar
// looks exactly as drawn in one go (clipping the painter instead draws the
// groove's edge line darker). Qt's raster painter hands every fill of 96 rows
// or more to its painting threads and waits for them: for the bar's few plain
// fills that is more thread wake-ups than filling costs. Of a pane's bar,
// only the bands that meet what its paint event draws are drawn: the
// handle creeping is a few of them, not the whole bar's height.
class BandedBarStyle : public QProxyStyle {
 public:
  static constexpr int kBandPixels = 64;

  // One for all panes, on a style of the application's own kind; none when
  // that kind cannot be made (the bar then keeps the application's style).
  static QStyle* instance() {
    static QPointer<BandedBarStyle> style;
    if (!style) {
      QStyle* base = QStyleFactory::create(QApplication::style()->name());
      if (!base) return nullptr;
      style = new BandedBarStyle(base);
      style->setParent(QCoreApplication::instance());
    }
    return style;
  }

  void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                          const QWidget* widget) const override {
    const QRect r = option->rect;
    const qreal ratio = painter->device() ? std::max<qreal>(1, painter->device()->devicePixelRatio()) : 1;
    const int band = std::max(8, int(kBandPixels / ratio));
    if (control != CC_ScrollBar || r.height() <= band) {
      QProxyStyle::drawComplexControl(control, option, painter, widget);
      return;
    }
    const auto* bar = dynamic_cast<const PaneScrollBar*>(widget);
    const QRect needed = bar && !bar->painting().isEmpty() ? bar->painting() : r;
    for (int y = r.top(); y <= r.bottom(); y += band) {
      const QRect bandArea(r.left(), y, r.width(), std::min(band, r.bottom() + 1 - y));
      if (!bandArea.intersects(needed)) continue;
      QImage part(bandArea.size() * ratio, QImage::Format_ARGB32_Premultiplied);
      part.setDevicePixelRatio(ratio);
      part.fill(Qt::transparent);
      {
        QPainter p(&part);
        p.translate(-r.left(), -y);
        QProxyStyle::drawComplexControl(control, option, &p, widget);
      }
      painter->drawImage(QPoint(r.left(), y), part);
    }
  }

 private:
  using QProxyStyle::QProxyStyle;
};

}  // namespace

PaneScrollBar::PaneScrollBar() : QScrollBar(Qt::Vertical) {
  if (QStyle* banded = BandedBarStyle::instance()) setStyle(banded);
  late_.setSingleShot(true);
  connect(&late_, &QTimer::timeout, this, [this] {
    const qint64 quiet = sinceArrival_.isValid() ? sinceArrival_.elapsed() : kQuietMs;
    if (quiet < kQuietMs)
      late_.start(int(kQuietMs - quiet));
    else
      redrawHandle();
  });
}

void PaneScrollBar::setArriving(bool arriving) {
  arriving_ = arriving;
  if (arriving) return;
  const Setting now = setting();
  if (now == judged_) return;
  const bool creeping = onlyHandleCan(judged_, now);
  judged_ = now;
  // A stream of rows only creeps the handle: the style is asked how it
  // looks when the text pauses, or once every kMostLagMs.
  if (creeping && sinceLooked_.isValid() && sinceLooked_.elapsed() < kMostLagMs) return drawWhenQuiet();
  // The handle appearing or an arrow changing state is drawn at once; the
  // handle creeping waits.
  const Look look = this->look();
  sinceLooked_.start();
  if (look == drawn_) return;
  if (!onlyHandleMoved(look) || !sinceDrawn_.isValid() || sinceDrawn_.elapsed() >= kMostLagMs)
    redrawHandle();
  else
    drawWhenQuiet();
}

void PaneScrollBar::drawWhenQuiet() {
  // Each arrival puts the drawing off again.
  sinceArrival_.start();
  if (!late_.isActive()) late_.start(kQuietMs);
}

void PaneScrollBar::sliderChange(SliderChange change) {
  // Qt reports the steps as changed whenever they are set, changed or not.
  if (change == SliderRangeChange || change == SliderValueChange || change == SliderStepsChange) {
    if (arriving_ && !isSliderDown()) return;  // judged when the arrival is done
    if (look() == drawn_) return;
  }
  QScrollBar::sliderChange(change);
}

void PaneScrollBar::paintEvent(QPaintEvent* event) {
  drawn_ = look();
  sinceDrawn_.start();
  sinceLooked_.start();
  late_.stop();
  painting_ = event->rect();
  QScrollBar::paintEvent(event);
  painting_ = QRect();
}

PaneScrollBar::Look PaneScrollBar::look() const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
          value() == minimum(), value() == maximum()};
}

PaneScrollBar::Setting PaneScrollBar::setting() const {
  return {minimum(), maximum(), value(), orientation() == Qt::Vertical ? height() : width()};
}

bool PaneScrollBar::onlyHandleCan(const Setting& before, const Setting& now) {
  // Same length, same start, neither range empty, the same ends reached:
  // the arrows and the groove look as they did.
  return now.length == before.length && now.minimum == before.minimum && before.maximum > before.minimum &&
         now.maximum > now.minimum && (now.value == now.minimum) == (before.value == before.minimum) &&
         (now.value == now.maximum) == (before.value == before.maximum);
}

bool PaneScrollBar::onlyHandleMoved(const Look& now) const {
  return now.atMinimum == drawn_.atMinimum && now.atMaximum == drawn_.atMaximum && !now.handle.isNull() &&
         !drawn_.handle.isNull();
}

void PaneScrollBar::redrawHandle() {
  const Look now = look();
  sinceLooked_.start();
  if (now == drawn_) return;
  if (onlyHandleMoved(now))
    update(drawn_.handle.united(now.handle).adjusted(0, -1, 0, 1));
  else
    update();
}

}  // namespace kvl
