#include "app/GlyphBlitter.h"

#include <QGlyphRun>
#include <QPainter>
#include <algorithm>
#include <cstring>

namespace kvl {

namespace {

// Qt's byte multiply: each channel of x times a / 255, rounded as Qt does.
inline std::uint32_t ByteMul(std::uint32_t x, std::uint32_t a) {
  std::uint32_t t = (x & 0xff00ff) * a;
  t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
  t &= 0xff00ff;
  x = ((x >> 8) & 0xff00ff) * a;
  x = (x + ((x >> 8) & 0xff00ff) + 0x800080);
  x &= 0xff00ff00;
  return x | t;
}

// Room around a glyph when its coverage is rasterised.
constexpr int kPad = 8;

}  // namespace

QRgb GlyphBlitter::Blend(QRgb dst, QRgb src, int c) {
  if (c <= 0) return dst;
  if (c >= 255) return src;
  const std::uint32_t s = ByteMul(src, std::uint32_t(c));
  return s + ByteMul(dst, qAlpha(~s));
}

void GlyphBlitter::reset(const QRawFont& font, int rowHeight, int ascent, QImage::Format format) {
  font_ = font;
  rowHeight_ = rowHeight;
  ascent_ = ascent;
  format_ = format;
  tiles_.clear();
  tableGeneration_ = 0;
  findPhaseTiles();
}

QImage GlyphBlitter::coverageImage(quint32 glyph, int phase, int* penX) const {
  // White on black gives the coverage in every channel.
  const QRectF box = font_.boundingRect(glyph);
  const int width = int(box.width()) + 2 * kPad + 2;
  const int height = rowHeight_ + 2 * kPad;
  QImage img(std::max(1, width), std::max(1, height), format_);
  img.fill(0xff000000);
  QPainter p(&img);
  p.setPen(Qt::white);
  QGlyphRun run;
  run.setRawFont(font_);
  run.setGlyphIndexes({glyph});
  run.setPositions({QPointF(0, 0)});
  *penX = kPad - std::min(0, int(std::floor(box.left())));
  p.drawGlyphRun(QPointF(*penX + qreal(phase) / kPhases, kPad + ascent_), run);
  return img;
}

void GlyphBlitter::findPhaseTiles() {
  for (int phase = 0; phase < kPhases; ++phase) phaseTile_[std::size_t(phase)] = phase;
  // Qt puts a glyph at one of a few subpixel positions (a quarter pixel
  // apart with FreeType), the same for every glyph of a font: a run of
  // phases that draws each of these glyphs alike is one position. A font
  // placed at every phase keeps 64.
  std::vector<quint32> probes;
  for (const quint32 g : font_.glyphIndexesForString(QStringLiteral("W@m8")))
    if (g != 0) probes.push_back(g);
  if (probes.empty() || format_ == QImage::Format_Invalid || rowHeight_ <= 0) return;
  std::vector<QImage> before(probes.size());
  int first = 0;
  for (int phase = 0; phase < kPhases; ++phase) {
    bool alike = phase > 0;
    for (std::size_t i = 0; i < probes.size(); ++i) {
      int penX = 0;
      QImage img = coverageImage(probes[i], phase, &penX);
      alike = alike && img == before[i];
      before[i] = std::move(img);
    }
    if (!alike) first = phase;
    phaseTile_[std::size_t(phase)] = first;
  }
}

GlyphBlitter::Tile& GlyphBlitter::makeTile(quint32 glyph, int phase) {
  if (glyph >= tiles_.size()) tiles_.resize(std::size_t(glyph) + 1);
  auto& slot = tiles_[glyph];
  if (!slot) slot = std::make_unique<std::array<Tile, kPhases>>();
  Tile& t = (*slot)[std::size_t(phase)];
  t.ready = true;
  int penX = 0;
  const QImage img = coverageImage(glyph, phase, &penX);
  t.dx = -penX;
  const int imgWidth = img.width(), imgHeight = img.height();
  int left = imgWidth, right = -1, top = imgHeight, bottom = -1;
  for (int y = 0; y < imgHeight; ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < imgWidth; ++x) {
      const QRgb px = line[x];
      if ((px & 0xffffff) == 0) continue;
      if (qRed(px) != qGreen(px) || qGreen(px) != qBlue(px)) return t;  // subpixel text: Qt draws it
      left = std::min(left, x);
      right = std::max(right, x);
      top = std::min(top, y);
      bottom = std::max(bottom, y);
    }
  }
  if (right < 0) {  // nothing to draw (a space)
    t.usable = true;
    return t;
  }
  // The coverage touching the rasterised image's edge may have been cut.
  if (left == 0 || top == 0 || right == imgWidth - 1 || bottom == imgHeight - 1) return t;
  t.dx += left;
  t.dy = top - kPad;
  t.w = right - left + 1;
  t.h = bottom - top + 1;
  if (t.dy < 0 || t.dy + t.h > rowHeight_) return t;  // reaches into the next row
  if (t.w > 255) return t;  // wider than inkFrom counts: Qt draws it
  t.coverage.resize(std::size_t(t.w) * std::size_t(t.h));
  t.inkFrom.assign(std::size_t(t.h), std::uint8_t(t.w));
  for (int y = 0; y < t.h; ++y) {
    const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(top + y));
    for (int x = 0; x < t.w; ++x) {
      const std::uint8_t c = std::uint8_t(qRed(line[left + x]));
      t.coverage[std::size_t(y * t.w + x)] = c;
      if (c != 0 && x < t.inkFrom[std::size_t(y)]) t.inkFrom[std::size_t(y)] = std::uint8_t(x);
    }
  }
  t.usable = true;
  return t;
}

