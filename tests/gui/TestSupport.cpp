#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "app/ConsolePane.h"
#include "core/Colours.h"
#include "ui/WinColour.h"
#include "tests/common/ComPorts.h"
#include "tests/common/FirstRunFile.h"
#include "tests/common/ScratchTree.h"
#include "app/Startup.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "net/NetOs.h"
#include "serial/PortUse.h"
#include "serial/SerialOs.h"
#include "serial/uCom.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"

namespace kvltest {

namespace {
// Set before any test runs, for the whole program.
const ScratchLockDir gLockDir;
}  // namespace

const std::string& TestLockDir() { return gLockDir.dir(); }

CaptureReporter::CaptureReporter() { kvl::SetErrorReporter(this); }
CaptureReporter::~CaptureReporter() { kvl::SetErrorReporter(nullptr); }

Pty::Pty() { fcntl(master(), F_SETFL, fcntl(master(), F_GETFL) | O_NONBLOCK); }

void Pty::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("pty write");
    // The terminal's queue is full: let the program take some.
    QTest::qWait(1);
  }
}

std::string Pty::readAvailable() {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(master(), buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

std::string Pty::readAtLeast(size_t want, int timeoutMs) {
  std::string out;
  WaitFor([&] {
    out += readAvailable();
    return out.size() >= want;
  }, timeoutMs);
  return out;
}

std::string Pty::readUntil(const std::string& needle, int timeoutMs) {
  std::string out;
  WaitFor([&] {
    out += readAvailable();
    return out.find(needle) != std::string::npos;
  }, timeoutMs);
  return out;
}

WorkDir::WorkDir(const std::map<int, std::string>& ports, const std::string& extra) {
  previous_ = QDir::currentPath();
  if (!dir_.isValid()) throw std::runtime_error("temporary directory");
  QDir::setCurrent(dir_.path());
  writeSettings(ComPortsSection(ports) + extra);
}

WorkDir::~WorkDir() { QDir::setCurrent(previous_); }

QString WorkDir::settingsFile() const { return dir_.path() + QStringLiteral("/zel .ini"); }

std::string WorkDir::readSettings() const {
  QFile f(settingsFile());
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll().toStdString();
}

void WorkDir::writeSettings(const std::string& bytes) const {
  QFile f(settingsFile());
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) throw std::runtime_error("settings");
  f.write(bytes.data(), qint64(bytes.size()));
}

void WorkDir::mapPorts(const std::map<int, std::string>& ports) {
  std::string s = readSettings();
  const std::string fresh = ComPortsSection(ports);
  const size_t at = s.find("[Com ports]");
  if (at == std::string::npos) {
    s = fresh + s;
  } else {
    size_t end = s.find("\n[", at);
    end = end == std::string::npos ? s.size() : end + 1;
    s.replace(at, end - at, fresh);
  }
  writeSettings(s);
}

std::string FirstRunSections() { return kFirstRunFile; }

namespace {

// The reporter in place now (a test's capture, or nullptr for the program's
// own boxes).
kvl::ErrorReporter* KeptReporter() {
  kvl::ErrorReporter* const current = kvl::SetErrorReporter(nullptr);
  kvl::SetErrorReporter(current);
  return current;
}

}  // namespace

Windows::Windows() {
  // A clean start of the program's state, but with the fakes the test put
  // in place for the windows it is about to make (the OS tables, the
  // /proc and /sys places); the end of the windows puts every one back.
  const kvl::SerialOs os = kvl::Os;
  const kvl::NetOs sockOs = kvl::SockOs;
  const kvl::PortUsePlaces places = kvl::CurrentPortUsePlaces();
  kvl::ErrorReporter* const reporter = KeptReporter();
  kvl::ResetProgramState();
  kvl::Os = os;
  kvl::SockOs = sockOs;
  kvl::SetPortUsePlaces(places);
  kvl::SetErrorReporter(reporter);
  main = new kvl::TBaseform;
  sim = new kvl::TSimSetform(main);
  main->setSimSetform(sim);
}

Windows::~Windows() {
  main->close();
  delete main;
  // Every seam goes back but the test's reporter, which it ends itself.
  kvl::ErrorReporter* const reporter = KeptReporter();
  kvl::ResetProgramState();
  kvl::SetErrorReporter(reporter);
}

QString PaneText(const kvl::TBaseform& f, bool hexPane) {
  return (hexPane ? f.bRichEd : f.cRichEd)->toPlainText();
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  // Events are handled as they come, with no sleeping in between, so that
  // a flood is taken at the program's own pace; a short timer wakes the loop
  // for conditions that no event of this process announces.
  QElapsedTimer clock;
  clock.start();
  QTimer wake;
  wake.start(5);
  while (!cond()) {
    if (clock.elapsed() > timeoutMs) return cond();
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

Listener::Listener(int receiveBuffer) {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0) setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 4) != 0)
    throw std::runtime_error("listen");
  socklen_t len = sizeof a;
  getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  fcntl(listen_, F_SETFL, O_NONBLOCK);
}

