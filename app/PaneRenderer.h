// Draws a console pane's rows. A row of one colour with nothing selected
// is composed by the glyph blitter (app/GlyphBlitter) from the font's glyph
// for each byte value and copied to the screen whole; a row holding the
// selection or several colours, or one the blitter cannot draw exactly, is
// drawn by Qt, piece by piece, as glyph runs (as text where a byte has no
// glyph). Then the selected line break and the caret.
//
// The renderer keeps what drawing needs from the font and the glyphs drawn
// so far; the pane tells it, at each paint, what it shows (PaneRenderer::View).
#pragma once

#include "app/Pixels.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPointF>
#include <QRawFont>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "app/ConsoleText.h"
#include "app/GlyphBlitter.h"

class QPainter;
class QRect;

namespace kvl {

class PaneRenderer {
 public:
  // Rows are drawn this far (in pixels) from the pane's left edge.
  static constexpr int kMargin = 3;
  // The text's widths are kept in 1/kSubpixels of a pixel.
  static constexpr int kSubpixels = 64;

  // What the pane shows, as it is at this paint.
  struct View {
    const ConsoleText& text;
    std::size_t top;  // the row at the top
    int lineHeight;
    std::size_t selFrom, selTo;
    std::size_t caret;
    bool drawCaret;  // the pane has the focus and nothing is selected
    QColor textColour, highlight, highlightText;  // the pane's
    QBrush background;                            // the viewport's
    int width;                                    // the viewport's
    qreal devicePixelRatio;
  };

  // Takes the pane's drawing font: its glyph for each byte value is looked
  // up once here, so nothing is shaped again when a row is drawn again.
  void setFont(const QFont& font);

  // Draws the rows that area (in viewport coordinates) covers.
  void paint(QPainter& p, const QRect& area, const View& view);
  // Draws the same into image, whose top left is the area's top left. A
  // row the blitter composes is copied into it line by line; a painter is
  // opened on it only for what the blitter does not draw.
  void paintImage(const Pixels& image, const QRect& area, const View& view);
  // The text was cleared: the row composed last is no longer in it.
  void forgetRows() { composed_ = Composed{}; }

 private:
  // A row being drawn: pos and run move along it, x is how far it is drawn
  // (in subpixels from the margin).
  struct Row {
    std::size_t index, start, end;
    int y;
    std::uint64_t x;
    std::size_t pos, run;
  };
  // Whether a paint on an image of this format can go through the blitter
  // (a 32-bit image at scale 1 over a flat background); readies the
  // blitter and the row image.
  bool prepareBlit(QImage::Format format, const View& v);
  static QImage::Format ImageFormat(QPainter& p);
  Row rowAt(const View& v, std::size_t r) const;
  // A row of one colour with nothing selected in it.
  static bool Blittable(const View& v, const Row& row);
  void drawRow(QPainter& p, const View& v, std::size_t r, bool blit);
  // The fast path: the whole row composed by the blitter in rowImage_.
  // False, with the row left to Qt, when some byte of it has no glyph or
  // the blitter cannot draw it exactly. The row composed last is kept: as
  // it grows, only the glyphs added are drawn.
  bool composeRow(const View& v, Row& row);
  // The same, straight into the image's lines from y on, for a row that no
  // longer grows (no row image is kept for it).
  bool composeInto(const Pixels& image, int y, const View& v, Row& row);
  // The glyphs of [from, to) and their pen positions into rowGlyphs_ and
  // rowX_, from *x on (in subpixels from the margin); false when a byte
  // has no glyph.
  bool gatherGlyphs(const View& v, std::size_t from, std::size_t to, std::uint64_t* x);
  static QRgb RowColour(const View& v, const Row& row);
  // The rest of the row, in pieces of one colour and selection, by Qt.
  void drawPieces(QPainter& p, const View& v, Row& row);
  // A selected line break after the row, and the caret.
  static bool HasRowEnd(const View& v, const Row& row);
  void drawRowEnd(QPainter& p, const View& v, const Row& row) const;

  QFont font_;
  int ascent_ = 0;
  int averageCharWidth_ = 0;
  // The glyph of each byte value in the font's own face, or 0 where a byte
  // is drawn as text (a control character, or one the face lacks).
  QRawFont rawFont_;
  std::array<quint32, 256> glyphs_{};
  // Rows of one colour are composed here and copied to the screen whole.
  GlyphBlitter blitter_;
  bool blitterFresh_ = false;
  QImage rowImage_;
  // What rowImage_ holds: the first `count` glyphs of the row that starts
  // at `start` (none when start is npos), `x` wide (in subpixels).
  struct Composed {
    std::size_t start = std::size_t(-1);
    std::size_t count = 0;
    std::uint64_t x = 0;
    std::size_t drawnTo = 0;  // pixels, for the blitter
    QRgb colour = 0, background = 0;
  } composed_;
  std::vector<quint32> rowGlyphs_;
  std::vector<std::uint64_t> rowX_;
  // A piece drawn by Qt.
  QList<quint32> pieceGlyphs_;
  QList<QPointF> piecePositions_;
};

}  // namespace kvl
