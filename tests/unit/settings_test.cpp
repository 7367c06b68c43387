// The settings file "zel .ini": first run, sentinel, kept content, refusal,
// the "Com ports" mapping and the "Log" section.
#include "settings/Settings.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <cstdio>
#include <set>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "settings/ProfileFile.h"
#include "tests/common/Files.h"
#include "tests/common/FirstRunFile.h"

namespace kvl {
namespace {

using kvltest::Slurp;
using kvltest::Spit;

// A fresh directory that is the current directory for the test's duration.
class SettingsDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvl-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    char* real = ::realpath(tmpl, nullptr);
    dir_ = real;
    std::free(real);
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    oldCwd_ = cwd;
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    (void)!::chdir(oldCwd_.c_str());
    ::chmod(dir_.c_str(), 0700);
    (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string File() const { return dir_ + "/zel .ini"; }

  // Runs the load loop and returns what it applied, by key index.
  std::map<int, std::string> Load() {
    std::map<int, std::string> applied;
    LoadSettingsCore(SettingsFileName(), [&](int i, const std::string& v) {
      EXPECT_FALSE(applied.count(i)) << "key " << i << " applied twice";
      applied[i] = v;
    });
    return applied;
  }

  std::string dir_;
  std::string oldCwd_;
};

using kvltest::kFirstRunFile;

TEST_F(SettingsDir, FileNameIsCurrentDirectoryAndZelIni) {
  EXPECT_EQ(SettingsFileName(), dir_ + "/zel .ini");
  ASSERT_EQ(::mkdir("sub", 0700), 0);
  ASSERT_EQ(::chdir("sub"), 0);
  EXPECT_EQ(SettingsFileName(), dir_ + "/sub/zel .ini") << "built afresh at each call";
}

TEST_F(SettingsDir, FirstRunWritesEveryDefaultAndAppliesNothing) {
  EXPECT_TRUE(Load().empty());
  EXPECT_EQ(Slurp(File()), kFirstRunFile);

  // The next load finds every key and applies the defaults, in table order.
  std::vector<int> order;
  LoadSettingsCore(File(), [&](int i, const std::string& v) {
    EXPECT_EQ(v, kSettingKeys[i].deflt) << kSettingKeys[i].key;
    order.push_back(i);
  });
  ASSERT_EQ(order.size(), 24u);
  for (int i = 0; i < kSettingKeyCount; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(Slurp(File()), kFirstRunFile) << "nothing rewritten";
}

// Values as the file holds them, and whether the load rewrites the key.
struct SentinelCase {
  const char* name;
  std::string stored;  // value text after "Remote IP:="
  bool missing;        // counts as missing: rewritten, not applied
  std::string applied;
};

class SettingsSentinel : public SettingsDir,
                         public ::testing::WithParamInterface<SentinelCase> {};

TEST_P(SettingsSentinel, RemoteIp) {
  const SentinelCase& c = GetParam();
  std::string before = kFirstRunFile;
  before.replace(before.find("192.168.1.10"), 12, c.stored);
  Spit(File(), before);
  std::map<int, std::string> applied = Load();
  if (c.missing) {
    EXPECT_FALSE(applied.count(1));
    EXPECT_EQ(Slurp(File()), kFirstRunFile) << "default written in place";
  } else {
    EXPECT_EQ(applied.at(1), c.applied);
    EXPECT_EQ(Slurp(File()), before) << "a present key is never rewritten";
  }
  EXPECT_EQ(applied.size(), c.missing ? 23u : 24u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsSentinel,
    ::testing::Values(SentinelCase{"ErrorIsMissing", "ERROR", true, ""},
                      SentinelCase{"BlanksTrimmedToError", "  ERROR \t", true, ""},
                      SentinelCase{"QuotedError", "\"ERROR\"", true, ""},
                      SentinelCase{"LowerCaseIsAValue", "error", false, "error"},
                      SentinelCase{"LongerIsAValue", "ERRORS", false, "ERRORS"},
                      SentinelCase{"EmptyStaysEmpty", "", false, ""},
                      SentinelCase{"MalformedTakenAsIs", "not an address", false,
                                   "not an address"}),
    [](const auto& info) { return std::string(info.param.name); });

// Sections, comments and keys of other programs or of the engineer stay as
// they were, byte for byte; only the missing keys are added.
TEST_F(SettingsDir, ForeignContentIsKeptByteForByte) {
  const std::string before =
      "; written by hand\n"
      "[Com ports]\n"
      "COM3:=/dev/pts/4\n"
      "\n"
      "[tcp socket]\n"
      "remote ip: = \"10.0.0.7\"   \n"
      "; port below\n"
      "[Other]\n"
      "x=1\n"
      "[Command line]\n"
      "command line1:=latin section\n"
      "[Sim set]\n"
      "Phone 2:=+380000000002";  // no final line end
  Spit(File(), before);
  std::map<int, std::string> applied = Load();
  EXPECT_EQ(applied, (std::map<int, std::string>{{1, "10.0.0.7"}, {21, "+380000000002"}}));
  // A file of LF lines gets LF lines, each new section right after the
  // last line.
  auto lf = [](std::string s) {
    for (std::size_t at; (at = s.find("\r\n")) != std::string::npos;) s.erase(at, 1);
    return s;
  };
  const std::string expected =
      "; written by hand\n"
      "[Com ports]\n"
      "COM3:=/dev/pts/4\n"
      "\n"
      "[tcp socket]\n"
      "remote ip: = \"10.0.0.7\"   \n"
      "Source port:=10000\n"
      "Remote port:=7777\n"
      "; port below\n"
      "[Other]\n"
      "x=1\n"
      "[Command line]\n"
      "command line1:=latin section\n"
      "[Sim set]\n"
      "Phone 2:=+380000000002\n"
      "Phone 1:=+380672100001\n"
      "Phone 3:=+380632100003\n"
      "Phone 4:=+380932100004\n" +
      lf(kvltest::kOneClickSection) + lf(kvltest::kCommandLineSection);
  EXPECT_EQ(Slurp(File()), expected);
  EXPECT_EQ(Load().size(), 24u);
  EXPECT_EQ(Slurp(File()), expected) << "a second load writes nothing";
}

TEST_F(SettingsDir, KeyDeletedByHandComesBackWithItsDefault) {
  Spit(File(), kFirstRunFile);
  std::string edited = kFirstRunFile;
  const std::string line = "command line3:=KvlFact\r\n";
  edited.erase(edited.find(line), line.size());
  Spit(File(), edited);
  std::map<int, std::string> applied = Load();
  EXPECT_FALSE(applied.count(17));
  EXPECT_EQ(applied.size(), 23u);
  std::string expected = edited;
  const std::string line5 = "command line5:=ADWL0\r\n";
  expected.insert(expected.find(line5) + line5.size(), line);
  EXPECT_EQ(Slurp(File()), expected) << "appended after the section's last key";
}

// A refused write: every key is still applied (the default where the file
// lacks it), no further write is tried, and one error at the end names the
// full file and the system's reason. Run without root's privileges so that
// the directory's permissions hold.
TEST_F(SettingsDir, ReadOnlyDirectoryStillAppliesEveryKey) {
  // Key 3 ("APN SIM1:") and key 20 ("Phone 1:") are missing.
  std::string content = kFirstRunFile;
  for (const std::string line : {"APN SIM1:=www.kyivstar.net\r\n", "Phone 1:=+380672100001\r\n"})
    content.erase(content.find(line), line.size());
  Spit(File(), content);
  ASSERT_EQ(::chmod(File().c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(100);
    std::string report;
    try {
      LoadSettingsCore(SettingsFileName(), [&](int i, const std::string& v) {
        if (v == kSettingKeys[size_t(i)].deflt) report += std::to_string(i) + ",";
      });
      report += "|no error";
    } catch (const SettingsWriteError& e) {
      report += "|" + std::string(e.what());
    }
    (void)!::write(fds[1], report.data(), report.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  char buf[512];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) report.append(buf, n);
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string all;
  for (int i = 0; i < kSettingKeyCount; ++i) all += std::to_string(i) + ",";
  EXPECT_EQ(report, all + "|Unable to write to " + dir_ + "/zel .ini: Permission denied");
  EXPECT_EQ(Slurp(File()), content);
}

// A settings file that is not a regular file, or is larger than 1 MiB, is
// not read (nor written): every field gets its default and the error says
// why; the "Com ports" and "Log" lookups find nothing.
TEST_F(SettingsDir, FileNotReadGivesTheDefaults) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    const char* why;
  } cases[] = {
      {"50 MB", [](const std::string& f) {
         Spit(f, "[Com ports]\r\nCOM1:=/dev/pts/9\r\n");
         ASSERT_EQ(::truncate(f.c_str(), 50 << 20), 0);
       }, "it is larger than 1 MiB (52428800 bytes)"},
      {"1 MiB and a byte", [](const std::string& f) {
         Spit(f, std::string((1 << 20) + 1, '\n'));
       }, "it is larger than 1 MiB (1048577 bytes)"},
      {"/dev/zero", [](const std::string& f) { ASSERT_EQ(::symlink("/dev/zero", f.c_str()), 0); },
       "it is not a regular file"},
      {"a pipe nobody writes", [](const std::string& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); },
       "it is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(File().c_str());
    c.make(File());
    struct stat before {};
    ASSERT_EQ(::lstat(File().c_str(), &before), 0);
    std::map<int, std::string> applied;
    try {
      LoadSettingsCore(SettingsFileName(), [&](int i, const std::string& v) { applied[i] = v; });
      ADD_FAILURE() << "no error";
    } catch (const SettingsReadError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Settings file " + File() + " is not read: " + c.why + "; the defaults are used");
    }
    ASSERT_EQ(applied.size(), size_t(kSettingKeyCount));
    for (int i = 0; i < kSettingKeyCount; ++i) EXPECT_EQ(applied[i], kSettingKeys[size_t(i)].deflt);
    EXPECT_EQ(ComPathFromSettings(1), std::nullopt);
    EXPECT_EQ(LogFileFromSettingsFile(File()), "");
    struct stat after {};
    ASSERT_EQ(::lstat(File().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, before.st_size);
  }
  // A file of exactly 1 MiB is read.
  ::unlink(File().c_str());
  std::string full = kFirstRunFile;
  full += std::string((1 << 20) - full.size(), ';');
  Spit(File(), full);
  EXPECT_EQ(Load().size(), size_t(kSettingKeyCount));
}

// One read and parse serves a whole load and every probe lookup after it;
// the file is read again once it changes.
TEST_F(SettingsDir, OneReadServesALoadAndAProbeRound) {
  Spit(File(), std::string(kFirstRunFile) + "[Com ports]\r\nCOM3:=/dev/pts/7\r\n");
  // Times of an hour ago: the file has been still for long.
  const timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, File().c_str(), old, 0), 0);
  const unsigned before = SettingsFileReads();
  EXPECT_EQ(Load().size(), size_t(kSettingKeyCount));
  for (int round = 0; round < 3; ++round)
    for (int n = 1; n <= 16; ++n) EXPECT_EQ(ComPathFromSettings(n), n == 3 ? std::optional<std::string>("/dev/pts/7") : std::nullopt);
  EXPECT_EQ(LogFileFromSettingsFile(File()), "");
  EXPECT_EQ(SettingsFileReads() - before, 1u);
  std::ofstream(File(), std::ios::app) << "COM4:=/dev/pts/8\r\n";
  EXPECT_EQ(ComPathFromSettings(4), "/dev/pts/8");
  EXPECT_EQ(SettingsFileReads() - before, 2u);
}

struct ComCase {
  int n;
  std::optional<std::string> path;
};

TEST_F(SettingsDir, ComPortsSectionMapsDevices) {
  Spit(File(),
       "[Com ports]\r\n"
       "COM3:=/dev/pts/7\r\n"
       "COM4:=\r\n"
       "com5: = \"/dev/ttyX 1\" \r\n"
       "COM16:=/dev/pts/9\r\n"
       "COM1:\r\n"          // no '=': not a key
       "[Other]\r\n"
       "COM2:=/dev/other\r\n");
  for (const ComCase& c : std::vector<ComCase>{{3, "/dev/pts/7"},
                                               {4, ""},
                                               {5, "/dev/ttyX 1"},
                                               {16, "/dev/pts/9"},
                                               {1, std::nullopt},
                                               {2, std::nullopt},
                                               {6, std::nullopt},
                                               {0, std::nullopt},
                                               {17, std::nullopt},
                                               {-3, std::nullopt}}) {
    EXPECT_EQ(ComPathFromSettings(c.n), c.path) << "COM" << c.n;
  }
  // Loading the settings never touches the section.
  Load();
  EXPECT_EQ(ComPathFromSettings(3), "/dev/pts/7");
  EXPECT_EQ(Slurp(File()).find("[Com ports]\r\nCOM3:=/dev/pts/7\r\nCOM4:=\r\n"), 0u);
}

TEST_F(SettingsDir, ComPortsWithoutFileAreUnmapped) {
  EXPECT_EQ(ComPathFromSettings(1), std::nullopt);
  EXPECT_EQ(::access(File().c_str(), F_OK), -1) << "reading creates nothing";
}

struct LogCase {
  std::string content, file;
};

TEST_F(SettingsDir, LogSectionNamesTheSessionLogAndIsNeverWritten) {
  for (const LogCase& c : std::vector<LogCase>{
           {"[Log]\r\nFile:=kvl-%Y%m%d.log\r\n", "kvl-%Y%m%d.log"},
           {"[log]\r\nfile: = \"logs/kvl 1.log\" \r\n", "logs/kvl 1.log"},
           {"[Log]\r\nFile:=\r\n", ""},
           {"[Log]\r\n", ""},
           {"[Other]\r\nFile:=x.log\r\n", ""},
       }) {
    Spit(File(), c.content);
    EXPECT_EQ(LogFileFromSettingsFile(File()), c.file) << c.content;
  }
  EXPECT_EQ(LogFileFromSettingsFile(File() + ".missing"), "");
  // Loading the settings leaves the section as it was.
  Spit(File(), "[Log]\r\nFile:=kvl.log\r\n");
  Load();
  EXPECT_EQ(Slurp(File()).find("[Log]\r\nFile:=kvl.log\r\n"), 0u);
  EXPECT_EQ(LogFileFromSettingsFile(File()), "kvl.log");
}

bool IsInternationalNumber(std::string_view p) {
  return p.size() == 13 && p[0] == '+' &&
         p.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
}

bool IsDottedIpv4(const std::string& s) {
  unsigned a, b, c, d;
  int used = 0;
  return std::sscanf(s.c_str(), "%3u.%3u.%3u.%3u%n", &a, &b, &c, &d, &used) == 4 &&
         used == static_cast<int>(s.size()) && a < 256 && b < 256 && c < 256 && d < 256;
}

// The defaults left to us have the forms the device and the window expect.
TEST(SettingsDefaults, ChosenValuesHaveTheirForms) {
  auto deflt = [](std::string_view key) {
    for (const SettingKey& k : kSettingKeys)
      if (k.key == key) return std::string(k.deflt);
    return std::string("?");
  };
  std::string apn = deflt("APN SIM1:");
  EXPECT_EQ(apn.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-"), std::string::npos);
  EXPECT_NE(apn.find('.'), std::string::npos);
  EXPECT_TRUE(apn.front() != '.' && apn.back() != '.') << apn;

  const std::string prefix = "SVDWL=", suffix = " restart";
  std::string line4 = deflt("command line4:");
  ASSERT_TRUE(line4.starts_with(prefix) && line4.ends_with(suffix)) << line4;
  EXPECT_TRUE(IsDottedIpv4(
      line4.substr(prefix.size(), line4.size() - prefix.size() - suffix.size())))
      << line4;

  std::set<std::string> phones;
  for (const char* key : {"Phone 1:", "Phone 2:", "Phone 3:", "Phone 4:"}) {
    std::string p = deflt(key);
    EXPECT_TRUE(IsInternationalNumber(p)) << p;
    phones.insert(p);
  }
  EXPECT_EQ(phones.size(), 4u);
  for (int i = 0; i < kSettingKeyCount; ++i)
    EXPECT_EQ(SimPhoneIndex(kSettingKeys[i].target), i >= 20 ? i - 20 : -1);
}

}  // namespace
}  // namespace kvl
