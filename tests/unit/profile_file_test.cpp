// Profile-file reader and writer: reading rules, byte-exact edits, and the
// atomic replacement that never loses the old file.
#include "settings/ProfileFile.h"
#include "tests/common/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <vector>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "core/Cp1251.h"

namespace kvl {
namespace {

constexpr uid_t kNobody = 65534;

using kvltest::Slurp;
using kvltest::Spit;

std::set<std::string> DirEntries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    ::closedir(d);
  }
  return names;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kvl-profile-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() {
    ::chmod(path_.c_str(), 0700);
    std::string cmd = "rm -rf '" + path_ + "'";
    (void)!std::system(cmd.c_str());
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs body in a child process without root's privileges (so that file
// permissions hold) and returns its exit code.
template <typename Body>
int RunUnprivileged(Body body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
        ::_exit(100);
    }
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// ------------------------------------------------------------ case folding

// Lower-case partner of a Unicode letter of the Latin and Cyrillic blocks.
char16_t UnicodeLower(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + 0x20;
  if (c >= 0x0410 && c <= 0x042F) return c + 0x20;
  if (c >= 0x0400 && c <= 0x040F) return c + 0x50;
  if (c == 0x0490) return 0x0491;
  return c;
}

// The fold table checked against Unicode's case pairs through the code
// page: two bytes compare equal exactly when their characters are the same
// letter in either case.
TEST(ProfileNames, CaseFoldingMatchesUnicodeForEveryBytePair) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      char16_t ua = Cp1251ToUnicode(static_cast<unsigned char>(a));
      char16_t ub = Cp1251ToUnicode(static_cast<unsigned char>(b));
      bool same = UnicodeLower(ua) == UnicodeLower(ub);
      std::string sa(1, static_cast<char>(a)), sb(1, static_cast<char>(b));
      ASSERT_EQ(ProfileNamesEqual(sa, sb), same) << std::hex << a << " vs " << b;
    }
  }
}

// ------------------------------------------------------------ reading rules

struct ReadCase {
  const char* name;
  std::string content;
  std::string section;
  std::string key;
  std::optional<std::string> expected;
};

class ProfileReadRules : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileReadRules, FindsValue) {
  const ReadCase& c = GetParam();
  EXPECT_EQ(ProfileFindValue(c.content, c.section, c.key), c.expected);
}

