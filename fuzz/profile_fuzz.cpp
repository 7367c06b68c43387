// Fuzz target: the profile-file reader and writer on arbitrary file content.
//
// Input: the file content, then the section, the key and the value to write,
// each after a NUL byte ("content\0section\0key\0value"). Missing fields take
// the values of a real key, so a plain ini file is a useful input too.
//
// Checked on every input:
//  - a write is refused exactly for the names and values the writer documents
//    as impossible on one line;
//  - after a write, reading the key gives the written value as reading
//    normalises it (blanks around it dropped, one pair of enclosing quotes
//    removed, cut to kProfileValueMax bytes);
//  - every other (section, key) reads as before the write, found or not;
//  - the file keeps every line it did not replace, byte for byte and in
//    order (an unterminated last line may gain the file's line end); a
//    replaced key keeps the line count and its line end, an added key adds
//    at most a section line and the key line (no blank line);
//  - writing the same value again changes nothing;
//  - for one input in 32, the same write through a real file (ProfileWrite,
//    then ProfileRead and ProfileLookup) leaves the same bytes on disk and
//    reads the same value.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Cp1251.h"
#include "settings/ProfileFile.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// What a read gives back for a written value.
std::string Normalised(std::string_view v) {
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v.substr(0, kvl::kProfileValueMax));
}

bool ExpectRefusal(std::string_view section, std::string_view key, std::string_view value) {
  auto breaks = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
  std::string_view sec = Trim(section);
  std::string_view k = Trim(key);
  if (sec.empty() || k.empty()) return true;
  if (breaks(section) || breaks(key) || breaks(value)) return true;
  if (sec.find(']') != std::string_view::npos) return true;
  if (k.find('=') != std::string_view::npos) return true;
  return k.front() == '[' || k.front() == ';';
}

// The lines of a content with their line ends ("a\r\n", "b\n", "c\r", "d").
std::vector<std::string_view> RawLines(std::string_view content) {
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t brk = content.find_first_of("\r\n", pos);
    std::size_t next = brk == std::string_view::npos ? content.size() : brk + 1;
    if (brk != std::string_view::npos && content[brk] == '\r' && next < content.size() &&
        content[next] == '\n')
      ++next;
    lines.push_back(content.substr(pos, next - pos));
    pos = next;
  }
  return lines;
}

bool Terminated(std::string_view line) {
  return line.ends_with('\n') || line.ends_with('\r');
}

// The line end of a line ("" when it has none).
std::string_view EndOf(std::string_view line) {
  if (line.ends_with("\r\n")) return line.substr(line.size() - 2);
  return Terminated(line) ? line.substr(line.size() - 1) : std::string_view();
}

// The line end writes use: that of the first line, CR LF when it has none.
std::string_view FileLineEnd(std::string_view content) {
  const std::vector<std::string_view> lines = RawLines(content);
  const std::string_view end = lines.empty() ? std::string_view() : EndOf(lines.front());
  return end.empty() ? std::string_view("\r\n") : end;
}

// An old line is kept when the new content holds it byte for byte; the old
// unterminated last line may have gained the file's line end.
bool Kept(std::string_view oldLine, std::string_view newLine, bool oldIsLast, std::string_view eol) {
  if (oldLine == newLine) return true;
  return oldIsLast && !Terminated(oldLine) && newLine.size() == oldLine.size() + eol.size() &&
         newLine.starts_with(oldLine) && newLine.ends_with(eol);
}

// Names that may be read: the sections and keys the content seems to hold, a
// rough split of the lines (the reads compare the real reader's answers, so
// an odd line only adds a useless probe).
void CollectProbes(std::string_view content, std::set<std::pair<std::string, std::string>>& pairs,
                   std::set<std::string>& sections, std::set<std::string>& keys) {
  std::string current;
  for (std::string_view line : RawLines(content)) {
    line.remove_suffix(EndOf(line).size());
    std::string_view body = Trim(line);
    if (!body.empty() && body.front() == '[' && body.rfind(']') != std::string_view::npos &&
        body.rfind(']') > 0) {
      current = std::string(Trim(body.substr(1, body.rfind(']') - 1)));
      if (sections.size() < 32) sections.insert(current);
      continue;
    }
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    std::string key(Trim(line.substr(0, eq)));
    if (keys.size() < 64) keys.insert(key);
    if (pairs.size() < 256) pairs.emplace(current, key);
  }
}

