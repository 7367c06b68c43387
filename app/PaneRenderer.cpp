// The console pane's row renderer (app/PaneRenderer.h): the blitter's fast
// path for rows of one colour, Qt's glyph runs and text for the rest, the
// selected line break and the caret.
#include "app/PaneRenderer.h"

#include <QFontMetrics>
#include <QGlyphRun>
#include <QPaintEngine>
#include <QPainter>
#include <QRectF>
#include <algorithm>
#include <cstring>
#include <optional>

#include "core/Cp1251.h"
#include "ui/QtText.h"
#include "ui/WinColour.h"

namespace kvl {

void PaneRenderer::setFont(const QFont& font) {
  font_ = font;
  ascent_ = QFontMetrics(font_).ascent();
  averageCharWidth_ = QFontMetrics(font_).averageCharWidth();
  // Glyphs of the font's own face, looked up once: a printable character
  // the face has is drawn as that glyph at the position its width gives,
  // which is where drawing the text would put it. Anything else is drawn
  // as text.
  rawFont_ = QRawFont::fromFont(font);
  blitterFresh_ = false;
  for (int b = 0; b < 256; ++b) {
    const QChar ch(Cp1251ToUnicode(static_cast<unsigned char>(b)));
    glyphs_[size_t(b)] = 0;
    if (!rawFont_.isValid() || !ch.isPrint() || ch.unicode() < 0x20 || b == ConsoleText::kBreak) continue;
    const QList<quint32> glyph = rawFont_.glyphIndexesForString(QString(ch));
    if (glyph.size() == 1) glyphs_[size_t(b)] = glyph.front();
  }
}

void PaneRenderer::paint(QPainter& p, const QRect& area, const View& v) {
  p.setFont(font_);
  const int lh = v.lineHeight;
  // Only the rows the area covers.
  const std::size_t first = v.top + std::size_t(std::max(0, area.top()) / lh);
  const std::size_t stop = v.top + std::size_t(std::max(0, area.bottom()) / lh) + 1;
  const bool blit = prepareBlit(ImageFormat(p), v);
  for (std::size_t r = first; r < v.text.rowCount() && r < stop; ++r) drawRow(p, v, r, blit);
}

namespace {

// Lines [from, to) of a 32-bit image in one colour: the first is filled,
// the others are copies of it (a copy goes many pixels at a time).
void FillLines(const Pixels& image, int from, int to, QRgb colour) {
  if (from >= to) return;
  QRgb* first = image.line(from);
  std::fill(first, first + image.width, colour);
  for (int line = from + 1; line < to; ++line)
    std::memcpy(image.line(line), first, std::size_t(image.width) * sizeof(QRgb));
}

// A painter on the pixels, opened when first needed, in the viewport's
// coordinates.
class LazyPainter {
 public:
  LazyPainter(const Pixels& pixels, QPoint origin, const QFont& font)
      : pixels_(pixels), origin_(origin), font_(font) {}
  QPainter& operator*() {
    if (!painter_) {
      image_ = pixels_.image();
      painter_.emplace(&image_);
      painter_->translate(-origin_);
      painter_->setFont(font_);
    }
    return *painter_;
  }

