// The content of one console pane, kept apart from any widget: the text as
// shown, as Windows-1251 bytes (what the device sent, one byte a character),
// its colour runs, its lines and its display rows at the pane's width.
//
// The bytes live in fixed chunks that are never copied as the text grows,
// with the line index beside them, so an append costs what the appended text
// costs however much the pane already holds. A chunk that is full is kept
// compressed (Zstandard); a few chunks used last stay plain beside their
// compressed form, and any other is unpacked again when it is read, so a
// week of a device's output fits in little memory and every byte of it can
// still be drawn, selected, copied and found. Lines are kept in blocks of 64
// with their starts and widths packed as variable-length numbers. Rows are
// not stored: each line keeps its width, a row is found from the widths when
// it is drawn, and a new pane width costs one pass over the lines, not over
// the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
  // Bytes a chunk holds.
  static constexpr unsigned kChunkShift = 18;  // 256 KB chunks
  static constexpr std::size_t kChunkBytes = std::size_t(1) << kChunkShift;
  // Full chunks kept plain beside their compressed form, the ones used last.
  static constexpr std::size_t kPlainChunks = 4;

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
    const std::size_t chunk = pos >> kChunkShift;
    const char* data = chunk == lastChunk_ ? lastData_ : plainChunk(chunk);
    return static_cast<unsigned char>(data[pos & kChunkMask]);
  }
  // The bytes of [from, to), line breaks as kBreak.
  std::string bytes(std::size_t from, std::size_t to) const;
  // The same decoded, line breaks as '\n'.
  std::u16string text(std::size_t from, std::size_t to) const;
  // Hands the bytes of [from, to) to `piece` in order, a chunk's part at a
  // time, without copying them first.
  void forEachPiece(std::size_t from, std::size_t to,
                    const std::function<void(std::string_view)>& piece) const;

  // Full chunks are compressed when the view has time for them: up to
  // `most` of those waiting are compressed now; true while more wait. When
  // more than kPackBacklog wait, a chunk is compressed as soon as it is full.
  static constexpr std::size_t kPackBacklog = 32;
  bool packWaiting(std::size_t most);
  // Memory the store holds: full chunks compressed, and those plain now.
  std::size_t packedBytes() const;
  std::size_t plainChunkCount() const;

  // Lines: line i covers [lineStart(i), lineEnd(i)), without its break.
  std::size_t lineCount() const { return lineCount_; }
  std::size_t lineStart(std::size_t line) const;
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
  static constexpr std::size_t kChunkMask = kChunkBytes - 1;
  static constexpr std::size_t kNoChunk = ~std::size_t(0);
  // Every kCheckBytes the x position within its line is kept, so that a
  // row deep in a long line is found without measuring the line from its
  // start.
  static constexpr std::size_t kCheckBytes = 4096;
  // Lines are kept in blocks of kBlockLines; each block knows its first
  // position and its first row, and rows of the lines in it are summed from
  // their widths.
  static constexpr std::size_t kBlockLines = 64;

  struct Chunk {
    std::unique_ptr<char[]> plain;   // null while only the compressed form is held
    std::unique_ptr<char[]> packed;  // null for the chunk still being filled
    std::size_t packedSize = 0;
    std::uint64_t lastUse = 0;
  };
  struct Line {
    std::size_t start;
    std::uint64_t width;  // of a finished line; the open one has openWidth_
  };
  struct Block {
    std::size_t start;     // of its first line
    std::size_t firstRow;  // of its first line
    std::size_t packedAt;  // where its lines begin in lineBytes_, once packed
  };
  // One packed block of lines, unpacked.
  struct Unpacked {
    std::size_t block = kNoChunk;
    std::array<std::size_t, kBlockLines + 1> start{};  // [kBlockLines]: the next block's
    std::array<std::uint64_t, kBlockLines> width{};
  };
  struct Contexts;

  std::size_t rowsFor(std::uint64_t width) const {
    return width == 0 ? 1 : std::size_t((width + rowWidth_ - 1) / rowWidth_);
  }
  // Start and width of a line (the open one's width is openWidth_).
  Line line(std::size_t line) const;
  const Unpacked& unpacked(std::size_t block) const;
  std::uint64_t lineWidth(std::size_t l) const { return line(l).width; }
  std::size_t lineFirstRow(std::size_t line) const;
  // x of pos within its line (the width of the line before it).
  std::uint64_t xAt(std::size_t line, std::size_t pos) const;
  std::size_t lineOfRow(std::size_t row, std::size_t* firstRow) const;
  // The line lineOfRow() found last, with its first row.
  struct RowHint {
    bool valid = false;
    std::size_t line = 0, first = 0;
  };
  mutable RowHint rowHint_;
  // First position of the line whose character ends beyond x.
  std::size_t positionEndingAfter(std::size_t line, std::uint64_t x) const;
  void noteColour(std::uint32_t colour);
  void putPlain(const char* bytes, std::size_t count);
  void putBreak();
  // The line that ends here is finished; the next starts at `next`.
  void endLine(std::size_t next);
  void packLines(std::size_t next);
  void resetIndex();
  char* room();
  void packChunk(std::size_t chunk);
  // Gives up the plain form of the full chunks used longest ago, down to
  // kPlainChunks.
  void trimPlain() const;
  // The plain bytes of a chunk, unpacked when they are not at hand.
  const char* plainChunk(std::size_t chunk) const;
  void rebuildRows();

  // The chunks and the ones of them that are full and plain now.
  mutable std::vector<Chunk> chunks_;
  mutable std::vector<std::size_t> plainFull_;
  std::deque<std::size_t> toPack_;  // full chunks not compressed yet, oldest first
  mutable std::unique_ptr<char[]> spare_;  // a plain buffer given back, for the next use
  mutable std::uint64_t useClock_ = 0;
  mutable std::size_t lastChunk_ = kNoChunk;
  mutable const char* lastData_ = nullptr;
  mutable std::unique_ptr<Contexts> contexts_;
  std::size_t size_ = 0;

  std::size_t lineCount_ = 1;
  std::vector<Block> blocks_;
  std::deque<std::uint8_t> lineBytes_;      // packed blocks: length and width of each line
  std::vector<Line> tail_;                  // the lines of the last block, plain
  mutable Unpacked unpacked_;
  std::deque<std::uint64_t> checkpoints_;   // x at position k * kCheckBytes
  std::deque<Run> runs_;
  std::uint64_t openWidth_ = 0;             // width of the last line so far
  std::size_t completedRows_ = 0;           // rows of all lines but the last
  ByteWidths widths_;
  std::uint64_t rowWidth_ = 512;
  bool endsInCR_ = false;
};

}  // namespace kvl