// A private directory for the file round trips, removed at exit.
const std::string& ScratchFile() {
  static const std::string file = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvl-profile-fuzz-XXXXXX";
    if (!::mkdtemp(dir.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    static std::string removeDir;
    removeDir = dir;
    std::atexit([] {
      ::unlink((removeDir + "/zel .ini").c_str());
      ::rmdir(removeDir.c_str());
    });
    return dir + "/zel .ini";
  }();
  return file;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void CheckFileRoundTrip(std::string_view content, std::string_view section, std::string_view key,
                        std::string_view value, const std::string& expected) {
  const std::string& file = ScratchFile();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    Check(out.good(), "scratch file written");
  }
  Check(kvl::ProfileWrite(file, section, key, value), "a valid write to a file succeeds");
  Check(Slurp(file) == expected, "the file holds what ProfileSetValue gives");
  Check(kvl::ProfileLookup(file, section, key) == Normalised(value), "the file reads back");
  Check(kvl::ProfileRead(file, section, key, "ERROR") == Normalised(value), "ProfileRead agrees");
}

std::string_view TakeField(std::string_view& rest, std::string_view deflt, bool& present) {
  std::size_t nul = rest.rfind('\0');
  if (!present || nul == std::string_view::npos) {
    present = false;
    return deflt;
  }
  std::string_view field = rest.substr(nul + 1);
  rest = rest.substr(0, nul);
  return field;
}

// Every byte above 0x7F, for find_first_of.
std::string_view HighBytes() {
  static const std::string bytes = [] {
    std::string b;
    for (int c = 0x80; c <= 0xFF; ++c) b.push_back(char(c));
    return b;
  }();
  return bytes;
}

// Every other key reads as before the write, and nothing new appears but the
// written key. `replaced`: the key was there before.
void CheckOtherKeys(std::string_view content, std::string_view after, std::string_view section,
                    std::string_view key, bool replaced) {
  std::set<std::pair<std::string, std::string>> pairs;
  std::set<std::string> sections{std::string(section)};
  std::set<std::string> keys{std::string(key)};
  CollectProbes(content, pairs, sections, keys);
  CollectProbes(after, pairs, sections, keys);
  // The written key in every section, and every key in the written section:
  // a write must not make a key appear anywhere else.
  for (const auto& s : sections) pairs.emplace(s, std::string(key));
  for (const auto& k : keys) pairs.emplace(std::string(section), k);
  // The encoding is read from the content: a replaced value that held the
  // only bytes that were not UTF-8 leaves a file that now reads as UTF-8.
  // Adding a key never changes how the file reads.
  // A file of plain ASCII has no encoding yet.
  const bool flipped = kvl::LooksLikeUtf8(content) != kvl::LooksLikeUtf8(after);
  const bool ascii = content.find_first_of(HighBytes()) == std::string_view::npos;
  Check(!flipped || ascii || replaced, "adding a key keeps the encoding of a file that has one");
  for (const auto& [s, k] : pairs) {
    if (flipped && !ascii) break;
    if (kvl::ProfileNamesEqual(Trim(s), Trim(section)) && kvl::ProfileNamesEqual(Trim(k), Trim(key)))
      continue;
    Check(kvl::ProfileFindValue(after, s, k) == kvl::ProfileFindValue(content, s, k),
          "every other key reads as before the write");
  }
}

// The file keeps every line the write did not replace; a replaced key keeps
// the line count, an added one adds its line and perhaps its section's.
void CheckLinesKept(std::string_view content, std::string_view after, bool replaced) {
  const std::vector<std::string_view> oldLines = RawLines(content);
  const std::vector<std::string_view> newLines = RawLines(after);
  const std::string_view eol = FileLineEnd(content);
  if (replaced) {
    Check(newLines.size() == oldLines.size(), "replacing a key keeps the line count");
    int changed = 0;
    for (std::size_t i = 0; i < oldLines.size(); ++i) {
      const bool last = i + 1 == oldLines.size();
      if (Kept(oldLines[i], newLines[i], last, eol)) continue;
      ++changed;
      Check(EndOf(newLines[i]) == (Terminated(oldLines[i]) ? EndOf(oldLines[i]) : eol),
            "the replaced line keeps its line end, or gets the file's");
    }
    Check(changed <= 1, "replacing a key changes one line at most");
  } else {
    Check(newLines.size() > oldLines.size() && newLines.size() <= oldLines.size() + 2,
          "adding a key adds one or two lines");
    std::size_t j = 0;
    for (std::size_t i = 0; i < oldLines.size(); ++i) {
      while (j < newLines.size() && !Kept(oldLines[i], newLines[j], i + 1 == oldLines.size(), eol)) ++j;
      Check(j < newLines.size(), "adding a key keeps every old line, in order");
      ++j;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  bool present = true;
  const std::string_view value = TakeField(rest, "10000", present);
  const std::string_view key = TakeField(rest, "Source port:", present);
  const std::string_view section = TakeField(rest, "TCP socket", present);
  const std::string_view content = rest;

  const std::optional<std::string> before = kvl::ProfileFindValue(content, section, key);
  if (before) Check(before->size() <= kvl::kProfileValueMax, "a read is cut to the limit");

  const std::optional<std::string> written = kvl::ProfileSetValue(content, section, key, value);
  Check(written.has_value() != ExpectRefusal(section, key, value),
        "a write is refused exactly for what cannot be one line");
  if (!written) return 0;
  const std::string& after = *written;

  const std::optional<std::string> readBack = kvl::ProfileFindValue(after, section, key);
  Check(readBack.has_value(), "a written key can be read");
  Check(*readBack == Normalised(value), "a written key reads back as the value written");

  CheckOtherKeys(content, after, section, key, before.has_value());
  CheckLinesKept(content, after, before.has_value());
  Check(kvl::ProfileSetValue(after, section, key, value) == after,
        "writing the same value again changes nothing");

  if (size % 32 == 0) CheckFileRoundTrip(content, section, key, value, after);
  return 0;
}
