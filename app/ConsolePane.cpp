#include "app/ConsolePane.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFrame>
#include <QGlyphRun>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QScrollBar>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionSlider>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <vector>

#include "app/FrameClock.h"
#include "app/PaneFollow.h"
#include "core/Cp1251.h"
#include "ui/QtText.h"
#include "ui/WinColour.h"

namespace kvl {
namespace {

constexpr int kMargin = 3;
// Full chunks of text compressed per frame, at most (about a millisecond
// each).
constexpr std::size_t kPackPerRefresh = 4;
// Text told to screen readers per redraw, at most.
constexpr std::size_t kAnnounceMax = 64 * 1024;

int ClampInt(std::size_t v) { return v > std::size_t(INT_MAX) ? INT_MAX : int(v); }

// The pane's text for screen readers: the whole text, the selection and the
// caret, and where each character is drawn.
class PaneAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit PaneAccessible(ConsolePane* pane) : QAccessibleWidget(pane, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
  }

  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index == 0 && pane()->hasSelection()) {
      *start = ClampInt(pane()->selectionStart());
      *end = ClampInt(pane()->selectionEnd());
    }
  }
  int selectionCount() const override { return pane()->hasSelection() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int) override {
    pane()->setSelection(pane()->caretPosition(), pane()->caretPosition());
  }
  void setSelection(int, int start, int end) override {
    pane()->setSelection(Clamp(start), Clamp(end));
  }
  int cursorPosition() const override { return ClampInt(pane()->caretPosition()); }
  void setCursorPosition(int position) override {
    pane()->setSelection(Clamp(position), Clamp(position));
  }

  QString text(int start, int end) const override {
    return FromCp1251(pane()->content().bytes(Clamp(start), Clamp(end)));
  }
  using QAccessibleWidget::text;
  int characterCount() const override { return ClampInt(pane()->content().size()); }

  // Boundaries are found in the store itself: the default ones would decode
  // the whole text for every question.
  QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                       int* end) const override {
    const auto [s, e] = around(Clamp(offset), type);
    *start = ClampInt(s);
    *end = ClampInt(e);
    return text(*start, *end);
  }
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                           int* end) const override {
    const std::size_t at = around(Clamp(offset), type).first;
    if (at == 0) {
      *start = *end = 0;
      return {};
    }
    return textAtOffset(int(at - 1), type, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                          int* end) const override {
    const std::size_t at = around(Clamp(offset), type).second;
    if (at >= pane()->content().size()) {
      *start = *end = characterCount();
      return {};
    }
    return textAtOffset(int(at), type, start, end);
  }

  QRect characterRect(int offset) const override {
    const QRect r = pane()->characterRect(Clamp(offset));
    if (r.isNull()) return r;
    return QRect(pane()->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    return ClampInt(pane()->positionAt(pane()->viewport()->mapFromGlobal(point)));
  }
  void scrollToSubstring(int start, int end) override {
    pane()->scrollToPosition(Clamp(end));
    pane()->scrollToPosition(Clamp(start));
  }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  ConsolePane* pane() const { return static_cast<ConsolePane*>(widget()); }
  std::size_t Clamp(int v) const {
    return std::min(std::size_t(std::max(v, 0)), pane()->content().size());
  }
  std::pair<std::size_t, std::size_t> around(std::size_t pos,
                                             QAccessible::TextBoundaryType type) const {
    const ConsoleText& t = pane()->content();
    switch (type) {
      case QAccessible::CharBoundary:
        return {pos, std::min(pos + 1, t.size())};
      case QAccessible::WordBoundary: {
        const ConsoleText::Range w = t.wordAt(pos);
        if (w.start != w.end) return {w.start, w.end};
        return {pos, std::min(pos + 1, t.size())};
      }
      case QAccessible::NoBoundary:
        return {0, t.size()};
      default: {  // a line with its break; sentences and paragraphs alike
        const std::size_t line = t.lineOf(pos);
        const std::size_t end = t.lineEnd(line);
        return {t.lineStart(line), end < t.size() ? end + 1 : end};
      }
    }
  }
};

QAccessibleInterface* PaneAccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("kvl::ConsolePane") && object && object->isWidgetType())
    return new PaneAccessible(static_cast<ConsolePane*>(object));
  return nullptr;
}

