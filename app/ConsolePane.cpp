// The console pane's view: the text's rows at the pane's width, scrolling
// and following the end, the caret and the selection, the keys and the
// mouse, copying, and telling screen readers what arrived. The rows are
// drawn by app/PaneRenderer; the find bar is in app/PaneFind.cpp.
#include "app/ConsolePane.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "app/FrameClock.h"
#include "app/PaneAccessible.h"
#include "app/PaneFollow.h"
#include "app/PaneScreen.h"
#include "app/PaneScrollBar.h"
#include "core/Cp1251.h"
#include "ui/QtText.h"

namespace kvl {
namespace {

constexpr int kMargin = PaneRenderer::kMargin;
// Full chunks of text compressed per frame, at most (about a millisecond
// each).
constexpr std::size_t kPackPerRefresh = 4;
// Text told to screen readers per redraw, at most.
constexpr std::size_t kAnnounceMax = 64 * 1024;


// Where Ctrl+Right and Ctrl+Left take the caret from pos: the end of the
// next word, the start of the previous one.
std::size_t WordEndAfter(const ConsoleText& text, std::size_t pos) {
  while (pos < text.size() && !Cp1251IsWordByte(text.at(pos))) ++pos;
  while (pos < text.size() && Cp1251IsWordByte(text.at(pos))) ++pos;
  return pos;
}

std::size_t WordStartBefore(const ConsoleText& text, std::size_t pos) {
  while (pos > 0 && !Cp1251IsWordByte(text.at(pos - 1))) --pos;
  while (pos > 0 && Cp1251IsWordByte(text.at(pos - 1))) --pos;
  return pos;
}

}  // namespace

ConsolePane::ConsolePane(QWidget* parent) : QAbstractScrollArea(parent) {
  static const bool factoryInstalled = [] {
    QAccessible::installFactory(PaneAccessibleFactory);
    return true;
  }();
  (void)factoryInstalled;
  auto* view = new PaneViewport;
  view->setBackgroundRole(QPalette::Base);
  view->setAutoFillBackground(true);
  setViewport(view);
  if (PaneScreen::wanted()) PaneScreen::prepare(view);
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
  renderer_.setFont(drawFont());
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
                                             : ClampToInt(text_.rowOf(topPos)));
    adjusting_ = false;
  } else {
    adjusting_ = true;
    tail_ = 0;
    updateScrollBars();
    if (following_) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    adjusting_ = false;
  }
  redraw(viewport()->rect());
}

void ConsolePane::updateScrollBars() {
  const int page = pageRows();
  QScrollBar* v = verticalScrollBar();
  const bool wasAdjusting = adjusting_;
  adjusting_ = true;
  if (v->pageStep() != page) v->setPageStep(page);
  if (v->singleStep() != 1) v->setSingleStep(1);
  v->setRange(0, std::max(0, ClampToInt(text_.rowCount()) - page) + tail_);
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
  if (sizeShown_ != text_.size()) {
    // What showing it asks to be drawn is drawn just below, in this frame.
    refreshing_ = true;
    showArrived();
    refreshing_ = false;
  }
  paintNow();
}