bool GlyphBlitter::drawRow(QImage& row, const quint32* glyphs, const std::uint64_t* x64, std::size_t count,
                           QRgb colour, QRgb background, std::size_t* drawnToInOut) {
  if (row.devicePixelRatio() != 1.0) return false;
  return drawRow(Pixels::of(row), glyphs, x64, count, colour, background, drawnToInOut);
}

bool GlyphBlitter::drawRow(const Pixels& row, const quint32* glyphs, const std::uint64_t* x64, std::size_t count,
                           QRgb colour, QRgb background, std::size_t* drawnToInOut) {
  if (row.format != format_ || row.height != rowHeight_ || qAlpha(colour) != 255 || qAlpha(background) != 255)
    return false;
  // Every glyph first: the row is left as it is if one cannot be drawn.
  rowTiles_.clear();
  for (std::size_t i = 0; i < count; ++i) {
    Tile& t = tile(glyphs[i], int(x64[i] % kPhases));
    const std::int64_t x = std::int64_t(x64[i] / kPhases) + t.dx;
    if (!t.usable || (t.w > 0 && (x < 0 || x + t.w > row.width))) return false;
    rowTiles_.push_back(&t);
  }
  if (tableGeneration_ == 0 || tableColour_ != colour || tableBackground_ != background) {
    for (int c = 0; c < 256; ++c) table_[std::size_t(c)] = Blend(background, colour, c);
    tableColour_ = colour;
    tableBackground_ = background;
    ++tableGeneration_;
  }
  const std::size_t stride = row.stride;
  QRgb* bits = row.bits;
  // Pixels left of this were drawn by an earlier glyph of the row.
  std::size_t drawnTo = *drawnToInOut;
  for (std::size_t i = 0; i < count; ++i) {
    Tile& t = *rowTiles_[i];
    if (t.w == 0) continue;
    const std::size_t x = std::size_t(x64[i] / kPhases + std::uint64_t(std::int64_t(t.dx)));
    // Columns from drawnTo on are still background in every row: each
    // pixel there is the colour its coverage gives on it (none gives the
    // background itself), worked out once per glyph and colour and copied.
    // Columns an earlier glyph reached are blended over what it drew.
    const int shared = x < drawnTo ? int(std::min<std::size_t>(drawnTo - x, std::size_t(t.w))) : 0;
    const bool narrow = t.w <= kNarrowWidth;
    const int pixelsWidth = narrow ? kPaddedWidth : t.w;
    if (t.pixelsOf != tableGeneration_) {
      t.pixels.assign(std::size_t(pixelsWidth) * std::size_t(t.h), background);
      for (int y = 0; y < t.h; ++y)
        for (int k = 0; k < t.w; ++k)
          t.pixels[std::size_t(y * pixelsWidth + k)] = table_[t.coverage[std::size_t(y * t.w + k)]];
      t.pixelsOf = tableGeneration_;
    }
    const std::uint8_t* cov = t.coverage.data();
    const QRgb* from = t.pixels.data();
    // A narrow glyph whose block stays inside the row: what lies right of
    // its box is background and stays so.
    const bool block = narrow && shared < t.w && x + std::size_t(shared + kNarrowWidth) <= std::size_t(row.width);
    QRgb* d = bits + std::size_t(t.dy) * stride + x;
    if (block && shared == 0) {  // the common case, a glyph clear of the one before
      for (int y = 0; y < t.h; ++y, d += stride, from += kPaddedWidth)
        std::memcpy(d, from, kNarrowWidth * sizeof(QRgb));
      drawnTo = std::max(drawnTo, x + std::size_t(t.w));
      continue;
    }
    for (int y = 0; y < t.h; ++y, cov += t.w, from += pixelsWidth, d += stride) {
      for (int k = t.inkFrom[std::size_t(y)]; k < shared; ++k) {
        const int c = cov[k];
        if (c != 0) d[k] = d[k] == background ? from[k] : Blend(d[k], colour, c);
      }
      if (block) std::memcpy(d + shared, from + shared, kNarrowWidth * sizeof(QRgb));
      else std::memcpy(d + shared, from + shared, std::size_t(t.w - shared) * sizeof(QRgb));
    }
    drawnTo = std::max(drawnTo, x + std::size_t(t.w));
  }
  *drawnToInOut = drawnTo;
  return true;
}

}  // namespace kvl