// Draws a tall scroll bar in bands of fewer than 96 pixel rows, each drawn
// with the whole bar's option into an image of the band's size, so the bar
// looks exactly as drawn in one go (clipping the painter instead draws the
// groove's edge line darker). Qt's raster painter hands every fill of 96 rows or
// more to its painting threads and waits for them: for the bar's few plain
// fills that is more thread wake-ups than filling costs.
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
    for (int y = r.top(); y <= r.bottom(); y += band) {
      QImage part(QSize(r.width(), std::min(band, r.bottom() + 1 - y)) * ratio, QImage::Format_ARGB32_Premultiplied);
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

// The pane's scroll bar. Text arriving changes its range on every refresh;
// with many rows its handle keeps its size and place to the pixel, and it
// is drawn again only when what it shows changes. While the text flows it
// is drawn when the text pauses for kQuietMs, or at the latest every
// kMostLagMs, and then only where the handle was and is: the handle
// creeping by a pixel is not worth drawing the bar a few times a second
// (Qt's raster painter also hands each tall fill of the bar to its painting
// threads and waits for them). What the engineer does with it is drawn at
// once, whole.
class PaneScrollBar : public QScrollBar {
 public:
  static constexpr int kQuietMs = 1000;
  static constexpr int kMostLagMs = 10000;

  PaneScrollBar() : QScrollBar(Qt::Vertical) {
    if (QStyle* banded = BandedBarStyle::instance()) setStyle(banded);
    late_.setSingleShot(true);
    connect(&late_, &QTimer::timeout, this, [this] { redrawHandle(); });
  }
  // Changes made while this is set come from text arriving; they are
  // judged together when it is cleared (the range grows before the value
  // follows it, so the bar leaves its end only for a moment).
  void setArriving(bool arriving) {
    arriving_ = arriving;
    if (arriving) return;
    // The handle appearing or an arrow changing state is drawn at once; the
    // handle creeping waits.
    const Look now = look();
    if (now == drawn_) return;
    if (!onlyHandleMoved(now) || !sinceDrawn_.isValid() || sinceDrawn_.elapsed() >= kMostLagMs)
      redrawHandle();
    else
      late_.start(kQuietMs);  // each arrival puts the drawing off again
  }

 protected:
  void sliderChange(SliderChange change) override {
    // Qt reports the steps as changed whenever they are set, changed or not.
    if (change == SliderRangeChange || change == SliderValueChange || change == SliderStepsChange) {
      if (arriving_ && !isSliderDown()) return;  // judged when the arrival is done
      if (look() == drawn_) return;
    }
    QScrollBar::sliderChange(change);
  }
  void paintEvent(QPaintEvent* event) override {
    drawn_ = look();
    sinceDrawn_.start();
    late_.stop();
    QScrollBar::paintEvent(event);
  }

 private:
  struct Look {
    QRect handle;
    bool atMinimum = false, atMaximum = false;
    bool operator==(const Look&) const = default;
  };
  Look look() const {
    QStyleOptionSlider option;
    initStyleOption(&option);
    return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
            value() == minimum(), value() == maximum()};
  }
  bool onlyHandleMoved(const Look& now) const {
    return now.atMinimum == drawn_.atMinimum && now.atMaximum == drawn_.atMaximum && !now.handle.isNull() &&
           !drawn_.handle.isNull();
  }
  // Only the handle moved: the bar is drawn from where it was to where it
  // is (a pixel more each way, for the handle's edge). Anything else is
  // drawn with the whole bar.
  void redrawHandle() {
    const Look now = look();
    if (now == drawn_) return;
    if (onlyHandleMoved(now))
      update(drawn_.handle.united(now.handle).adjusted(0, -1, 0, 1));
    else
      update();
  }
  Look drawn_{QRect(), true, true};
  QElapsedTimer sinceDrawn_;
  QTimer late_;
  bool arriving_ = false;
};

}  // namespace

ConsolePane::ConsolePane(QWidget* parent) : QAbstractScrollArea(parent) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(PaneAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  setFocusPolicy(Qt::StrongFocus);
  setContextMenuPolicy(Qt::CustomContextMenu);
  setVerticalScrollBar(new PaneScrollBar);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // The scroll area lays itself out again after every change of the bar's
  // range, to show or hide the bar; this bar is always shown, and its range
  // changes at every refresh while text arrives.
  QObject::disconnect(verticalScrollBar(), SIGNAL(rangeChanged(int, int)), this, SLOT(_q_showOrHideScrollBars()));
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setCursor(Qt::IBeamCursor);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
    if (!adjusting_) updateFollowing();
  });
  setFrameShape(QFrame::StyledPanel);
  measureFont();
  relayout();
}

ConsolePane::~ConsolePane() = default;  // the frame clock holds panes by QPointer

void ConsolePane::setFrameClock(FrameClock* clock) {
  frameClock().cancel(this);
  clock_ = clock;
  if (sizeShown_ != text_.size()) frameClock().requestFrame(this);
}

FrameClock& ConsolePane::frameClock() const { return clock_ ? *clock_ : FrameClock::shared(); }

QFont ConsolePane::drawFont() const {
  // Each character is drawn with its own advance, so that the widths the
  // rows are cut by are the widths drawn.
  QFont f = font();
  f.setKerning(false);
  f.setStyleStrategy(QFont::StyleStrategy(f.styleStrategy() | QFont::PreferNoShaping));
  return f;
}

int ConsolePane::pageRows() const { return std::max(1, viewport()->height() / lineHeight_); }

std::size_t ConsolePane::topRow() const { return std::size_t(verticalScrollBar()->value()); }

