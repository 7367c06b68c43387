// The main window's own messages. They are always posted, so they are
// handled on the GUI thread in queue order with everything else.
#pragma once

#include <QEvent>

namespace kvl {

// The serial reader has bytes or line events to take.
inline constexpr QEvent::Type WM_COM_RX = QEvent::Type(1025);
// The SIM settings window stored a command in PendingCmd.
inline constexpr QEvent::Type WM_COM_SEND = QEvent::Type(1026);
// An event of the TCP socket (connect, read, close).
inline constexpr QEvent::Type WM_SOCK_EVENT = QEvent::Type(1056);

// WM_SOCK_EVENT: the socket, and the event code (low 16 bits) with the
// error code (high 16 bits).
class SockEventMsg : public QEvent {
 public:
  SockEventMsg(int sock, int event, int error)
      : QEvent(WM_SOCK_EVENT), socket(sock), lParam((error << 16) | (event & 0xFFFF)) {}
  int socket;
  int lParam;
};

}  // namespace kvl
