// The TCP side of the link session: the local address, connecting from it
// step by step, the socket's three events and sending.
#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "app/LinkSession.h"
#include "app/Reception.h"
#include "app/Util.h"
#include "core/Colours.h"
#include "core/Cp1251.h"
#include "net/NetLink.h"
#include "net/TcpLink.h"

namespace kvl {
namespace {

std::string Ru(const char* utf8) { return Utf8ToCp1251(utf8); }

void ClearAddress(sockaddr_in& addr) {
  std::memset(addr.sin_zero, 0, sizeof addr.sin_zero);
  addr.sin_family = AF_INET;
}

}  // namespace

Steps LinkSession::listAddresses(std::optional<std::vector<AddressLine>>& list) {
  // Starting the socket library has nothing to do here and cannot fail.
  int error = 0;
  const int probe = UdpProbeOpen(error);
  if (probe < 0) {
    list.reset();
    errorBox("Ошибка при создании отправляющего сокета:\r\n", SockErrorText(error));
    return takeSteps();
  }
  std::vector<AddressLine>& lines = list.emplace();
  for (const std::string& a : LocalIPv4Addresses()) lines.push_back({a, false});
  // The list and the choice agree: a refilled list has nothing ticked, so
  // nothing is chosen, unless a socket is open from the chosen address;
  // its line is ticked again (added when its interface has gone since),
  // and unticking it ends the connection.
  if (tcp_.addressChosen() && tcp_.socket() == 0) tcp_.setAddressChosen(false);
  if (tcp_.addressChosen()) {
    bool listed = false;
    for (AddressLine& line : lines) {
      if (InetAddr(line.text) != tcp_.local().sin_addr.s_addr) continue;
      line.ticked = true;
      listed = true;
    }
    if (!listed) lines.push_back({IpToText(tcp_.local().sin_addr.s_addr), true});
  }
  TcpClose(probe);
  return takeSteps();
}

Steps LinkSession::chooseAddress(const std::vector<AddressLine>& lines, const std::string& sourcePort,
                                 const LinkControls& c, AddressChoice& choice) {
  // Whatever the click, the list shows afterwards exactly what is chosen:
  // one ticked address, or no tick at all.
  choice = {};
  if (tcp_.addressChosen()) {
    if (c.connectChecked) {
      control(Step::Check, Control::Connect, false);
      disconnectClient();
    }
    tcp_.setAddressChosen(false);
    return takeSteps();
  }
  // Only a ticked line that shows an address can be chosen.
  std::uint32_t chosen = INADDR_NONE;
  for (const AddressLine& line : lines)
    if (line.ticked && !line.text.empty()) chosen = InetAddr(line.text);
  if (chosen == INADDR_NONE) return takeSteps();
  sockaddr_in& local = tcp_.local();
  ClearAddress(local);
  if (!readPortField(sourcePort, local, false)) return takeSteps();  // the box said why; nothing is chosen
  tcp_.setAddressChosen(true);
  local.sin_addr.s_addr = chosen;
  // The other lines go blank, without a check box, and can no longer be
  // ticked until "Check Net" refills the list.
  choice.kind = AddressChoice::KeepChosen;
  for (const AddressLine& line : lines) choice.keep.push_back(line.ticked && InetAddr(line.text) == chosen);
  return takeSteps();
}

bool LinkSession::readPortField(const std::string& text, sockaddr_in& addr, bool advance) {
  const PortFieldValue v = ReadPortField(Utf8ToCp1251(text));
  if (v.state == PortField::NotInteger) {
    errorBox("\"" + text + "\" не является целым числом");
    return true;  // the attempt goes on with the port the address held
  }
  if (advance) add({.kind = Step::SourcePort, .text = std::to_string(std::int64_t(v.number) + 1)});
  if (v.state == PortField::OutOfRange) {
    errorBox("Номер порта должен лежать в диапазоне 1-65535");
    return false;
  }
  addr.sin_port = htons(std::uint16_t(v.number));
  return true;
}

// --- Connecting.

Steps LinkSession::connectToggled(const ConnectFields& fields, const LinkControls& c) {
  if (!tcp_.addressChosen()) {
    if (!c.connectChecked) return takeSteps();
    control(Step::Check, Control::Connect, false);
    report(" No local address chosen: tick one in the address list\r\n");
  } else if (c.connectChecked) {
    connectClient(fields);
  } else {
    disconnectClient();
  }
  return takeSteps();
}

void LinkSession::disconnectClient() {
  // Without a socket there is nothing to end: the link does not own the
  // device then, so the port that may own it keeps it.
  if (tcp_.socket() == 0) return;
  if (tcp_.connecting()) report(Ru("Попытка подключения к серверу 1 отменена\r\n"));
  ActiveLink = -1;
  closeClientSock(true);
}

void LinkSession::connectClient(const ConnectFields& fields) {
  if (tcp_.socket() != 0) closeClientSock(false);  // a socket left by a failed attempt
  if (!openClient() || !bindClient(fields) || !aimClient(fields)) return;
  report(Ru("Попытка подключения к серверу 1: - ОЖИДАЙТЕ!!!\r\n"));
  startConnect();
}

bool LinkSession::openClient() {
  int error = 0;
  if (!tcp_.open(error)) {
    failConnectStep();
    errorBox("Ошибка при создании TCP сокета 1:\r\n", SockErrorText(error));
    return false;
  }
  // Reading is watched only once the connection is up: a socket that is
  // not yet connected, or whose attempt failed, reads as ready (hang-up),
  // and a read then would swallow the error that the connect event reports.
  add({.kind = Step::WatchSocket, .n = tcp_.socket(), .on = true});
  return true;
}

bool LinkSession::bindClient(const ConnectFields& fields) {
  sockaddr_in& bound = tcp_.bound();
  ClearAddress(bound);
  if (!readPortField(fields.sourcePort, bound, true)) {
    failConnectStep();
    return false;
  }
  int error = 0;
  if (!tcp_.bind(error)) {
    failConnectStep();
    errorBox("Ошибка при привязке Tcp сокета к адресу:\r\n", SockErrorText(error));
    return false;
  }
  say(kNavy, "\r\nClient bound IP " + IpToText(bound.sin_addr.s_addr) + " Port " +
                 std::to_string(ntohs(bound.sin_port)) + "\r\n");
  return true;
}

bool LinkSession::aimClient(const ConnectFields& fields) {
  sockaddr_in& remote = tcp_.remote();
  ClearAddress(remote);
  remote.sin_addr.s_addr = InetAddr(Utf8ToCp1251(fields.remoteHost));
  if (remote.sin_addr.s_addr == INADDR_NONE) {
    failConnectStep();
    errorBox("Синтаксическая ошибка в IP-адресе");
    return false;
  }
  if (!readPortField(fields.remotePort, remote, false)) {
    failConnectStep();
    return false;
  }
  return true;
}

void LinkSession::startConnect() {
  int error = 0;
  if (!tcp_.setNonBlocking(error)) {
    failConnectStep();
    errorBox("Ошибка при переводе сокета в неблокирующий режим:\r\n", SockErrorText(error));
    return;
  }
  if (tcp_.connect() == ConnectStart::Pending)
    add({.kind = Step::ArmWrite});
  else  // decided at once: the outcome still arrives as the connect event
    add({.kind = Step::PostSockEvent, .n = tcp_.socket(), .event = FD_CONNECT});
}

void LinkSession::failConnectStep() {
  // A connect step failed: the socket is released and "Connect" unchecked,
  // so that the next check tries again (and finds no socket to end).
  if (tcp_.socket() != 0) closeClientSock(false);
  control(Step::Check, Control::Connect, false);
}

void LinkSession::closeClientSock(bool shutdown) {
  // A socket's own buffer still goes out before the shutdown: what goes
  // unsent is what waits here.
  reportUnsent(tcp_.queue(), " Server", 0, "the server");
  add({.kind = Step::WatchSocket, .on = false});
  if (shutdown)
    tcp_.disconnect();
  else
    tcp_.close();
  endLog(kLogTcp);
}

// --- The socket's events.

Steps LinkSession::sockEvent(int sock, int event, const LinkControls& c) {
  // Events of a socket that has been closed since are stale.
  if (!tcp_.addressChosen() || tcp_.socket() == 0 || sock != tcp_.socket()) return takeSteps();
  if (event == FD_READ) sockReadable(c);
  if (event == FD_CONNECT) sockConnected();
  if (event == FD_CLOSE) sockClosed();
  return takeSteps();
}

Steps LinkSession::sockWritable() {
  // Writability decides a pending connect; once connected it lets the
  // outgoing queue go on.
  if (tcp_.connecting())
    add({.kind = Step::PostSockEvent, .n = tcp_.socket(), .event = FD_CONNECT});
  else
    flushSock();
  return takeSteps();
}

void LinkSession::sockReadable(const LinkControls& c) {
  const TcpConnection::Received r = tcp_.readable();
  switch (r.kind) {
    case TcpConnection::Received::Closed:
      add({.kind = Step::PostSockEvent, .n = tcp_.socket(), .event = FD_CLOSE});
      return;
    case TcpConnection::Received::Again:
      add({.kind = Step::ArmRead});
      return;
    case TcpConnection::Received::Failed:
      errorBox("Ошибка при получении сообщения: ", SockErrorText(r.error));
      // A connection that failed this way is gone: it ends as a close.
      add({.kind = Step::PostSockEvent, .n = tcp_.socket(), .event = FD_CLOSE, .error = r.error});
      return;
    case TcpConnection::Received::Data: {
      const RxShown shown = Receive(r.bytes, TcpRxRule(), c.viewHex);
      if (!shown.hex.empty()) add({.kind = Step::Hex, .colour = kGrey, .text = shown.hex});
      say(kNavy, shown.text);
      NoteReception(shown.rxText);
      add({.kind = Step::ArmRead});
      return;
    }
  }
}

void LinkSession::sockConnected() {
  const std::optional<int> error = tcp_.connected();
  if (!error) return;
  if (*error == 0)
    tcpConnected();
  else
    tcpConnectFailed(*error);
}

void LinkSession::tcpConnected() {
  const sockaddr_in& remote = tcp_.remote();
  const std::string address = IpToText(remote.sin_addr.s_addr);
  const std::string port = std::to_string(ntohs(remote.sin_port));
  startLog(kLogTcp, "TCP " + address + ":" + port);
  say(kNavy, "Connect to IP " + address + " Port " + port + "\r\n");
  ActiveLink = 0;
  for (int n = 1; n <= 16; ++n) control(Step::Enable, Control::PortButton, false, n);
  control(Step::Enable, Control::NetCommands, true);
  add({.kind = Step::ArmRead});
  flushSock();  // what was sent while connecting
}

void LinkSession::tcpConnectFailed(int error) {
  say(kNavy, Ru("Ошибка при установлении подключения: \r\n") + LocaleToCp1251(SockErrorText(error)));
  const std::string note = ConnectFailureNote(error, ntohs(tcp_.bound().sin_port));
  if (!note.empty()) report(note);
  closeClientSock(false);
  control(Step::Check, Control::Connect, false);
  ActiveLink = -1;
}

void LinkSession::sockClosed() {
  say(kNavy, "Sock1 -> CLOSE");
  // Unchecking "Connect" ends the connection as the engineer's uncheck
  // would; when it was unchecked already the socket goes all the same.
  control(Step::Check, Control::Connect, false);
  if (tcp_.socket() != 0) closeClientSock(true);
  ActiveLink = -1;
  control(Step::Enable, Control::NetClose, false);
}

// --- Sending.

void LinkSession::sendTcp(const std::string& text, const LinkControls& c) {
  if (!c.connectChecked) return;
  const std::string prefixed = WireText(text, Link::Tcp, false);
  if (tcp_.socket() <= 0) {
    report(TcpEcho(prefixed));
    errorBox("Ошибка при отправке данных серверу: \r\n", SockErrorText(ENOTCONN));
    return;
  }
  // A command the queue refuses shows the refusal instead of its echo.
  if (!queueCommand(tcp_.queue(), " Server", prefixed)) return;
  report(TcpEcho(prefixed));
  flushSock();
}

void LinkSession::flushSock() {
  // While the connect is pending the queue waits for its outcome.
  const SendQueue::FlushResult r = tcp_.flush();
  if (r.drained) report("\r\n Server: the server takes data again, all sent\r\n");
  if (r.error != 0) {
    // A real socket error: what waits cannot follow what was lost.
    reportUnsent(tcp_.queue(), " Server", 0, "the server");
    errorBox("Ошибка при отправке данных серверу: \r\n", SockErrorText(r.error));
    return;
  }
  if (!tcp_.queue().empty() && tcp_.socket() > 0 && !tcp_.connecting()) {
    // EAGAIN: the rest goes when the socket takes data again.
    add({.kind = Step::ArmWrite});
    add({.kind = Step::SendWatch, .on = true});
  }
}

}  // namespace kvl