void ConsolePane::measureFont() {
  paintFont_ = drawFont();
  ascent_ = QFontMetrics(paintFont_).ascent();
  averageCharWidth_ = QFontMetrics(paintFont_).averageCharWidth();
  const QFontMetricsF fm(drawFont());
  lineHeight_ = std::max(1, QFontMetrics(drawFont()).lineSpacing());
  ByteWidths widths{};
  maxCharWidth_ = 1;
  for (int b = 0; b < 256; ++b) {
    const qreal advance =
        b == ConsoleText::kBreak ? 0 : fm.horizontalAdvance(QChar(Cp1251ToUnicode(static_cast<unsigned char>(b))));
    widths[size_t(b)] = std::uint16_t(std::clamp(qRound(advance * kSubpixels), 1, 0xFFFF));
    maxCharWidth_ = std::max(maxCharWidth_, int(widths[size_t(b)]));
  }
  text_.setWidths(widths);
  // Glyphs of the font's own face, looked up once: a printable character
  // the face has is drawn as that glyph at the position its width gives,
  // which is where drawing the text would put it. Anything else is drawn
  // as text.
  rawFont_ = QRawFont::fromFont(drawFont());
  blitterFresh_ = false;
  for (int b = 0; b < 256; ++b) {
    const QChar ch(Cp1251ToUnicode(static_cast<unsigned char>(b)));
    glyphs_[size_t(b)] = 0;
    if (!rawFont_.isValid() || !ch.isPrint() || ch.unicode() < 0x20 || b == ConsoleText::kBreak) continue;
    const QList<quint32> glyph = rawFont_.glyphIndexesForString(QString(ch));
    if (glyph.size() == 1) glyphs_[size_t(b)] = glyph.front();
  }
}

void ConsolePane::relayout() {
  // Rows are cut so that a row never runs past the right margin.
  const int avail = std::max(1, viewport()->width() - 2 * kMargin) * kSubpixels;
  const std::uint64_t rowWidth = std::uint64_t(std::max(1, avail - maxCharWidth_ + 1));
  if (rowWidth != text_.rowWidth()) {
    // The row at the top keeps its text at the top, unless the pane follows
    // its end.
    const std::size_t topPos = text_.rowStart(topRow());
    tail_ = 0;
    text_.setRowWidth(rowWidth);
    adjusting_ = true;
    updateScrollBars();
    verticalScrollBar()->setValue(following_ ? verticalScrollBar()->maximum()
                                             : ClampInt(text_.rowOf(topPos)));
    adjusting_ = false;
  } else {
    adjusting_ = true;
    tail_ = 0;
    updateScrollBars();
    if (following_) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    adjusting_ = false;
  }
  viewport()->update();
}

void ConsolePane::updateScrollBars() {
  const int page = pageRows();
  QScrollBar* v = verticalScrollBar();
  const bool wasAdjusting = adjusting_;
  adjusting_ = true;
  if (v->pageStep() != page) v->setPageStep(page);
  if (v->singleStep() != 1) v->setSingleStep(1);
  v->setRange(0, std::max(0, ClampInt(text_.rowCount()) - page) + tail_);
  adjusting_ = wasAdjusting;
}

void ConsolePane::appendRun(std::uint32_t colour, std::string_view bytes, std::string* shownCrlf) {
  text_.append(colour, bytes, shownCrlf);
  if (following_) anchor_ = caret_ = text_.size();
  frameClock().requestFrame(this);
}

void ConsolePane::refresh() {
  // Full chunks are compressed a few at a time, between arrivals.
  if (text_.packWaiting(kPackPerRefresh)) frameClock().requestFrame(this);
  if (sizeShown_ == text_.size()) return;
  QScrollBar* v = verticalScrollBar();
  // Rows from the one that held the end of what was drawn have changed;
  // those before it have not, they only move up as the pane follows.
  const std::size_t shownBefore = std::min(sizeShown_, text_.size());
  const std::size_t changed = text_.rowOf(shownBefore);
  // In that row, what was drawn before the old end stays as it is (the
  // caret, drawn there when the pane has the focus, aside).
  const int keptX = hasFocus() ? 0
                               : std::max(0, kMargin + int(text_.widthOf(text_.rowStart(changed), shownBefore) /
                                                           kSubpixels) - 1);
  sizeShown_ = text_.size();
  adjusting_ = true;
  static_cast<PaneScrollBar*>(v)->setArriving(true);
  if (following_) placeEnd();
  updateScrollBars();
  if (following_) v->setValue(v->maximum());  // moves the pixels (scrollContentsBy)
  static_cast<PaneScrollBar*>(v)->setArriving(false);
  adjusting_ = false;
  // Held away from the end, the pane draws nothing while the rows that
  // changed are off screen. Below the last row nothing has changed: text
  // is only ever added.
  const std::size_t top = topRow();
  if (changed <= top + std::size_t(pageRows())) {
    const int y = changed > top ? int(changed - top) * lineHeight_ : 0;
    const std::size_t last = text_.rowCount() > 0 ? text_.rowCount() - 1 : 0;
    const int bottom = last >= top ? int(std::min(last - top + 1, std::size_t(pageRows()) + 1)) * lineHeight_
                                   : viewport()->height();
    QRegion dirty(QRect(0, y, viewport()->width(), std::max(0, bottom - y)));
    if (changed >= top) dirty -= QRect(0, y, std::min(keptX, viewport()->width()), lineHeight_);
    viewport()->update(dirty);
  }
  if (QAccessible::isActive() && announced_ < text_.size()) {
    announced_ = std::max(announced_, text_.size() > kAnnounceMax ? text_.size() - kAnnounceMax : 0);
    QAccessibleTextInsertEvent inserted(this, ClampInt(announced_),
                                        FromCp1251(text_.bytes(announced_, text_.size())));
    QAccessible::updateAccessibility(&inserted);
  }
  announced_ = text_.size();
}

