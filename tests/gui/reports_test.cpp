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

class ReportsTest : public QObject {
  Q_OBJECT

 private slots:
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
      QVERIFY2(f.BtnCom[3]->isEnabled(), row.name);
      QVERIFY2(f.BtnCom[3]->toolTip().contains(reason), row.name);
      row.set(f, false);
      QVERIFY2(!f.BtnCom[3]->toolTip().contains(reason), row.name);
      f.BtnCom[3]->click();
      QVERIFY2(kvl::ComPort.Handle >= 0, row.name);
      f.BtnCom[3]->click();
    }
  }
};

QTEST_MAIN(ReportsTest)
#include "reports_test.moc"
