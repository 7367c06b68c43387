// The TCP link's socket: the probe socket of "Check Net", the client socket
// bound to the chosen local address and source port, its non-blocking
// connect and the outcome, receiving a block, sending, closing. Plain C++
// over POSIX sockets, every call through the table of net/NetOs.h. Each
// function reports failure by its result and the system's error number in
// `error`; none shows anything.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string_view>
#include <sys/types.h>

namespace kvl {

// Socket events as the link reports them to the window (the low 16 bits of
// the event message's second parameter).
inline constexpr int FD_READ = 0x01;
inline constexpr int FD_CONNECT = 0x10;
inline constexpr int FD_CLOSE = 0x20;

// One read event takes at most this many bytes.
inline constexpr std::size_t kTcpReceiveSize = 4097;

// The probe socket that tells whether sockets can be made at all (UDP: a raw
// socket needs privileges). -1 on failure.
int UdpProbeOpen(int& error);

// A TCP client socket, close-on-exec and never descriptor 0 to 2 (0 means
// "no socket" to the link). -1 on failure.
int TcpOpen(int& error);

// Binds with SO_REUSEADDR, so that a source port whose last connection of
// ours is still in TIME_WAIT can be used again.
bool TcpBind(int sock, const sockaddr_in& local, int& error);
bool TcpSetNonBlocking(int sock, int& error);

enum class ConnectStart {
  Connected,  // connected at once
  Pending,    // under way: the socket turns writable when it is decided
  Failed,     // refused at once; error says why
};
ConnectStart TcpConnect(int sock, const sockaddr_in& remote, int& error);

// Outcome of a connect once the socket turned writable: 0 when connected,
// otherwise the error that ended the attempt.
int TcpConnectOutcome(int sock);

// One receive into buffer: the byte count (> 0), 0 when the peer closed the
// connection, -1 on failure (error EAGAIN/EWOULDBLOCK: nothing to read yet).
ssize_t TcpReceive(int sock, char* buffer, std::size_t size, int& error);

// One send of the bytes (no SIGPIPE): the count sent, or -1 on failure.
ssize_t TcpSend(int sock, std::string_view bytes, int& error);

// Shuts the connection down in both directions; failures are ignored.
void TcpShutdown(int sock);

// Closes the descriptor (nothing for 0 or less).
void TcpClose(int sock);

}  // namespace kvl