void ConsolePane::placeEnd() {
  // The rows that arrived over the last second or so set how far the pane
  // jumps when its end goes below it.
  const std::size_t rows = text_.rowCount();
  const qint64 ms = rateSince_.isValid() ? rateSince_.elapsed() : 0;
  if (!rateSince_.isValid() || ms >= 1000 || rows < rateRows_) {
    if (rateSince_.isValid() && ms > 0 && rows >= rateRows_)
      rowsPerSecond_ = int(std::min<std::size_t>((rows - rateRows_) * 1000 / std::size_t(ms), INT_MAX));
    rateSince_.start();
    rateRows_ = rows;
  }
  tail_ = FollowEnd(rows, std::size_t(pageRows()), topRow(), JumpRows(rowsPerSecond_, pageRows())).tail;
}

void ConsolePane::clearPane() {
  tail_ = 0;
  text_.clear();
  anchor_ = caret_ = 0;
  preferredX_ = -1;
  following_ = true;
  frameClock().cancel(this);
  sizeShown_ = 0;
  announced_ = 0;
  updateScrollBars();
  viewport()->update();
}

QString ConsolePane::textOf(std::size_t from, std::size_t to) const {
  // Decoded straight from the store's chunks: a copy of everything shown
  // holds the text once, as the clipboard takes it.
  to = std::min(to, text_.size());
  if (from >= to) return {};
  QString out(qsizetype(to - from), Qt::Uninitialized);
  QChar* at = out.data();
  text_.forEachPiece(from, to, [&at](std::string_view piece) {
    for (const char c : piece) *at++ = QChar(Cp1251ToUnicode(static_cast<unsigned char>(c)));
  });
  return out;
}

QString ConsolePane::toPlainText() const { return textOf(0, text_.size()); }

QString ConsolePane::selectedText() const { return textOf(selectionStart(), selectionEnd()); }

void ConsolePane::selectAll() {
  anchor_ = 0;
  caret_ = text_.size();
  selectionChanged();
  updateFollowing();
  viewport()->update();
}

void ConsolePane::setSelection(std::size_t anchor, std::size_t caret) {
  anchor_ = std::min(anchor, text_.size());
  caret_ = std::min(caret, text_.size());
  preferredX_ = -1;
  ensureVisible(anchor_);
  ensureVisible(caret_);
  selectionChanged();
  updateFollowing();
  viewport()->update();
}

void ConsolePane::copy() const {
  if (hasSelection()) QApplication::clipboard()->setText(selectedText());
}

void ConsolePane::setPrimarySelection() const {
  QClipboard* clipboard = QApplication::clipboard();
  if (hasSelection() && clipboard->supportsSelection())
    clipboard->setText(selectedText(), QClipboard::Selection);
}

void ConsolePane::selectionChanged() {
  if (!QAccessible::isActive()) return;
  QAccessibleTextSelectionEvent event(this, ClampInt(selectionStart()),
                                            ClampInt(selectionEnd()));
  event.setCursorPosition(ClampInt(caret_));
  QAccessible::updateAccessibility(&event);
}

void ConsolePane::updateFollowing() {
  QScrollBar* v = verticalScrollBar();
  following_ = !hasSelection() && !mouseSelecting_ && v->value() >= v->maximum();
}

void ConsolePane::ensureVisible(std::size_t pos) {
  updateScrollBars();
  QScrollBar* v = verticalScrollBar();
  const std::size_t row = text_.rowOf(pos);
  // Rows under the find bar do not count as shown.
  const int inset = findBar_ && findBar_->isVisible()
                        ? (findBar_->height() + lineHeight_ - 1) / lineHeight_
                        : 0;
  const std::size_t page = std::size_t(std::max(1, pageRows() - inset));
  const std::size_t top = topRow() + std::size_t(inset);
  if (row < top)
    v->setValue(ClampInt(row > std::size_t(inset) ? row - std::size_t(inset) : 0));
  else if (row >= top + page)
    v->setValue(ClampInt(row - page + 1 - std::size_t(inset)));
}

