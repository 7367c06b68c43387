// The TCP link's connection: the chosen local address, the client socket,
// the connect under way and its outcome, the outgoing queue. Plain C++ over
// net/TcpLink (so every system call goes through the table of net/NetOs.h);
// the window maps its notifiers onto the three events and words the
// outcomes for the engineer. Nothing here shows anything.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/SendQueue.h"
#include "net/TcpLink.h"

namespace kvl {

class TcpConnection {
 public:
  TcpConnection() = default;
  ~TcpConnection() { close(); }
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // The local address ticked in the list ("chosen"), with the source port
  // that the choice read; the port bound is read again on each connect.
  bool addressChosen() const { return addressChosen_; }
  const bool& addressChosenRef() const { return addressChosen_; }
  void setAddressChosen(bool chosen) { addressChosen_ = chosen; }
  sockaddr_in& local() { return local_; }

  // The client socket (0: none), what it is bound to and where it goes.
  int socket() const { return sock_; }
  const int& socketRef() const { return sock_; }
  bool isOpen() const { return sock_ > 0; }
  sockaddr_in& bound() { return bound_; }
  sockaddr_in& remote() { return remote_; }
  // A connect was started and its event has not been handled yet.
  bool connecting() const { return connecting_; }

  // --- Connecting, step by step; a step that fails says why in error.
  // A new client socket; a socket left by an earlier attempt is closed
  // first (see close()).
  bool open(int& error);
  // Binds the socket to the port of bound() at the chosen local address.
  bool bind(int& error);
  bool setNonBlocking(int& error);
  // Starts connecting to remote(). Pending: the socket turns writable when
  // the outcome is known. Connected or Failed: the outcome is known now and
  // is what connected() reports.
  ConnectStart connect();

  // --- The three events.
  // The connect event: nullopt when no connect is under way (a stale
  // event); otherwise 0 when the connection is up, or the error that ended
  // the attempt (the socket stays open until close()).
  std::optional<int> connected();

  struct Received {
    enum Kind { Data, Again, Closed, Failed } kind = Again;
    std::string bytes;  // Data: what one read took (at most kTcpReceiveSize)
    int error = 0;      // Failed: why
  };
  // The read event: one read from the socket.
  Received readable();
  // The close event, or the engineer's disconnect: shuts the connection
  // down and releases the socket (see close()).
  std::size_t disconnect();

  // Releases the socket without shutting it down, ends a connect under way
  // and drops what waits to be sent; returns how many bytes were dropped.
  std::size_t close();

  // --- Sending.
  SendQueue& queue() { return queue_; }
  const SendQueue& queue() const { return queue_; }
  // Writes what waits, as far as the socket takes it; nothing while the
  // socket is missing or the connect is still under way.
  SendQueue::FlushResult flush();

 private:
  bool addressChosen_ = false;
  sockaddr_in local_{};
  sockaddr_in bound_{};
  sockaddr_in remote_{};
  int sock_ = 0;
  bool connecting_ = false;
  int connectError_ = 0;  // a connect refused at once, for its event
  SendQueue queue_;
};

}  // namespace kvl
