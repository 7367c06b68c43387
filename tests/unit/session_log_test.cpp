// The session log writer: where the file goes, the session's header line,
// appending across sessions, and the system's refusals.
#include "app/SessionLog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/Files.h"

namespace kvl {
namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

struct PathCase {
  std::string setting, expected;
};

TEST(SessionLog, PathExpandsPatternsBesideTheSettingsFile) {
  const std::tm when = At(2024, 5, 1, 14, 3, 22);
  for (const PathCase& c : std::vector<PathCase>{
           {"kvl-%Y%m%d.log", "/home/eng/kvl/kvl-20240501.log"},
           {"logs/%H%M.log", "/home/eng/kvl/logs/1403.log"},
           {"/var/tmp/kvl.log", "/var/tmp/kvl.log"},
           {"100%%.log", "/home/eng/kvl/100%.log"},
           {"", ""},
       }) {
    EXPECT_EQ(SessionLogPath(c.setting, "/home/eng/kvl/zel .ini", when), c.expected) << c.setting;
  }
  EXPECT_EQ(SessionLogHeader(when, "COM 3 /dev/ttyUSB0 115200"),
            "=== 2024-05-01 14:03:22 COM 3 /dev/ttyUSB0 115200\r\n");
}

class SessionLogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kvl-log-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { (void)!std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

TEST_F(SessionLogFile, SessionsFollowOneAnotherOnLinesOfTheirOwn) {
  const std::string path = dir_ + "/kvl.log";
  {
    SessionLog log;
    ASSERT_TRUE(log.open(path, "=== one\r\n"));
    EXPECT_TRUE(log.write("OK\r\n\xCE\xCA"));
    // Written at once: the file holds it while the log is still open.
    EXPECT_EQ(kvltest::Slurp(path), "=== one\r\nOK\r\n\xCE\xCA");
  }
  SessionLog log;
  ASSERT_TRUE(log.open(path, "=== two\r\n"));
  log.close();
  EXPECT_FALSE(log.isOpen());
  EXPECT_FALSE(log.write("lost"));
  EXPECT_EQ(kvltest::Slurp(path), "=== one\r\nOK\r\n\xCE\xCA\r\n=== two\r\n");
}

// Folders of the name that do not exist yet are made (0755 less the umask);
// one that cannot be made is named with the system's reason.
TEST_F(SessionLogFile, MissingFoldersAreMade) {
  struct Case {
    std::string name;
    mode_t umask;
    mode_t mode;        // of each folder made
    std::string error;  // empty: the log opens
  };
  kvltest::Spit(dir_ + "/plain", "");
  for (const Case& c : std::vector<Case>{
           {"logs/kvl.log", 022, 0755, ""},
           {"a/b/c/kvl.log", 077, 0700, ""},
           {"logs/again.log", 077, 0755, ""},  // made before: left as it is
           {"plain/sub/kvl.log", 022, 0, "cannot make the folder " + dir_ + "/plain/sub: " + std::strerror(ENOTDIR)},
       }) {
    SCOPED_TRACE(c.name);
    const mode_t old = ::umask(c.umask);
    SessionLog log;
    const bool opened = log.open(dir_ + "/" + c.name, "=== x\r\n");
    ::umask(old);
    EXPECT_EQ(opened, c.error.empty());
    EXPECT_EQ(log.isOpen(), c.error.empty());
    EXPECT_EQ(log.error(), c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(kvltest::Slurp(dir_ + "/" + c.name), "=== x\r\n");
    for (std::string folder = c.name; folder.rfind('/') != std::string::npos;) {
      folder.resize(folder.rfind('/'));
      struct stat st {};
      ASSERT_EQ(::stat((dir_ + "/" + folder).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, c.mode) << folder;
    }
  }
}

TEST_F(SessionLogFile, RefusalsCloseTheLogWithTheSystemsText) {
  SessionLog log;
  if (::access("/dev/full", W_OK) == 0) {  // every write fails: disk full
    EXPECT_FALSE(log.open("/dev/full", "=== x\r\n"));
    EXPECT_FALSE(log.isOpen());
    EXPECT_EQ(log.error(), std::strerror(ENOSPC));
  }
}

}  // namespace
}  // namespace kvl