void ConsolePane::followEnd() {
  mouseSelecting_ = false;
  moveCaret(text_.size(), false);
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  updateFollowing();
}

void ConsolePane::scrollToPosition(std::size_t pos) {
  ensureVisible(std::min(pos, text_.size()));
  updateFollowing();
}

void ConsolePane::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  relayout();
  placeFindBar();
}

void ConsolePane::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    measureFont();
    relayout();
  }
}

void ConsolePane::scrollContentsBy(int, int dy) {
  // The rows drawn move with the text; only the rows uncovered are drawn.
  // While the window is not seen (minimized, or on another desktop) its
  // pixels are not moved at all, which would cost the display server a copy
  // of the whole pane at every refresh: the pane is drawn whole when it is
  // seen again.
  if (dy == 0) return;
  const QWindow* window = viewport()->window()->windowHandle();
  if (std::abs(dy) > pageRows() || !window || !window->isExposed()) return viewport()->update();
  viewport()->scroll(0, dy * lineHeight_);
}

void ConsolePane::focusInEvent(QFocusEvent*) {
  // Only the caret shows the focus: the received text is not drawn again.
  viewport()->update(characterRect(caret_).adjusted(-2, 0, 2, 0));
}

void ConsolePane::focusOutEvent(QFocusEvent*) {
  viewport()->update(characterRect(caret_).adjusted(-2, 0, 2, 0));
}

QRect ConsolePane::characterRect(std::size_t pos) const {
  pos = std::min(pos, text_.size());
  const std::size_t row = text_.rowOf(pos);
  const std::size_t top = topRow();
  if (row < top || row > top + std::size_t(pageRows())) return {};
  const int x = kMargin + int(text_.widthOf(text_.rowStart(row), pos) / kSubpixels);
  const int w = pos < text_.size() && text_.at(pos) != static_cast<unsigned char>(ConsoleText::kBreak)
                    ? std::max(1, int(text_.widths()[text_.at(pos)]) / kSubpixels)
                    : 1;
  return QRect(x, int(row - top) * lineHeight_, w, lineHeight_);
}

