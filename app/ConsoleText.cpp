#include "app/ConsoleText.h"

#include <algorithm>
#include <cstring>

#include <zstd.h>

#include "core/Cp1251.h"

namespace kvl {

namespace {

// Compression level of full chunks: the fastest of Zstandard's standard
// levels, which still packs a device's log to a small part of its size.
constexpr int kPackLevel = 1;

void PutNumber(std::deque<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(std::uint8_t(v | 0x80));
    v >>= 7;
  }
  out.push_back(std::uint8_t(v));
}

std::uint64_t TakeNumber(std::deque<std::uint8_t>::const_iterator& it) {
  std::uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t b = *it++;
    v |= std::uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
}

using ByteTable = std::array<unsigned char, 256>;

const ByteTable& FoldTable(bool matchCase) {
  static const ByteTable same = [] {
    ByteTable t;
    for (int b = 0; b < 256; ++b) t[size_t(b)] = static_cast<unsigned char>(b);
    return t;
  }();
  static const ByteTable folded = [] {
    ByteTable t;
    for (int b = 0; b < 256; ++b) t[size_t(b)] = Cp1251FoldCase(static_cast<unsigned char>(b));
    return t;
  }();
  return matchCase ? same : folded;
}

}  // namespace

// The compressor's and decompressor's state, made once and used again.
struct ConsoleText::Contexts {
  ZSTD_CCtx* pack = nullptr;
  ZSTD_DCtx* unpack = nullptr;
  std::unique_ptr<char[]> scratch;  // a chunk's compressed form before it is kept
  ~Contexts() {
    ZSTD_freeCCtx(pack);
    ZSTD_freeDCtx(unpack);
  }
};

ConsoleText::ConsoleText() : contexts_(std::make_unique<Contexts>()) {
  widths_.fill(1);
  clear();
}

ConsoleText::~ConsoleText() = default;

void ConsoleText::clear() {
  chunks_.clear();
  chunks_.shrink_to_fit();
  plainFull_.clear();
  toPack_.clear();
  spare_.reset();
  lastChunk_ = kNoChunk;
  lastData_ = nullptr;
  size_ = 0;
  runs_.clear();
  endsInCR_ = false;
  resetIndex();
}

void ConsoleText::resetIndex() {
  lineCount_ = 1;
  blocks_.assign(1, Block{0, 0, 0});
  std::deque<std::uint8_t>().swap(lineBytes_);
  tail_.assign(1, Line{0, 0});
  unpacked_.block = kNoChunk;
  checkpoints_.assign(1, 0);
  openWidth_ = 0;
  completedRows_ = 0;
  rowHint_ = {};
}

char* ConsoleText::room() {
  const std::size_t chunk = size_ >> kChunkShift;
  if (chunk == chunks_.size()) {
    if (chunk > 0) toPack_.push_back(chunk - 1);
    if (toPack_.size() > kPackBacklog) packWaiting(1);
    Chunk fresh;
    fresh.plain = spare_ ? std::move(spare_) : std::unique_ptr<char[]>(new char[kChunkBytes]);  // left uninitialised
    chunks_.push_back(std::move(fresh));
  }
  return chunks_[chunk].plain.get() + (size_ & kChunkMask);
}

bool ConsoleText::packWaiting(std::size_t most) {
  for (; most > 0 && !toPack_.empty(); --most) {
    packChunk(toPack_.front());
    toPack_.pop_front();
  }
  return !toPack_.empty();
}

void ConsoleText::packChunk(std::size_t chunk) {
  Chunk& c = chunks_[chunk];
  Contexts& z = *contexts_;
  const std::size_t bound = ZSTD_compressBound(kChunkBytes);
  if (!z.pack) z.pack = ZSTD_createCCtx();
  if (!z.scratch) z.scratch.reset(new char[bound]);
  const std::size_t n =
      z.pack ? ZSTD_compressCCtx(z.pack, z.scratch.get(), bound, c.plain.get(), kChunkBytes, kPackLevel) : 0;
  // A chunk that does not pack stays plain for good.
  if (n == 0 || ZSTD_isError(n)) return;
  c.packed.reset(new char[n]);
  std::memcpy(c.packed.get(), z.scratch.get(), n);
  c.packedSize = n;
  c.lastUse = ++useClock_;
  plainFull_.push_back(chunk);
  trimPlain();
}

