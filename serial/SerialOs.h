// Every operating-system call of the serial layer goes through this one table
// of function pointers, so that a test can put a fake in place of one entry
// (for instance the modem lines, which pseudo-terminals do not have) while the
// rest stays real. The real entries retry EINTR themselves; nothing above them
// retries.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstdint>

namespace kvl {

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
  // FIONREAD, TIOCOUTQ, TIOCGRS485, TIOCSRS485.
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
