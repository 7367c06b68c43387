// The console pane's text store: line breaks as shown and as logged, colour
// runs, rows at a width (against a plain reference wrap), chunk boundaries,
// compressed chunks read back, find and copy across them, and words.
#include "app/ConsoleText.h"
#include "app/PaneFollow.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/Cp1251.h"

namespace kvl {
namespace {

struct BreakCase {
  std::vector<std::string> appends;
  std::string shown;  // the store's bytes, one '\n' per break
  std::string log;    // what a session log gets
  std::size_t lines;
};

TEST(ConsoleText, LineBreaksAsShownAndAsLogged) {
  for (const BreakCase& c : std::vector<BreakCase>{
           {{"a\r\nb"}, "a\nb", "a\r\nb", 2},
           {{"a\rb\nc"}, "a\nb\nc", "a\r\nb\r\nc", 3},
           {{"a\r", "\nb"}, "a\nb", "a\r\nb", 2},
           {{"a\r", "\rb"}, "a\n\nb", "a\r\n\r\nb", 3},
           {{"a\n", "\nb"}, "a\n\nb", "a\r\n\r\nb", 3},
           {{"a\r", "\n", "b"}, "a\nb", "a\r\nb", 2},
           {{"x", ""}, "x", "x", 1},
           {{"\xCE\xCA\r\n"}, "\xCE\xCA\n", "\xCE\xCA\r\n", 2},
       }) {
    ConsoleText t;
    std::string log;
    for (const std::string& a : c.appends) t.append(0x800000, a, &log);
    EXPECT_EQ(t.bytes(0, t.size()), c.shown) << c.shown;
    EXPECT_EQ(log, c.log) << c.shown;
    EXPECT_EQ(t.lineCount(), c.lines) << c.shown;
  }
}

TEST(ConsoleText, ColourRunsFollowTheAppends) {
  ConsoleText t;
  t.append(0x808080, "To Com: x");
  t.append(0x800000, "OK");
  t.append(0x800000, "\r");
  t.append(0x808080, "\n");  // the rest of the pair: nothing shown, no run
  const auto runs = t.runTexts();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], std::make_pair(std::u16string(u"To Com: x"), std::uint32_t(0x808080)));
  EXPECT_EQ(runs[1], std::make_pair(std::u16string(u"OK\n"), std::uint32_t(0x800000)));
  EXPECT_EQ(t.colourAt(9), 0x800000u);
}

// Rows of a plain reference wrap: a character goes to the row in which it
// ends; an empty line is one row.
std::vector<std::pair<std::size_t, std::size_t>> ReferenceRows(const std::string& s,
                                                               const ByteWidths& w,
                                                               std::uint64_t rowWidth) {
  std::vector<std::pair<std::size_t, std::size_t>> rows;
  std::size_t lineStart = 0;
  for (std::size_t end = 0; end <= s.size(); ++end) {
    if (end < s.size() && s[end] != '\n') continue;
    std::uint64_t x = 0;
    std::size_t rowStart = lineStart, row = 0;
    for (std::size_t p = lineStart; p < end; ++p) {
      x += w[static_cast<unsigned char>(s[p])];
      const std::size_t r = std::size_t((x - 1) / rowWidth);
      while (row < r) {
        rows.emplace_back(rowStart, p);
        rowStart = p;
        ++row;
      }
    }
    rows.emplace_back(rowStart, end);
    lineStart = end + 1;
  }
  return rows;
}

std::vector<std::string> Rows(const ConsoleText& t) {
  std::vector<std::string> out;
  for (std::size_t r = 0; r < t.rowCount(); ++r) out.push_back(t.bytes(t.rowStart(r), t.rowEnd(r)));
  return out;
}

struct WrapCase {
  std::string text;
  std::uint64_t rowWidth;
  std::vector<std::string> rows;
};