void ConsolePane::paintEvent(QPaintEvent* event) {
  QPainter p(viewport());
  p.setFont(paintFont_);
  const int lh = lineHeight_;
  // Only the rows the event covers.
  const QRect area = event->rect();
  const std::size_t top = topRow();
  const std::size_t first = top + std::size_t(std::max(0, area.top()) / lh);
  const std::size_t stop = top + std::size_t(std::max(0, area.bottom()) / lh) + 1;
  const std::size_t selFrom = selectionStart(), selTo = selectionEnd();
  const QColor highlight = palette().color(QPalette::Highlight);
  const QColor highlightText = palette().color(QPalette::HighlightedText);
  const auto& runs = text_.runs();
  const ByteWidths& widths = text_.widths();
  const bool drawCaret = hasFocus() && !hasSelection();
  const qreal sub = kSubpixels;
  QList<quint32> glyphs;
  QList<QPointF> positions;
  // Rows of one colour, nothing selected, go through the glyph blitter
  // when the pane is painted on a 32-bit image at scale 1 over a flat
  // background.
  QImage::Format format = QImage::Format_Invalid;
  if (QPaintEngine* engine = p.paintEngine();
      engine && engine->type() == QPaintEngine::Raster && engine->paintDevice() &&
      engine->paintDevice()->devType() == QInternal::Image && viewport()->devicePixelRatio() == 1.0)
    format = static_cast<QImage*>(engine->paintDevice())->format();
  const QBrush& base = viewport()->palette().brush(viewport()->backgroundRole());
  const bool blit = (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied) &&
                    base.style() == Qt::SolidPattern && base.color().alpha() == 255 && rawFont_.isValid();
  if (blit) {
    // The glyphs drawn so far serve any width of the pane.
    if (!blitterFresh_ || rowImage_.format() != format || rowImage_.height() != lh) {
      blitter_.reset(rawFont_, lh, ascent_, format);
      blitterFresh_ = true;
    }
    if (rowImage_.format() != format || rowImage_.height() != lh || rowImage_.width() != viewport()->width())
      rowImage_ = QImage(std::max(1, viewport()->width()), lh, format);
  }
  for (std::size_t r = first; r < text_.rowCount() && r < stop; ++r) {
    const std::size_t start = text_.rowStart(r), end = text_.rowEnd(r);
    const int y = int(r - top) * lh;
    std::uint64_t x = 0;  // subpixels from the margin
    std::size_t pos = start;
    std::size_t run = runs.empty() ? 0 : text_.runIndexAt(pos);
    if (blit && start < end && !(selFrom < end && selTo > start) &&
        (run + 1 >= runs.size() || runs[run + 1].start >= end)) {
      rowGlyphs_.clear();
      rowX_.clear();
      bool all = true;
      for (std::size_t i = start; i < end && all; ++i) {
        const unsigned char b = text_.at(i);
        all = glyphs_[b] != 0;
        rowGlyphs_.push_back(glyphs_[b]);
        rowX_.push_back(std::uint64_t(kMargin) * kSubpixels + x);
        x += widths[b];
      }
      const QRgb colour = (runs.empty() ? palette().color(QPalette::Text) : WinColour(runs[run].colour)).rgba();
      if (all) {
        rowImage_.fill(base.color());
        if (blitter_.drawRow(rowImage_, rowGlyphs_.data(), rowX_.data(), rowGlyphs_.size(), colour,
                             base.color().rgba())) {
          const QPainter::CompositionMode mode = p.compositionMode();
          p.setCompositionMode(QPainter::CompositionMode_Source);
          p.drawImage(0, y, rowImage_);
          p.setCompositionMode(mode);
          pos = end;
        }
      }
      if (pos != end) x = 0;
    }
    while (pos < end) {
      // The next piece ends where the colour or the selection changes.
      std::size_t to = end;
      if (run + 1 < runs.size()) to = std::min(to, runs[run + 1].start);
      const bool selected = pos >= selFrom && pos < selTo;
      if (selected) to = std::min(to, selTo);
      else if (selFrom > pos) to = std::min(to, selFrom);
      glyphs.clear();
      positions.clear();
      bool asGlyphs = true;
      std::uint64_t width = 0;
      for (std::size_t i = pos; i < to; ++i) {
        const unsigned char b = text_.at(i);
        asGlyphs = asGlyphs && glyphs_[b] != 0;
        glyphs.append(glyphs_[b]);
        positions.append(QPointF(qreal(width) / sub, 0));
        width += widths[b];
      }
      const qreal left = kMargin + qreal(x) / sub;
      if (selected) p.fillRect(QRectF(left, y, qreal(width) / sub, lh), highlight);
      p.setPen(selected ? highlightText
                        : runs.empty() ? palette().color(QPalette::Text)
                                       : WinColour(runs[run].colour));
      const QPointF baseline(left, y + ascent_);
      if (asGlyphs) {
        QGlyphRun glyphRun;
        glyphRun.setRawFont(rawFont_);
        glyphRun.setGlyphIndexes(glyphs);
        glyphRun.setPositions(positions);
        p.drawGlyphRun(baseline, glyphRun);
      } else {
        p.drawText(baseline, FromCp1251(text_.bytes(pos, to)));
      }
      x += width;
      pos = to;
      if (run + 1 < runs.size() && pos >= runs[run + 1].start) ++run;
    }
    const qreal right = kMargin + qreal(x) / sub;
    // A selected line break shows as a small block after the row.
    if (selTo > end && selFrom <= end && end < text_.size() &&
        text_.at(end) == static_cast<unsigned char>(ConsoleText::kBreak))
      p.fillRect(QRectF(right, y, averageCharWidth_ / 2 + 1, lh), highlight);
    if (drawCaret && caret_ >= start && caret_ <= end && text_.rowOf(caret_) == r) {
      const qreal cx = kMargin + qreal(text_.widthOf(start, caret_)) / sub;
      p.fillRect(QRectF(cx, y, 1, lh), palette().color(QPalette::Text));
    }
  }
}

std::size_t ConsolePane::positionInRow(std::size_t row, std::uint64_t x) const {
  const std::size_t start = text_.rowStart(row), end = text_.rowEnd(row);
  std::uint64_t cur = 0;
  for (std::size_t i = start; i < end; ++i) {
    const std::uint64_t w = text_.widths()[text_.at(i)];
    if (x < cur + w / 2) return i;
    cur += w;
  }
  return end;
}

std::size_t ConsolePane::positionAt(const QPoint& pt) const {
  if (text_.size() == 0) return 0;
  const std::size_t row = topRow() + std::size_t(std::max(0, pt.y()) / lineHeight_);
  if (row >= text_.rowCount()) return text_.size();
  return positionInRow(row, std::uint64_t(std::max(0, pt.x() - kMargin)) * kSubpixels);
}

void ConsolePane::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  const std::size_t pos = positionAt(event->position().toPoint());
  caret_ = pos;
  if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = pos;
  preferredX_ = -1;
  // While the button is down, appends leave the caret where it is.
  mouseSelecting_ = true;
  following_ = false;
  selectionChanged();
  viewport()->update();
}

void ConsolePane::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return;
  const QPoint pt = event->position().toPoint();
  if (pt.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  if (pt.y() > viewport()->height()) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  caret_ = positionAt(pt);
  selectionChanged();
  viewport()->update();
}

void ConsolePane::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseReleaseEvent(event);
  mouseSelecting_ = false;
  setPrimarySelection();
  updateFollowing();
}

void ConsolePane::mouseDoubleClickEvent(QMouseEvent* event) {
  const ConsoleText::Range word = text_.wordAt(positionAt(event->position().toPoint()));
  anchor_ = word.start;
  caret_ = word.end;
  mouseSelecting_ = true;  // until the button is released
  following_ = false;
  selectionChanged();
  viewport()->update();
}