Listener::~Listener() {
  closeClient();
  if (listen_ >= 0) ::close(listen_);
}

bool Listener::accept(int timeoutMs) {
  return WaitFor([&] {
    client_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return client_ >= 0;
  }, timeoutMs);
}

void Listener::send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) done += size_t(n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("send");
    else QTest::qWait(1);
  }
}

std::string Listener::readAvailable() {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(client_, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

std::string Listener::readUntil(const std::string& needle, int timeoutMs) {
  std::string out;
  WaitFor([&] {
    out += readAvailable();
    return out.find(needle) != std::string::npos;
  }, timeoutMs);
  return out;
}

void Listener::closeClient() {
  if (client_ >= 0) ::close(client_);
  client_ = -1;
}

void Listener::resetClient() {
  if (client_ < 0) return;
  linger l{1, 0};
  setsockopt(client_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  closeClient();
}

int UnusedLoopbackPort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

namespace {

bool LoopbackPortFree(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(std::uint16_t(port));
  const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

bool LoopbackRunFree(int first, int count) {
  for (int p = first; p < first + count; ++p)
    if (p > 65535 || !LoopbackPortFree(p)) return false;
  return true;
}

}  // namespace

int FreeLoopbackPorts(int count, int preferred) {
  if (preferred > 0 && LoopbackRunFree(preferred, count)) return preferred;
  // Runs below the usual range of the system's own port choices.
  for (int first = 20000 + int(::getpid() % 500) * 20; first < 32000; first += count + 7)
    if (LoopbackRunFree(first, count)) return first;
  throw std::runtime_error("no free loopback ports");
}

bool WaitPeerClosed(Listener& listener, int timeoutMs) {
  return WaitFor([&] {
    char buf[4096];
    for (;;) {
      const ssize_t n = ::recv(listener.client(), buf, sizeof buf, 0);
      if (n == 0) return true;
      if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    }
  }, timeoutMs);
}

QColor PaneColourOf(const kvl::TBaseform& f, const QString& text, bool hexPane) {
  // The pane's characters with their colours; a line break is '\n' with no
  // colour of its own.
  const kvl::ConsolePane* pane = hexPane ? f.bRichEd : f.cRichEd;
  const QString shown = pane->toPlainText();
  QList<QColor> colours;
  colours.reserve(shown.size());
  for (qsizetype i = 0; i < shown.size(); ++i)
    colours << (shown[i] == QLatin1Char('\n') ? QColor()
                                               : kvl::WinColour(pane->content().colourAt(size_t(i))));
  QString wanted = text;
  wanted.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
  const qsizetype at = shown.lastIndexOf(wanted);
  if (at < 0 || wanted.isEmpty()) return {};
  QColor colour;
  for (qsizetype i = at; i < at + wanted.size(); ++i) {
    if (shown[i] == QLatin1Char('\n')) continue;
    if (!colour.isValid()) colour = colours[i];
    else if (colours[i] != colour) return {};
  }
  return colour;
}

QListWidgetItem* AddressLine(const kvl::TBaseform& f, const QString& text) {
  for (int i = 0; i < f.ChBxIPs->count(); ++i)
    if (f.ChBxIPs->item(i)->text() == text) return f.ChBxIPs->item(i);
  return nullptr;
}

bool ConnectLoopback(kvl::TBaseform& f, Listener& listener, int sourcePort) {
  if (sourcePort > 0) f.EdtSPort->setText(QString::number(sourcePort));
  if (!f.LocalAddrChosen) {
    f.ChBxIniNet->setChecked(true);
    QListWidgetItem* line = AddressLine(f, QStringLiteral("127.0.0.1"));
    if (!line) return false;
    line->setCheckState(Qt::Checked);
    if (!f.LocalAddrChosen) return false;
  }
  f.edtRHost->setText(QStringLiteral("127.0.0.1"));
  f.EdtRPort->setText(QString::number(listener.port()));
  if (!f.ChBxS1Conn->isEnabled()) return false;
  const QString report = QStringLiteral("Connect to IP ");
  const qsizetype before = PaneText(f).count(report);
  f.ChBxS1Conn->setChecked(true);
  if (!listener.accept()) return false;
  return WaitFor([&] { return PaneText(f).count(report) > before && kvl::ActiveLink == 0; });
}

}  // namespace kvltest
