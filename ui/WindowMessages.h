// The main window's own messages. They are always posted, so they are
// handled on the GUI thread in queue order with everything else.
#pragma once

#include <QEvent>
#include <cstddef>

namespace kvl {

// The serial reader has bytes or line events to take.
inline constexpr QEvent::Type WM_COM_RX = QEvent::Type(1025);
// The SIM settings window stored a command in PendingCmd.
inline constexpr QEvent::Type WM_COM_SEND = QEvent::Type(1026);
// An event of the TCP socket (connect, read, close).
inline constexpr QEvent::Type WM_SOCK_EVENT = QEvent::Type(1056);

// WM_COM_RX as the serial reader posts it. Its memory comes from a few
// slots kept for it, not from the heap: the reader allocates nothing, and
// the window, which deletes the event, frees nothing of the reader's
// (memory freed on another thread than the one that took it costs both
// threads a trip into the allocator's shared lists, at every reception).
// The reader posts again only once the window took the last post, so two
// slots are in use at most; the heap serves only beyond kSlots.
class ComRxMsg : public QEvent {
 public:
  static constexpr int kSlots = 4;
  ComRxMsg() : QEvent(WM_COM_RX) {}
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;
};

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
