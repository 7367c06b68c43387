#include "app/ConsoleText.h"

#include <algorithm>
#include <cstring>

#include "core/Cp1251.h"

namespace kvl {

ConsoleText::ConsoleText() {
  widths_.fill(1);
  clear();
}

ConsoleText::~ConsoleText() = default;

void ConsoleText::clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  size_ = 0;
  lines_.assign(1, Line{0, 0});
  checkpoints_.assign(1, 0);
  blockFirstRow_.assign(1, 0);
  runs_.clear();
  openWidth_ = 0;
  completedRows_ = 0;
  endsInCR_ = false;
}

char* ConsoleText::room() {
  const std::size_t chunk = size_ >> kChunkShift;
  if (chunk == chunks_.size()) chunks_.emplace_back(new char[kChunkBytes]);  // left uninitialised
  return chunks_[chunk].get() + (size_ & kChunkMask);
}

void ConsoleText::putPlain(const char* bytes, std::size_t count) {
  while (count > 0) {
    char* out = room();
    // Up to the end of the chunk or the next checkpoint, whichever is nearer
    // (the chunk size is a multiple of the checkpoint distance).
    const std::size_t take = std::min(count, kCheckBytes - (size_ % kCheckBytes));
    std::memcpy(out, bytes, take);
    std::uint64_t x = openWidth_;
    for (std::size_t i = 0; i < take; ++i) x += widths_[static_cast<unsigned char>(bytes[i])];
    openWidth_ = x;
    size_ += take;
    bytes += take;
    count -= take;
    if (size_ % kCheckBytes == 0) checkpoints_.push_back(openWidth_);
  }
}

void ConsoleText::putBreak() {
  *room() = kBreak;
  ++size_;
  lines_.back().width = openWidth_;
  completedRows_ += rowsFor(openWidth_);
  openWidth_ = 0;
  lines_.push_back(Line{size_, 0});
  if ((lines_.size() - 1) % kBlockLines == 0) blockFirstRow_.push_back(completedRows_);
  if (size_ % kCheckBytes == 0) checkpoints_.push_back(0);
}

void ConsoleText::noteColour(std::uint32_t colour) {
  if (!runs_.empty() && runs_.back().colour == colour) return;
  if (!runs_.empty() && runs_.back().start == size_)
    runs_.back().colour = colour;  // an empty run gives way
  else
    runs_.push_back({size_, colour});
}

void ConsoleText::append(std::uint32_t colour, std::string_view bytes, std::string* shownCrlf) {
  if (bytes.empty()) return;
  std::size_t i = 0;
  if (endsInCR_ && bytes.front() == '\n') i = 1;  // the rest of a CR LF pair
  endsInCR_ = bytes.back() == '\r';
  if (i == bytes.size()) return;
  noteColour(colour);
  const std::size_t n = bytes.size();
  while (i < n) {
    std::size_t j = i;
    while (j < n && bytes[j] != '\r' && bytes[j] != '\n') ++j;
    putPlain(bytes.data() + i, j - i);
    if (shownCrlf) shownCrlf->append(bytes.data() + i, j - i);
    if (j == n) break;
    putBreak();
    if (shownCrlf) shownCrlf->append("\r\n");
    i = j + 1;
    if (bytes[j] == '\r' && i < n && bytes[i] == '\n') ++i;
  }
}

std::string ConsoleText::bytes(std::size_t from, std::size_t to) const {
  to = std::min(to, size_);
  std::string out;
  if (from >= to) return out;
  out.resize(to - from);
  std::size_t done = 0;
  while (from < to) {
    const std::size_t take = std::min(to - from, kChunkBytes - (from & kChunkMask));
    std::memcpy(out.data() + done, chunks_[from >> kChunkShift].get() + (from & kChunkMask), take);
    done += take;
    from += take;
  }
  return out;
}

std::u16string ConsoleText::text(std::size_t from, std::size_t to) const {
  return DecodeCp1251(bytes(from, to));
}

std::size_t ConsoleText::lineEnd(std::size_t line) const {
  return line + 1 < lines_.size() ? lines_[line + 1].start - 1 : size_;
}

