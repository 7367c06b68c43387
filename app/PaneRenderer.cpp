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
  const bool blit = prepareBlit(p, v);
  for (std::size_t r = first; r < v.text.rowCount() && r < stop; ++r) drawRow(p, v, r, blit);
}

bool PaneRenderer::prepareBlit(QPainter& p, const View& v) {
  // Rows of one colour, nothing selected, go through the glyph blitter
  // when the pane is painted on a 32-bit image at scale 1 over a flat
  // background.
  QImage::Format format = QImage::Format_Invalid;
  if (QPaintEngine* engine = p.paintEngine();
      engine && engine->type() == QPaintEngine::Raster && engine->paintDevice() &&
      engine->paintDevice()->devType() == QInternal::Image && v.devicePixelRatio == 1.0)
    format = static_cast<QImage*>(engine->paintDevice())->format();
  const QBrush& base = v.background;
  const bool blit = (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied) &&
                    base.style() == Qt::SolidPattern && base.color().alpha() == 255 && rawFont_.isValid();
  if (!blit) return false;
  const int lh = v.lineHeight;
  // The glyphs drawn so far serve any width of the pane.
  if (!blitterFresh_ || rowImage_.format() != format || rowImage_.height() != lh) {
    blitter_.reset(rawFont_, lh, ascent_, format);
    blitterFresh_ = true;
  }
  if (rowImage_.format() != format || rowImage_.height() != lh || rowImage_.width() != v.width)
    rowImage_ = QImage(std::max(1, v.width), lh, format);
  return true;
}

void PaneRenderer::drawRow(QPainter& p, const View& v, std::size_t r, bool blit) {
  const ConsoleText& text = v.text;
  const auto& runs = text.runs();
  Row row{};
  row.index = r;
  row.start = text.rowStart(r);
  row.end = text.rowEnd(r);
  row.y = int(r - v.top) * v.lineHeight;
  row.x = 0;
  row.pos = row.start;
  row.run = runs.empty() ? 0 : text.runIndexAt(row.pos);
  if (blit && row.start < row.end && !(v.selFrom < row.end && v.selTo > row.start) &&
      (row.run + 1 >= runs.size() || runs[row.run + 1].start >= row.end) && blitRow(p, v, row))
    row.pos = row.end;
  drawPieces(p, v, row);
  drawRowEnd(p, v, row);
}

bool PaneRenderer::blitRow(QPainter& p, const View& v, Row& row) {
  const ConsoleText& text = v.text;
  const auto& runs = text.runs();
  const ByteWidths& widths = text.widths();
  rowGlyphs_.clear();
  rowX_.clear();
  std::uint64_t x = 0;
  bool all = true;
  for (std::size_t i = row.start; i < row.end && all; ++i) {
    const unsigned char b = text.at(i);
    all = glyphs_[b] != 0;
    rowGlyphs_.push_back(glyphs_[b]);
    rowX_.push_back(std::uint64_t(kMargin) * kSubpixels + x);
    x += widths[b];
  }
  if (!all) return false;
  const QRgb colour = (runs.empty() ? v.textColour : WinColour(runs[row.run].colour)).rgba();
  const QColor base = v.background.color();
  rowImage_.fill(base);
  if (!blitter_.drawRow(rowImage_, rowGlyphs_.data(), rowX_.data(), rowGlyphs_.size(), colour, base.rgba()))
    return false;
  const QPainter::CompositionMode mode = p.compositionMode();
  p.setCompositionMode(QPainter::CompositionMode_Source);
  p.drawImage(0, row.y, rowImage_);
  p.setCompositionMode(mode);
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

void PaneRenderer::drawRowEnd(QPainter& p, const View& v, const Row& row) const {
  const ConsoleText& text = v.text;
  const qreal sub = kSubpixels;
  const int lh = v.lineHeight;
  const qreal right = kMargin + qreal(row.x) / sub;
  // A selected line break shows as a small block after the row.
  if (v.selTo > row.end && v.selFrom <= row.end && row.end < text.size() &&
      text.at(row.end) == static_cast<unsigned char>(ConsoleText::kBreak))
    p.fillRect(QRectF(right, row.y, averageCharWidth_ / 2 + 1, lh), v.highlight);
  if (v.drawCaret && v.caret >= row.start && v.caret <= row.end && text.rowOf(v.caret) == row.index) {
    const qreal cx = kMargin + qreal(text.widthOf(row.start, v.caret)) / sub;
    p.fillRect(QRectF(cx, row.y, 1, lh), v.textColour);
  }
}

}  // namespace kvl
