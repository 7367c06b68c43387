#include "app/ConsolePane.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

#include "ui/WinColour.h"

namespace kvl {
namespace {

constexpr int kMargin = 3;

QString Slice(const std::u16string& s, std::size_t from, std::size_t to) {
  return QString(reinterpret_cast<const QChar*>(s.data() + from), qsizetype(to - from));
}

}  // namespace

ConsolePane::ConsolePane(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setContextMenuPolicy(Qt::CustomContextMenu);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  viewport()->setCursor(Qt::IBeamCursor);
  refresh_.setSingleShot(true);
  refresh_.setInterval(25);
  connect(&refresh_, &QTimer::timeout, this, &ConsolePane::refresh);
  setFrameShape(QFrame::StyledPanel);
  updateScrollBars();
}

int ConsolePane::lineHeight() const { return fontMetrics().lineSpacing(); }

void ConsolePane::appendRun(std::uint32_t colour, std::string_view bytes) {
  text_.append(colour, bytes);
  anchor_ = caret_ = text_.size();
  followEnd_ = true;
  if (!refresh_.isActive()) refresh_.start();
}

void ConsolePane::refresh() {
  updateScrollBars();
  if (followEnd_) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  followEnd_ = false;
  viewport()->update();
}

void ConsolePane::clearPane() {
  text_.clear();
  anchor_ = caret_ = 0;
  followEnd_ = false;
  refresh_.stop();
  updateScrollBars();
  viewport()->update();
}

QString ConsolePane::toPlainText() const { return Slice(text_.text(), 0, text_.size()); }

QString ConsolePane::selectedText() const {
  return Slice(text_.text(), std::min(anchor_, caret_), std::max(anchor_, caret_));
}

void ConsolePane::selectAll() {
  anchor_ = 0;
  caret_ = text_.size();
  viewport()->update();
}

void ConsolePane::copy() const {
  if (hasSelection()) QApplication::clipboard()->setText(selectedText());
}

void ConsolePane::updateScrollBars() {
  const int page = std::max(1, viewport()->height() / lineHeight());
  QScrollBar* v = verticalScrollBar();
  v->setPageStep(page);
  v->setSingleStep(1);
  v->setRange(0, std::max(0, int(text_.rowCount()) - page));
  // The widest row, measured generously: rows are only measured when drawn.
  const int wide = int(text_.widestRow()) * fontMetrics().averageCharWidth() * 5 / 4 + 2 * kMargin;
  QScrollBar* h = horizontalScrollBar();
  h->setPageStep(viewport()->width());
  h->setSingleStep(fontMetrics().averageCharWidth() * 4);
  h->setRange(0, std::max(0, wide - viewport()->width()));
}

void ConsolePane::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
  updateScrollBars();
  if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void ConsolePane::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) updateScrollBars();
}

void ConsolePane::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  const QFontMetrics fm = fontMetrics();
  const int lh = lineHeight();
  const std::size_t first = std::size_t(verticalScrollBar()->value());
  const std::size_t rows = std::size_t(viewport()->height() / lh + 2);
  const std::size_t selFrom = std::min(anchor_, caret_), selTo = std::max(anchor_, caret_);
  const QColor highlight = palette().color(QPalette::Highlight);
  const QColor highlightText = palette().color(QPalette::HighlightedText);
  const auto& runs = text_.runs();
  const std::u16string& s = text_.text();
  for (std::size_t r = first; r < text_.rowCount() && r < first + rows; ++r) {
    const std::size_t start = text_.rowStart(r), end = text_.rowEnd(r);
    const int y = int(r - first) * lh;
    int x = kMargin - horizontalScrollBar()->value();
    std::size_t pos = start;
    std::size_t run = runs.empty() ? 0 : text_.runIndexAt(pos);
    while (pos < end) {
      // The next piece ends where the colour or the selection changes.
      std::size_t to = end;
      if (run + 1 < runs.size()) to = std::min(to, runs[run + 1].start);
      const bool selected = pos >= selFrom && pos < selTo;
      if (selected) to = std::min(to, selTo);
      else if (selFrom > pos) to = std::min(to, selFrom);
      const QString piece = Slice(s, pos, to);
      const int width = fm.horizontalAdvance(piece);
      if (x + width >= 0 && x < viewport()->width()) {
        if (selected) p.fillRect(QRect(x, y, width, lh), highlight);
        p.setPen(selected ? highlightText : runs.empty() ? palette().color(QPalette::Text)
                                                         : WinColour(runs[run].colour));
        p.drawText(x, y + fm.ascent(), piece);
      }
      x += width;
      pos = to;
      if (run + 1 < runs.size() && pos >= runs[run + 1].start) ++run;
    }
    // A selected line break shows as a small block after the row.
    if (selTo > end && selFrom <= end && end < s.size())
      p.fillRect(QRect(x, y, fm.averageCharWidth() / 2 + 1, lh), highlight);
  }
}

std::size_t ConsolePane::positionAt(const QPoint& pt) const {
  if (text_.size() == 0) return 0;
  const long row = long(verticalScrollBar()->value()) + std::max(0, pt.y()) / lineHeight();
  if (row >= long(text_.rowCount())) return text_.size();
  const std::size_t start = text_.rowStart(std::size_t(row)), end = text_.rowEnd(std::size_t(row));
  const QFontMetrics fm = fontMetrics();
  int x = kMargin - horizontalScrollBar()->value();
  for (std::size_t i = start; i < end; ++i) {
    const int w = fm.horizontalAdvance(QChar(text_.text()[i]));
    if (pt.x() < x + w / 2) return i;
    x += w;
  }
  return end;
}

void ConsolePane::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  const std::size_t pos = positionAt(event->position().toPoint());
  caret_ = pos;
  if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = pos;
  viewport()->update();
}

void ConsolePane::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return;
  const QPoint pt = event->position().toPoint();
  if (pt.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  if (pt.y() > viewport()->height()) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  caret_ = positionAt(pt);
  viewport()->update();
}

void ConsolePane::mouseDoubleClickEvent(QMouseEvent* event) {
  const std::size_t pos = positionAt(event->position().toPoint());
  const std::u16string& s = text_.text();
  auto wordChar = [&](std::size_t i) { return QChar(s[i]).isLetterOrNumber() || s[i] == u'_'; };
  std::size_t from = pos, to = pos;
  while (from > 0 && wordChar(from - 1)) --from;
  while (to < s.size() && wordChar(to)) ++to;
  anchor_ = from;
  caret_ = to;
  viewport()->update();
}

void ConsolePane::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) return copy();
  if (event->matches(QKeySequence::SelectAll)) return selectAll();
  QScrollBar* v = verticalScrollBar();
  switch (event->key()) {
    case Qt::Key_Home:
      if (event->modifiers() & Qt::ControlModifier) return v->setValue(0);
      break;
    case Qt::Key_End:
      if (event->modifiers() & Qt::ControlModifier) return v->setValue(v->maximum());
      break;
    default:
      break;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

}  // namespace kvl