std::size_t ConsoleText::lineOf(std::size_t pos) const {
  auto it = std::upper_bound(lines_.begin(), lines_.end(), pos,
                             [](std::size_t p, const Line& l) { return p < l.start; });
  return std::size_t(it - lines_.begin()) - 1;
}

void ConsoleText::setWidths(const ByteWidths& widths) {
  ByteWidths w = widths;
  for (auto& v : w) v = std::max<std::uint16_t>(v, 1);
  if (w == widths_) return;
  widths_ = w;
  // Every line width and checkpoint is measured again.
  std::size_t line = 0;
  std::uint64_t x = 0;
  checkpoints_.assign(1, 0);
  for (std::size_t pos = 0; pos < size_; ++pos) {
    const unsigned char b = at(pos);
    if (b == static_cast<unsigned char>(kBreak)) {
      lines_[line++].width = x;
      x = 0;
    } else {
      x += widths_[b];
    }
    if ((pos + 1) % kCheckBytes == 0) checkpoints_.push_back(x);
  }
  openWidth_ = x;
  rebuildRows();
}

void ConsoleText::setRowWidth(std::uint64_t rowWidth) {
  rowWidth = std::max<std::uint64_t>(rowWidth, 1);
  if (rowWidth == rowWidth_) return;
  rowWidth_ = rowWidth;
  rebuildRows();
}

void ConsoleText::rebuildRows() {
  blockFirstRow_.assign(1, 0);
  std::size_t rows = 0;
  for (std::size_t line = 0; line + 1 < lines_.size(); ++line) {
    rows += rowsFor(lines_[line].width);
    if ((line + 1) % kBlockLines == 0) blockFirstRow_.push_back(rows);
  }
  completedRows_ = rows;
}

std::size_t ConsoleText::lineFirstRow(std::size_t line) const {
  const std::size_t block = line / kBlockLines;
  std::size_t row = blockFirstRow_[block];
  for (std::size_t l = block * kBlockLines; l < line; ++l) row += rowsFor(lineWidth(l));
  return row;
}

std::size_t ConsoleText::lineOfRow(std::size_t row, std::size_t* firstRow) const {
  row = std::min(row, rowCount() - 1);
  auto it = std::upper_bound(blockFirstRow_.begin(), blockFirstRow_.end(), row);
  const std::size_t block = std::size_t(it - blockFirstRow_.begin()) - 1;
  std::size_t first = blockFirstRow_[block];
  std::size_t line = block * kBlockLines;
  for (;; ++line) {
    const std::size_t rows = rowsFor(lineWidth(line));
    if (row < first + rows || line + 1 == lines_.size()) break;
    first += rows;
  }
  *firstRow = first;
  return line;
}

std::uint64_t ConsoleText::xAt(std::size_t line, std::size_t pos) const {
  std::size_t from = lines_[line].start;
  std::uint64_t x = 0;
  const std::size_t check = pos / kCheckBytes * kCheckBytes;
  if (check > from) {  // the checkpoint holds everything of the line before it
    from = check;
    x = checkpoints_[check / kCheckBytes];
  }
  for (std::size_t p = from; p < pos; ++p) x += widths_[at(p)];
  return x;
}

std::uint64_t ConsoleText::widthOf(std::size_t from, std::size_t to) const {
  if (to <= from) return 0;
  if (to - from > 2 * kCheckBytes) {
    const std::size_t line = lineOf(from);
    return xAt(line, to) - xAt(line, from);
  }
  std::uint64_t x = 0;
  for (std::size_t p = from; p < to; ++p) x += widths_[at(p)];
  return x;
}

std::size_t ConsoleText::positionEndingAfter(std::size_t line, std::uint64_t x) const {
  const std::size_t start = lines_[line].start, end = lineEnd(line);
  // The last checkpoint in (start, end] whose x is not beyond the target.
  std::size_t lo = start / kCheckBytes + 1, hi = end / kCheckBytes;  // checkpoint indices
  std::size_t from = start;
  std::uint64_t at0 = 0;
  while (lo <= hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (checkpoints_[mid] <= x) {
      from = mid * kCheckBytes;
      at0 = checkpoints_[mid];
      lo = mid + 1;
    } else {
      if (mid == 0) break;
      hi = mid - 1;
    }
  }
  std::uint64_t cur = at0;
  for (std::size_t p = from; p < end; ++p) {
    cur += widths_[at(p)];
    if (cur > x) return p;
  }
  return end;
}

