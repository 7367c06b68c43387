// Draws a row of glyphs of one font in one colour onto a flat background
// without Qt's per-glyph text path: each glyph's anti-aliased coverage is
// rasterised once per subpixel position Qt draws it at (by Qt, so it is
// the coverage Qt draws), turned once per colour pair into the colours it
// gives on the background, and a row is composed by copying those. Where
// two glyphs share a pixel, the second is blended over the first the way
// Qt's raster engine blends text onto a 32-bit image. The result is the
// image Qt draws, at a fraction of its cost.
//
// It draws only what it can draw exactly: grayscale anti-aliasing (a
// desktop set to subpixel "LCD" text is left to Qt), scale 1, glyphs that
// stay inside the row.
#pragma once

#include "app/Pixels.h"

#include <QImage>
#include <QRawFont>
#include <QRgb>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace kvl {

class GlyphBlitter {
 public:
  // Subpixel phases a glyph's position is kept in (1/64 of a pixel).
  static constexpr int kPhases = 64;

  // Forgets every glyph: the font, the row's height, the baseline's
  // distance from the row's top, or the target format changed.
  void reset(const QRawFont& font, int rowHeight, int ascent, QImage::Format format);

  // Draws glyphs[i] with its pen position at x64[i] (in 1/64 pixel from
  // the row's left edge) into row, in `colour`. Every pixel of row from
  // column *drawnTo on is `background`; those left of it were drawn by
  // earlier glyphs of the row, in the same colours, so that a row is drawn
  // alike in one call or in several, left to right. *drawnTo moves past
  // the glyphs drawn. False, with row and *drawnTo unchanged, when some
  // glyph cannot be drawn exactly this way (the caller draws the row as
  // text instead).
  bool drawRow(QImage& row, const quint32* glyphs, const std::uint64_t* x64, std::size_t count, QRgb colour,
               QRgb background, std::size_t* drawnTo);
  // The same into a row's lines inside a larger image (row.height is the
  // row's height).
  bool drawRow(const Pixels& row, const quint32* glyphs, const std::uint64_t* x64, std::size_t count, QRgb colour,
               QRgb background, std::size_t* drawnTo);

  // The blend Qt's raster engine applies to a pixel of an opaque 32-bit
  // image under text coverage c (0-255) in colour src.
  static QRgb Blend(QRgb dst, QRgb src, int c);

 private:
  struct Tile {
    bool ready = false;
    bool usable = false;  // inside the row, grayscale
    int dx = 0, dy = 0, w = 0, h = 0;  // from the pen's pixel and the row's top
    std::vector<std::uint8_t> coverage;
    // The first column of each line with coverage (w where none): left of
    // it the glyph leaves what lies under it alone.
    std::vector<std::uint8_t> inkFrom;
    // The glyph's box on the background in the colour of the table
    // generation `pixelsOf` (0: none yet). A narrow glyph's rows are
    // kPaddedWidth pixels, the background beyond its box, so that they are
    // copied as blocks of one size.
    std::vector<QRgb> pixels;
    std::uint32_t pixelsOf = 0;
  };
  static constexpr int kNarrowWidth = 16;
  static constexpr int kPaddedWidth = 2 * kNarrowWidth;
  // The tile of glyph at phase; one drawn before is found here, inline,
  // as every glyph of every row asks for its tile.
  Tile& tile(quint32 glyph, int phase) {
    // Phases Qt draws alike share the tile of the first of them.
    phase = phaseTile_[std::size_t(phase)];
    if (glyph < tiles_.size() && tiles_[glyph] && (*tiles_[glyph])[std::size_t(phase)].ready)
      return (*tiles_[glyph])[std::size_t(phase)];
    return makeTile(glyph, phase);
  }
  Tile& makeTile(quint32 glyph, int phase);
  // The glyph drawn white on black by Qt at `phase`, with its pen at
  // penX (whole pixels) from the image's left edge.
  QImage coverageImage(quint32 glyph, int phase, int* penX) const;
  // Works out phaseTile_ for the font.
  void findPhaseTiles();

  QRawFont font_;
  int rowHeight_ = 0;
  int ascent_ = 0;
  QImage::Format format_ = QImage::Format_Invalid;
  // Tiles by glyph and phase, made when first drawn.
  std::vector<std::unique_ptr<std::array<Tile, kPhases>>> tiles_;
  // The phase whose tile a phase uses: the first of the phases Qt draws
  // alike (one subpixel position).
  std::array<int, kPhases> phaseTile_{};
  // The colour each coverage gives on the background, for the last pair.
  QRgb tableColour_ = 0, tableBackground_ = 0;
  std::uint32_t tableGeneration_ = 0;  // counts the tables made since reset (0: none yet)
  std::array<QRgb, 256> table_{};
  std::vector<Tile*> rowTiles_;  // the row being drawn, glyph by glyph
};

}  // namespace kvl