void ConsolePane::moveCaret(std::size_t pos, bool extend) {
  caret_ = std::min(pos, text_.size());
  if (!extend) anchor_ = caret_;
  ensureVisible(caret_);
  selectionChanged();
  updateFollowing();
  viewport()->update();
}

bool ConsolePane::event(QEvent* event) {
  // Ctrl+F in a pane finds in this pane: the window's own Ctrl+F, for the
  // keyboard anywhere else, stands back.
  if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Find)) {
    event->accept();
    return true;
  }
  return QAbstractScrollArea::event(event);
}

void ConsolePane::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) return copy();
  if (event->matches(QKeySequence::SelectAll)) return selectAll();
  if (event->matches(QKeySequence::Find)) return openFind();
  if (event->matches(QKeySequence::FindNext) || event->matches(QKeySequence::FindPrevious)) {
    if (!findEdit_ || findEdit_->text().isEmpty()) return openFind();
    findNext(event->matches(QKeySequence::FindNext));
    return;
  }
  if (event->key() == Qt::Key_Escape && findBar_ && findBar_->isVisible()) return closeFind();

  const std::size_t row = text_.rowOf(caret_);
  // Up and down keep the x the caret had when the vertical moves began.
  auto rowMove = [&](long rows) {
    if (preferredX_ < 0) preferredX_ = std::int64_t(text_.widthOf(text_.rowStart(row), caret_));
    const long target = std::clamp(long(row) + rows, 0L, long(text_.rowCount()) - 1);
    return positionInRow(std::size_t(target), std::uint64_t(preferredX_));
  };
  auto wordEnd = [&] {
    std::size_t p = caret_;
    while (p < text_.size() && !Cp1251IsWordByte(text_.at(p))) ++p;
    while (p < text_.size() && Cp1251IsWordByte(text_.at(p))) ++p;
    return p;
  };
  auto wordStart = [&] {
    std::size_t p = caret_;
    while (p > 0 && !Cp1251IsWordByte(text_.at(p - 1))) --p;
    while (p > 0 && Cp1251IsWordByte(text_.at(p - 1))) --p;
    return p;
  };
  struct Move {
    QKeySequence::StandardKey move, select;
    bool vertical;
  };
  const Move moves[] = {
      {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, false},
      {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, false},
      {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, false},
      {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, false},
      {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, true},
      {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, true},
      {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, true},
      {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, true},
      {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, false},
      {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, false},
      {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, false},
      {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, false},
  };
  for (const Move& m : moves) {
    const bool extend = event->matches(m.select);
    if (!extend && !event->matches(m.move)) continue;
    if (!m.vertical) preferredX_ = -1;
    const long page = pageRows();
    std::size_t target = caret_;
    switch (m.move) {
      case QKeySequence::MoveToNextChar: target = std::min(caret_ + 1, text_.size()); break;
      case QKeySequence::MoveToPreviousChar: target = caret_ > 0 ? caret_ - 1 : 0; break;
      case QKeySequence::MoveToNextWord: target = wordEnd(); break;
      case QKeySequence::MoveToPreviousWord: target = wordStart(); break;
      case QKeySequence::MoveToNextLine: target = rowMove(1); break;
      case QKeySequence::MoveToPreviousLine: target = rowMove(-1); break;
      case QKeySequence::MoveToNextPage:
        verticalScrollBar()->setValue(verticalScrollBar()->value() + int(page));
        target = rowMove(page);
        break;
      case QKeySequence::MoveToPreviousPage:
        verticalScrollBar()->setValue(verticalScrollBar()->value() - int(page));
        target = rowMove(-page);
        break;
      case QKeySequence::MoveToStartOfLine: target = text_.rowStart(row); break;
      case QKeySequence::MoveToEndOfLine: target = text_.rowEnd(row); break;
      case QKeySequence::MoveToStartOfDocument: target = 0; break;
      case QKeySequence::MoveToEndOfDocument: target = text_.size(); break;
      default: break;
    }
    return moveCaret(target, extend);
  }
  QAbstractScrollArea::keyPressEvent(event);
}

