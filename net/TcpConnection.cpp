#include "net/TcpConnection.h"

#include <cerrno>

namespace kvl {

bool TcpConnection::open(int& error) {
  if (sock_ != 0) close();
  const int sock = TcpOpen(error);
  if (sock < 0) return false;
  sock_ = sock;
  return true;
}

bool TcpConnection::bind(int& error) {
  bound_.sin_addr = local_.sin_addr;
  return TcpBind(sock_, bound_, error);
}

bool TcpConnection::setNonBlocking(int& error) { return TcpSetNonBlocking(sock_, error); }

ConnectStart TcpConnection::connect() {
  connectError_ = 0;
  connecting_ = true;
  int error = 0;
  const ConnectStart start = TcpConnect(sock_, remote_, error);
  if (start == ConnectStart::Failed) connectError_ = error;
  return start;
}

std::optional<int> TcpConnection::connected() {
  if (!connecting_) return std::nullopt;
  connecting_ = false;
  return connectError_ != 0 ? connectError_ : TcpConnectOutcome(sock_);
}

TcpConnection::Received TcpConnection::readable() {
  Received r;
  char buffer[kTcpReceiveSize];
  const ssize_t got = TcpReceive(sock_, buffer, sizeof buffer, r.error);
  if (got > 0) {
    r.kind = Received::Data;
    r.bytes.assign(buffer, std::size_t(got));
  } else if (got == 0) {
    r.kind = Received::Closed;  // the device closed the connection
  } else if (r.error == EAGAIN || r.error == EWOULDBLOCK || r.error == EINTR) {
    r.kind = Received::Again;
  } else {
    r.kind = Received::Failed;
  }
  return r;
}

std::size_t TcpConnection::disconnect() {
  TcpShutdown(sock_);
  return close();
}

std::size_t TcpConnection::close() {
  const std::size_t dropped = queue_.drop();
  TcpClose(sock_);
  sock_ = 0;
  connecting_ = false;
  return dropped;
}

SendQueue::FlushResult TcpConnection::flush() {
  if (queue_.empty() || sock_ <= 0 || connecting_) return {};
  const int sock = sock_;
  return queue_.flush(
      [sock](const char* data, std::size_t n) {
        int error = 0;
        const ssize_t sent = TcpSend(sock, std::string_view(data, n), error);
        errno = error;
        return sent;
      },
      SendQueue::Clock::now());
}

}  // namespace kvl