const std::string kCyr = "\xD1ommand line";  // capital Cyrillic Es

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileReadRules,
    ::testing::Values(
        ReadCase{"Exact", "[TCP socket]\r\nSource port:=10000\r\n", "TCP socket", "Source port:",
                 "10000"},
        ReadCase{"LatinCaseIgnored", "[tcp SOCKET]\r\nSOURCE PORT:=1\r\n", "TCP socket",
                 "source port:", "1"},
        ReadCase{"CyrillicCaseIgnored", "[\xF1OMMAND LINE]\r\ncommand line1:=x\r\n", kCyr,
                 "COMMAND LINE1:", "x"},
        ReadCase{"YoAndUkrainianLettersFolded", "[\xA8\xAA\xAF\xB2\xA5]\nk=v\n",
                 "\xB8\xBA\xBF\xB3\xB4", "K", "v"},
        ReadCase{"LatinCIsNotCyrillicEs", "[Command line]\r\ncommand line1:=x\r\n", kCyr,
                 "command line1:", std::nullopt},
        ReadCase{"BlanksAroundEverything", "  [  TCP socket \t]  \r\n \t Source port:  =  10 000 \t\r\n",
                 "TCP socket", "Source port:", "10 000"},
        ReadCase{"LfOnlyLines", "[A]\nk=v\n", "A", "k", "v"},
        ReadCase{"NoFinalLineEnd", "[A]\r\nk=v", "A", "k", "v"},
        ReadCase{"DoubleQuotesRemoved", "[A]\nk= \"a b\" \n", "A", "k", "a b"},
        ReadCase{"SingleQuotesRemoved", "[A]\nk='a b'\n", "A", "k", "a b"},
        ReadCase{"BlanksInsideQuotesKept", "[A]\nk=\" a \"\n", "A", "k", " a "},
        ReadCase{"OnlyOnePairRemoved", "[A]\nk=\"\"x\"\"\n", "A", "k", "\"x\""},
        ReadCase{"MismatchedQuotesKept", "[A]\nk=\"x'\n", "A", "k", "\"x'"},
        ReadCase{"LoneQuoteKept", "[A]\nk=\"\n", "A", "k", "\""},
        ReadCase{"QuotedEmpty", "[A]\nk=\"\"\n", "A", "k", ""},
        ReadCase{"EmptyValueIsPresent", "[A]\nk=\n", "A", "k", ""},
        ReadCase{"ValueMayHoldEquals", "[A]\ncommand line2:=MyV=7\n", "A", "command line2:",
                 "MyV=7"},
        ReadCase{"CommentIgnored", "[A]\n;k=1\n  ; k=2\nk=3\n", "A", "k", "3"},
        ReadCase{"LineWithoutEqualsIgnored", "[A]\nk\nk=4\n", "A", "k", "4"},
        ReadCase{"KeyWithoutEqualsIsMissing", "[A]\nk\n", "A", "k", std::nullopt},
        ReadCase{"KeyBeforeAnySectionIgnored", "k=1\n[A]\n", "A", "k", std::nullopt},
        ReadCase{"KeyOfOtherSection", "[A]\nx=1\n[B]\nk=1\n", "A", "k", std::nullopt},
        ReadCase{"DuplicateKeyFirstWins", "[A]\nk=1\nK=2\n", "A", "k", "1"},
        ReadCase{"DuplicateSectionFirstWins", "[A]\nk=1\n[a]\nk=2\n", "A", "k", "1"},
        ReadCase{"OnlyFirstSectionSearched", "[A]\nx=1\n[A]\nk=2\n", "A", "k", std::nullopt},
        ReadCase{"TextAfterHeaderIgnored", "[A] ; note\nk=1\n", "A", "k", "1"},
        ReadCase{"UnclosedHeaderIsNoSection", "[A]\n[B\nk=1\n", "A", "k", "1"},
        ReadCase{"EmptyContent", "", "A", "k", std::nullopt},
        ReadCase{"LoneCrEndsLine", "[A]\nk=a\rb=c\r\n", "A", "k", "a"},
        ReadCase{"CrOnlyLines", "[A]\rx=1\rk=v\r", "A", "k", "v"},
        ReadCase{"CrOnlyLastLineUnterminated", "[A]\rk=v", "A", "k", "v"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileRead, ValueIsCutTo2047Bytes) {
  const std::string big(3000, 'v');
  EXPECT_EQ(ProfileFindValue("[A]\nk=" + big + "\n", "A", "k"), std::string(2047, 'v'));
  // Quotes come off first, then the cut.
  std::string inner = "x" + std::string(2046, 'v');
  EXPECT_EQ(ProfileFindValue("[A]\nk=\"" + inner + "\"\n", "A", "k"), inner);
  EXPECT_EQ(ProfileRead("/nonexistent/zel .ini", "A", "k", big), std::string(2047, 'v'));
}

TEST(ProfileRead, MissingOrUnreadableFileGivesDefault) {
  TempDir dir;
  EXPECT_EQ(ProfileRead(dir.File("absent.ini"), "A", "k", "ERROR"), "ERROR");
  EXPECT_EQ(ProfileLookup(dir.path(), "A", "k"), std::nullopt);  // a directory
}

// ------------------------------------------------------------ byte-exact edits

struct WriteCase {
  const char* name;
  std::string before;
  std::string section, key, value;
  std::string after;
};

class ProfileEdits : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileEdits, ChangesOnlyTheKeysLine) {
  const WriteCase& c = GetParam();
  std::optional<std::string> out = ProfileSetValue(c.before, c.section, c.key, c.value);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(*out, c.after);
  EXPECT_EQ(ProfileFindValue(*out, c.section, c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileEdits,
    ::testing::Values(
        WriteCase{"NewFile", "", "S", "k:", "v", "[S]\r\nk:=v\r\n"},
        WriteCase{"EmptyValue", "", "S", "k:", "", "[S]\r\nk:=\r\n"},
        WriteCase{"ReplaceInFirstSectionOnly", "[A]\nk=1\n[B]\nk=2\n", "A", "k", "9",
                  "[A]\nk=9\n[B]\nk=2\n"},
        WriteCase{"ReplaceKeepsKeySpelling", "[A]\r\n  K = old \r\nz=1", "a", "k", "new",
                  "[A]\r\n  K =new\r\nz=1"},
        WriteCase{"ReplaceLastLineWithoutEnd", "[A]\r\nk=1", "A", "k", "2", "[A]\r\nk=2\r\n"},
        WriteCase{"AppendAfterLastKeyBeforeCommentAndBlank",
                  "[A]\r\nx=1\r\n; note\r\n\r\n[B]\r\ny=2", "A", "z", "3",
                  "[A]\r\nx=1\r\nz=3\r\n; note\r\n\r\n[B]\r\ny=2"},
        WriteCase{"AppendToSectionWithoutKeys", "[A]\r\n[B]\r\n", "A", "x", "1",
                  "[A]\r\nx=1\r\n[B]\r\n"},
        WriteCase{"AppendAfterUnterminatedLastLine", "[A]\r\nx=1", "A", "z", "3",
                  "[A]\r\nx=1\r\nz=3\r\n"},
        WriteCase{"NewSectionAfterUnterminatedLine", "[A]\r\nx=1", "B", "y", "2",
                  "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        WriteCase{"NewSectionWithoutBlankLine", "[A]\r\nx=1\r\n", "B", "y", "2",
                  "[A]\r\nx=1\r\n[B]\r\ny=2\r\n"},
        WriteCase{"NewSectionAfterBlankLine", "[A]\r\nx=1\r\n\r\n", "B", "y", "2",
                  "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n"},
        WriteCase{"DuplicateSectionWritesFirst", "[A]\r\n[A]\r\nx=1\r\n", "A", "x", "2",
                  "[A]\r\nx=2\r\n[A]\r\nx=1\r\n"},
        WriteCase{"CyrillicSectionMatched", "[\xF1OMMAND LINE]\r\na=1\r\n", kCyr, "b", "2",
                  "[\xF1OMMAND LINE]\r\na=1\r\nb=2\r\n"},
        WriteCase{"LatinSectionNotMatched", "[Command line]\r\nb=1\r\n", kCyr, "b", "2",
                  "[Command line]\r\nb=1\r\n[" + kCyr + "]\r\nb=2\r\n"},
        WriteCase{"KeysBeforeFirstSectionUntouched", "k=1\n", "A", "k", "2",
                  "k=1\n[A]\nk=2\n"},
        // A file saved with lone CRs (or LFs) gets its own line end.
        WriteCase{"CrFileNewKey", "[A]\rx=1\r", "A", "z", "3", "[A]\rx=1\rz=3\r"},
        WriteCase{"CrFileReplace", "[A]\rk=1\r[B]\r", "A", "k", "2", "[A]\rk=2\r[B]\r"},
        WriteCase{"CrFileNewSection", "[A]\rx=1", "B", "y", "2", "[A]\rx=1\r[B]\ry=2\r"},
        WriteCase{"LfFileNewKey", "[A]\nx=1\n", "A", "z", "3", "[A]\nx=1\nz=3\n"},
        WriteCase{"CrBeforeEmptyLfLineStaysApart", "[A]\rx=1\n\n", "A", "z", "3",
                  "[A]\rx=1\nz=3\r\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileEdits, RefusesWhatCannotBeOneLine) {
  for (auto [section, key, value] : std::vector<std::array<std::string, 3>>{
           {"A", "k", "a\nb"}, {"A", "k", "a\rb"}, {"A", "k=x", "v"}, {"A", "", "v"},
           {"", "k", "v"},     {"A]", "k", "v"},   {"A", ";k", "v"}, {"A", "[k", "v"},
           {"A", "k\n", "v"},  {"A\r", "k", "v"}}) {
    EXPECT_FALSE(ProfileSetValue("[A]\r\n", section, key, value).has_value())
        << section << "/" << key << "/" << value;
  }
}

// Lines of a content without their line ends (CR LF, LF or a lone CR).
std::vector<std::string> Lines(std::string_view s) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t brk = s.find_first_of("\r\n", pos);
    const std::size_t end = brk == std::string_view::npos ? s.size() : brk;
    out.emplace_back(s.substr(pos, end - pos));
    pos = end + 1;
    if (brk != std::string_view::npos && s[brk] == '\r' && pos < s.size() && s[pos] == '\n') ++pos;
  }
  return out;
}

// Random contents made of the format's own characters: after a write the key
// reads back, every other key reads as before, and every old line but the
// replaced one is still there, in order.
TEST(ProfileEdits, RandomContentsKeepEverythingElse) {
  std::mt19937 rng(20240611);
  const std::vector<std::string> pieces = {"[", "]", "=", ";", "\r", "\n", "\r\n", " ", "\t",
                                           "A", "a", "k", "K", "\xD1", "\xF1", "\"", "'", "x",
                                           std::string(1, '\0'), "\xFF"};
  const std::vector<std::string> names = {"A", "a", "k", "K", "\xD1", "Ak", "x"};
  const std::vector<std::string> values = {"1", "v=w", "", "\xE0\xFF", "a b", "[x]"};
  for (int iter = 0; iter < 3000; ++iter) {
    std::string content;
    int n = std::uniform_int_distribution<int>(0, 60)(rng);
    for (int i = 0; i < n; ++i) content += pieces[rng() % pieces.size()];
    std::string section = names[rng() % names.size()];
    std::string key = names[rng() % names.size()];
    std::string value = values[rng() % values.size()];

    std::optional<std::string> out = ProfileSetValue(content, section, key, value);
    ASSERT_TRUE(out.has_value());
    SCOPED_TRACE(::testing::PrintToString(content) + " set [" + section + "] " + key);
    EXPECT_EQ(ProfileFindValue(*out, section, key), value);
    for (const auto& s : names) {
      for (const auto& k : names) {
        if (ProfileNamesEqual(s, section) && ProfileNamesEqual(k, key)) continue;
        EXPECT_EQ(ProfileFindValue(*out, s, k), ProfileFindValue(content, s, k)) << s << "/" << k;
      }
    }

    std::vector<std::string> oldLines = Lines(content), newLines = Lines(*out);
    std::size_t j = 0, skipped = 0;
    for (const auto& line : oldLines) {
      std::size_t from = j;
      while (j < newLines.size() && newLines[j] != line) ++j;
      if (j == newLines.size()) {
        ++skipped;  // only the replaced key line may be gone
        j = from;
        continue;
      }
      ++j;
    }
    EXPECT_LE(skipped, 1u);
  }
}

// ------------------------------------------------------------ files on disk

TEST(ProfileFile, WriteCreatesFileAndReadsBack) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  ASSERT_TRUE(ProfileWrite(f, "TCP socket", "Source port:", "10000"));
  ASSERT_TRUE(ProfileWrite(f, "TCP socket", "Remote port:", "7777"));
  ASSERT_TRUE(ProfileWrite(f, "TCP socket", "Source port:", "10001"));
  EXPECT_EQ(Slurp(f), "[TCP socket]\r\nSource port:=10001\r\nRemote port:=7777\r\n");
  EXPECT_EQ(ProfileRead(f, "tcp socket", "SOURCE PORT:", "ERROR"), "10001");
  EXPECT_EQ(DirEntries(dir.path()), std::set<std::string>{"zel .ini"});  // no leftovers
}

TEST(ProfileFile, NewFileGetsUmaskMode) {
  TempDir dir;
  mode_t old = ::umask(027);
  bool ok = ProfileWrite(dir.File("zel .ini"), "A", "k", "v");
  ::umask(old);
  ASSERT_TRUE(ok);
  struct stat st;
  ASSERT_EQ(::stat(dir.File("zel .ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(ProfileFile, ReplacedFileKeepsPermissionBits) {
  for (mode_t mode : {0600, 0640, 0664, 0604, 0755}) {
    TempDir dir;
    std::string f = dir.File("zel .ini");
    Spit(f, "[A]\r\nk=1\r\n");
    ASSERT_EQ(::chmod(f.c_str(), mode), 0);
    ASSERT_TRUE(ProfileWrite(f, "A", "k", "2"));
    struct stat st;
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mode;
    EXPECT_EQ(Slurp(f), "[A]\r\nk=2\r\n");
  }
}

TEST(ProfileFile, ReplacedFileKeepsOwnerAndGroupAsRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
  TempDir dir;
  std::string f = dir.File("zel .ini");
  Spit(f, "[A]\r\nk=1\r\n");
  ASSERT_EQ(::chown(f.c_str(), kNobody, kNobody), 0);
  ASSERT_TRUE(ProfileWrite(f, "A", "k", "2"));
  struct stat st;
  ASSERT_EQ(::stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
}

TEST(ProfileFile, SymbolicLinkStaysALink) {
  TempDir dir;
  Spit(dir.File("real.ini"), "[A]\r\nk=1\r\n");
  ASSERT_EQ(::symlink("real.ini", dir.File("zel .ini").c_str()), 0);
  ASSERT_TRUE(ProfileWrite(dir.File("zel .ini"), "A", "k", "2"));
  struct stat st;
  ASSERT_EQ(::lstat(dir.File("zel .ini").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Slurp(dir.File("real.ini")), "[A]\r\nk=2\r\n");
}

// A link to a file that is not there yet, and a chain of links into another
// directory: the write creates or replaces the file at the end, beside it,
// and every link stays.
TEST(ProfileFile, SymbolicLinkToAbsentFileOrThroughAChainStaysALink) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.File("sub").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("sub/real.ini", dir.File("zel .ini").c_str()), 0);  // dangling
  ASSERT_TRUE(ProfileWrite(dir.File("zel .ini"), "A", "k", "1"));
  EXPECT_EQ(Slurp(dir.File("sub/real.ini")), "[A]\r\nk=1\r\n");
  ASSERT_EQ(::symlink("zel .ini", dir.File("second.ini").c_str()), 0);  // a link to the link
  ASSERT_TRUE(ProfileWrite(dir.File("second.ini"), "A", "k", "2"));
  EXPECT_EQ(Slurp(dir.File("sub/real.ini")), "[A]\r\nk=2\r\n");
  for (const char* link : {"zel .ini", "second.ini"}) {
    struct stat st;
    ASSERT_EQ(::lstat(dir.File(link).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << link;
  }
  EXPECT_EQ(ProfileLookup(dir.File("second.ini"), "A", "k"), "2");
}

// Refusals: the old file stays exactly as it was and nothing is left behind.
TEST(ProfileFile, ReadOnlyDirectoryLeavesOldFileIntact) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  const std::string old = "[A]\r\nk=1\r\n; keep me";
  Spit(f, old);
  // The file stays writable for the unprivileged child, the directory not.
  ASSERT_EQ(::chown(f.c_str(), ::geteuid() == 0 ? kNobody : ::geteuid(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(::chmod(f.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  int code = RunUnprivileged([&] { return ProfileWrite(f, "A", "k", "2") ? 1 : 0; });
  EXPECT_EQ(code, 0) << "the write must report failure";
  EXPECT_EQ(Slurp(f), old);
  EXPECT_EQ(DirEntries(dir.path()), std::set<std::string>{"zel .ini"});
}

TEST(ProfileFile, ReadOnlyFileIsRefusedEvenForRoot) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  Spit(f, "[A]\r\nk=1\r\n");
  ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
  EXPECT_FALSE(ProfileWrite(f, "A", "k", "2"));
  EXPECT_EQ(Slurp(f), "[A]\r\nk=1\r\n");
  EXPECT_EQ(DirEntries(dir.path()), std::set<std::string>{"zel .ini"});
}

TEST(ProfileFile, UnreadableFileIsNotReplaced) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  Spit(f, "[A]\r\nk=1\r\n");
  ASSERT_EQ(::chown(f.c_str(), ::geteuid() == 0 ? kNobody : ::geteuid(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(::chmod(f.c_str(), 0200), 0);  // writable, not readable
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  int code = RunUnprivileged([&] { return ProfileWrite(f, "B", "k", "2") ? 1 : 0; });
  EXPECT_EQ(code, 0);
  ASSERT_EQ(::chmod(f.c_str(), 0600), 0);
  EXPECT_EQ(Slurp(f), "[A]\r\nk=1\r\n");
}

TEST(ProfileFile, DirectoryInPlaceOfFileIsRefused) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.File("zel .ini").c_str(), 0755), 0);
  EXPECT_FALSE(ProfileWrite(dir.File("zel .ini"), "A", "k", "v"));
  EXPECT_EQ(ProfileRead(dir.File("zel .ini"), "A", "k", "ERROR"), "ERROR");
}

// A full disk shows as a failing write; a file-size limit produces the same
// error (EFBIG once SIGXFSZ is ignored) without needing a small file system.
TEST(ProfileFile, FileSizeLimitLeavesOldFileIntact) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  const std::string old = "[A]\r\nk=1\r\n[B]\r\nother=kept\r\n";
  Spit(f, old);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {4096, 4096};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) ::_exit(100);
    ::_exit(ProfileWrite(f, "A", "k", std::string(10000, 'z')) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write must report failure";
  EXPECT_EQ(Slurp(f), old);
  EXPECT_EQ(DirEntries(dir.path()), std::set<std::string>{"zel .ini"});
}

TEST(ProfileFile, HundredKilobyteValue) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  std::string big(100 * 1024, 'q');
  big[0] = 'Q';
  ASSERT_TRUE(ProfileWrite(f, "A", "big", big));
  ASSERT_TRUE(ProfileWrite(f, "A", "after", "1"));
  ASSERT_TRUE(ProfileWrite(f, "B", "k", "2"));
  EXPECT_EQ(ProfileRead(f, "A", "big", "ERROR"), big.substr(0, kProfileValueMax));
  EXPECT_EQ(ProfileRead(f, "A", "after", "ERROR"), "1");
  EXPECT_EQ(ProfileRead(f, "B", "k", "ERROR"), "2");
  EXPECT_NE(Slurp(f).find("big=" + big + "\r\n"), std::string::npos) << "stored whole";
}

TEST(ProfileFile, BinaryGarbageIsKeptAndStillUsable) {
  TempDir dir;
  std::string f = dir.File("zel .ini");
  std::mt19937 rng(7);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(rng() & 0xFF);
  Spit(f, garbage);
  EXPECT_EQ(ProfileRead(f, "Sim set", "Phone 1:", "ERROR"), "ERROR");
  ASSERT_TRUE(ProfileWrite(f, "Sim set", "Phone 1:", "+380672100001"));
  EXPECT_EQ(ProfileRead(f, "Sim set", "Phone 1:", "ERROR"), "+380672100001");
  std::string now = Slurp(f);
  ASSERT_GE(now.size(), garbage.size());
  EXPECT_EQ(now.substr(0, garbage.size()), garbage);
}

// File times of some file systems (FAT: 2 s) are coarse: an edit that keeps
// the size within the same time step shows no change, so a file counts as
// settled only once its time is 2 s old; until then it is read again, at
// most every 100 ms.
TEST(ProfileCache, FileIsReadAgainUntilItsTimeIsTwoSecondsOld) {
  struct Case {
    double age;  // seconds between the file's time and now
    unsigned reads;
  };
  TempDir dir;
  const std::string file = dir.File("zel .ini");
  for (const Case& c : {Case{0.0, 2}, Case{1.0, 2}, Case{1.5, 2}, Case{3.0, 1}, Case{3600.0, 1}}) {
    SCOPED_TRACE(c.age);
    Spit(file, "[S]\r\nK=1\r\n");
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t ns = std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec - std::int64_t(c.age * 1e9);
    const timespec times[2] = {{ns / 1000000000, ns % 1000000000}, {ns / 1000000000, ns % 1000000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    ProfileCache cache;
    cache.refresh(file);
    cache.refresh(file);  // at once: the same read serves
    EXPECT_EQ(cache.reads(), 1u);
    // Lookups for 300 ms: a file that has not settled is read once more.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (cache.reads() == 1 && std::chrono::steady_clock::now() < until) {
      ::usleep(1000);
      cache.refresh(file);
    }
    EXPECT_EQ(cache.reads(), c.reads);
    EXPECT_EQ(cache.lookup("S", "K"), "1");
  }
}

// A file saved as UTF-8 (with or without the byte order mark) is read as the
// text it stands for and grows in UTF-8; a Windows-1251 file stays as it is.
TEST(ProfileEncoding, Utf8FilesAreReadAndExtendedInTheirOwnEncoding) {
  const std::string section = Cp1251ToUtf8("\xCC\xEE\xE9");  // "Мой" in UTF-8
  const std::string apn = EncodeCp1251(u"моя.апн");
  struct Case {
    const char* name;
    std::string content;
    bool utf8;
  };
  const Case cases[] = {
      {"utf-8", "[" + section + "]\r\nAPN:=" + Cp1251ToUtf8(apn) + "\r\n", true},
      {"utf-8 with mark", "\xEF\xBB\xBF[" + section + "]\r\nAPN:=" + Cp1251ToUtf8(apn) + "\r\n", true},
      {"windows-1251", "[\xCC\xEE\xE9]\r\nAPN:=" + apn + "\r\n", false},
  };
  TempDir dir;
  const std::string file = dir.File("zel .ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ProfileFindValue(c.content, "\xCC\xEE\xE9", "apn:"), apn);
    // The file as the window reads it, and a missing key written to it.
    Spit(file, c.content);
    EXPECT_EQ(ProfileRead(file, "\xEC\xEE\xE9", "APN:", "ERROR"), apn);
    ASSERT_TRUE(ProfileWrite(file, "\xCC\xEE\xE9", "\xC8\xEC\xFF:", apn));
    EXPECT_EQ(ProfileRead(file, "\xCC\xEE\xE9", "\xE8\xEC\xFF:", "ERROR"), apn);
    EXPECT_EQ(LooksLikeUtf8(Slurp(file)), c.utf8);
    // The missing key joins the section that is there, in the file's own
    // encoding, and nothing else changes.
    const std::optional<std::string> out = ProfileSetValue(c.content, "\xEC\xEE\xE9", "\xC8\xEC\xFF:", apn);
    ASSERT_TRUE(out);
    const std::string added = c.utf8 ? Cp1251ToUtf8("\xC8\xEC\xFF:=" + apn) : "\xC8\xEC\xFF:=" + apn;
    EXPECT_EQ(*out, c.content + added + "\r\n");
    EXPECT_EQ(LooksLikeUtf8(*out), c.utf8);
    EXPECT_EQ(ProfileFindValue(*out, "\xCC\xEE\xE9", "\xE8\xEC\xFF:"), apn);
  }
  // A file holding only the byte order mark gets the new section in UTF-8.
  EXPECT_EQ(ProfileSetValue("\xEF\xBB\xBF", "S", "K", "\xFF"), "\xEF\xBB\xBF\r\n[S]\r\nK=\xD1\x8F\r\n");
  // Windows-1251 bytes that would read as UTF-8 go into a plain ASCII file
  // in UTF-8, and every byte reads back as written.
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string value = std::string(1, char(0xD0)) + char(b);
    const std::optional<std::string> out = ProfileSetValue("[S]\r\n", "S", "K", value);
    ASSERT_TRUE(out);
    EXPECT_EQ(ProfileFindValue(*out, "S", "K"), value);
  }
  // Valid UTF-8 without any byte above 0x7F is plain ASCII: either reading holds.
  EXPECT_FALSE(LooksLikeUtf8("[Com ports]\r\nCOM1:=/dev/ttyUSB0\r\n"));
  EXPECT_FALSE(LooksLikeUtf8("\xC0\xAF"));  // an overlong form is not UTF-8
}

// A file is taken for UTF-8 only with the byte order mark, or when it is
// valid UTF-8 and every character it stands for has a byte in Windows-1251:
// Windows-1251 text where a capital letter is followed by a byte 0x80-0xBF
// (Ні, Мё, Т№) happens to be valid UTF-8 for characters outside it.
TEST(ProfileEncoding, Windows1251FileIsNeverTakenForUtf8) {
  struct Case {
    const char* name;
    std::string value;  // as stored in the file
    bool utf8;
    std::string read;   // the value read, in Windows-1251
  };
  const Case cases[] = {
      {"Ні", "\xCD\xB3", false, "\xCD\xB3"},
      {"Мё", "\xCC\xB8", false, "\xCC\xB8"},
      {"Т№ «", "\xD2\xB9 \xC0\xAB", false, "\xD2\xB9 \xC0\xAB"},
      {"utf-8 Мой", "\xD0\x9C\xD0\xBE\xD0\xB9", true, "\xCC\xEE\xE9"},
      {"utf-8 € №", "\xE2\x82\xAC \xE2\x84\x96", true, "\x88 \xB9"},
      {"utf-8 arrow, no mark", "\xE2\x86\x92", false, "\xE2\x86\x92"},
      {"utf-8 arrow with mark", "\xE2\x86\x92", true, "?"},
  };
  TempDir dir;
  const std::string file = dir.File("zel .ini");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string mark = std::string(c.name).ends_with("with mark") ? "\xEF\xBB\xBF" : "";
    const std::string content = mark + "[S]\r\nPassword:=" + c.value + "\r\n";
    EXPECT_EQ(LooksLikeUtf8(content), c.utf8);
    EXPECT_EQ(ProfileFindValue(content, "S", "Password:"), c.read);
    // A key added afterwards keeps the file's encoding and its value.
    Spit(file, content);
    ASSERT_TRUE(ProfileWrite(file, "S", "K:", "\xCD\xB3"));
    EXPECT_EQ(ProfileRead(file, "S", "Password:", "ERROR"), c.read);
    EXPECT_EQ(ProfileRead(file, "S", "K:", "ERROR"), "\xCD\xB3");
    EXPECT_EQ(Slurp(file), content + (c.utf8 ? "K:=\xD0\x9D\xD1\x96\r\n" : "K:=\xCD\xB3\r\n"));
  }
}

}  // namespace
}  // namespace kvl
