// The real system calls behind the serial layer's OS table.
#include "serial/SerialOs.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <linux/serial.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "core/Retry.h"

namespace kvl {

namespace {

int RealOpen(const char* path, int flags) {
  return RetryOnEintr([&] { return ::open(path, flags); });
}

// close() is never repeated: Linux releases the descriptor even when it
// reports EINTR, and a second close could hit a descriptor reused meanwhile.
int RealClose(int fd) { return ::close(fd); }

ssize_t RealRead(int fd, void* buffer, size_t count) {
  return RetryOnEintr([&] { return ::read(fd, buffer, count); });
}

ssize_t RealWrite(int fd, const void* buffer, size_t count) {
  return RetryOnEintr([&] { return ::write(fd, buffer, count); });
}

int RealPoll(pollfd* fds, nfds_t count, int timeoutMs) {
  return RetryOnEintr([&] { return ::poll(fds, count, timeoutMs); });
}

int RealFlock(int fd, int operation) {
  return RetryOnEintr([&] { return ::flock(fd, operation); });
}

int RealTcgetattr(int fd, termios* settings) {
  return RetryOnEintr([&] { return ::tcgetattr(fd, settings); });
}

int RealTcsetattr(int fd, int when, const termios* settings) {
  return RetryOnEintr([&] { return ::tcsetattr(fd, when, settings); });
}

int RealTcflush(int fd, int queues) {
  return RetryOnEintr([&] { return ::tcflush(fd, queues); });
}

int RealIoctl(int fd, unsigned long request, void* argument) {
  return RetryOnEintr([&] { return ::ioctl(fd, request, argument); });
}

int RealModemGet(int fd, int* lines) {
  return RetryOnEintr([&] { return ::ioctl(fd, TIOCMGET, lines); });
}

int RealModemSet(int fd, int lines, bool on) {
  return RetryOnEintr([&] { return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines); });
}

int RealSetCustomBaud(int fd, std::uint32_t baud) { return KernelSetCustomBaud(fd, baud); }

int RealGetCustomBaud(int fd, std::uint32_t* baud) { return KernelGetCustomBaud(fd, baud); }

int RealEventfd() { return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

int RealWaitLineChange(int fd, int lines) {
  return ::ioctl(fd, TIOCMIWAIT, static_cast<unsigned long>(lines));
}

int RealLineCounts(int fd, LineCounts* counts) {
  serial_icounter_struct icount{};
  if (RetryOnEintr([&] { return ::ioctl(fd, TIOCGICOUNT, &icount); }) < 0) return -1;
  counts->cts = static_cast<std::uint32_t>(icount.cts);
  counts->dsr = static_cast<std::uint32_t>(icount.dsr);
  counts->ring = static_cast<std::uint32_t>(icount.rng);
  counts->dcd = static_cast<std::uint32_t>(icount.dcd);
  return 0;
}

// The signal that gets a thread out of a line wait. Its default action is
// to be ignored, so it can do no harm anywhere else; the handler does
// nothing and is installed without SA_RESTART, so that the interrupted wait
// returns EINTR instead of being restarted by the kernel.
constexpr int kWakeSignal = SIGURG;

void IgnoreWakeSignal(int) {}

int RealWakeThread(pthread_t thread) {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = IgnoreWakeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(kWakeSignal, &action, nullptr);
  });
  const int error = pthread_kill(thread, kWakeSignal);
  if (error == 0) return 0;
  errno = error;
  return -1;
}

int RealStat(const char* path, struct stat* info) {
  return RetryOnEintr([&] { return ::stat(path, info); });
}

ssize_t RealReadlinkAt(int dirFd, const char* name, char* buffer, size_t size) {
  return ::readlinkat(dirFd, name, buffer, size);
}

int RealStatAt(int dirFd, const char* name, struct stat* info) {
  return RetryOnEintr([&] { return ::fstatat(dirFd, name, info, 0); });
}

int RealRealPath(const char* path, std::string* resolved) {
  char* full = ::realpath(path, nullptr);
  if (!full) return -1;
  *resolved = full;
  std::free(full);
  return 0;
}

int ListOpenDir(DIR* dir, std::vector<std::string>* names) {
  names->clear();
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(dir);
  return 0;
}

int RealListDir(const char* path, std::vector<std::string>* names) {
  DIR* dir = ::opendir(path);
  return dir ? ListOpenDir(dir, names) : -1;
}

int RealListDirAt(int dirFd, std::vector<std::string>* names) {
  // The directory stream takes over the descriptor it is given: a copy.
  const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return -1;
  DIR* dir = ::fdopendir(copy);
  if (!dir) {
    ::close(copy);
    return -1;
  }
  ::rewinddir(dir);
  return ListOpenDir(dir, names);
}

int RealCreate(const char* path, int flags, mode_t mode) {
  return RetryOnEintr([&] { return ::open(path, flags, mode); });
}

int RealLink(const char* existing, const char* name) { return ::link(existing, name); }

int RealUnlink(const char* path) { return ::unlink(path); }

int RealKill(pid_t pid, int signal) { return ::kill(pid, signal); }

std::string RealGroupName(gid_t gid) {
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->gr_name)
    return found->gr_name;
  return std::to_string(gid);
}

std::string RealUserName(uid_t uid) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
    return found->pw_name;
  return std::to_string(uid);
}

constexpr SerialOs kReal{
    .open = RealOpen,
    .close = RealClose,
    .read = RealRead,
    .write = RealWrite,
    .poll = RealPoll,
    .flock = RealFlock,
    .tcgetattr = RealTcgetattr,
    .tcsetattr = RealTcsetattr,
    .tcflush = RealTcflush,
    .ioctl = RealIoctl,
    .modemGet = RealModemGet,
    .modemSet = RealModemSet,
    .setCustomBaud = RealSetCustomBaud,
    .getCustomBaud = RealGetCustomBaud,
    .eventfd = RealEventfd,
    .waitLineChange = RealWaitLineChange,
    .lineCounts = RealLineCounts,
    .wakeThread = RealWakeThread,
    .stat = RealStat,
    .realPath = RealRealPath,
    .listDir = RealListDir,
    .listDirAt = RealListDirAt,
    .readlinkAt = RealReadlinkAt,
    .statAt = RealStatAt,
    .create = RealCreate,
    .link = RealLink,
    .unlink = RealUnlink,
    .kill = RealKill,
    .groupName = RealGroupName,
    .userName = RealUserName,
};

}  // namespace

SerialOs Os = kReal;

const SerialOs& RealSerialOs() { return kReal; }

void SignalEventFd(int fd) {
  if (fd < 0) return;
  const std::uint64_t one = 1;
  // A full counter (never reached in practice) already wakes the reader.
  (void)Os.write(fd, &one, sizeof one);
}

void DrainEventFd(int fd) {
  if (fd < 0) return;
  std::uint64_t count;
  (void)Os.read(fd, &count, sizeof count);
}

}  // namespace kvl