void ConsoleText::trimPlain() const {
  while (plainFull_.size() > kPlainChunks) {
    auto oldest = std::min_element(plainFull_.begin(), plainFull_.end(), [this](std::size_t a, std::size_t b) {
      return chunks_[a].lastUse < chunks_[b].lastUse;
    });
    Chunk& c = chunks_[*oldest];
    if (*oldest == lastChunk_) {
      lastChunk_ = kNoChunk;
      lastData_ = nullptr;
    }
    if (!spare_) spare_ = std::move(c.plain);
    c.plain.reset();
    plainFull_.erase(oldest);
  }
}

const char* ConsoleText::plainChunk(std::size_t chunk) const {
  // The chunk read until now counts as used now: reads through at() do not
  // stamp it one by one.
  if (lastChunk_ != kNoChunk) chunks_[lastChunk_].lastUse = ++useClock_;
  Chunk& c = chunks_[chunk];
  if (!c.plain) {
    std::unique_ptr<char[]> plain = spare_ ? std::move(spare_) : std::unique_ptr<char[]>(new char[kChunkBytes]);
    Contexts& z = *contexts_;
    if (!z.unpack) z.unpack = ZSTD_createDCtx();
    const std::size_t n =
        z.unpack ? ZSTD_decompressDCtx(z.unpack, plain.get(), kChunkBytes, c.packed.get(), c.packedSize) : 0;
    // A chunk packed by this store always unpacks whole; should the
    // decompressor ever fail, what it could not restore shows as '?'.
    if (ZSTD_isError(n) || n != kChunkBytes) std::memset(plain.get(), '?', kChunkBytes);
    c.plain = std::move(plain);
    plainFull_.push_back(chunk);
  }
  c.lastUse = ++useClock_;
  lastChunk_ = chunk;
  lastData_ = c.plain.get();
  trimPlain();  // the chunk just used is the newest: it stays
  return lastData_;
}

std::size_t ConsoleText::packedBytes() const {
  std::size_t n = 0;
  for (const Chunk& c : chunks_) n += c.packedSize;
  return n;
}

std::size_t ConsoleText::plainChunkCount() const {
  return std::size_t(std::count_if(chunks_.begin(), chunks_.end(), [](const Chunk& c) { return c.plain != nullptr; }));
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
  endLine(size_);
  if (size_ % kCheckBytes == 0) checkpoints_.push_back(0);
}

void ConsoleText::endLine(std::size_t next) {
  tail_.back().width = openWidth_;
  completedRows_ += rowsFor(openWidth_);
  openWidth_ = 0;
  if (lineCount_ % kBlockLines == 0) {  // the new line starts a block
    packLines(next);
    blocks_.push_back(Block{next, completedRows_, lineBytes_.size()});
  }
  tail_.push_back(Line{next, 0});
  ++lineCount_;
}

void ConsoleText::packLines(std::size_t next) {
  for (std::size_t k = 0; k < tail_.size(); ++k) {
    const std::size_t end = k + 1 < tail_.size() ? tail_[k + 1].start : next;
    PutNumber(lineBytes_, end - tail_[k].start);
    PutNumber(lineBytes_, tail_[k].width);
  }
  tail_.clear();
}

const ConsoleText::Unpacked& ConsoleText::unpacked(std::size_t block) const {
  if (unpacked_.block == block) return unpacked_;
  auto it = lineBytes_.cbegin() + std::ptrdiff_t(blocks_[block].packedAt);
  std::size_t pos = blocks_[block].start;
  for (std::size_t k = 0; k < kBlockLines; ++k) {
    unpacked_.start[k] = pos;
    pos += std::size_t(TakeNumber(it));
    unpacked_.width[k] = TakeNumber(it);
  }
  unpacked_.start[kBlockLines] = pos;
  unpacked_.block = block;
  return unpacked_;
}

