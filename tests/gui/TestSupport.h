// Shared fixtures of the window tests: a private working directory with its
// own settings file, pseudo-terminals standing in for serial devices, a
// loopback listener standing in for a networked device, and an error
// reporter that records instead of showing boxes.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tests/common/PtyPair.h"
#include "ui/ErrorReporter.h"

class QListWidgetItem;

namespace kvl {
class TBaseform;
class TSimSetform;
}  // namespace kvl

namespace kvltest {

// The lock directory that the program writes its port lock files into
// while a window test runs (never the machine's own).
const std::string& TestLockDir();

// Records every error the program reports.
class CaptureReporter : public kvl::ErrorReporter {
 public:
  CaptureReporter();
  ~CaptureReporter() override;
  void errorBox(const QString& text) override { boxes << text; }
  void generalError(const QString& message) override { general << message; }
  QStringList boxes;
  QStringList general;
};

// A pseudo-terminal: the test holds the master side (the device's end) and
// keeps the slave open so that nothing it writes is lost while the program
// has the port closed.
class Pty : public PtyPair {
 public:
  Pty();
  void write(const std::string& bytes);
  // Everything the program has written so far (reads what is there).
  std::string readAvailable();
  // Reads until `want` bytes have arrived or the deadline passes.
  std::string readAtLeast(size_t want, int timeoutMs = 5000);
  // Reads until the text contains `needle` or the deadline passes.
  std::string readUntil(const std::string& needle, int timeoutMs = 5000);
};

// A working directory of the test's own, made current for its lifetime, with
// a settings file whose "Com ports" section maps every COM number: those in
// `ports` to the given paths, all others to no device.
class WorkDir {
 public:
  explicit WorkDir(const std::map<int, std::string>& ports = {}, const std::string& extra = {});
  ~WorkDir();
  QString path() const { return dir_.path(); }
  QString settingsFile() const;
  // Rewrites the "Com ports" mapping (the rest of the file is kept).
  void mapPorts(const std::map<int, std::string>& ports);
  std::string readSettings() const;
  void writeSettings(const std::string& bytes) const;

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// The four sections that a first run appends to a settings file holding
// only the "Com ports" section, byte for byte (Windows-1251, CR LF). Given
// to WorkDir as `extra`, it makes a complete file that start-up leaves as
// it is.
std::string FirstRunSections();

// The program's two windows, created as at start-up, with every shared
// global of the program reset first.
struct Windows {
  Windows();
  ~Windows();
  kvl::TBaseform* main = nullptr;
  kvl::TSimSetform* sim = nullptr;
};

// Text of a pane, as shown.
QString PaneText(const kvl::TBaseform& f, bool hexPane = false);

// Waits until cond holds (processing events), at most timeoutMs.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000);

// A loopback TCP listener on 127.0.0.1 (port chosen by the system).
class Listener {
 public:
  // receiveBuffer > 0 sets the accepted connection's receive buffer (bytes)
  // from its start.
  explicit Listener(int receiveBuffer = 0);
  ~Listener();
  int port() const { return port_; }
  // Accepts the pending connection (waits for it while processing events).
  bool accept(int timeoutMs = 5000);
  void send(const std::string& bytes);
  std::string readUntil(const std::string& needle, int timeoutMs = 5000);
  std::string readAvailable();
  void closeClient();
  void resetClient();  // closes with a reset (RST)
  int client() const { return client_; }

 private:
  int listen_ = -1;
  int client_ = -1;
  int port_ = 0;
};

// Port number no one listens on (bound once, then closed).
int UnusedLoopbackPort();

// First port of `count` consecutive loopback ports that can all be bound
// now: `preferred` (if given) when its run is free, otherwise a run below
// the system's ephemeral ports that depends on the process, so that test
// programs running side by side keep apart.
int FreeLoopbackPorts(int count, int preferred = 0);

// Whether the peer of the accepted connection has closed it (end of file
// seen), waiting at most timeoutMs; data still arriving is discarded.
bool WaitPeerClosed(Listener& listener, int timeoutMs = 5000);

// Colour of `text` in a pane: the colour shared by all its characters at
// its last occurrence, or an invalid colour when the text is not there or
// is not of one colour. Line ends in `text` ("\r\n", "\r" or "\n") match
// the pane's line breaks.
QColor PaneColourOf(const kvl::TBaseform& f, const QString& text, bool hexPane = false);

// The line of the local address list with this text, or nullptr.
QListWidgetItem* AddressLine(const kvl::TBaseform& f, const QString& text);

// Connects the TCP link to the listener as the engineer does: ticks "Check
// Net", ticks "127.0.0.1" in the list (unless an address is chosen already),
// fills the source port (when sourcePort > 0), remote address and port,
// checks "Connect", accepts, and waits for the connected report. False
// when any step did not happen.
bool ConnectLoopback(kvl::TBaseform& f, Listener& listener, int sourcePort = 0);

}  // namespace kvltest