TEST(ConsoleText, RowsAtAWidth) {
  ByteWidths w;
  w.fill(1);
  w['W'] = 3;
  for (const WrapCase& c : std::vector<WrapCase>{
           {"", 4, {""}},
           {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
           {"abcdefghij", 5, {"abcde", "fghij"}},
           {"ab\r\n\r\ncd", 4, {"ab", "", "cd"}},
           {"WWW", 4, {"W", "W", "W"}},        // ends at 3, 6 and 9
           {"WWW", 2, {"", "W", "W", "", "W"}},  // narrower than a character
           {"aaaW", 4, {"aaa", "W"}},          // W ends at 6: the second row
           {"abcd\r\n", 4, {"abcd", ""}},
       }) {
    ConsoleText t;
    t.setWidths(w);
    t.setRowWidth(c.rowWidth);
    t.append(0, c.text);
    EXPECT_EQ(Rows(t), c.rows) << c.text << " at " << c.rowWidth;
    // The same text appended first and wrapped afterwards.
    ConsoleText late;
    late.append(0, c.text);
    late.setWidths(w);
    late.setRowWidth(c.rowWidth);
    EXPECT_EQ(Rows(late), c.rows) << c.text << " wrapped late";
  }
}

TEST(ConsoleText, RowsMatchTheReferenceThroughLongLinesAndNewWidths) {
  // Lines longer than the store's checkpoint distance, short and empty
  // lines, widths of 1 to 13, appended in pieces that split CR LF pairs.
  std::mt19937 rng(7);
  std::string text;
  // Enough lines for many packed blocks of the line index.
  for (int line = 0; line < 700; ++line) {
    const std::size_t len = line % 97 == 4 ? 9000 + rng() % 5000 : rng() % 120;
    for (std::size_t i = 0; i < len; ++i) text += char('!' + rng() % 200);
    text += line % 3 ? "\r\n" : "\n";
  }
  ByteWidths w;
  for (auto& v : w) v = std::uint16_t(1 + rng() % 13);
  ConsoleText t;
  t.setWidths(w);
  t.setRowWidth(97);
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = std::min<std::size_t>(1 + rng() % 3000, text.size() - at);
    t.append(0, std::string_view(text).substr(at, n), &shown);
    at += n;
    // Looked up between appends, as a pane does: what the store learns
    // from a lookup holds after more text comes.
    (void)t.rowStart(t.rowCount() - 1);
    (void)t.rowEnd(t.rowCount() / 2);
  }
  std::string stored;
  for (char c : text) if (c != '\r') stored += c;
  ASSERT_EQ(t.bytes(0, t.size()), stored);
  for (const std::uint64_t width : {97u, 13u, 640u}) {
    t.setRowWidth(width);
    const auto expected = ReferenceRows(stored, w, width);
    ASSERT_EQ(t.rowCount(), expected.size()) << width;
    for (int i = 0; i < 2000; ++i) {  // out of order, first of all after a new width
      const std::size_t r = expected.size() - 1 - rng() % std::min<std::size_t>(expected.size(), 200 + i);
      ASSERT_EQ(t.rowStart(r), expected[r].first) << "row " << r << " at " << width;
    }
    for (std::size_t r = 0; r < expected.size(); ++r) {
      ASSERT_EQ(t.rowStart(r), expected[r].first) << "row " << r << " at " << width;
      ASSERT_EQ(t.rowEnd(r), expected[r].second) << "row " << r << " at " << width;
    }
    // Every position maps back to the row that holds it; a line's end
    // (where its break stands) to the line's last row.
    std::vector<std::size_t> rowOfPos(stored.size() + 1);
    for (std::size_t r = 0; r < expected.size(); ++r) {
      for (std::size_t p = expected[r].first; p < expected[r].second; ++p) rowOfPos[p] = r;
      const std::size_t end = expected[r].second;
      if (end == stored.size() || stored[end] == '\n') rowOfPos[end] = r;
    }
    for (std::size_t p = 0; p <= stored.size(); p += 3)
      ASSERT_EQ(t.rowOf(p), rowOfPos[p]) << "position " << p << " at " << width;
  }
}

TEST(ConsoleText, BytesAcrossChunksAndClear) {
  std::string text;
  std::mt19937 rng(3);
  while (text.size() < 700000) text += char('a' + rng() % 26);
  ConsoleText t;
  for (std::size_t at = 0; at < text.size(); at += 65521)
    t.append(0, std::string_view(text).substr(at, 65521));
  ASSERT_EQ(t.size(), text.size());
  for (const std::size_t from : {0u, 262143u, 262144u, 300000u, 524287u})
    for (const std::size_t len : {0u, 1u, 2u, 262145u})
      EXPECT_EQ(t.bytes(from, from + len), text.substr(from, len)) << from << "+" << len;
  t.clear();
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.rowCount(), 1u);
  t.append(0, "ab");
  EXPECT_EQ(t.bytes(0, 2), "ab");
}

// A device's log: time stamps, counters and the same report words again
// and again, as a pane holds after a day.
std::string DeviceLog(std::size_t size) {
  std::string s;
  for (unsigned n = 0; s.size() < size; ++n) {
    s += "[" + std::to_string(10 + n / 3600 % 14) + ":" + std::to_string(10 + n / 60 % 50) + ":" +
         std::to_string(10 + n % 50) + "] +CSQ: " + std::to_string(n * 7 % 32) + ",0 GPRS OK sent " +
         std::to_string(n * 131 % 100000) + " bytes\r\n";
  }
  s.resize(size);
  return s;
}

