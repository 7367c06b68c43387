#include "settings/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>

#include "core/Cp1251.h"

namespace kvl {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the content: [begin, end) is its text without its line end,
// next is where the following line starts (content size for the last line).
// A line ends in CR LF, a lone LF or a lone CR, as the Windows profile
// functions read them.
struct LineSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t next = 0;
  bool terminated = false;  // ends in a line end
};

LineSpan LineAt(std::string_view content, std::size_t begin) {
  LineSpan l;
  l.begin = begin;
  const std::size_t brk = content.find_first_of("\r\n", begin);
  if (brk == std::string_view::npos) {
    l.end = l.next = content.size();
  } else {
    l.end = brk;
    l.next = brk + 1;
    if (content[brk] == '\r' && brk + 1 < content.size() && content[brk + 1] == '\n') ++l.next;
    l.terminated = true;
  }
  return l;
}

// The line end a write uses: the file's own (that of its first line), CR LF
// for a file that has none yet.
std::string_view LineEndOf(std::string_view content) {
  const LineSpan first = LineAt(content, 0);
  if (!first.terminated) return "\r\n";
  return content.substr(first.end, first.next - first.end);
}

enum class LineKind { Other, Section, Key };

struct ParsedLine {
  LineKind kind = LineKind::Other;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed, quotes kept
  std::size_t valueStart = 0;  // offset in the line just after the '='
};

ParsedLine ParseLine(std::string_view line) {
  ParsedLine p;
  std::string_view body = Trim(line);
  if (body.empty() || body.front() == ';') return p;
  if (body.front() == '[') {
    std::size_t close = body.rfind(']');
    if (close != std::string_view::npos && close > 0) {
      p.kind = LineKind::Section;
      p.name = Trim(body.substr(1, close - 1));
      return p;
    }
  }
  std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return p;
  p.kind = LineKind::Key;
  p.name = Trim(line.substr(0, eq));
  p.value = Trim(line.substr(eq + 1));
  p.valueStart = eq + 1;
  return p;
}

std::string FinishValue(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  if (v.size() > kProfileValueMax) v = v.substr(0, kProfileValueMax);
  return std::string(v);
}

// Where the key stands, or would go, in the content.
struct KeyPlace {
  bool sectionFound = false;
  bool keyFound = false;
  LineSpan keyLine;     // the key's line, when found
  std::size_t valueStart = 0;
  LineSpan anchorLine;  // header or last key line of the section
};

// A file saved as UTF-8 keeps its encoding: its names are compared, and its
// values read, as the Windows-1251 text they stand for, and what a write
// adds to it is written in UTF-8.
struct Encoding {
  bool utf8 = false;
  std::size_t start = 0;  // past the byte order mark
};

Encoding EncodingOf(std::string_view content) {
  Encoding e;
  e.utf8 = LooksLikeUtf8(content);
  if (e.utf8 && content.substr(0, 3) == "\xEF\xBB\xBF") e.start = 3;
  return e;
}

bool NameMatches(std::string_view name, std::string_view wanted, const Encoding& enc) {
  return enc.utf8 ? ProfileNamesEqual(Utf8ToCp1251(name), wanted) : ProfileNamesEqual(name, wanted);
}

KeyPlace LocateKey(std::string_view content, const Encoding& enc, std::string_view section,
                   std::string_view key) {
  KeyPlace place;
  section = Trim(section);
  key = Trim(key);
  bool inTarget = false;
  for (std::size_t pos = enc.start; pos < content.size();) {
    LineSpan line = LineAt(content, pos);
    pos = line.next;
    ParsedLine p = ParseLine(content.substr(line.begin, line.end - line.begin));
    if (p.kind == LineKind::Section) {
      if (inTarget) break;  // only the first section of the name counts
      if (NameMatches(p.name, section, enc)) {
        inTarget = place.sectionFound = true;
        place.anchorLine = line;
      }
    } else if (p.kind == LineKind::Key && inTarget) {
      place.anchorLine = line;
      if (NameMatches(p.name, key, enc)) {
        place.keyFound = true;
        place.keyLine = line;
        place.valueStart = line.begin + p.valueStart;
        return place;
      }
    }
  }
  return place;
}

