// Baud rates outside the standard speed constants (14400, 28800, 56000,
// 128000, 256000 and any other integer) through the kernel's termios2 and
// BOTHER. This file must not include <termios.h>: the kernel's own termios
// header defines the same names differently.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

#include "core/Retry.h"

namespace kvl {

namespace {

int Ioctl(int fd, unsigned long request, void* argument) {
  return RetryOnEintr([&] { return ::ioctl(fd, request, argument); });
}

}  // namespace

int KernelSetCustomBaud(int fd, std::uint32_t baud) {
  struct termios2 settings {};
  if (Ioctl(fd, TCGETS2, &settings) < 0) return -1;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = baud;
  settings.c_ispeed = baud;
  return Ioctl(fd, TCSETS2, &settings);
}

int KernelGetCustomBaud(int fd, std::uint32_t* baud) {
  struct termios2 settings {};
  if (Ioctl(fd, TCGETS2, &settings) < 0) return -1;
  *baud = settings.c_ospeed;
  return 0;
}

bool KernelIsCustomBaud(unsigned int cflag) { return (cflag & CBAUD) == BOTHER; }

}  // namespace kvl