std::string Stored(const std::string& appended) {
  std::string s;
  for (std::size_t i = 0; i < appended.size(); ++i) {
    if (appended[i] == '\r' && i + 1 < appended.size() && appended[i + 1] == '\n') continue;
    s += appended[i] == '\r' ? '\n' : appended[i];
  }
  return s;
}

struct PackCase {
  const char* what;
  std::string text;
  double packedAtMost;  // of the size, for the full chunks
};

TEST(ConsoleText, FullChunksReadBackWholeInAnyOrder) {
  std::mt19937 rng(11);
  std::string noise;
  while (noise.size() < 1700000) noise += char(10 + rng() % 246);  // every byte but 0-9
  for (const PackCase& c : std::vector<PackCase>{
           {"device log", DeviceLog(1700000), 0.25},
           {"noise", noise, 1.01},
           {"one line", std::string(1700000, 'x'), 0.01},
       }) {
    ConsoleText t;
    for (std::size_t at = 0; at < c.text.size(); at += 2047)
      t.append(0x800000, std::string_view(c.text).substr(at, 2047));
    const std::string stored = Stored(c.text);
    ASSERT_EQ(t.size(), stored.size()) << c.what;
    EXPECT_FALSE(t.packWaiting(SIZE_MAX)) << c.what;
    const std::size_t full = stored.size() / ConsoleText::kChunkBytes * ConsoleText::kChunkBytes;
    EXPECT_LE(double(t.packedBytes()), c.packedAtMost * double(full)) << c.what;
    // Chunks read in a scrambled order are unpacked again, whole.
    for (const std::size_t chunk : {5u, 0u, 3u, 1u, 6u, 4u, 2u, 0u}) {
      const std::size_t from = chunk * ConsoleText::kChunkBytes + 77;
      ASSERT_EQ(t.bytes(from, from + 5000), stored.substr(from, 5000)) << c.what << " chunk " << chunk;
      EXPECT_EQ(t.at(from + 1), static_cast<unsigned char>(stored[from + 1])) << c.what;
    }
    EXPECT_LE(t.plainChunkCount(), ConsoleText::kPlainChunks + 1) << c.what;
    EXPECT_EQ(t.bytes(0, t.size()), stored) << c.what;
    // Lines of packed chunks keep their starts and ends.
    for (const std::size_t line : {std::size_t(0), t.lineCount() / 2, t.lineCount() - 1}) {
      const std::size_t start = t.lineStart(line), end = t.lineEnd(line);
      EXPECT_EQ(t.lineOf(start), line) << c.what;
      EXPECT_TRUE(start == 0 || stored[start - 1] == '\n') << c.what;
      EXPECT_TRUE(end == stored.size() || stored[end] == '\n') << c.what;
      EXPECT_EQ(stored.find('\n', start), end == stored.size() ? std::string::npos : end) << c.what;
    }
  }
}

struct FindCase {
  std::string needle;
  std::size_t from;
  bool forward, matchCase;
  long start;  // -1: none
};

TEST(ConsoleText, FindIgnoresCaseOfLatinAndCyrillic) {
  ConsoleText t;
  // "OK ok Ок ок" (Cyrillic О, к), a break, "ёЁ tail"
  t.append(0, "OK ok \xCE\xEA \xEE\xEA\r\n\xB8\xA8 tail");
  for (const FindCase& c : std::vector<FindCase>{
           {"ok", 0, true, false, 0},
           {"ok", 1, true, false, 3},
           {"ok", 0, true, true, 3},
           {"OK", 4, true, true, -1},
           {"\xEE\xEA", 0, true, false, 6},   // "ок" finds "Ок"
           {"\xCE\xCA", 7, true, false, 9},   // "ОК" finds "ок"
           {"\xA8\xA8", 0, true, false, 12},  // "ЁЁ" finds "ёЁ"
           {"ok", 6, false, false, 3},
           {"ok", 3, false, false, 0},
           {"ok", 0, false, false, -1},
           {"tail", 0, true, false, 15},
           {"tails", 0, true, false, -1},
           {"", 0, true, false, -1},
       }) {
    const auto m = t.find(c.needle, c.from, c.forward, c.matchCase);
    EXPECT_EQ(m ? long(m->start) : -1L, c.start) << c.needle << " from " << c.from;
    if (m) {
      EXPECT_EQ(m->end - m->start, c.needle.size());
    }
  }
  // A match that straddles two chunks.
  ConsoleText big;
  big.append(0, std::string(262142, '.') + "needle");
  const auto m = big.find("NEEDLE", 0, true, false);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start, 262142u);
}

struct FarFindCase {
  std::string needle;
  std::size_t from;
  bool forward, matchCase;
  std::size_t start;  // npos: none
};