void ConsolePane::showArrived() {
  QScrollBar* v = verticalScrollBar();
  // Rows from the one that held the end of what was drawn have changed;
  // those before it have not, they only move up as the pane follows.
  const std::size_t shownBefore = std::min(sizeShown_, text_.size());
  const std::size_t changed = text_.rowOf(shownBefore);
  // In that row, what was drawn before the old end stays as it is (the
  // caret, drawn there when the pane has the focus, aside).
  const int keptX = focused_ ? 0
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
    // The changed row right of what it kept, and every row below it, as
    // far right as their text reaches (with room for a glyph's overhang
    // and the caret): right of that they are blank already.
    std::uint64_t widest = 0;
    const std::size_t lastShown = std::min(last, top + std::size_t(pageRows()));
    for (std::size_t r = std::max(changed, top); r <= lastShown; ++r)
      widest = std::max(widest, text_.widthOf(text_.rowStart(r), text_.rowEnd(r)));
    const int width = std::min<std::uint64_t>(viewport()->width(),
                                              kMargin + (widest + 2 * std::uint64_t(maxCharWidth_)) / kSubpixels + 2);
    const int kept = changed >= top ? std::min(keptX, width) : 0;
    const QRect parts[] = {QRect(kept, y, width - kept, std::min(lineHeight_, bottom - y)),
                           QRect(0, y + lineHeight_, width, bottom - y - lineHeight_)};
    QRect nonEmpty[2];
    int count = 0;
    for (const QRect& part : parts)
      if (!part.isEmpty()) nonEmpty[count++] = part;
    QRegion dirty;
    dirty.setRects(nonEmpty, count);
    redraw(dirty);
  }
  if (QAccessible::isActive() && announced_ < text_.size()) {
    announced_ = std::max(announced_, text_.size() > kAnnounceMax ? text_.size() - kAnnounceMax : 0);
    QAccessibleTextInsertEvent inserted(this, ClampToInt(announced_),
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
  renderer_.forgetRows();
  sizeShown_ = 0;
  announced_ = 0;
  updateScrollBars();
  redraw(viewport()->rect());
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
  redraw(viewport()->rect());
}

void ConsolePane::setSelection(std::size_t anchor, std::size_t caret) {
  anchor_ = std::min(anchor, text_.size());
  caret_ = std::min(caret, text_.size());
  preferredX_ = -1;
  ensureVisible(anchor_);
  ensureVisible(caret_);
  selectionChanged();
  updateFollowing();
  redraw(viewport()->rect());
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
  QAccessibleTextSelectionEvent event(this, ClampToInt(selectionStart()),
                                            ClampToInt(selectionEnd()));
  event.setCursorPosition(ClampToInt(caret_));
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
    v->setValue(ClampToInt(row > std::size_t(inset) ? row - std::size_t(inset) : 0));
  else if (row >= top + page)
    v->setValue(ClampToInt(row - page + 1 - std::size_t(inset)));
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
  pixelRatio_ = viewport()->devicePixelRatio();
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
  if (std::abs(dy) > pageRows() || !window || !window->isExposed()) return redraw(viewport()->rect());
  if (!screen_.attached()) return viewport()->scroll(0, dy * lineHeight_);
  // Straight on the display: the server moves the pixels, and what was
  // still to be drawn moves with them.
  const QRect area = viewport()->rect();
  const int moved = dy * lineHeight_;
  screen_.scroll(area, moved);
  unpainted_ = unpainted_.translated(0, moved) & area;
  redraw(moved < 0 ? QRect(0, area.height() + moved, area.width(), -moved) : QRect(0, 0, area.width(), moved));
}

void ConsolePane::redraw(const QRegion& area) {
  if (!screen_.attached()) return viewport()->update(area);
  // Straight on the display, the pane draws in the next frame, by itself.
  if (unpainted_.isEmpty() && viewport()->rect().contains(area.boundingRect()))
    unpainted_ = area;
  else
    unpainted_ += area & viewport()->rect();
  if (!refreshing_) frameClock().requestFrame(this);
}

void ConsolePane::paintNow() {
  // While the pane is not seen, what it is to draw waits: the display asks
  // for the whole pane when it is seen again.
  const QWindow* window = viewport()->window()->windowHandle();
  if (!screen_.attached() || unpainted_.isEmpty() || !viewport()->isVisible() || !window || !window->isExposed())
    return;
  const PaneRenderer::View view = shown();
  // Below the last row the pane is its background, filled by the server.
  QRegion blank;
  if (view.background.style() == Qt::SolidPattern && view.background.color().alpha() == 255) {
    const std::size_t rows = text_.rowCount(), top = view.top;
    const int end = rows > top ? int(std::min<std::size_t>(rows - top, std::size_t(pageRows()) + 1)) * lineHeight_ : 0;
    blank = unpainted_ & QRect(0, end, viewport()->width(), std::max(0, viewport()->height() - end));
  }
  for (const QRect& part : unpainted_ - blank) {
    renderer_.paintImage(screen_.canvas(part.size()), part, view);
    screen_.put(part.topLeft());
  }
  for (const QRect& part : blank) screen_.fill(part, view.background.color().rgb());
  unpainted_ = QRegion();
  screen_.flush();
}

PaneRenderer::View ConsolePane::shown() const {
  const QPalette& colours = palette();
  return {text_,
          topRow(),
          lineHeight_,
          selectionStart(),
          selectionEnd(),
          caret_,
          focused_ && !hasSelection(),
          colours.color(QPalette::Text),
          colours.color(QPalette::Highlight),
          colours.color(QPalette::HighlightedText),
          viewport()->palette().brush(viewport()->backgroundRole()),
          viewport()->width(),
          pixelRatio_};
}

void ConsolePane::focusInEvent(QFocusEvent*) {
  focused_ = true;
  // Only the caret shows the focus: the received text is not drawn again.
  redraw(characterRect(caret_).adjusted(-2, 0, 2, 0));
}

void ConsolePane::focusOutEvent(QFocusEvent*) {
  focused_ = false;
  redraw(characterRect(caret_).adjusted(-2, 0, 2, 0));
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
  // A change of the screen's scale repaints the window: it is read here,
  // not at every frame (asking the widget goes through its window and
  // screen).
  pixelRatio_ = viewport()->devicePixelRatio();
  auto* own = static_cast<PaneViewport*>(viewport());
  // A viewport the display cannot take is left to Qt, which paints it again.
  if (own->direct && !screen_.attach(own)) return;
  if (screen_.attached()) {
    // The display asks for a part (the pane shown, or a window over it
    // gone): drawn now, with whatever else waits.
    unpainted_ += event->region();
    paintNow();
    return;
  }
  QPainter p(viewport());
  renderer_.paint(p, event->rect(), shown());
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
  redraw(viewport()->rect());
}

void ConsolePane::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return;
  const QPoint pt = event->position().toPoint();
  if (pt.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  if (pt.y() > viewport()->height()) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  caret_ = positionAt(pt);
  selectionChanged();
  redraw(viewport()->rect());
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
  redraw(viewport()->rect());
}

void ConsolePane::moveCaret(std::size_t pos, bool extend) {
  caret_ = std::min(pos, text_.size());
  if (!extend) anchor_ = caret_;
  ensureVisible(caret_);
  selectionChanged();
  updateFollowing();
  redraw(viewport()->rect());
}

bool ConsolePane::event(QEvent* event) {
  // Ctrl+F in a pane finds in this pane: the window's own Ctrl+F, for the
  // keyboard anywhere else, stands back.
  if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Find)) {
    event->accept();
    return true;
  }
  if (event->type() == QEvent::ScreenChangeInternal) pixelRatio_ = viewport()->devicePixelRatio();
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
    return moveCaret(moveTarget(m.move), extend);
  }
  QAbstractScrollArea::keyPressEvent(event);
}

