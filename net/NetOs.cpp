// The real system calls behind the TCP link's OS table.
#include "net/NetOs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/Retry.h"

namespace kvl {
namespace {

int RealSocket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }

int RealBind(int sock, const sockaddr* address, socklen_t length) {
  return ::bind(sock, address, length);
}

// A connect that a signal interrupts goes on in the background; repeating it
// would report EALREADY, so it is not repeated.
int RealConnect(int sock, const sockaddr* address, socklen_t length) {
  return ::connect(sock, address, length);
}

ssize_t RealRecv(int sock, void* buffer, size_t count, int flags) {
  return RetryOnEintr([&] { return ::recv(sock, buffer, count, flags); });
}

ssize_t RealSend(int sock, const void* buffer, size_t count, int flags) {
  return RetryOnEintr([&] { return ::send(sock, buffer, count, flags); });
}

int RealShutdown(int sock, int how) { return ::shutdown(sock, how); }

// Linux releases the descriptor even when close reports EINTR.
int RealClose(int sock) { return ::close(sock); }

int RealFcntl(int fd, int command, int argument) {
  return RetryOnEintr([&] { return ::fcntl(fd, command, argument); });
}

int RealGetsockopt(int sock, int level, int name, void* value, socklen_t* length) {
  return ::getsockopt(sock, level, name, value, length);
}

int RealGetpeername(int sock, sockaddr* address, socklen_t* length) {
  return ::getpeername(sock, address, length);
}

int RealSetsockopt(int sock, int level, int name, const void* value, socklen_t length) {
  return ::setsockopt(sock, level, name, value, length);
}

int RealGetifaddrs(ifaddrs** list) { return ::getifaddrs(list); }

void RealFreeifaddrs(ifaddrs* list) { ::freeifaddrs(list); }

constexpr NetOs kReal{RealSocket,     RealBind,        RealConnect,    RealRecv,
                      RealSend,       RealShutdown,    RealClose,      RealFcntl,
                      RealGetsockopt, RealGetpeername, RealSetsockopt, RealGetifaddrs,
                      RealFreeifaddrs};

}  // namespace

NetOs SockOs = kReal;

const NetOs& RealNetOs() { return kReal; }

}  // namespace kvl
