// The content of one console pane, kept apart from any widget: the text as
// shown, as Windows-1251 bytes (what the device sent, one byte a character),
// its colour runs, its lines and its display rows at the pane's width.
//
// The bytes live in fixed chunks that are never copied as the text grows,
// with the line index beside them, so an append costs what the appended text
// costs however much the pane already holds. Rows are not stored: each line
// keeps its width, a row is found from the widths when it is drawn, and a
// new pane width costs one pass over the lines, not over the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvl {

// Width of each byte value as the view draws it, in the view's units (the
// pane counts 1/64 of a pixel); at least 1.
using ByteWidths = std::array<std::uint16_t, 256>;

class ConsoleText {
 public:
  // A line break in the store: "\r\n", a lone "\r" and a lone "\n" of the
  // appended text each become one, also when a pair is split between two
  // appends.
  static constexpr char kBreak = '\n';

  ConsoleText();
  ~ConsoleText();
  ConsoleText(const ConsoleText&) = delete;
  ConsoleText& operator=(const ConsoleText&) = delete;

  // Appends Windows-1251 text in a colour (a Windows colour value). When
  // shownCrlf is given, what the pane shows of the text is appended to it,
  // each line break as CR LF.
  void append(std::uint32_t colour, std::string_view bytes, std::string* shownCrlf = nullptr);
  void clear();

  std::size_t size() const { return size_; }
  unsigned char at(std::size_t pos) const {
    return static_cast<unsigned char>(chunks_[pos >> kChunkShift][pos & kChunkMask]);
  }
  // The bytes of [from, to), line breaks as kBreak.
  std::string bytes(std::size_t from, std::size_t to) const;
  // The same decoded, line breaks as '\n'.
  std::u16string text(std::size_t from, std::size_t to) const;

  // Lines: line i covers [lineStart(i), lineEnd(i)), without its break.
  std::size_t lineCount() const { return lines_.size(); }
  std::size_t lineStart(std::size_t line) const { return lines_[line].start; }
  std::size_t lineEnd(std::size_t line) const;
  std::size_t lineOf(std::size_t pos) const;

  // Wrapping. Every byte value has a width (1 until the view gives its
  // font's). A line is cut into rows of rowWidth: a character belongs to the
  // row in which it ends, so a line of width W takes ceil(W / rowWidth) rows
  // (one when empty), and a row drawn from its first character is at most
  // rowWidth plus the widest character less one wide.
  void setWidths(const ByteWidths& widths);     // a pass over the text
  void setRowWidth(std::uint64_t rowWidth);     // a pass over the lines
  const ByteWidths& widths() const { return widths_; }
  std::uint64_t rowWidth() const { return rowWidth_; }

  // Display rows: row r covers [rowStart(r), rowEnd(r)), without a line
  // break. There is always at least one (possibly empty) row.
  std::size_t rowCount() const { return completedRows_ + rowsFor(openWidth_); }
  std::size_t rowStart(std::size_t row) const;
  std::size_t rowEnd(std::size_t row) const;
  // The row that holds the character at pos; the end of a line (where its
  // break stands) belongs to the line's last row. pos may equal size().
  std::size_t rowOf(std::size_t pos) const;
  // Width of [from, to), which lie in one line.
  std::uint64_t widthOf(std::size_t from, std::size_t to) const;

  // Colour runs: run i starts at runs()[i].start and ends where the next
  // one starts.
  struct Run {
    std::size_t start;
    std::uint32_t colour;
  };
  const std::deque<Run>& runs() const { return runs_; }
  std::size_t runIndexAt(std::size_t pos) const;
  std::uint32_t colourAt(std::size_t pos) const;
  // The runs as (text, colour) pairs, in order, line breaks as '\n'.
  std::vector<std::pair<std::u16string, std::uint32_t>> runTexts() const;

  // A range of the text.
  struct Range {
    std::size_t start;
    std::size_t end;
    bool operator==(const Range&) const = default;
  };
  // The first occurrence of needle (Windows-1251 bytes) that starts at or
  // after from (forward), or the last that starts before from (backward).
  // Without matchCase, Latin and Cyrillic letters match either case.
  std::optional<Range> find(std::string_view needle, std::size_t from, bool forward,
                            bool matchCase) const;
  // The word around pos: letters, digits and '_' on both sides of it.
  Range wordAt(std::size_t pos) const;

 private:
  static constexpr unsigned kChunkShift = 18;  // 256 KB chunks
  static constexpr std::size_t kChunkBytes = std::size_t(1) << kChunkShift;
  static constexpr std::size_t kChunkMask = kChunkBytes - 1;
  // Every kCheckBytes the x position within its line is kept, so that a
  // row deep in a long line is found without measuring the line from its
  // start.
  static constexpr std::size_t kCheckBytes = 4096;
  // The first row of every kBlockLines-th line is kept; rows of the lines
  // between are summed from their widths.
  static constexpr std::size_t kBlockLines = 64;

  struct Line {
    std::size_t start;
    std::uint64_t width;  // of a finished line; the open one has openWidth_
  };

  std::size_t rowsFor(std::uint64_t width) const {
    return width == 0 ? 1 : std::size_t((width + rowWidth_ - 1) / rowWidth_);
  }
  std::uint64_t lineWidth(std::size_t line) const {
    return line + 1 < lines_.size() ? lines_[line].width : openWidth_;
  }
  std::size_t lineFirstRow(std::size_t line) const;
  // x of pos within its line (the width of the line before it).
  std::uint64_t xAt(std::size_t line, std::size_t pos) const;
  std::size_t lineOfRow(std::size_t row, std::size_t* firstRow) const;
  // First position of the line whose character ends beyond x.
  std::size_t positionEndingAfter(std::size_t line, std::uint64_t x) const;
  void noteColour(std::uint32_t colour);
  void putPlain(const char* bytes, std::size_t count);
  void putBreak();
  char* room();
  void rebuildRows();

  std::vector<std::unique_ptr<char[]>> chunks_;
  std::size_t size_ = 0;
  std::deque<Line> lines_;
  std::deque<std::uint64_t> checkpoints_;   // x at position k * kCheckBytes
  std::deque<std::size_t> blockFirstRow_;   // first row of line k * kBlockLines
  std::deque<Run> runs_;
  std::uint64_t openWidth_ = 0;             // width of the last line so far
  std::size_t completedRows_ = 0;           // rows of all lines but the last
  ByteWidths widths_;
  std::uint64_t rowWidth_ = 512;
  bool endsInCR_ = false;
};

}  // namespace kvl