std::size_t ConsolePane::rowMove(std::size_t row, long rows) {
  // Up and down keep the x the caret had when the vertical moves began.
  if (preferredX_ < 0) preferredX_ = std::int64_t(text_.widthOf(text_.rowStart(row), caret_));
  const long target = std::clamp(long(row) + rows, 0L, long(text_.rowCount()) - 1);
  return positionInRow(std::size_t(target), std::uint64_t(preferredX_));
}

std::size_t ConsolePane::moveTarget(QKeySequence::StandardKey move) {
  const std::size_t row = text_.rowOf(caret_);
  const long page = pageRows();
  switch (move) {
    case QKeySequence::MoveToNextChar: return std::min(caret_ + 1, text_.size());
    case QKeySequence::MoveToPreviousChar: return caret_ > 0 ? caret_ - 1 : 0;
    case QKeySequence::MoveToNextWord: return WordEndAfter(text_, caret_);
    case QKeySequence::MoveToPreviousWord: return WordStartBefore(text_, caret_);
    case QKeySequence::MoveToNextLine: return rowMove(row, 1);
    case QKeySequence::MoveToPreviousLine: return rowMove(row, -1);
    case QKeySequence::MoveToNextPage:
      verticalScrollBar()->setValue(verticalScrollBar()->value() + int(page));
      return rowMove(row, page);
    case QKeySequence::MoveToPreviousPage:
      verticalScrollBar()->setValue(verticalScrollBar()->value() - int(page));
      return rowMove(row, -page);
    case QKeySequence::MoveToStartOfLine: return text_.rowStart(row);
    case QKeySequence::MoveToEndOfLine: return text_.rowEnd(row);
    case QKeySequence::MoveToStartOfDocument: return 0;
    case QKeySequence::MoveToEndOfDocument: return text_.size();
    default: return caret_;
  }
}

}  // namespace kvl
