#include "app/SessionLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace kvl {

std::string SessionLogPath(std::string_view setting, std::string_view settingsFile,
                           const std::tm& when) {
  if (setting.empty()) return {};
  // A marker after the pattern tells an empty expansion from a buffer too
  // small.
  const std::string pattern = std::string(setting) + '\x01';
  std::string name = std::string(setting);
  for (std::size_t size = 256; size <= 65536; size *= 4) {
    std::vector<char> buf(size);
    const std::size_t len = std::strftime(buf.data(), buf.size(), pattern.c_str(), &when);
    if (len > 0) {
      name.assign(buf.data(), len - 1);
      break;
    }
  }
  if (!name.empty() && name.front() == '/') return name;
  const std::size_t slash = settingsFile.rfind('/');
  const std::string dir = slash == std::string_view::npos ? std::string(".")
                                                          : std::string(settingsFile.substr(0, slash));
  return dir + "/" + name;
}

std::string SessionLogHeader(const std::tm& when, std::string_view link) {
  char stamp[32];
  const std::size_t len = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &when);
  return "=== " + std::string(stamp, len) + " " + std::string(link) + "\r\n";
}

SessionLog::~SessionLog() { close(); }

bool SessionLog::fail() {
  error_ = std::strerror(errno);
  close();
  return false;
}

bool SessionLog::makeFolders(const std::string& path) {
  // Each folder of the name from the top; one that is there already (or is
  // not a folder, which the next step or the opening then finds) is passed.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST) continue;
    error_ = "cannot make the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool SessionLog::open(const std::string& path, std::string_view header) {
  close();
  path_ = path;
  error_.clear();
  if (!makeFolders(path)) return false;
  // Whether the file so far ends in a line break: the header starts a line.
  bool needBreak = false;
  const int peek = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (peek >= 0) {
    struct stat st {};
    char last = '\n';
    if (::fstat(peek, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        ::pread(peek, &last, 1, st.st_size - 1) == 1)
      needBreak = last != '\n';
    ::close(peek);
  }
  // Never waits: a pipe without a reader, or a device that holds back,
  // is a failure of the log, not a stalled window.
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd_ < 0) return fail();
  if (needBreak && !write("\r\n")) return false;
  return write(header);
}

bool SessionLog::write(std::string_view bytes) {
  if (fd_ < 0) return false;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (n == 0) {
      errno = EIO;
      return fail();
    }
    bytes.remove_prefix(std::size_t(n));
  }
  return true;
}

void SessionLog::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace kvl
