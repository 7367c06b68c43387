// The real system calls behind the serial layer's OS table.
#include "serial/SerialOs.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

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

constexpr SerialOs kReal{
    RealOpen,  RealClose,   RealRead,    RealWrite,         RealPoll,
    RealFlock, RealTcgetattr, RealTcsetattr, RealTcflush,   RealIoctl,
    RealModemGet, RealModemSet, RealSetCustomBaud, RealGetCustomBaud, RealEventfd,
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