ConsoleText::Line ConsoleText::line(std::size_t l) const {
  const std::size_t block = l / kBlockLines, k = l % kBlockLines;
  if (block + 1 == blocks_.size()) {
    Line out = tail_[k];
    if (l + 1 == lineCount_) out.width = openWidth_;
    return out;
  }
  const Unpacked& u = unpacked(block);
  return Line{u.start[k], u.width[k]};
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

void ConsoleText::forEachPiece(std::size_t from, std::size_t to,
                               const std::function<void(std::string_view)>& piece) const {
  to = std::min(to, size_);
  while (from < to) {
    const std::size_t chunk = from >> kChunkShift, offset = from & kChunkMask;
    const std::size_t take = std::min(to - from, kChunkBytes - offset);
    piece(std::string_view(plainChunk(chunk) + offset, take));
    from += take;
  }
}

std::string ConsoleText::bytes(std::size_t from, std::size_t to) const {
  to = std::min(to, size_);
  std::string out;
  if (from >= to) return out;
  out.reserve(to - from);
  forEachPiece(from, to, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

std::u16string ConsoleText::text(std::size_t from, std::size_t to) const {
  std::u16string out;
  if (from < std::min(to, size_)) out.reserve(std::min(to, size_) - from);
  forEachPiece(from, to, [&out](std::string_view piece) { out += DecodeCp1251(piece); });
  return out;
}

std::size_t ConsoleText::lineStart(std::size_t l) const { return line(l).start; }

std::size_t ConsoleText::lineEnd(std::size_t l) const {
  if (l + 1 >= lineCount_) return size_;
  const std::size_t block = l / kBlockLines, k = l % kBlockLines;
  if (block + 1 == blocks_.size()) return tail_[k + 1].start - 1;
  return unpacked(block).start[k + 1] - 1;
}

std::size_t ConsoleText::lineOf(std::size_t pos) const {
  auto b = std::upper_bound(blocks_.begin(), blocks_.end(), pos,
                            [](std::size_t p, const Block& x) { return p < x.start; });
  const std::size_t block = std::size_t(b - blocks_.begin()) - 1;
  if (block + 1 == blocks_.size()) {
    auto it = std::upper_bound(tail_.begin(), tail_.end(), pos,
                               [](std::size_t p, const Line& l) { return p < l.start; });
    return block * kBlockLines + std::size_t(it - tail_.begin()) - 1;
  }
  const Unpacked& u = unpacked(block);
  auto it = std::upper_bound(u.start.begin(), u.start.begin() + kBlockLines, pos);
  return block * kBlockLines + std::size_t(it - u.start.begin()) - 1;
}

void ConsoleText::setWidths(const ByteWidths& widths) {
  ByteWidths w = widths;
  for (auto& v : w) v = std::max<std::uint16_t>(v, 1);
  if (w == widths_) return;
  widths_ = w;
  // Every line width and checkpoint is measured again, chunk by chunk.
  resetIndex();
  for (std::size_t base = 0; base < size_; base += kChunkBytes) {
    const char* data = plainChunk(base >> kChunkShift);
    const std::size_t n = std::min(kChunkBytes, size_ - base);
    std::uint64_t x = openWidth_;
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char b = static_cast<unsigned char>(data[i]);
      if (b == static_cast<unsigned char>(kBreak)) {
        openWidth_ = x;
        endLine(base + i + 1);
        x = 0;
      } else {
        x += widths_[b];
      }
      if ((base + i + 1) % kCheckBytes == 0) checkpoints_.push_back(x);
    }
    openWidth_ = x;
  }
}

void ConsoleText::setRowWidth(std::uint64_t rowWidth) {
  rowWidth = std::max<std::uint64_t>(rowWidth, 1);
  if (rowWidth == rowWidth_) return;
  rowWidth_ = rowWidth;
  rebuildRows();
}

void ConsoleText::rebuildRows() {
  rowHint_ = {};
  std::size_t rows = 0;
  for (std::size_t block = 0; block < blocks_.size(); ++block) {
    blocks_[block].firstRow = rows;
    if (block + 1 < blocks_.size()) {
      const Unpacked& u = unpacked(block);
      for (std::size_t k = 0; k < kBlockLines; ++k) rows += rowsFor(u.width[k]);
    } else {
      for (std::size_t k = 0; k + 1 < tail_.size(); ++k) rows += rowsFor(tail_[k].width);
    }
  }
  completedRows_ = rows;
}

std::size_t ConsoleText::lineFirstRow(std::size_t line) const {
  const std::size_t block = line / kBlockLines;
  std::size_t row = blocks_[block].firstRow;
  for (std::size_t l = block * kBlockLines; l < line; ++l) row += rowsFor(lineWidth(l));
  return row;
}

std::size_t ConsoleText::lineOfRow(std::size_t row, std::size_t* firstRow) const {
  row = std::min(row, rowCount() - 1);
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), row,
                             [](std::size_t r, const Block& b) { return r < b.firstRow; });
  const std::size_t block = std::size_t(it - blocks_.begin()) - 1;
  std::size_t first = blocks_[block].firstRow;
  std::size_t line = block * kBlockLines;
  // Rows are mostly asked for in order, near the end: the scan goes on
  // from the last line found when that lies before the row in its block.
  // Text is only added, so a line's first row never changes.
  if (rowHint_.valid && rowHint_.line / kBlockLines == block && rowHint_.first <= row) {
    line = rowHint_.line;
    first = rowHint_.first;
  }
  for (;; ++line) {
    const std::size_t rows = rowsFor(lineWidth(line));
    if (row < first + rows || line + 1 == lineCount_) break;
    first += rows;
  }
  rowHint_ = {true, line, first};
  *firstRow = first;
  return line;
}

