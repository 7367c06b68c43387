// The serial link through the main window, with pseudo-terminals standing in
// for the devices: probing, the port buttons, receiving, hang-up and scan.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include "app/SpinEdit.h"
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <random>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "serial/uCom.h"

using namespace kvltest;

namespace {

bool AllEnabled(const QList<QWidget*>& set, bool enabled) {
  for (QWidget* w : set)
    if (w->isEnabled() != enabled) return false;
  return true;
}

std::uint64_t Fnv(const std::string& s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

}  // namespace

class SerialTest : public QObject {
  Q_OBJECT

 private slots:
  void startupProbeEnablesExactlyThePresentPorts() {
    Pty com1, com2, com3;
    // COM2 is held by another program.
    const int holder = ::open(com2.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(holder >= 0);
    QCOMPARE(::flock(holder, LOCK_EX | LOCK_NB), 0);
    WorkDir dir({{1, com1.path()}, {2, com2.path()}, {3, com3.path()}, {4, "/dev/nonexistent-kvl"}});
    Windows w;
    for (int n = 1; n <= 16; ++n) {
      QCOMPARE(w.main->BtnCom[size_t(n)]->isEnabled(), n == 1 || n == 3);
      QVERIFY(!w.main->BtnCom[size_t(n)]->isChecked());
    }
    QVERIFY(w.main->BtnCom[1]->toolTip().contains(QString::fromStdString(com1.path())));
    ::close(holder);
  }

  void pressOpensPressAgainClosesAnotherSwitches() {
    Pty com1, com3;
    WorkDir dir({{1, com1.path()}, {3, com3.path()}});
    Windows w;
    w.main->BtnCom[3]->click();
    QCOMPARE(kvl::ActiveLink, 3);
    QCOMPARE(PaneText(*w.main), QStringLiteral(" COM 3 is active\n\n"));
    QCOMPARE(w.main->panelText(8), QStringLiteral(" COM 3 [active]"));
    QVERIFY(w.main->BtnCom[3]->isChecked());
    QVERIFY(w.main->ChBxDTR->isChecked());
    QVERIFY(w.main->ChBxRTS->isChecked());
    QCOMPARE(w.main->panelText(3), QStringLiteral("DTR"));
    QCOMPARE(w.main->panelText(5), QStringLiteral("RTS"));
    QVERIFY(AllEnabled(w.main->SerialCommandControls, true));
    QVERIFY(kvl::ComPort.Handle >= 0);

    w.main->ButtonReset->click();
    w.main->BtnCom[1]->click();  // another port: close 3, open 1
    QCOMPARE(PaneText(*w.main), QStringLiteral(" COM 3 is closed\n COM 1 is active\n\n"));
    QVERIFY(w.main->BtnCom[1]->isChecked());
    QVERIFY(!w.main->BtnCom[3]->isChecked());
    QCOMPARE(kvl::ActiveLink, 1);

    w.main->ButtonReset->click();
    w.main->BtnCom[1]->click();  // the open port's own button: deselect
    QCOMPARE(PaneText(*w.main), QStringLiteral(" COM 1 is closed\n COM not selected\n"));
    QCOMPARE(w.main->panelText(8), QStringLiteral(" COM not selected"));
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(kvl::ComPort.Handle < 0);
    QVERIFY(AllEnabled(w.main->SerialCommandControls, false));
    QVERIFY(!w.main->ChBxDTR->isChecked());
    for (int n = 1; n <= 16; ++n) QVERIFY(!w.main->BtnCom[size_t(n)]->isChecked());
    for (int p = 3; p <= 6; ++p) QVERIFY(w.main->panelText(p).isEmpty());
  }

  void portThatVanishedBeforeThePressIsNotSelected() {
    auto com5 = std::make_unique<Pty>();
    WorkDir dir({{5, com5->path()}});
    Windows w;
    QVERIFY(w.main->BtnCom[5]->isEnabled());
    dir.mapPorts({});  // the adapter is gone
    w.main->BtnCom[5]->click();
    QCOMPARE(PaneText(*w.main), QStringLiteral(" COM not selected\n"));
    QCOMPARE(w.main->panelText(8), QStringLiteral(" COM not selected"));
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(!w.main->BtnCom[5]->isEnabled());
  }

  void receivedBytesReachPanesAndRxText() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->Timer->stop();
    w.main->ChBxVhex->setChecked(true);
    w.main->BtnCom[3]->click();
    w.main->ButtonReset->click();
    com3.write("OK\r\n");
    QVERIFY(WaitFor([&] { return kvl::RxText == "OK\r\n"; }));
    QCOMPARE(PaneText(*w.main), QStringLiteral("OK\n"));
    QCOMPARE(PaneText(*w.main, true), QStringLiteral("4F4B0D0A\n"));
    QCOMPARE(kvl::RxQuietTicks, std::uint8_t(3));

    // Bytes 0 to 9 stay out of the text but show in hex.
    w.main->ButtonReset->click();
    kvl::RxText.clear();
    com3.write(std::string("A\0\tB", 4));
    QVERIFY(WaitFor([&] { return kvl::RxText == "AB"; }));
    QCOMPARE(PaneText(*w.main), QStringLiteral("AB"));
    QCOMPARE(PaneText(*w.main, true), QStringLiteral("41000942\n"));

    // Time stamps start each burst, in the pane and in RxText.
    w.main->ChBxVtim->setChecked(true);
    w.main->ChBxVhex->setChecked(false);
    kvl::RxText.clear();
    com3.write("T");
    QVERIFY(WaitFor([&] { return !kvl::RxText.empty() && kvl::RxText.back() == 'T'; }));
    QVERIFY(kvl::RxText.front() == '[');
    QVERIFY(kvl::RxText.find("] T") != std::string::npos);
    QCOMPARE(kvl::RxText.size(), size_t(1 + 8 + 2 + 1));  // "[hh:mm:ss] T" in a 24-hour locale
  }