bool ValidForWriting(std::string_view section, std::string_view key, std::string_view value) {
  auto hasLineBreak = [](std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
  };
  std::string_view sec = Trim(section);
  std::string_view k = Trim(key);
  if (sec.empty() || k.empty()) return false;
  if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value)) return false;
  if (sec.find(']') != std::string_view::npos) return false;
  if (k.find('=') != std::string_view::npos || k.front() == '[' || k.front() == ';') return false;
  return true;
}

// Reads the whole file. False on any error but a missing file, which gives
// true with exists = false; a file that is not read (not regular, too
// large) is an error too. errno holds the reason of a false.
bool ReadWholeFile(const std::string& path, std::string& out, bool& exists) {
  ProfileFileData d = ProfileReadFile(path);
  exists = d.state != ProfileFileState::Missing;
  out = std::move(d.content);
  switch (d.state) {
    case ProfileFileState::Read:
    case ProfileFileState::Missing: return true;
    case ProfileFileState::NotRegular: errno = EINVAL; return false;
    case ProfileFileState::TooLarge: errno = EFBIG; return false;
    case ProfileFileState::Unreadable: errno = d.error; return false;
  }
  return false;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Creates a new, empty file beside target with a name nobody else uses; the
// process umask applies to its mode as it would to a plain creation.
int CreateTempBeside(const std::string& target, std::string& tempName) {
  static std::atomic<unsigned> counter{0};
  std::size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::random_device rd;
  for (int attempt = 0; attempt < 64; ++attempt) {
    tempName = dir + "." + base + ".new-" + std::to_string(::getpid()) + "-" +
               std::to_string(counter++) + "-" + std::to_string(rd() & 0xFFFFF);
    int fd = ::open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void SyncDirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // the rename is done; a failed directory flush changes nothing
  ::close(fd);
}

// Puts content into path by a new file renamed over the old one. old, when
// given, is the old file's status: its mode and owner go to the new file.
bool ReplaceFile(const std::string& path, std::string_view content, const struct stat* old) {
  std::string temp;
  int fd = CreateTempBeside(path, temp);
  if (fd < 0) return false;
  bool ok = true;
  if (old) {
    if (old->st_uid != ::geteuid() || old->st_gid != ::getegid()) {
      // Only a privileged process may give the file away; otherwise the new
      // file stays ours, as any rewrite by this user would leave it.
      (void)!::fchown(fd, old->st_uid, old->st_gid);
    }
    // After the owner: a change of owner clears the set-id bits.
    ok = ::fchmod(fd, old->st_mode & 07777) == 0;
  }
  ok = ok && WriteAll(fd, content) && ::fsync(fd) == 0;
  int reason = errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok && reason == 0) reason = errno;
  if (!ok) errno = reason;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int reason = errno;
    ::unlink(temp.c_str());
    errno = reason;
    return false;
  }
  SyncDirectoryOf(path);
  return true;
}

// The file a write must replace: the end of a chain of symbolic links, so
// that the links survive; a link to a file that does not exist yet names
// the file to create.
std::string ResolveForWriting(const std::string& file) {
  std::string path = file;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(std::size_t(PATH_MAX), '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || std::size_t(n) >= target.size()) return path;
    target.resize(std::size_t(n));
    if (target.front() != '/') {
      const std::size_t slash = path.rfind('/');
      if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
    }
    path = std::move(target);
  }
  return path;  // a loop: the write fails on it
}

std::string FoldName(std::string_view name) {
  name = Trim(name);
  std::string folded(name);
  for (char& c : folded) c = char(Cp1251FoldCase(static_cast<unsigned char>(c)));
  return folded;
}

}  // namespace

unsigned char ProfileFoldCase(unsigned char byte) { return Cp1251FoldCase(byte); }