std::size_t ConsoleText::rowStart(std::size_t row) const {
  std::size_t first = 0;
  const std::size_t line = lineOfRow(row, &first);
  row = std::min(row, rowCount() - 1);
  if (row == first) return lines_[line].start;
  return positionEndingAfter(line, std::uint64_t(row - first) * rowWidth_);
}

std::size_t ConsoleText::rowEnd(std::size_t row) const {
  std::size_t first = 0;
  const std::size_t line = lineOfRow(row, &first);
  row = std::min(row, rowCount() - 1);
  if (row + 1 < first + rowsFor(lineWidth(line)))
    return positionEndingAfter(line, std::uint64_t(row + 1 - first) * rowWidth_);
  return lineEnd(line);
}

std::size_t ConsoleText::rowOf(std::size_t pos) const {
  pos = std::min(pos, size_);
  const std::size_t line = lineOf(pos);
  const std::size_t first = lineFirstRow(line);
  if (pos >= lineEnd(line)) return first + rowsFor(lineWidth(line)) - 1;
  const std::uint64_t endX = xAt(line, pos) + widths_[at(pos)];
  return first + std::size_t((endX - 1) / rowWidth_);
}

std::size_t ConsoleText::runIndexAt(std::size_t pos) const {
  auto it = std::upper_bound(runs_.begin(), runs_.end(), pos,
                             [](std::size_t p, const Run& r) { return p < r.start; });
  return it == runs_.begin() ? 0 : std::size_t(it - runs_.begin()) - 1;
}

std::uint32_t ConsoleText::colourAt(std::size_t pos) const {
  return runs_.empty() ? 0 : runs_[runIndexAt(pos)].colour;
}

std::vector<std::pair<std::u16string, std::uint32_t>> ConsoleText::runTexts() const {
  std::vector<std::pair<std::u16string, std::uint32_t>> out;
  for (std::size_t r = 0; r < runs_.size(); ++r) {
    const std::size_t end = r + 1 < runs_.size() ? runs_[r + 1].start : size_;
    if (end > runs_[r].start) out.emplace_back(text(runs_[r].start, end), runs_[r].colour);
  }
  return out;
}

std::optional<ConsoleText::Range> ConsoleText::find(std::string_view needle, std::size_t from,
                                                    bool forward, bool matchCase) const {
  const std::size_t n = needle.size();
  if (n == 0 || n > size_) return std::nullopt;
  auto fold = [matchCase](unsigned char b) { return matchCase ? b : Cp1251FoldCase(b); };
  const unsigned char first = fold(static_cast<unsigned char>(needle[0]));
  auto matchesAt = [&](std::size_t p) {
    for (std::size_t k = 1; k < n; ++k)
      if (fold(at(p + k)) != fold(static_cast<unsigned char>(needle[k]))) return false;
    return true;
  };
  const std::size_t last = size_ - n;  // the last position a match can start at
  if (forward) {
    for (std::size_t p = from; p <= last;) {
      // Scan the rest of this chunk for the first byte.
      const char* chunk = chunks_[p >> kChunkShift].get();
      const std::size_t stop = std::min(last + 1, (p | kChunkMask) + 1);
      for (; p < stop; ++p)
        if (fold(static_cast<unsigned char>(chunk[p & kChunkMask])) == first && matchesAt(p))
          return Range{p, p + n};
    }
  } else {
    for (std::size_t p = std::min(from, last + 1); p-- > 0;)
      if (fold(at(p)) == first && matchesAt(p)) return Range{p, p + n};
  }
  return std::nullopt;
}

ConsoleText::Range ConsoleText::wordAt(std::size_t pos) const {
  pos = std::min(pos, size_);
  std::size_t from = pos, to = pos;
  while (from > 0 && Cp1251IsWordByte(at(from - 1))) --from;
  while (to < size_ && Cp1251IsWordByte(at(to))) ++to;
  return {from, to};
}

}  // namespace kvl