  void floodArrivesCompleteAndInOrder() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->Timer->stop();
    w.main->BtnCom[3]->click();
    kvl::RxText.clear();
    // 2 MB of printable lines: every byte reaches RxText.
    std::mt19937 rng(7);
    std::string data;
    while (data.size() < 2 * 1024 * 1024) {
      for (int i = 0; i < 78; ++i) data += char('!' + rng() % 90);
      data += "\r\n";
    }
    com3.write(data);
    QVERIFY(WaitFor([&] { return kvl::RxText.size() >= data.size(); }, 60000));
    QCOMPARE(kvl::RxText.size(), data.size());
    QCOMPARE(Fnv(kvl::RxText), Fnv(data));
  }

  void unpluggedDeviceClosesThePortAsItsButtonWould() {
    auto com3 = std::make_unique<Pty>();
    WorkDir dir({{3, com3->path()}});
    Windows w;
    w.main->BtnCom[3]->click();
    QCOMPARE(kvl::ActiveLink, 3);
    w.main->ButtonReset->click();
    com3->write("last words\r\n");
    QVERIFY(WaitFor([&] { return kvl::RxText.find("last words") != std::string::npos; }));
    com3.reset();  // both sides gone: the adapter is pulled
    QVERIFY(WaitFor([&] { return kvl::ActiveLink == -1; }));
    QVERIFY(PaneText(*w.main).endsWith(QStringLiteral(" COM 3 is closed\n COM not selected\n")));
    QVERIFY(kvl::ComPort.Handle < 0);
    QVERIFY(AllEnabled(w.main->SerialCommandControls, false));
    QVERIFY(!w.main->BtnCom[3]->isEnabled());
  }

  void scanFollowsPortsThatComeAndGo() {
    WorkDir dir;
    Windows w;
    w.main->Timer->stop();
    QVERIFY(!w.main->BtnCom[5]->isEnabled());
    auto com5 = std::make_unique<Pty>();
    dir.mapPorts({{5, com5->path()}});
    for (int tick = 0; tick < 16; ++tick) w.main->cNewComPort();  // 8 seconds of ticks
    QVERIFY(w.main->BtnCom[5]->isEnabled());
    com5.reset();
    for (int tick = 0; tick < 16; ++tick) w.main->cNewComPort();
    QVERIFY(!w.main->BtnCom[5]->isEnabled());
  }

  void scanPausesWhileAPortIsOpen() {
    Pty com3, com5;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->Timer->stop();
    w.main->BtnCom[3]->click();
    dir.mapPorts({{3, com3.path()}, {5, com5.path()}});
    for (int tick = 0; tick < 16; ++tick) w.main->cNewComPort();
    QVERIFY(!w.main->BtnCom[5]->isEnabled());
    QVERIFY(w.main->BtnCom[3]->isEnabled());
    QVERIFY(w.main->BtnCom[3]->isChecked());
  }

  void sendingEchoesAndWritesTheBytes() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->BtnCom[3]->click();
    w.main->ButtonReset->click();
    w.main->ComWriteText("MyV=7\r\n");
    QCOMPARE(com3.readAtLeast(7), std::string("MyV=7\r\n"));
    QCOMPARE(PaneText(*w.main), QStringLiteral("\nTo Com: MyV=7\n"));
    // A text far longer than one send buffer goes out whole.
    const std::string big(5000, 'x');
    w.main->ComWriteText(big);
    QCOMPARE(com3.readAtLeast(big.size()).size(), big.size());
  }

  void lineBoxesWithoutAPortOnlyToggle() {
    WorkDir dir;
    Windows w;
    w.main->ChBxDTR->click();
    QVERIFY(w.main->ChBxDTR->isChecked());
    QVERIFY(w.main->panelText(3).isEmpty());
    w.main->ChBxRTS->click();
    QVERIFY(w.main->panelText(5).isEmpty());
  }

  void lineBoxesDriveThePanelsOfAnOpenPort() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->BtnCom[3]->click();
    w.main->ChBxDTR->click();
    QCOMPARE(w.main->panelText(3), QString());
    // A flag box re-applies the state of "DTR".
    w.main->ChBxFullCom->click();
    w.main->ChBxDTR->setChecked(true);
    QCOMPARE(w.main->panelText(3), QStringLiteral("DTR"));
    {
      QSignalBlocker quiet(w.main->ChBxDTR);
      w.main->ChBxDTR->setChecked(false);
    }
    w.main->ChBxParity->click();
    QCOMPARE(w.main->panelText(3), QString());
  }

  void refusedLineSettingsFailTheOpening() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->ChBxFullCom->click();
    w.main->SpEdByteSize->setValue(5);
    w.main->CBStopBits->setCurrentIndex(2);  // 5 data bits with 2 stop bits
    w.main->BtnCom[3]->click();
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(PaneText(*w.main).endsWith(QStringLiteral(" COM not selected\n")));
    QCOMPARE(w.main->panelText(8), QStringLiteral(" COM not selected"));
  }
};

QTEST_MAIN(SerialTest)
#include "serial_test.moc"