bool ProfileNamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Cp1251FoldCase(static_cast<unsigned char>(a[i])) !=
        Cp1251FoldCase(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::optional<std::string> ProfileFindValue(std::string_view content, std::string_view section,
                                             std::string_view key) {
  const Encoding enc = EncodingOf(content);
  KeyPlace place = LocateKey(content, enc, section, key);
  if (!place.keyFound) return std::nullopt;
  std::string_view line =
      content.substr(place.keyLine.begin, place.keyLine.end - place.keyLine.begin);
  const std::string_view value = ParseLine(line).value;
  return FinishValue(enc.utf8 ? Utf8ToCp1251(value) : std::string(value));
}

namespace {

std::string SetValueIn(std::string_view content, const Encoding& enc, std::string_view section,
                       std::string_view key, std::string_view value) {
  const std::string_view eol = LineEndOf(content.substr(enc.start));
  KeyPlace place = LocateKey(content, enc, section, key);
  std::string converted[3];
  if (enc.utf8) {
    converted[0] = Cp1251ToUtf8(section);
    converted[1] = Cp1251ToUtf8(key);
    converted[2] = Cp1251ToUtf8(value);
    section = converted[0];
    key = converted[1];
    value = converted[2];
  }
  std::string out;
  out.reserve(content.size() + section.size() + key.size() + value.size() + 16);
  if (place.keyFound) {
    // Keep the line up to and including its '=' as the user wrote it, and
    // its own line end.
    const LineSpan& line = place.keyLine;
    out.append(content.substr(0, place.valueStart));
    out.append(value);
    if (line.terminated)
      out.append(content.substr(line.end, line.next - line.end));
    else
      out.append(eol);
    out.append(content.substr(line.next));
    return out;
  }
  if (place.sectionFound) {
    const LineSpan& anchor = place.anchorLine;
    out.append(content.substr(0, anchor.next));
    if (!anchor.terminated) out.append(eol);
    out.append(key).append("=").append(value).append(eol);
    // A lone CR right before an LF would join it into one line end.
    if (eol == "\r" && anchor.next < content.size() && content[anchor.next] == '\n')
      out.append("\n");
    out.append(content.substr(anchor.next));
    return out;
  }
  // A new section goes at the end, right after the last line.
  out.append(content);
  if (!content.empty() && content.back() != '\n' && content.back() != '\r') out.append(eol);
  out.append("[").append(section).append("]").append(eol);
  out.append(key).append("=").append(value).append(eol);
  return out;
}

}  // namespace

std::optional<std::string> ProfileSetValue(std::string_view content, std::string_view section,
                                           std::string_view key, std::string_view value) {
  if (!ValidForWriting(section, key, value)) return std::nullopt;
  Encoding enc = EncodingOf(content);
  std::string out = SetValueIn(content, enc, section, key, value);
  // A file of plain ASCII has no encoding yet: what is added goes in
  // Windows-1251, unless those bytes would read as UTF-8; then it goes in
  // UTF-8, so that it reads back as written.
  if (!enc.utf8 && LooksLikeUtf8(out)) {
    enc.utf8 = true;
    out = SetValueIn(content, enc, section, key, value);
  }
  return out;
}

ProfileFileData ProfileReadFile(const std::string& file) {
  ProfileFileData d;
  // Never blocks on opening a pipe or a device; the status then comes from
  // what was opened.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    d.state = errno == ENOENT ? ProfileFileState::Missing : ProfileFileState::Unreadable;
    d.error = errno;
    return d;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    d.state = ProfileFileState::Unreadable;
    d.error = errno;
    ::close(fd);
    return d;
  }
  d.dev = st.st_dev;
  d.ino = st.st_ino;
  d.size = std::uint64_t(st.st_size);
  d.mtimeNs = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  d.ctimeNs = std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  if (!S_ISREG(st.st_mode)) {
    d.state = ProfileFileState::NotRegular;
  } else if (d.size > kProfileFileMax) {
    d.state = ProfileFileState::TooLarge;
  } else {
    // The file may grow while it is read: one byte past the limit tells.
    d.state = ProfileFileState::Read;
    d.content.resize(kProfileFileMax + 1);
    std::size_t got = 0;
    while (got < d.content.size()) {
      const ssize_t n = ::read(fd, d.content.data() + got, d.content.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        d.state = ProfileFileState::Unreadable;
        d.error = errno;
        break;
      }
      if (n == 0) break;
      got += std::size_t(n);
    }
    d.content.resize(d.state == ProfileFileState::Read ? got : 0);
    if (got > kProfileFileMax) {
      d.state = ProfileFileState::TooLarge;
      d.size = got;
      d.content.clear();
    }
  }
  ::close(fd);
  d.content.shrink_to_fit();
  return d;
}

// How old a file's time must be before the file counts as settled, and how
// often a file that has not settled yet is read again.
constexpr std::int64_t kSettledNs = 2000000000;
constexpr std::int64_t kRecheckNs = 100000000;