 private:
  const Pixels& pixels_;
  QPoint origin_;
  const QFont& font_;
  QImage image_;
  std::optional<QPainter> painter_;  // even an idle painter costs an allocation
};

}  // namespace

void PaneRenderer::paintImage(const Pixels& image, const QRect& area, const View& v) {
  LazyPainter p(image, area.topLeft(), font_);
  if (image.size() != area.size() || !prepareBlit(image.format, v)) {
    (*p).fillRect(area, v.background);
    paint(*p, area, v);
    return;
  }
  const QRgb base = v.background.color().rgba();
  const int lh = v.lineHeight;
  const std::size_t bytes = std::size_t(area.width()) * sizeof(QRgb);
  // An area from the left edge holds its rows' glyphs where the pane does
  // (a glyph past its right edge sends the row the other way).
  const bool fromLeft = area.left() == 0;
  for (int y = area.top(); y <= area.bottom();) {
    const std::size_t r = v.top + std::size_t(y / lh);
    const int rowTop = int(r - v.top) * lh;
    const int bandEnd = std::min(area.bottom() + 1, rowTop + lh);
    Row row = rowAt(v, r);
    const bool text = r < v.text.rowCount();
    const bool blit = text && Blittable(v, row);
    // A row no longer growing, whole in the image, is composed in place.
    const bool inPlace = blit && r + 1 < v.text.rowCount() && fromLeft && y == rowTop && bandEnd == rowTop + lh;
    if (inPlace && composeInto(image, y - area.top(), v, row)) {
      row.pos = row.end;
    } else if (blit && composeRow(v, row)) {
      for (int line = y; line < bandEnd; ++line)
        std::memcpy(image.line(line - area.top()),
                    rowImage_.constScanLine(line - rowTop) + std::size_t(area.left()) * sizeof(QRgb), bytes);
      row.pos = row.end;
    } else {
      FillLines(image, y - area.top(), bandEnd - area.top(), base);
      if (text && row.start < row.end) drawPieces(*p, v, row);
    }
    if (text && HasRowEnd(v, row)) drawRowEnd(*p, v, row);
    y = bandEnd;
  }
}

QImage::Format PaneRenderer::ImageFormat(QPainter& p) {
  if (QPaintEngine* engine = p.paintEngine();
      engine && engine->type() == QPaintEngine::Raster && engine->paintDevice() &&
      engine->paintDevice()->devType() == QInternal::Image)
    return static_cast<QImage*>(engine->paintDevice())->format();
  return QImage::Format_Invalid;
}

bool PaneRenderer::prepareBlit(QImage::Format format, const View& v) {
  // Rows of one colour, nothing selected, go through the glyph blitter
  // when the pane is painted on a 32-bit image at scale 1 over a flat
  // background.
  const QBrush& base = v.background;
  const bool blit = (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied) &&
                    v.devicePixelRatio == 1.0 && base.style() == Qt::SolidPattern &&
                    base.color().alpha() == 255 && rawFont_.isValid();
  if (!blit) return false;
  const int lh = v.lineHeight;
  // The glyphs drawn so far serve any width of the pane.
  if (!blitterFresh_ || rowImage_.format() != format || rowImage_.height() != lh) {
    blitter_.reset(rawFont_, lh, ascent_, format);
    blitterFresh_ = true;
    composed_ = Composed{};
  }
  if (rowImage_.format() != format || rowImage_.height() != lh || rowImage_.width() != v.width) {
    rowImage_ = QImage(std::max(1, v.width), lh, format);
    composed_ = Composed{};
  }
  return true;
}

PaneRenderer::Row PaneRenderer::rowAt(const View& v, std::size_t r) const {
  const ConsoleText& text = v.text;
  Row row{};
  row.index = r;
  row.y = int(r - v.top) * v.lineHeight;
  if (r >= text.rowCount()) return row;
  row.start = text.rowStart(r);
  row.end = text.rowEnd(r);
  row.pos = row.start;
  row.run = text.runs().empty() ? 0 : text.runIndexAt(row.pos);
  return row;
}

bool PaneRenderer::Blittable(const View& v, const Row& row) {
  const auto& runs = v.text.runs();
  return row.start < row.end && !(v.selFrom < row.end && v.selTo > row.start) &&
         (row.run + 1 >= runs.size() || runs[row.run + 1].start >= row.end);
}

void PaneRenderer::drawRow(QPainter& p, const View& v, std::size_t r, bool blit) {
  Row row = rowAt(v, r);
  if (blit && Blittable(v, row) && composeRow(v, row)) {
    const QPainter::CompositionMode mode = p.compositionMode();
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(0, row.y, rowImage_);
    p.setCompositionMode(mode);
    row.pos = row.end;
  }
  drawPieces(p, v, row);
  drawRowEnd(p, v, row);
}

bool PaneRenderer::gatherGlyphs(const View& v, std::size_t from, std::size_t to, std::uint64_t* x) {
  const ConsoleText& text = v.text;
  const ByteWidths& widths = text.widths();
  rowGlyphs_.clear();
  rowX_.clear();
  for (std::size_t i = from; i < to; ++i) {
    const unsigned char b = text.at(i);
    if (glyphs_[b] == 0) return false;
    rowGlyphs_.push_back(glyphs_[b]);
    rowX_.push_back(std::uint64_t(kMargin) * kSubpixels + *x);
    *x += widths[b];
  }
  return true;
}

QRgb PaneRenderer::RowColour(const View& v, const Row& row) {
  const auto& runs = v.text.runs();
  return (runs.empty() ? v.textColour : WinColour(runs[row.run].colour)).rgba();
}

bool PaneRenderer::composeInto(const Pixels& image, int y, const View& v, Row& row) {
  const QRgb colour = RowColour(v, row);
  const QRgb base = v.background.color().rgba();
  std::uint64_t x = 0;
  if (!gatherGlyphs(v, row.start, row.end, &x)) return false;
  FillLines(image, y, y + v.lineHeight, base);
  std::size_t drawnTo = 0;
  if (!blitter_.drawRow(image.lines(y, y + v.lineHeight), rowGlyphs_.data(), rowX_.data(), rowGlyphs_.size(),
                        colour, base, &drawnTo))
    return false;
  row.x = x;
  return true;
}

bool PaneRenderer::composeRow(const View& v, Row& row) {
  const QRgb colour = RowColour(v, row);
  const QRgb base = v.background.color().rgba();
  // Text is only ever added: a row that starts where the one composed last
  // did holds its glyphs and more.
  const std::size_t length = row.end - row.start;
  if (composed_.start != row.start || composed_.count > length || composed_.colour != colour ||
      composed_.background != base) {
    rowImage_.fill(base);
    composed_ = Composed{row.start, 0, 0, 0, colour, base};
  }
  std::uint64_t x = composed_.x;
  if (!gatherGlyphs(v, row.start + composed_.count, row.end, &x)) return false;
  if (!blitter_.drawRow(rowImage_, rowGlyphs_.data(), rowX_.data(), rowGlyphs_.size(), colour, base,
                        &composed_.drawnTo))
    return false;
  composed_.count = length;
  composed_.x = x;
  row.x = x;
  return true;
}

void PaneRenderer::drawPieces(QPainter& p, const View& v, Row& row) {
  const ConsoleText& text = v.text;
  const auto& runs = text.runs();
  const ByteWidths& widths = text.widths();
  const qreal sub = kSubpixels;
  while (row.pos < row.end) {
    // The next piece ends where the colour or the selection changes.
    const std::size_t pos = row.pos;
    std::size_t to = row.end;
    if (row.run + 1 < runs.size()) to = std::min(to, runs[row.run + 1].start);
    const bool selected = pos >= v.selFrom && pos < v.selTo;
    if (selected) to = std::min(to, v.selTo);
    else if (v.selFrom > pos) to = std::min(to, v.selFrom);
    pieceGlyphs_.clear();
    piecePositions_.clear();
    bool asGlyphs = true;
    std::uint64_t width = 0;
    for (std::size_t i = pos; i < to; ++i) {
      const unsigned char b = text.at(i);
      asGlyphs = asGlyphs && glyphs_[b] != 0;
      pieceGlyphs_.append(glyphs_[b]);
      piecePositions_.append(QPointF(qreal(width) / sub, 0));
      width += widths[b];
    }
    const qreal left = kMargin + qreal(row.x) / sub;
    if (selected) p.fillRect(QRectF(left, row.y, qreal(width) / sub, v.lineHeight), v.highlight);
    p.setPen(selected ? v.highlightText : runs.empty() ? v.textColour : WinColour(runs[row.run].colour));
    const QPointF baseline(left, row.y + ascent_);
    if (asGlyphs) {
      QGlyphRun glyphRun;
      glyphRun.setRawFont(rawFont_);
      glyphRun.setGlyphIndexes(pieceGlyphs_);
      glyphRun.setPositions(piecePositions_);
      p.drawGlyphRun(baseline, glyphRun);
    } else {
      p.drawText(baseline, FromCp1251(text.bytes(pos, to)));
    }
    row.x += width;
    row.pos = to;
    if (row.run + 1 < runs.size() && row.pos >= runs[row.run + 1].start) ++row.run;
  }
}

namespace {

bool SelectedBreak(const PaneRenderer::View& v, std::size_t rowEnd) {
  return v.selTo > rowEnd && v.selFrom <= rowEnd && rowEnd < v.text.size() &&
         v.text.at(rowEnd) == static_cast<unsigned char>(ConsoleText::kBreak);
}

bool CaretIn(const PaneRenderer::View& v, std::size_t index, std::size_t start, std::size_t end) {
  return v.drawCaret && v.caret >= start && v.caret <= end && v.text.rowOf(v.caret) == index;
}

}  // namespace

bool PaneRenderer::HasRowEnd(const View& v, const Row& row) {
  return SelectedBreak(v, row.end) || CaretIn(v, row.index, row.start, row.end);
}

void PaneRenderer::drawRowEnd(QPainter& p, const View& v, const Row& row) const {
  const ConsoleText& text = v.text;
  const qreal sub = kSubpixels;
  const int lh = v.lineHeight;
  const qreal right = kMargin + qreal(row.x) / sub;
  // A selected line break shows as a small block after the row.
  if (SelectedBreak(v, row.end)) p.fillRect(QRectF(right, row.y, averageCharWidth_ / 2 + 1, lh), v.highlight);
  if (CaretIn(v, row.index, row.start, row.end)) {
    const qreal cx = kMargin + qreal(text.widthOf(row.start, v.caret)) / sub;
    p.fillRect(QRectF(cx, row.y, 1, lh), v.textColour);
  }
}

}  // namespace kvl
