// Every operating-system call of the serial layer goes through this one table
// of function pointers, so that a test can put a fake in place of one entry
// (for instance the modem lines, which pseudo-terminals do not have) while the
// rest stays real. The real entries retry EINTR themselves; nothing above them
// retries.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kvl {

// How often each modem input line has changed since the driver started
// counting (the driver's interrupt counters).
struct LineCounts {
  std::uint32_t cts = 0;
  std::uint32_t dsr = 0;
  std::uint32_t ring = 0;
  std::uint32_t dcd = 0;
};

struct SerialOs {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
  int (*flock)(int fd, int operation);
  int (*tcgetattr)(int fd, termios* settings);
  int (*tcsetattr)(int fd, int when, const termios* settings);
  int (*tcflush)(int fd, int queues);
  // ioctl requests with a pointer argument (or none): TIOCEXCL, TIOCNXCL,
  // TIOCGEXCL, TIOCOUTQ, TIOCGRS485, TIOCSRS485, TIOCGSERIAL.
  int (*ioctl)(int fd, unsigned long request, void* argument);
  // Modem lines as TIOCM_* bits: read them all, or raise (on) / drop (!on)
  // the given ones.
  int (*modemGet)(int fd, int* lines);
  int (*modemSet)(int fd, int lines, bool on);
  // A baud rate outside the standard constants (termios2 / BOTHER), and the
  // output rate the driver really took.
  int (*setCustomBaud)(int fd, std::uint32_t baud);
  int (*getCustomBaud)(int fd, std::uint32_t* baud);
  // Counting event descriptor used to wake the reader (non-blocking,
  // close-on-exec).
  int (*eventfd)();

  // Waits until one of the given input lines (TIOCM_* bits) changes
  // (TIOCMIWAIT). Unlike every other entry it is not repeated on EINTR: a
  // signal is how ComClose gets a waiting thread out of it.
  int (*waitLineChange)(int fd, int lines);
  // The driver's change counters (TIOCGICOUNT).
  int (*lineCounts)(int fd, LineCounts* counts);
  // Interrupts a thread blocked in waitLineChange.
  int (*wakeThread)(pthread_t thread);

  // Files and processes, to tell whether another program uses a port.
  int (*stat)(const char* path, struct stat* info);
  // The path with every link resolved.
  int (*realPath)(const char* path, std::string* resolved);
  // Names in a directory, without "." and "..": by path, or of a directory
  // already open (which stays open).
  int (*listDir)(const char* path, std::vector<std::string>* names);
  int (*listDirAt)(int dirFd, std::vector<std::string>* names);
  // readlink and stat of a name in an open directory: looking at every
  // open descriptor of every process costs a path walk less each.
  ssize_t (*readlinkAt)(int dirFd, const char* name, char* buffer, size_t size);
  int (*statAt)(int dirFd, const char* name, struct stat* info);
  int (*create)(const char* path, int flags, mode_t mode);
  int (*link)(const char* existing, const char* name);
  int (*unlink)(const char* path);
  int (*kill)(pid_t pid, int signal);
  // Name of a group or a user, or its number when it has none.
  std::string (*groupName)(gid_t group);
  std::string (*userName)(uid_t user);
};

// The table in use. Tests may replace entries; restore RealSerialOs() after.
extern SerialOs Os;
// The table of real system calls.
const SerialOs& RealSerialOs();

// termios2 calls; they live alone in their own source file because the
// kernel's termios header cannot share a translation unit with <termios.h>.
int KernelSetCustomBaud(int fd, std::uint32_t baud);
int KernelGetCustomBaud(int fd, std::uint32_t* baud);
// Whether a c_cflag says the rate was set through termios2 (BOTHER).
bool KernelIsCustomBaud(unsigned int cflag);

// Put an eventfd-style descriptor up by one / take its count (both ignore a
// descriptor of -1).
void SignalEventFd(int fd);
void DrainEventFd(int fd);

}  // namespace kvl