std::int64_t ClockNs(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void ProfileCache::refresh(const std::string& file, bool force) {
  struct stat st;
  const bool unchanged =
      !force && file == file_ && ::stat(file.c_str(), &st) == 0 && data_.dev == std::uint64_t(st.st_dev) &&
      data_.ino == std::uint64_t(st.st_ino) && data_.size == std::uint64_t(st.st_size) &&
      data_.mtimeNs == std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec &&
      data_.ctimeNs == std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec &&
      data_.state != ProfileFileState::Missing && data_.state != ProfileFileState::Unreadable;
  // File times advance in steps: a clock tick, or 2 s on FAT (a USB stick).
  // A file changed within the last step may change again, keeping its size,
  // without its times showing it, so until its time is 2 s old it is read
  // again, at most every 100 ms (a round of lookups still costs one read).
  if (unchanged && (settled_ || ClockNs(CLOCK_MONOTONIC) - readAtNs_ < kRecheckNs)) return;
  file_ = file;
  data_ = ProfileReadFile(file);
  ++reads_;
  readAtNs_ = ClockNs(CLOCK_MONOTONIC);
  settled_ = ClockNs(CLOCK_REALTIME) - data_.mtimeNs >= kSettledNs;
  values_.clear();
  if (data_.state != ProfileFileState::Read) return;
  // The first section of a name counts, and in it the first key of a name.
  // A file saved as UTF-8 is kept as the Windows-1251 text it stands for.
  std::map<std::string, std::string>* current = nullptr;
  const std::string_view content = data_.content;
  const Encoding enc = EncodingOf(content);
  auto text = [&enc](std::string_view bytes) { return enc.utf8 ? Utf8ToCp1251(bytes) : std::string(bytes); };
  for (std::size_t pos = enc.start; pos < content.size();) {
    const LineSpan line = LineAt(content, pos);
    pos = line.next;
    const ParsedLine p = ParseLine(content.substr(line.begin, line.end - line.begin));
    if (p.kind == LineKind::Section) {
      const auto [it, fresh] = values_.try_emplace(FoldName(text(p.name)));
      current = fresh ? &it->second : nullptr;
    } else if (p.kind == LineKind::Key && current) {
      current->try_emplace(FoldName(text(p.name)), FinishValue(text(p.value)));
    }
  }
  data_.content.clear();
  data_.content.shrink_to_fit();
}

std::optional<std::string> ProfileCache::lookup(std::string_view section, std::string_view key) const {
  const auto s = values_.find(FoldName(section));
  if (s == values_.end()) return std::nullopt;
  const auto k = s->second.find(FoldName(key));
  if (k == s->second.end()) return std::nullopt;
  return k->second;
}

std::optional<std::string> ProfileLookup(const std::string& file, std::string_view section,
                                         std::string_view key) {
  ProfileCache cache;
  cache.refresh(file);
  return cache.lookup(section, key);
}

std::string ProfileRead(const std::string& file, std::string_view section, std::string_view key,
                        std::string_view deflt) {
  if (auto v = ProfileLookup(file, section, key)) return std::move(*v);
  return std::string(deflt.substr(0, kProfileValueMax));
}

bool ProfileWrite(const std::string& file, std::string_view section, std::string_view key,
                  std::string_view value, int* error) {
  int dummy = 0;
  int& reason = error ? *error : dummy;
  reason = EINVAL;
  if (file.empty() || !ValidForWriting(section, key, value)) return false;
  std::string path = ResolveForWriting(file);
  std::string old;
  bool exists = false;
  // A file that exists but cannot be read must not be replaced by a file
  // holding only the new key.
  if (!ReadWholeFile(path, old, exists)) {
    reason = errno;
    return false;
  }
  struct stat st;
  if (exists) {
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      reason = errno ? errno : EINVAL;
      return false;
    }
    // A file without any write permission is read-only for everybody, root
    // included: the rename would otherwise bypass the protection.
    if ((st.st_mode & 0222) == 0) {
      reason = EACCES;
      return false;
    }
    if (::access(path.c_str(), W_OK) != 0) {
      reason = errno;
      return false;
    }
  }
  std::optional<std::string> updated = ProfileSetValue(old, section, key, value);
  if (!updated) return false;
  errno = 0;
  if (ReplaceFile(path, *updated, exists ? &st : nullptr)) {
    reason = 0;
    return true;
  }
  reason = errno ? errno : EIO;
  return false;
}

}  // namespace kvl
