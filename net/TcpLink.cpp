#include "net/TcpLink.h"

#include <fcntl.h>

#include <cerrno>

#include "net/NetOs.h"

namespace kvl {
namespace {

// Moves a new descriptor above the standard ones.
int HighDescriptor(int fd, int& error) {
  if (fd < 0) {
    error = errno;
    return -1;
  }
  if (fd > 2) return fd;
  const int high = SockOs.fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (high < 0) error = errno;
  SockOs.close(fd);
  return high;
}

}  // namespace

int UdpProbeOpen(int& error) {
  return HighDescriptor(SockOs.socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), error);
}

int TcpOpen(int& error) {
  return HighDescriptor(SockOs.socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP), error);
}

bool TcpBind(int sock, const sockaddr_in& local, int& error) {
  // A connection of our own from the same source port that lingers in
  // TIME_WAIT is no reason to refuse the next one to the device.
  const int on = 1;
  if (SockOs.setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    error = errno;
    return false;
  }
  if (SockOs.bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return true;
  error = errno;
  return false;
}

bool TcpSetNonBlocking(int sock, int& error) {
  const int flags = SockOs.fcntl(sock, F_GETFL, 0);
  if (flags >= 0 && SockOs.fcntl(sock, F_SETFL, flags | O_NONBLOCK) == 0) return true;
  error = errno;
  return false;
}

ConnectStart TcpConnect(int sock, const sockaddr_in& remote, int& error) {
  if (SockOs.connect(sock, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0)
    return ConnectStart::Connected;
  if (errno == EINPROGRESS || errno == EINTR) return ConnectStart::Pending;
  error = errno;
  return ConnectStart::Failed;
}

int TcpConnectOutcome(int sock) {
  int error = 0;
  socklen_t length = sizeof error;
  if (SockOs.getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  if (error != 0) return error;
  // A writable socket without a pending error may still have lost its
  // attempt; only a socket with a peer is connected.
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  if (SockOs.getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return errno;
  return 0;
}

ssize_t TcpReceive(int sock, char* buffer, std::size_t size, int& error) {
  const ssize_t got = SockOs.recv(sock, buffer, size, 0);
  if (got < 0) error = errno;
  return got;
}

ssize_t TcpSend(int sock, std::string_view bytes, int& error) {
  const ssize_t sent = SockOs.send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (sent < 0) error = errno;
  return sent;
}

void TcpShutdown(int sock) {
  if (sock > 0) (void)SockOs.shutdown(sock, SHUT_RDWR);
}

void TcpClose(int sock) {
  if (sock > 0) (void)SockOs.close(sock);
}

}  // namespace kvl
