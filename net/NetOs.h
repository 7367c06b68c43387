// Every operating-system call of the TCP link goes through this one table of
// function pointers, so that a test can put a failing call in place of one
// entry while the rest stays real. The real entries retry EINTR themselves
// (except close, which is never repeated); nothing above them retries.
#pragma once

#include <ifaddrs.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace kvl {

struct NetOs {
  int (*socket)(int domain, int type, int protocol);
  int (*bind)(int sock, const sockaddr* address, socklen_t length);
  int (*connect)(int sock, const sockaddr* address, socklen_t length);
  ssize_t (*recv)(int sock, void* buffer, size_t count, int flags);
  ssize_t (*send)(int sock, const void* buffer, size_t count, int flags);
  int (*shutdown)(int sock, int how);
  int (*close)(int sock);
  // fcntl with an integer argument (F_GETFL, F_SETFL, F_DUPFD_CLOEXEC).
  int (*fcntl)(int fd, int command, int argument);
  int (*getsockopt)(int sock, int level, int name, void* value, socklen_t* length);
  int (*getpeername)(int sock, sockaddr* address, socklen_t* length);
  int (*setsockopt)(int sock, int level, int name, const void* value, socklen_t length);
  // The host's interface addresses; the list is released with freeifaddrs.
  int (*getifaddrs)(ifaddrs** list);
  void (*freeifaddrs)(ifaddrs* list);
};

// The table in use. Tests may replace entries; restore RealNetOs() after.
extern NetOs SockOs;
// The table of real system calls.
const NetOs& RealNetOs();

}  // namespace kvl