void ConsolePane::buildFindBar() {
  findBar_ = new QFrame(this);
  findBar_->setObjectName(QStringLiteral("findBar"));
  findBar_->setFrameShape(QFrame::StyledPanel);
  findBar_->setAutoFillBackground(true);
  findBar_->setFont(QApplication::font());
  // The find bar takes the desktop's colours, not the pane's own: every role
  // is set, so that none of the pane's background reaches its field.
  QPalette desktop;
  const QPalette app = QApplication::palette();
  for (int g = 0; g < QPalette::NColorGroups; ++g)
    for (int r = 0; r < QPalette::NColorRoles; ++r)
      if (r != QPalette::NoRole)
        desktop.setColor(QPalette::ColorGroup(g), QPalette::ColorRole(r),
                         app.color(QPalette::ColorGroup(g), QPalette::ColorRole(r)));
  findBar_->setPalette(desktop);
  auto* row = new QHBoxLayout(findBar_);
  row->setContentsMargins(3, 2, 3, 2);
  row->setSpacing(3);
  findEdit_ = new QLineEdit(findBar_);
  findEdit_->setObjectName(QStringLiteral("findEdit"));
  findEdit_->setPlaceholderText(QStringLiteral("Find"));
  findEdit_->installEventFilter(this);
  auto button = [&](const char* name, const QString& caption, const QString& hint) {
    auto* b = new QToolButton(findBar_);
    b->setObjectName(QLatin1String(name));
    b->setText(caption);
    b->setToolTip(hint);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
  };
  QToolButton* previous = button("findPrevious", QStringLiteral("\u25B2"), QStringLiteral("Previous match (Shift+F3)"));
  QToolButton* next = button("findNext", QStringLiteral("\u25BC"), QStringLiteral("Next match (Enter, F3)"));
  findCase_ = new QCheckBox(QStringLiteral("Match case"), findBar_);
  findCase_->setObjectName(QStringLiteral("findCase"));
  findCase_->setFocusPolicy(Qt::NoFocus);
  findStatus_ = new QLabel(findBar_);
  findStatus_->setObjectName(QStringLiteral("findStatus"));
  findStatus_->setTextFormat(Qt::PlainText);
  // The status keeps the width of its longest text, so that it never takes
  // width from the field as it comes and goes.
  int statusWidth = 0;
  for (const char* said : {"Not found", "From the top", "From the end"})
    statusWidth = std::max(statusWidth, findStatus_->fontMetrics().horizontalAdvance(QLatin1String(said)));
  findStatus_->setFixedWidth(statusWidth + 2);
  // The field shows some 20 characters however narrow the pane.
  findEdit_->setMinimumWidth(findEdit_->fontMetrics().averageCharWidth() * 20);
  QToolButton* close = button("findClose", QStringLiteral("\u2715"), QStringLiteral("Close (Esc)"));
  row->addWidget(findEdit_, 1);
  row->addWidget(previous);
  row->addWidget(next);
  row->addWidget(findCase_);
  row->addWidget(findStatus_);
  row->addWidget(close);
  connect(previous, &QToolButton::clicked, this, [this] { findNext(false); });
  connect(next, &QToolButton::clicked, this, [this] { findNext(true); });
  connect(close, &QToolButton::clicked, this, &ConsolePane::closeFind);
  connect(findEdit_, &QLineEdit::textEdited, findStatus_, &QLabel::clear);
  findBar_->hide();
}

void ConsolePane::placeFindBar() {
  if (!findBar_) return;
  const QRect area = viewport()->geometry();
  const int width = std::min(area.width(), std::max(findBar_->sizeHint().width(), 340));
  findBar_->setGeometry(area.right() + 1 - width, area.top(), width, findBar_->sizeHint().height());
}

void ConsolePane::openFind() {
  if (!findBar_) buildFindBar();
  placeFindBar();
  findBar_->show();
  findBar_->raise();
  findEdit_->setFocus(Qt::ShortcutFocusReason);
  findEdit_->selectAll();
}

void ConsolePane::closeFind() {
  if (!findBar_) return;
  findBar_->hide();
  setFocus(Qt::OtherFocusReason);
}

bool ConsolePane::findNext(bool forward) {
  const QString query = findEdit_ ? findEdit_->text() : QString();
  if (query.isEmpty()) return false;
  const std::string needle = ToCp1251(query);
  std::optional<ConsoleText::Range> match;
  bool wrapped = false;
  // A character that Windows-1251 lacks cannot stand in the pane.
  if (FromCp1251(needle) == query) {
    const bool matchCase = findCase_->isChecked();
    const std::size_t from = forward ? selectionEnd() : selectionStart();
    match = text_.find(needle, from, forward, matchCase);
    if (!match) {
      match = text_.find(needle, forward ? 0 : text_.size(), forward, matchCase);
      // Starting again at the other end is news only after a search that
      // passed some text: not from a bare caret at the end (the first
      // search of a pane that follows its end) or at the start.
      const bool fromEdge = !hasSelection() && from == (forward ? text_.size() : 0);
      wrapped = match.has_value() && !fromEdge;
    }
  }
  if (!match) {
    findStatus_->setText(QStringLiteral("Not found"));
    return false;
  }
  findStatus_->setText(wrapped ? (forward ? QStringLiteral("From the top") : QStringLiteral("From the end"))
                               : QString());
  setSelection(match->start, match->end);
  return true;
}

bool ConsolePane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == findEdit_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      findNext(!(key->modifiers() & Qt::ShiftModifier));
      return true;
    }
    if (key->matches(QKeySequence::FindNext) || key->matches(QKeySequence::FindPrevious)) {
      findNext(key->matches(QKeySequence::FindNext));
      return true;
    }
    if (key->key() == Qt::Key_Escape) {
      closeFind();
      return true;
    }
  }
  return QAbstractScrollArea::eventFilter(watched, event);
}

}  // namespace kvl