TEST(ConsoleText, FindAndCopyAcrossCompressedChunks) {
  // Markers in the first chunk (long since packed), across the boundary of
  // chunks 3 and 4, and at the very end, in a text of eight chunks.
  constexpr std::size_t kChunk = ConsoleText::kChunkBytes, npos = std::string::npos;
  std::string text = Stored(DeviceLog(8 * kChunk));
  text.replace(100, 6, "MARKER");
  text.replace(4 * kChunk - 3, 6, "\xCC\xE0\xF0\xEA\xE5\xF0");  // "Маркер" over the boundary
  text.replace(text.size() - 6, 6, "marker");
  ConsoleText t;
  for (std::size_t at = 0; at < text.size(); at += 2047)
    t.append(0x800000, std::string_view(text).substr(at, 2047));
  ASSERT_EQ(t.size(), text.size());
  t.packWaiting(SIZE_MAX);
  const std::size_t end = text.size();
  for (const FarFindCase& c : std::vector<FarFindCase>{
           {"MARKER", 0, true, true, 100},
           {"marker", 0, true, false, 100},
           {"marker", 101, true, true, end - 6},
           {"marker", 101, true, false, end - 6},
           {"\xEC\xE0\xF0\xEA\xE5\xF0", 200, true, false, 4 * kChunk - 3},  // "маркер"
           {"\xCC\xE0\xF0\xEA\xE5\xF0", 200, true, true, 4 * kChunk - 3},
           {"MARKER", end, false, true, 100},
           {"marker", end - 6, false, false, 100},
           {"\xEC\xE0\xF0\xEA\xE5\xF0", end, false, false, 4 * kChunk - 3},
           {"\xEC\xE0\xF0\xEA\xE5\xF0", end, false, true, npos},
           {"marker", end, false, true, end - 6},
           {"no such text", 0, true, false, npos},
           {"no such text", end, false, false, npos},
       }) {
    const auto m = t.find(c.needle, c.from, c.forward, c.matchCase);
    EXPECT_EQ(m ? m->start : npos, c.start) << c.needle << " from " << c.from << (c.forward ? " forward" : " back");
    // Copying through the cache, in chunks packed and unpacked meanwhile.
    EXPECT_EQ(t.bytes(3 * kChunk - 10, 5 * kChunk + 10), text.substr(3 * kChunk - 10, 2 * kChunk + 20));
  }
  EXPECT_EQ(t.text(0, end), DecodeCp1251(text));
  EXPECT_EQ(t.bytes(0, end), text);
}

TEST(ConsoleText, WordsAroundAPosition) {
  ConsoleText t;
  t.append(0, "AT+CPBR=1,4 \xCF\xF0\xE8\xE2\xE5\xF2_1");  // "Привет_1"
  for (const auto& [pos, word] : std::vector<std::pair<std::size_t, ConsoleText::Range>>{
           {0, {0, 2}}, {1, {0, 2}}, {2, {0, 2}}, {4, {3, 7}}, {12, {12, 20}}, {20, {12, 20}}}) {
    EXPECT_EQ(t.wordAt(pos), word) << pos;
  }
}

}  // namespace
}  // namespace kvl

// A pane that follows its end: row by row for a slow device; while rows
// stream in, a jump of several rows leaves blank rows below the end that
// the next rows fill without moving the pane; the end is always shown.
TEST(PaneFollow, JumpsOnlyWhileRowsStreamIn) {
  struct JumpCase {
    int rowsPerSecond, page, jump;
  };
  for (const JumpCase& c : {JumpCase{0, 30, 1}, JumpCase{3, 30, 1}, JumpCase{24, 30, 12}, JumpCase{288, 30, 22},
                            JumpCase{100, 1, 1}})
    EXPECT_EQ(kvl::JumpRows(c.rowsPerSecond, c.page), c.jump) << c.rowsPerSecond << " rows/s, page " << c.page;

  struct Case {
    const char* what;
    std::size_t rows, page, top;
    int jump;
    std::size_t newTop;
    int tail;
  };
  const Case cases[] = {
      {"the pane is not full", 10, 30, 0, 6, 0, 0},
      {"a slow device: one row scrolls in", 31, 30, 0, 1, 1, 0},
      {"streaming: the end goes below", 31, 30, 0, 6, 6, 5},
      {"the next rows fill the blank rows", 35, 30, 6, 6, 6, 1},
      {"the last blank row filled", 36, 30, 6, 6, 6, 0},
      {"a burst larger than the jump", 100, 30, 6, 6, 75, 5},
      {"a jump larger than the page", 40, 10, 20, 50, 39, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const kvl::FollowPlace place = kvl::FollowEnd(c.rows, c.page, c.top, c.jump);
    EXPECT_EQ(place.top, c.newTop);
    EXPECT_EQ(place.tail, c.tail);
    EXPECT_LT(c.rows - 1, place.top + c.page);  // the end is shown
  }
}
