#include "app/ConsoleText.h"

#include <algorithm>

#include "core/Cp1251.h"

namespace kvl {

std::size_t ConsoleText::rowEnd(std::size_t row) const {
  std::size_t end = row + 1 < rows_.size() ? rows_[row + 1] : text_.size();
  if (end > rows_[row] && text_[end - 1] == u'\n') --end;
  return end;
}

std::size_t ConsoleText::rowOf(std::size_t pos) const {
  auto it = std::upper_bound(rows_.begin(), rows_.end(), pos);
  return std::size_t(it - rows_.begin()) - 1;
}

std::size_t ConsoleText::runIndexAt(std::size_t pos) const {
  auto it = std::upper_bound(runs_.begin(), runs_.end(), pos,
                             [](std::size_t p, const Run& r) { return p < r.start; });
  return it == runs_.begin() ? 0 : std::size_t(it - runs_.begin()) - 1;
}

void ConsoleText::push(char16_t ch) {
  text_.push_back(ch);
  const std::size_t rowLen = text_.size() - rows_.back();
  if (ch == u'\n') {
    widest_ = std::max(widest_, rowLen - 1);
    if (rowLen == 1 && rows_.size() > 1 && text_[rows_.back() - 1] != u'\n')
      rows_.back() = text_.size();  // the break ends a row that was already full
    else
      rows_.push_back(text_.size());
  } else if (rowLen >= kRowChars) {
    widest_ = std::max(widest_, rowLen);
    rows_.push_back(text_.size());
  } else {
    widest_ = std::max(widest_, rowLen);
  }
}

void ConsoleText::append(std::uint32_t colour, std::string_view bytes) {
  if (bytes.empty()) return;
  std::size_t i = 0;
  if (endsInCR_ && bytes.front() == '\n') i = 1;  // the rest of a CR LF pair
  endsInCR_ = bytes.back() == '\r';
  if (i == bytes.size()) return;
  if (runs_.empty() || runs_.back().colour != colour) {
    if (!runs_.empty() && runs_.back().start == text_.size())
      runs_.back().colour = colour;  // an empty run gives way
    else
      runs_.push_back({text_.size(), colour});
  }
  text_.reserve(text_.size() + bytes.size());
  for (; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      push(u'\n');
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      push(Cp1251ToUnicode(static_cast<unsigned char>(c)));
    }
  }
}

void ConsoleText::clear() {
  text_.clear();
  text_.shrink_to_fit();
  rows_.assign(1, 0);
  runs_.clear();
  widest_ = 0;
  endsInCR_ = false;
}

std::vector<std::pair<std::u16string, std::uint32_t>> ConsoleText::runTexts() const {
  std::vector<std::pair<std::u16string, std::uint32_t>> out;
  for (std::size_t r = 0; r < runs_.size(); ++r) {
    const std::size_t end = r + 1 < runs_.size() ? runs_[r + 1].start : text_.size();
    if (end > runs_[r].start)
      out.emplace_back(text_.substr(runs_[r].start, end - runs_[r].start), runs_[r].colour);
  }
  return out;
}

}  // namespace kvl
