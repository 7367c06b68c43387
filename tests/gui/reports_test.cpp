// What the window says of its own in the text pane: its grey lines start on
// a line of their own, a port that refuses the line settings says why, a
// command the queue refuses is not echoed, and a close that cuts a command
// says so. Pseudo-terminals stand in for the devices, a loopback listener
// for the server.
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstring>
#include <memory>

#include "TestSupport.h"
#include "app/SpinEdit.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "core/SendQueue.h"
#include "net/NetOs.h"
#include "serial/SerialOs.h"
#include "serial/uCom.h"
#include "tests/common/Files.h"

using namespace kvltest;

namespace {

// The port's writes: `budget` bytes are taken, then none (EAGAIN) until
// `closing` lets them through again. -1: all taken.
std::atomic<long> gBudget{-1};
std::atomic<bool> gReleaseAtClose{false};
// Bytes the driver reports holding for output, and never sends.
std::atomic<int> gHeld{0};

ssize_t MeteredWrite(int fd, const void* data, size_t n) {
  if (fd != kvl::ComPort.Handle.load() || gBudget < 0) return kvl::RealSerialOs().write(fd, data, n);
  if (gBudget == 0) return errno = EAGAIN, -1;
  const ssize_t took = kvl::RealSerialOs().write(fd, data, std::min<size_t>(n, size_t(gBudget)));
  if (took > 0) gBudget -= took;
  return took;
}

int HeldOutput(int fd, unsigned long request, void* argument) {
  if (request != TIOCOUTQ || gHeld == 0) return kvl::RealSerialOs().ioctl(fd, request, argument);
  *static_cast<int*>(argument) = gHeld;
  return 0;
}

// The pause of a close that waits for the port (a poll of no descriptor;
// the reader polls its own): a port held off until then takes data now.
int ReleasingPoll(pollfd* fds, nfds_t count, int timeoutMs) {
  if (gReleaseAtClose && fds == nullptr) gBudget = -1;
  return kvl::RealSerialOs().poll(fds, count, timeoutMs);
}

// A line has sent what its driver took; a pseudo-terminal keeps it for the
// master side, where the purge of an opening (the probes that follow a
// close) would take it back. Here the purge leaves output alone.
int InputOnlyFlush(int fd, int queues) {
  if (queues == TCOFLUSH) return 0;
  return kvl::RealSerialOs().tcflush(fd, queues == TCIOFLUSH ? TCIFLUSH : queues);
}

std::atomic<long> gSockBudget{-1};
ssize_t MeteredSend(int sock, const void* data, size_t n, int flags) {
  if (gSockBudget < 0) return kvl::RealNetOs().send(sock, data, n, flags);
  if (gSockBudget == 0) return errno = EAGAIN, -1;
  const ssize_t took = kvl::RealNetOs().send(sock, data, std::min<size_t>(n, size_t(gSockBudget)), flags);
  if (took > 0) gSockBudget -= took;
  return took;
}

}  // namespace

class ReportsTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() {
    kvl::Os = kvl::RealSerialOs();
    kvl::SockOs = kvl::RealNetOs();
    gBudget = -1;
    gSockBudget = -1;
    gHeld = 0;
    gReleaseAtClose = false;
  }

  void greyLinesStartOnALineOfTheirOwn() {
    enum End { Press, Pull, LogFails };
    const struct Row {
      const char* name;
      const char* device;
      End end;
      QString paneEnd;
    } rows[] = {
        {"mid-line, closed", "abc", Press, "abc\n COM 3 is closed\n COM not selected\n"},
        {"line ended, closed", "abc\r\n", Press, "abc\n COM 3 is closed\n COM not selected\n"},
        {"lone CR, closed", "abc\r", Press, "abc\n COM 3 is closed\n COM not selected\n"},
        {"mid-line, pulled", "abc", Pull, "abc\n COM 3 is closed\n COM not selected\n"},
        {"mid-line, log fails", "abc", LogFails, "abc\n Log file %1: %2\n"},
    };
    for (const Row& row : rows) {
      auto com3 = std::make_unique<Pty>();
      WorkDir dir({{3, com3->path()}}, FirstRunSections() + "[Log]\r\nFile:=session.log\r\n");
      const std::string log = (dir.path() + "/session.log").toStdString();
      Windows w;
      w.main->Timer->stop();
      w.main->BtnCom[3]->click();
      QVERIFY2(kvl::ComPort.Handle >= 0, row.name);
      w.main->ButtonReset->click();
      rlimit saved{};
      ::getrlimit(RLIMIT_FSIZE, &saved);
      if (row.end == LogFails) {
        // The log's file may not grow: the next write fails.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit full = saved;
        full.rlim_cur = rlim_t(Slurp(log).size());
        ::setrlimit(RLIMIT_FSIZE, &full);
      }
      com3->write(row.device);
      QVERIFY2(WaitFor([&] { return kvl::RxText == row.device; }), row.name);  // the device's bytes as sent
      if (row.end == Press) w.main->BtnCom[3]->click();
      if (row.end == Pull) com3.reset();
      QVERIFY2(WaitFor([&] { return PaneText(*w.main).count('\n') >= row.paneEnd.count('\n'); }), row.name);
      ::setrlimit(RLIMIT_FSIZE, &saved);
      const QString expected = row.end == LogFails
                                   ? row.paneEnd.arg(QString::fromStdString(log), QString::fromLocal8Bit(strerror(EFBIG)))
                                   : row.paneEnd;
      QVERIFY2(PaneText(*w.main) == expected, qPrintable(QString(row.name) + ": " + PaneText(*w.main)));
      // The session log records the line as the pane shows it.
      if (row.end == Press)
        QVERIFY2(Slurp(log).find("abc\r\n COM 3 is closed\r\n") != std::string::npos, row.name);
    }
  }

  void refusedLineSettingsAreSaidAndKeptInTheHint() {
    const QString reason = QStringLiteral("the port does not take these line settings");
    const struct Row {
      const char* name;
      std::function<void(kvl::TBaseform&, bool)> set;  // refuse, or put back
    } rows[] = {
        {"5 data bits, 2 stop bits",
         [](kvl::TBaseform& f, bool on) {
           f.SpEdByteSize->setValue(on ? 5 : 8);
           f.CBStopBits->setCurrentIndex(on ? 2 : 0);
         }},
        {"XON equals XOFF", [](kvl::TBaseform& f, bool on) { f.SpEdXoffChar->setValue(on ? 2 : 3); }},
        {"DSR flow control", [](kvl::TBaseform& f, bool on) { f.ChBxDsrFlow->setChecked(on); }},
    };
    for (const Row& row : rows) {
      Pty com3;
      WorkDir dir({{3, com3.path()}});
      Windows w;
      kvl::TBaseform& f = *w.main;
      f.Timer->stop();
      f.ChBxFullCom->click();
      row.set(f, true);
      f.ButtonReset->click();
      f.BtnCom[3]->click();
      QVERIFY2(PaneText(f) == " COM 3: " + reason + "\n COM not selected\n", qPrintable(QString(row.name) + ": " + PaneText(f)));
      QVERIFY2(f.BtnCom[3]->toolTip().contains(reason), row.name);
      // The scan finds the port at its own settings: the reason stays, for
      // the window's settings have not changed.
      for (int tick = 0; tick < 16; ++tick) f.cNewComPort();
      QVERIFY2(!f.BtnCom[3]->isEnabled(), row.name);
      QVERIFY2(f.BtnCom[3]->toolTip().contains(reason), row.name);
      row.set(f, false);
      QVERIFY2(f.BtnCom[3]->isEnabled(), row.name);
      QVERIFY2(!f.BtnCom[3]->toolTip().contains(reason), row.name);
      f.BtnCom[3]->click();
      QVERIFY2(kvl::ComPort.Handle >= 0, row.name);
      f.BtnCom[3]->click();
    }
  }

  void aRefusedCommandIsNotEchoed() {
    const std::string big(65536 - 5, 'q');
    for (const bool tcp : {false, true}) {
      Pty com3;
      WorkDir dir({{3, com3.path()}});
      Listener server;
      Windows w;
      kvl::TBaseform& f = *w.main;
      f.Timer->stop();
      // Nothing leaves: the queue fills up to its limit.
      if (tcp) {
        QVERIFY(ConnectLoopback(f, server, FreeLoopbackPorts(1)));
        gSockBudget = 0;
        kvl::SockOs.send = MeteredSend;
      } else {
        f.BtnCom[3]->click();
        gBudget = 0;
        kvl::Os.write = MeteredWrite;
      }
      auto waiting = [&] { return tcp ? f.sockWaiting() : f.comWaiting(); };
      while (waiting() + 65536 <= kvl::SendQueue::kDefaultLimit) f.RouteCommand(big);
      const std::size_t before = waiting();
      f.ButtonReset->click();
      f.RouteCommand(big);
      QCOMPARE(waiting(), before);
      const QString who = tcp ? " Server" : " COM 3";
      QCOMPARE(PaneText(f), QStringLiteral("\n%1: %2 bytes wait already; this command of %3 bytes is not sent\n")
                                .arg(who)
                                .arg(before)
                                .arg(tcp ? 65536 : 65531));
      cleanup();
    }
  }

  void aCloseSaysWhatItCutAndTheNextCommandArrivesWhole() {
    const std::string command = "AAAAAAAAAA\r\n";  // 12 bytes
    const struct Row {
      const char* name;
      bool tcp;
      long budget;       // bytes the link takes before it holds off
      bool release;      // the link takes data again while the port closes
      int held;          // bytes the driver holds and never sends
      QString said;      // what the close says before " COM 3 is closed"
      std::string sent;  // what the device got of the command
    } rows[] = {
        {"finished at the close", false, 5, true, 0, "", command},
        {"held off", false, 5, false, 0,
         "\n COM 3: 7 bytes not sent, dropped\n\n COM 3: the command of 12 bytes was cut after 5 bytes: "
         "the device may hold a partial line\n",
         "AAAAA"},
        {"held by the driver", false, -1, false, 4,
         "\n COM 3: 4 bytes that the driver held were not sent, discarded\n\n COM 3: the command of 12 bytes was "
         "cut after 8 bytes: the device may hold a partial line\n",
         command},
        {"TCP, held off", true, 5, false, 0,
         "\n Server: 12 bytes not sent, dropped\n\n Server: the command of 17 bytes was cut after 5 bytes: "
         "the server may hold a partial line\n",
         "cKVL>"},
    };
    for (const Row& row : rows) {
      Pty com3;
      WorkDir dir({{3, com3.path()}});
      Listener server;
      Windows w;
      kvl::TBaseform& f = *w.main;
      f.Timer->stop();
      if (row.tcp) {
        QVERIFY(ConnectLoopback(f, server, FreeLoopbackPorts(1)));
        gSockBudget = row.budget;
        kvl::SockOs.send = MeteredSend;
      } else {
        f.BtnCom[3]->click();
        gBudget = row.budget;
        gReleaseAtClose = row.release;
        gHeld = row.held;
        kvl::Os.write = MeteredWrite;
        kvl::Os.poll = ReleasingPoll;
        kvl::Os.ioctl = HeldOutput;
        kvl::Os.tcflush = InputOnlyFlush;
      }
      f.RouteCommand(command);
      f.ButtonReset->click();
      if (row.tcp)
        f.ChBxS1Conn->setChecked(false);
      else
        f.BtnCom[3]->click();
      const QString closed = row.tcp ? "" : " COM 3 is closed\n COM not selected\n";
      QVERIFY2(PaneText(f) == row.said + closed, qPrintable(QString(row.name) + ": " + PaneText(f)));
      const std::string got = row.tcp ? server.readUntil(row.sent, 2000) : com3.readAtLeast(row.sent.size(), 2000);
      QVERIFY2(got == row.sent, qPrintable(QString(row.name) + ": " + QString::fromStdString(got)));
      // Opened again, the next command reaches the device whole, with
      // nothing of the last one before it.
      cleanup();
      if (row.tcp) {
        server.closeClient();
        QVERIFY(ConnectLoopback(f, server, FreeLoopbackPorts(1)));
      } else {
        f.BtnCom[3]->click();
        QVERIFY(kvl::ComPort.Handle >= 0);
      }
      f.RouteCommand("AT\r\n");
      const std::string next = row.tcp ? server.readUntil("AT\r\n") : com3.readUntil("AT\r\n");
      QVERIFY2(next == (row.tcp ? "cKVL>AT\r\n" : "AT\r\n"), row.name);
    }
  }
};

QTEST_MAIN(ReportsTest)
#include "reports_test.moc"
