// The TCP link of the main window: local addresses, connecting from a chosen
// address and source port, the socket's events and sending. The socket work
// itself is net/TcpLink's; here are the handlers, the readiness notifiers
// that turn into the link's events, and the controls.
#include <arpa/inet.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstring>

#include "app/Reception.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "commands/Commands.h"
#include "core/Colours.h"
#include "core/Cp1251.h"
#include "core/Hex.h"
#include "net/NetLink.h"
#include "net/TcpConnection.h"
#include "net/TcpLink.h"
#include "ui/ErrorReporter.h"
#include "ui/QtText.h"
#include "ui/WindowMessages.h"

namespace kvl {
namespace {

// The link's Russian texts, as Windows-1251 bytes for the panes.
std::string Ru(const char* utf8) { return ToCp1251(QString::fromUtf8(utf8)); }

// The system's text for a socket error comes in the locale's encoding.
QString SockErrorQText(int error) { return QString::fromLocal8Bit(SockErrorText(error)); }

void SockErrorBox(const char* utf8Prefix, int error) {
  ErrorBox(QString::fromUtf8(utf8Prefix) + SockErrorQText(error));
}

}  // namespace

bool TBaseform::IniSock() {
  // Starting the socket library has nothing to do here and cannot fail.
  int error = 0;
  const int probe = UdpProbeOpen(error);
  if (probe < 0) {
    SockErrorBox("Ошибка при создании отправляющего сокета:\r\n", error);
    return false;
  }
  const std::vector<std::string> addresses = LocalIPv4Addresses();
  {
    QSignalBlocker block(ChBxIPs);
    ChBxIPs->clear();
    for (const std::string& a : addresses) {
      auto* item = new QListWidgetItem(FromCp1251(a), ChBxIPs);
      item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
      item->setCheckState(Qt::Unchecked);
    }
    // The list and the choice agree: a refilled list has nothing ticked, so
    // nothing is chosen, unless a socket is open from the chosen address;
    // its line is ticked again (added when its interface has gone since),
    // and unticking it ends the connection.
    if (LocalAddrChosen) {
      if (ClientSock == 0) {
        tcp_->setAddressChosen(false);
      } else {
        bool listed = false;
        for (int i = 0; i < ChBxIPs->count(); ++i) {
          QListWidgetItem* item = ChBxIPs->item(i);
          if (InetAddr(ToCp1251(item->text())) != LocalAddr.sin_addr.s_addr) continue;
          item->setCheckState(Qt::Checked);
          listed = true;
        }
        if (!listed) {
          auto* item = new QListWidgetItem(FromCp1251(IpToText(LocalAddr.sin_addr.s_addr)), ChBxIPs);
          item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
          item->setCheckState(Qt::Checked);
        }
      }
    }
  }
  TcpClose(probe);
  return true;
}

void TBaseform::ChBxIniNetClick() {
  if (ChBxIniNet->isChecked()) {
    IniSock();
    ChBxS1Conn->setEnabled(true);
  } else {
    ChBxS1Conn->setEnabled(false);
  }
}

bool TBaseform::readPortField(QLineEdit* field, sockaddr_in& addr, bool advance) {
  const QString text = field->text();
  const PortFieldValue v = ReadPortField(ToCp1251(text));
  if (v.state == PortField::NotInteger) {
    ErrorBox(QLatin1Char('"') + text + QLatin1Char('"') +
             QString::fromUtf8(" не является целым числом"));
    return true;  // the attempt goes on with the port the address held
  }
  if (advance) field->setText(QString::number(qint64(v.number) + 1));
  if (v.state == PortField::OutOfRange) {
    ErrorBox(QString::fromUtf8("Номер порта должен лежать в диапазоне 1-65535"));
    return false;
  }
  addr.sin_port = htons(std::uint16_t(v.number));
  return true;
}

void TBaseform::ChBxIPsClickCheck(QListWidgetItem*) {
  // Whatever the click, the list shows afterwards exactly what is chosen:
  // one ticked address, or no tick at all.
  auto untickAll = [this] {
    QSignalBlocker block(ChBxIPs);
    for (int i = 0; i < ChBxIPs->count(); ++i)
      if (ChBxIPs->item(i)->flags() & Qt::ItemIsUserCheckable) ChBxIPs->item(i)->setCheckState(Qt::Unchecked);
  };
  if (LocalAddrChosen) {
    if (ChBxS1Conn->isChecked()) ChBxS1Conn->setChecked(false);
    tcp_->setAddressChosen(false);
    untickAll();
    return;
  }
  // Only a ticked line that shows an address can be chosen.
  std::uint32_t chosen = INADDR_NONE;
  for (int i = 0; i < ChBxIPs->count(); ++i) {
    QListWidgetItem* item = ChBxIPs->item(i);
    if (item->checkState() == Qt::Checked && !item->text().isEmpty())
      chosen = InetAddr(ToCp1251(item->text()));
  }
  if (chosen == INADDR_NONE) {
    untickAll();
    return;
  }
  sockaddr_in& local = tcp_->local();
  std::memset(local.sin_zero, 0, sizeof local.sin_zero);
  local.sin_family = AF_INET;
  if (!readPortField(EdtSPort, local, false)) {
    untickAll();  // the box said why; nothing is chosen
    return;
  }
  tcp_->setAddressChosen(true);
  local.sin_addr.s_addr = chosen;
  QSignalBlocker block(ChBxIPs);
  for (int i = 0; i < ChBxIPs->count(); ++i) {
    QListWidgetItem* item = ChBxIPs->item(i);
    if (item->checkState() == Qt::Checked && InetAddr(ToCp1251(item->text())) == chosen) continue;
    // The other lines go blank, without a check box, and can no longer be
    // ticked until "Check Net" refills the list.
    item->setData(Qt::CheckStateRole, QVariant());
    item->setText(QString());
    item->setFlags(item->flags() & ~Qt::ItemIsUserCheckable);
  }
}

void TBaseform::ChBxIPsClick() { ChBxIPs->setEnabled(true); }

void TBaseform::closeClientSock(bool shutdown) {
  // A socket's own buffer still goes out before the shutdown: what goes
  // unsent is what waits here.
  reportUnsent(tcp_->queue(), " Server", 0, "the server");
  delete readNotifier_;
  readNotifier_ = nullptr;
  delete writeNotifier_;
  writeNotifier_ = nullptr;
  if (shutdown)
    tcp_->disconnect();
  else
    tcp_->close();
  endSessionLog(kLogTcp);
}

void TBaseform::watchClientSock() {
  // The socket's readiness becomes the link's three events, posted to this
  // window so that they are handled in order with its other messages. A
  // notifier stays off from its firing until its event has been handled.
  // Reading is watched only once the connection is up: a socket that is
  // not yet connected, or whose attempt failed, reads as ready (hang-up),
  // and a read then would swallow the error that the connect event reports.
  const int sock = ClientSock;
  readNotifier_ = new QSocketNotifier(sock, QSocketNotifier::Read, this);
  readNotifier_->setEnabled(false);
  connect(readNotifier_, &QSocketNotifier::activated, this, [this, sock] {
    readNotifier_->setEnabled(false);
    QCoreApplication::postEvent(this, new SockEventMsg(sock, FD_READ, 0));
  });
  writeNotifier_ = new QSocketNotifier(sock, QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  // Writability decides a pending connect; once connected it lets the
  // outgoing queue go on.
  connect(writeNotifier_, &QSocketNotifier::activated, this, [this, sock] {
    writeNotifier_->setEnabled(false);
    if (tcp_->connecting())
      QCoreApplication::postEvent(this, new SockEventMsg(sock, FD_CONNECT, 0));
    else
      Guarded([&] { flushSockQueue(); });
  });
}

void TBaseform::ChBxS1ConnClick() {
  if (!tcp_->addressChosen()) return refuseConnect();
  if (ChBxS1Conn->isChecked())
    connectClient();
  else
    disconnectClient();
}

void TBaseform::refuseConnect() {
  if (!ChBxS1Conn->isChecked()) return;
  ChBxS1Conn->setChecked(false);
  AppendReport(" No local address chosen: tick one in the address list\r\n");
}

void TBaseform::disconnectClient() {
  // Without a socket there is nothing to end: the link does not own the
  // device then, so the port that may own it keeps it.
  if (ClientSock == 0) return;
  if (tcp_->connecting()) AppendReport(Ru("Попытка подключения к серверу 1 отменена\r\n"));
  ActiveLink = -1;
  closeClientSock(true);
}

void TBaseform::connectClient() {
  if (ClientSock != 0) closeClientSock(false);  // a socket left by a failed attempt
  if (!openClient() || !bindClient() || !aimClient()) return;
  AppendReport(Ru("Попытка подключения к серверу 1: - ОЖИДАЙТЕ!!!\r\n"));
  startConnect();
}

bool TBaseform::openClient() {
  int error = 0;
  if (!tcp_->open(error)) {
    failConnectStep();
    SockErrorBox("Ошибка при создании TCP сокета 1:\r\n", error);
    return false;
  }
  watchClientSock();
  return true;
}

bool TBaseform::bindClient() {
  sockaddr_in& bound = tcp_->bound();
  std::memset(bound.sin_zero, 0, sizeof bound.sin_zero);
  bound.sin_family = AF_INET;
  if (!readPortField(EdtSPort, bound, true)) {
    failConnectStep();
    return false;
  }
  int error = 0;
  if (!tcp_->bind(error)) {
    failConnectStep();
    SockErrorBox("Ошибка при привязке Tcp сокета к адресу:\r\n", error);
    return false;
  }
  AppendText(kNavy, "\r\nClient bound IP " + IpToText(bound.sin_addr.s_addr) + " Port " +
                        std::to_string(ntohs(bound.sin_port)) + "\r\n");
  return true;
}

bool TBaseform::aimClient() {
  sockaddr_in& remote = tcp_->remote();
  std::memset(remote.sin_zero, 0, sizeof remote.sin_zero);
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = InetAddr(ToCp1251(edtRHost->text()));
  if (remote.sin_addr.s_addr == INADDR_NONE) {
    failConnectStep();
    ErrorBox(QString::fromUtf8("Синтаксическая ошибка в IP-адресе"));
    return false;
  }
  if (!readPortField(EdtRPort, remote, false)) {
    failConnectStep();
    return false;
  }
  return true;
}

void TBaseform::startConnect() {
  int error = 0;
  if (!tcp_->setNonBlocking(error)) {
    failConnectStep();
    SockErrorBox("Ошибка при переводе сокета в неблокирующий режим:\r\n", error);
    return;
  }
  if (tcp_->connect() == ConnectStart::Pending)
    writeNotifier_->setEnabled(true);
  else  // decided at once: the outcome still arrives as the connect event
    QCoreApplication::postEvent(this, new SockEventMsg(ClientSock, FD_CONNECT, 0));
}

void TBaseform::failConnectStep() {
  if (ClientSock != 0) closeClientSock(false);
  // Unchecking finds no socket left and changes nothing else.
  ChBxS1Conn->setChecked(false);
}

void TBaseform::SockEvent(const SockEventMsg& msg) {
  if (!tcp_->addressChosen()) return;
  // Events of a socket that has been closed since are stale.
  if (ClientSock == 0 || msg.socket != ClientSock) return;
  switch (msg.lParam & 0xFFFF) {
    case FD_READ:
      return sockReadable();
    case FD_CONNECT:
      return sockConnected();
    case FD_CLOSE:
      return sockClosed();
    default:
      return;
  }
}

void TBaseform::sockReadable() {
  const TcpConnection::Received r = tcp_->readable();
  switch (r.kind) {
    case TcpConnection::Received::Closed:
      QCoreApplication::postEvent(this, new SockEventMsg(ClientSock, FD_CLOSE, 0));
      return;
    case TcpConnection::Received::Again:
      if (readNotifier_) readNotifier_->setEnabled(true);
      return;
    case TcpConnection::Received::Failed: {
      const int sock = ClientSock;
      ErrorBox(QString::fromUtf8("Ошибка при получении сообщения: ") + SockErrorQText(r.error));
      // A connection that failed this way is gone: it ends as a close.
      QCoreApplication::postEvent(this, new SockEventMsg(sock, FD_CLOSE, r.error));
      return;
    }
    case TcpConnection::Received::Data:
      showReception(Receive(r.bytes, TcpRxRule(), ChBxVhex->isChecked()));
      if (readNotifier_) readNotifier_->setEnabled(true);
      return;
  }
}

void TBaseform::sockConnected() {
  const std::optional<int> error = tcp_->connected();
  if (!error) return;
  if (*error == 0)
    tcpConnected();
  else
    tcpConnectFailed(*error);
}

void TBaseform::tcpConnected() {
  const sockaddr_in& remote = tcp_->remote();
  const std::string address = IpToText(remote.sin_addr.s_addr);
  const std::string port = std::to_string(ntohs(remote.sin_port));
  startSessionLog(kLogTcp, "TCP " + address + ":" + port);
  AppendText(kNavy, "Connect to IP " + address + " Port " + port + "\r\n");
  ActiveLink = 0;
  for (int n = 1; n <= 16; ++n) BtnCom[size_t(n)]->setEnabled(false);
  for (QWidget* w : NetCommandControls) w->setEnabled(true);
  if (readNotifier_) readNotifier_->setEnabled(true);
  flushSockQueue();  // what was sent while connecting
}

void TBaseform::tcpConnectFailed(int error) {
  AppendText(kNavy, Ru("Ошибка при установлении подключения: \r\n") +
                        LocaleToCp1251(SockErrorText(error)));
  const std::string note = ConnectFailureNote(error, ntohs(tcp_->bound().sin_port));
  if (!note.empty()) AppendReport(note);
  closeClientSock(false);
  ChBxS1Conn->setChecked(false);
  ActiveLink = -1;
}

void TBaseform::sockClosed() {
  AppendText(kNavy, "Sock1 -> CLOSE");
  ChBxS1Conn->setChecked(false);
  // "Connect" was already unchecked: release the socket all the same.
  if (ClientSock != 0) closeClientSock(true);
  ActiveLink = -1;
  for (QWidget* w : NetCloseControls) w->setEnabled(false);
}

void TBaseform::SockSendText(const std::string& text) {
  if (!ChBxS1Conn->isChecked()) return;
  const std::string prefixed = WireText(text, Link::Tcp, false);
  if (ClientSock <= 0) {
    AppendReport(TcpEcho(prefixed));
    ErrorBox(QString::fromUtf8("Ошибка при отправке данных серверу: \r\n") + SockErrorQText(ENOTCONN));
    return;
  }
  // A command the queue refuses shows the refusal instead of its echo.
  if (!queueCommand(tcp_->queue(), " Server", prefixed)) return;
  AppendReport(TcpEcho(prefixed));
  flushSockQueue();
}

void TBaseform::flushSockQueue() {
  // While the connect is pending the queue waits for its outcome.
  const SendQueue::FlushResult r = tcp_->flush();
  if (r.drained) AppendReport("\r\n Server: the server takes data again, all sent\r\n");
  if (r.error != 0) {
    // A real socket error: what waits cannot follow what was lost.
    reportUnsent(tcp_->queue(), " Server", 0, "the server");
    ErrorBox(QString::fromUtf8("Ошибка при отправке данных серверу: \r\n") + SockErrorQText(r.error));
    return;
  }
  if (!tcp_->queue().empty() && ClientSock > 0 && !tcp_->connecting()) {
    // EAGAIN: the rest goes when the socket takes data again.
    if (writeNotifier_) writeNotifier_->setEnabled(true);
    sendWatch_->start();
  }
}

std::size_t TBaseform::sockWaiting() const { return tcp_->queue().waiting(); }

}  // namespace kvl
