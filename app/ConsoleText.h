// The content of one console pane, kept apart from any widget: the text as
// shown (UTF-16, one '\n' per line break), its colour runs and its display
// rows. Appending costs what the appended text costs, however much the pane
// already holds; nothing is laid out until a row is drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvl {

class ConsoleText {
 public:
  // A line longer than this is shown in several display rows.
  static constexpr std::size_t kRowChars = 512;

  // Appends Windows-1251 text in a colour (a Windows colour value). "\r\n",
  // a lone "\r" and a lone "\n" each make one line break, also when a pair
  // is split between two appends.
  void append(std::uint32_t colour, std::string_view bytes);
  void clear();

  const std::u16string& text() const { return text_; }
  std::size_t size() const { return text_.size(); }

  // Display rows: row r covers [rowStart(r), rowEnd(r)), without its line
  // break. There is always at least one (possibly empty) row.
  std::size_t rowCount() const { return rows_.size(); }
  std::size_t rowStart(std::size_t row) const { return rows_[row]; }
  std::size_t rowEnd(std::size_t row) const;
  // The row that holds the character at pos (pos may equal size()).
  std::size_t rowOf(std::size_t pos) const;
  // The longest row seen, in characters.
  std::size_t widestRow() const { return widest_; }

  // Colour of the character at pos, and where its run ends.
  struct Run {
    std::size_t start;
    std::uint32_t colour;
  };
  const std::vector<Run>& runs() const { return runs_; }
  std::size_t runIndexAt(std::size_t pos) const;

  // The runs as (text, colour) pairs, in order.
  std::vector<std::pair<std::u16string, std::uint32_t>> runTexts() const;

 private:
  void push(char16_t ch);

  std::u16string text_;
  std::vector<std::size_t> rows_{0};
  std::vector<Run> runs_;
  std::size_t widest_ = 0;
  bool endsInCR_ = false;
};

}  // namespace kvl