std::uint64_t ConsoleText::xAt(std::size_t line, std::size_t pos) const {
  std::size_t from = lineStart(line);
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
  const std::size_t start = lineStart(line), end = lineEnd(line);
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
  if (row == first) return lineStart(line);
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
  const ByteTable& fold = FoldTable(matchCase);
  std::string key(n, '\0');
  for (std::size_t k = 0; k < n; ++k) key[k] = char(fold[static_cast<unsigned char>(needle[k])]);
  const unsigned char first = static_cast<unsigned char>(key[0]);
  // The rest of the needle at p, chunk by chunk (a match may straddle two).
  auto matchesAt = [&](std::size_t p) {
    for (std::size_t k = 1; k < n;) {
      const std::size_t q = p + k, offset = q & kChunkMask;
      const char* data = plainChunk(q >> kChunkShift) + offset;
      const std::size_t take = std::min(n - k, kChunkBytes - offset);
      for (std::size_t i = 0; i < take; ++i)
        if (fold[static_cast<unsigned char>(data[i])] != static_cast<unsigned char>(key[k + i])) return false;
      k += take;
    }
    return true;
  };
  const std::size_t last = size_ - n;  // the last position a match can start at
  if (forward) {
    for (std::size_t p = from; p <= last;) {
      // Scan the rest of this chunk for the first byte.
      const std::size_t chunk = p >> kChunkShift, base = chunk << kChunkShift;
      const char* data = plainChunk(chunk);
      const std::size_t stop = std::min(last + 1, base + kChunkBytes);
      while (p < stop) {
        if (matchCase) {
          const void* hit = std::memchr(data + (p - base), first, stop - p);
          if (!hit) {
            p = stop;
            break;
          }
          p = base + std::size_t(static_cast<const char*>(hit) - data);
        } else if (fold[static_cast<unsigned char>(data[p - base])] != first) {
          ++p;
          continue;
        }
        if (matchesAt(p)) return Range{p, p + n};
        data = plainChunk(chunk);  // matching may have read the next chunk
        ++p;
      }
    }
  } else {
    for (std::size_t p = std::min(from, last + 1); p > 0;) {
      const std::size_t chunk = (p - 1) >> kChunkShift, base = chunk << kChunkShift;
      const char* data = plainChunk(chunk);
      while (p > base) {
        --p;
        if (fold[static_cast<unsigned char>(data[p - base])] != first) continue;
        if (matchesAt(p)) return Range{p, p + n};
        data = plainChunk(chunk);
      }
    }
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
