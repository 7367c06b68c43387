// The serial link through the main window, with pseudo-terminals standing in
// for the devices: probing, the port buttons, receiving, hang-up and scan;
// ports that other programs hold, the hints that say why a port is
// unavailable, and the lock file of an open port.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>
#include "app/SpinEdit.h"
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <poll.h>
#include <QRegularExpression>
#include <atomic>
#include <random>
#include <thread>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "app/Startup.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "serial/SerialOs.h"
#include "serial/uCom.h"
#include "tests/common/Files.h"
#include "tests/common/Holder.h"
#include "tests/common/ScratchTree.h"

using namespace kvltest;

namespace {

bool AllEnabled(const QList<QWidget*>& set, bool enabled) {
  for (QWidget* w : set)
    if (w->isEnabled() != enabled) return false;
  return true;
}

std::uint64_t Fnv(const std::string& s) {
  return kvltest::Fnv(kFnvStart, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

std::string Random(std::mt19937& rng, size_t size) {
  std::string s(size, '\0');
  for (char& c : s) c = char(rng());
  return s;
}

// The one path that the program may not open.
std::string gDenied;

int DenyOpen(const char* path, int flags) {
  if (gDenied == path) {
    errno = EACCES;
    return -1;
  }
  return kvl::RealSerialOs().open(path, flags);
}

// A driver that counts line changes and wakes its waiter when the test
// opens the gate: DCD pulses between two looks of the window.
std::atomic<std::uint32_t> gDcdChanges{0};
std::atomic<int> gLineWaits{0};
int gGate[2] = {-1, -1};

int CountedLines(int, kvl::LineCounts* counts) {
  *counts = {};
  counts->dcd = gDcdChanges;
  return 0;
}

int GatedLineWait(int, int) {
  ++gLineWaits;
  pollfd p{gGate[0], POLLIN, 0};
  if (::poll(&p, 1, -1) < 0) return -1;  // ComClose's signal
  char byte;
  (void)!::read(gGate[0], &byte, 1);
  return 0;
}

void UseTestPlaces() {
  kvl::PortUsePlaces places;
  places.lockDirs = {TestLockDir()};
  kvl::SetPortUsePlaces(places);
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
    // 1.5 MiB of printable lines (within the batch's bound): every byte
    // reaches RxText.
    std::mt19937 rng(7);
    std::string data;
    while (data.size() < kvl::kRxTextKeep + kvl::kRxTextKeep / 2) {
      for (int i = 0; i < 78; ++i) data += char('!' + rng() % 90);
      data += "\r\n";
    }
    com3.write(data);
    QVERIFY(WaitFor([&] { return kvl::RxText.size() >= data.size(); }, 60000));
    QCOMPARE(kvl::RxText.size(), data.size());
    QCOMPARE(Fnv(kvl::RxText), Fnv(data));
  }

  // The device talks without pause while the engineer closes the port at
  // random moments: every line the device finished writing before the
  // close began is in the pane and the session log, whole and in order.
  void nothingReceivedIsLostAtAClose() {
    Pty com3;
    WorkDir dir({{3, com3.path()}}, FirstRunSections() + "[Log]\r\nFile:=session.log\r\n");
    Windows w;
    w.main->Timer->stop();
    const int master = com3.master();
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // Lines are counted as begun before their first byte is written and as
    // written once their last byte is.
    std::atomic<int> begun{0}, written{0};
    std::atomic<bool> stop{false};
    auto line = [](int n) { return QStringLiteral("L%1-abcdefghijklmnopqrstuvwxyz").arg(n, 6, 10, QLatin1Char('0')); };
    std::thread device([&] {
      for (int n = 0; !stop; ++n) {
        const std::string bytes = line(n).toStdString() + "\r\n";
        begun = n + 1;
        for (std::size_t done = 0; done < bytes.size() && !stop;) {
          const ssize_t k = ::write(master, bytes.data() + done, bytes.size() - done);
          if (k > 0) done += std::size_t(k);
          else { pollfd p{master, POLLOUT, 0}; ::poll(&p, 1, 10); }
        }
        written = n + 1;
      }
    });
    std::mt19937 rng(2024);
    std::vector<std::pair<int, int>> due;  // lines [first, end) of each session
    for (int session = 0; session < 50; ++session) {
      w.main->BtnCom[3]->click();
      QVERIFY(kvl::ComPort.Handle >= 0);
      const int first = begun;  // lines begun earlier may have been flushed by the opening
      QTest::qWait(int(rng() % 40));  // a random moment, not a wait for a condition
      due.emplace_back(first, written.load());
      w.main->BtnCom[3]->click();
      QVERIFY(kvl::ComPort.Handle < 0);
    }
    stop = true;
    device.join();
    const auto check = [&](const QString& text, const char* where) {
      std::vector<int> seen;
      static const QRegularExpression whole(QStringLiteral("^L(\\d{6})-abcdefghijklmnopqrstuvwxyz\r?$"),
                                            QRegularExpression::MultilineOption);
      for (auto it = whole.globalMatch(text); it.hasNext();) seen.push_back(it.next().captured(1).toInt());
      QVERIFY2(std::is_sorted(seen.begin(), seen.end()) && std::adjacent_find(seen.begin(), seen.end()) == seen.end(),
               where);
      int missing = 0;
      for (const auto& [from, to] : due)
        for (int n = from; n < to; ++n) missing += !std::binary_search(seen.begin(), seen.end(), n);
      QVERIFY2(missing == 0, qPrintable(QStringLiteral("%1: %2 lines missing").arg(where).arg(missing)));
    };
    check(PaneText(*w.main), "pane");
    check(QString::fromLatin1(Slurp(dir.path().toStdString() + "/session.log")), "session log");
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

  void sendingNeverWaitsForADeviceThatHoldsOff() {
    // 110 baud with XON/XOFF: the device sends XOFF and reads nothing.
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    kvl::TBaseform* f = w.main;
    f->Timer->stop();
    f->CBBaudrate->setCurrentText("110");
    f->ChBxOutX->setChecked(true);
    f->BtnCom[3]->click();
    QVERIFY(kvl::ComPort.Handle >= 0);
    // Held off once a write on the line no longer goes through.
    ::fcntl(com3.slave(), F_SETFL, ::fcntl(com3.slave(), F_GETFL) | O_NONBLOCK);
    auto holdOff = [&] {
      (void)!::write(com3.master(), "\x03", 1);  // XOFF (the default stop character)
      return WaitFor([&] {
        const bool held = ::write(com3.slave(), "z", 1) < 0 && errno == EAGAIN;
        com3.readAvailable();
        return held;
      });
    };
    QVERIFY(holdOff());
    f->ButtonReset->click();

    // The window answers its timer throughout.
    using Clock = std::chrono::steady_clock;
    Clock::time_point last = Clock::now();
    Clock::duration worst{};
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      worst = std::max(worst, now - last);
      last = now;
    });
    tick.start();
    std::string expected;
    for (int i = 0; i < 10; ++i) {
      const std::string text = std::to_string(i) + std::string(1997, char('a' + i)) + "\r\n";
      f->ComWriteText(text);
      QCoreApplication::processEvents();
      expected += text;
    }
    QVERIFY(f->comWaiting() > 0);
    QVERIFY(WaitFor([&] { return PaneText(*f).contains(" COM 3: the device is not taking data, "); }));
    QCOMPARE(PaneColourOf(*f, " COM 3: the device is not taking data"), QColor(128, 128, 128));
    (void)!::write(com3.master(), "\x02", 1);  // XON
    std::string got;
    QVERIFY(WaitFor([&] { got += com3.readAvailable(); return got.size() >= expected.size(); }, 20000));
    QVERIFY(got == expected);  // whole and in order
    QVERIFY(WaitFor([&] { return PaneText(*f).contains(" COM 3: the device takes data again, all sent"); }));
    tick.stop();
    QVERIFY2(worst < std::chrono::milliseconds(100),
             qPrintable(QString::number(std::chrono::duration<double, std::milli>(worst).count())));

    // Held off again: closing the port drops what waits and says how much.
    QVERIFY(holdOff());
    std::size_t left = 0;
    QVERIFY(WaitFor([&] {
      f->ComWriteText(std::string(2000, 'w'));
      left = f->comWaiting();
      return left > 0;
    }));
    f->ButtonReset->click();
    f->BtnCom[3]->click();
    QVERIFY(PaneText(*f).startsWith(QStringLiteral("\n COM 3: %1 bytes not sent, dropped\n COM 3 is closed\n").arg(left)));
  }

  void failedWritesAreSaidOncePerKindAndNoCommandGoesToNoPort() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    kvl::TBaseform* f = w.main;
    f->Timer->stop();
    f->ComWriteText("AT\r\n");  // no port open: not echoed as sent
    QCOMPARE(PaneText(*f), QStringLiteral(" COM not selected\n"));
    f->BtnCom[3]->click();
    f->ButtonReset->click();
    kvl::Os.write = [](int, const void*, size_t) -> ssize_t { return errno = EIO, -1; };
    f->ComWriteText("AT\r\n");
    f->ComWriteText("AT\r\n");
    kvl::Os.write = kvl::RealSerialOs().write;
    QCOMPARE(PaneText(*f), QStringLiteral("\nTo Com: AT\n\n COM 3: write failed: %1, 4 bytes not sent\n\nTo Com: AT\n")
                               .arg(QString::fromLocal8Bit(strerror(EIO))));
  }

  void aPulseTheDriverCountedIsShownOnThenOff() {
    // DCD goes on and off before the window looks: the lines read off as
    // before, the driver's count says two changes, and the panel shows
    // both, each for a turn of the event loop of its own.
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    kvl::TBaseform* f = w.main;
    f->Timer->stop();
    QVERIFY(::pipe(gGate) == 0);
    gDcdChanges = 0;
    gLineWaits = 0;
    kvl::Os.lineCounts = CountedLines;
    kvl::Os.waitLineChange = GatedLineWait;
    f->BtnCom[3]->click();
    QVERIFY(WaitFor([] { return gLineWaits == 1; }));
    std::string seen;
    QString shown = f->panelText(0);
    struct Watch : QObject {
      std::function<void()> note;
      bool eventFilter(QObject*, QEvent*) override {
        note();
        return false;
      }
    } watch;
    watch.note = [&] {
      if (f->panelText(0) != shown) seen += f->panelText(0).isEmpty() ? '0' : '1';
      shown = f->panelText(0);
    };
    qApp->installEventFilter(&watch);
    gDcdChanges += 2;
    QVERIFY(::write(gGate[1], "g", 1) == 1);
    QVERIFY(WaitFor([&] { return seen == "10"; }));
    qApp->removeEventFilter(&watch);
    QCOMPARE(f->panelText(0), QString());
    f->BtnCom[3]->click();  // closing ends the watcher's wait
    kvl::Os.lineCounts = kvl::RealSerialOs().lineCounts;
    kvl::Os.waitLineChange = kvl::RealSerialOs().waitLineChange;
    ::close(gGate[0]);
    ::close(gGate[1]);
  }

  void scanLeavesPortsOfOtherProgramsAlone() {
    // COM1 is free; another program holds COM2 without any lock, and COM3
    // with the exclusive flag set.
    Pty com1, com2, com3;
    Holder plain(com2.path());
    Holder exclusive(com3.path(), true);
    QVERIFY(plain.ready() && exclusive.ready());
    std::mt19937 rng(12);
    std::string sent2, sent3;
    auto feed = [&] {
      const std::string a = Random(rng, 700), b = Random(rng, 700);
      com2.write(a);
      com3.write(b);
      sent2 += a;
      sent3 += b;
    };
    feed();
    WorkDir dir({{1, com1.path()}, {2, com2.path()}, {3, com3.path()}});
    Windows w;  // the start-up probe
    w.main->Timer->stop();
    for (int tick = 0; tick < 3 * 16; ++tick) {  // three rounds of the scan
      feed();
      w.main->cNewComPort();
    }
    const Holder::Report got2 = plain.finish(sent2.size());
    const Holder::Report got3 = exclusive.finish(sent3.size());
    QCOMPARE(got2.count, std::uint64_t(sent2.size()));
    QCOMPARE(got2.checksum, Fnv(sent2));
    QCOMPARE(got3.count, std::uint64_t(sent3.size()));
    QCOMPARE(got3.checksum, Fnv(sent3));
    QCOMPARE(got3.exclusive, 1);

    QVERIFY(w.main->BtnCom[1]->isEnabled());
    for (int n : {2, 3}) {
      QVERIFY(!w.main->BtnCom[size_t(n)]->isEnabled());
      const QStringList hint = w.main->BtnCom[size_t(n)]->toolTip().split(QLatin1Char('\n'));
      QCOMPARE(hint.value(0), QString::fromStdString(n == 2 ? com2.path() : com3.path()));
      QVERIFY2(hint.value(1).startsWith(QStringLiteral("in use by ")), qPrintable(hint.value(1)));
      QVERIFY2(hint.value(1).endsWith(QStringLiteral("(pid %1)").arg(n == 2 ? plain.pid() : exclusive.pid())),
               qPrintable(hint.join('|')));
    }
    QCOMPARE(w.main->BtnCom[1]->toolTip(), QString::fromStdString(com1.path()));
  }

  void permissionIsExplainedInTheHintAndOnceInThePane() {
    Pty com5;
    // A group other than root may read and write the node: joining it is
    // the advice (the plain test has the other cases).
    QCOMPARE(::chown(com5.path().c_str(), uid_t(-1), ::geteuid() == 0 ? 20 : ::getegid()), 0);
    QCOMPARE(::chmod(com5.path().c_str(), 0660), 0);
    ScratchTree tree;
    // The device is an adapter in a sysfs of the test's own, with a stable name.
    const std::string usb = tree.dir("sys/devices/usb1/1-1");
    Spit(usb + "/manufacturer", "Maker\n");
    Spit(usb + "/product", "<b>Cable</b>\n");  // what an adapter reports is data, not markup
    Spit(usb + "/serial", "7\n");
    Spit(usb + "/idVendor", "1234\n");
    Spit(usb + "/idProduct", "abcd\n");
    const std::string tty = tree.dir("sys/class/tty/" + kvl::DeviceName(com5.path()));
    std::filesystem::create_symlink(tree.dir("sys/devices/usb1/1-1/1-1:1.0"), tty + "/device");
    const std::string byId = tree.dir("by-id") + "/usb-Maker_Cable_7-if00";
    std::filesystem::create_symlink(com5.path(), byId);
    kvl::PortUsePlaces places;
    places.lockDirs = {TestLockDir()};
    places.sys = tree.root() + "/sys";
    places.byId = tree.root() + "/by-id";
    kvl::SetPortUsePlaces(places);
    gDenied = com5.path();
    kvl::Os.open = DenyOpen;

    WorkDir dir({{5, com5.path()}});
    Windows w;
    w.main->Timer->stop();
    for (int tick = 0; tick < 16; ++tick) w.main->cNewComPort();
    QVERIFY(!w.main->BtnCom[5]->isEnabled());
    struct stat node {};
    QCOMPARE(::stat(com5.path().c_str(), &node), 0);
    const QString group = QString::fromStdString(kvl::Os.groupName(node.st_gid));
    const QString reason = QStringLiteral("no permission: add your user to the group %1 (sudo adduser $USER %1) "
                                          "and log in again").arg(group);
    const QString adapter = QStringLiteral("Maker <b>Cable</b>, serial 7, 1234:abcd");
    const QString path = QString::fromStdString(com5.path());
    QCOMPARE(w.main->BtnCom[5]->toolTip(), QStringList({path, reason, adapter, QString::fromStdString(byId)}).join('\n'));
    QVERIFY(!Qt::mightBeRichText(w.main->BtnCom[5]->toolTip()));
    // Said once in the pane, in grey, though the start-up probe and the scan both met it.
    QCOMPARE(PaneText(*w.main), QStringLiteral(" COM 5: ") + reason + QStringLiteral("\n"));
    QCOMPARE(PaneColourOf(*w.main, reason), QColor(0x80, 0x80, 0x80));

    kvl::Os = kvl::RealSerialOs();
    for (int tick = 0; tick < 16; ++tick) w.main->cNewComPort();
    QVERIFY(w.main->BtnCom[5]->isEnabled());
    QCOMPARE(w.main->BtnCom[5]->toolTip(), QStringList({path, adapter, QString::fromStdString(byId)}).join('\n'));
    UseTestPlaces();
  }

  void lockFileLivesWhileThePortIsOpenAndGoesWithAStopSignal() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    const std::string lock = TestLockDir() + "/LCK.." + kvl::DeviceName(com3.path());
    char ours[16];
    std::snprintf(ours, sizeof ours, "%10d\n", int(getpid()));
    kvl::ResetProgramState();
    auto program = std::make_unique<kvl::Application>();
    kvl::TBaseform& f = *program->mainWindow();
    f.BtnCom[3]->click();
    QCOMPARE(kvl::ActiveLink, 3);
    QCOMPARE(Slurp(lock), std::string(ours));
    f.BtnCom[3]->click();  // closed by its button
    QVERIFY(!std::filesystem::exists(lock));
    f.BtnCom[3]->click();
    QCOMPARE(Slurp(lock), std::string(ours));

    // SIGTERM ends the program as closing the window does.
    bool timedOut = false;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
      timedOut = true;
      QCoreApplication::quit();
    });
    guard.start(20000);
    QTimer::singleShot(0, &f, [] { ::raise(SIGTERM); });
    QCoreApplication::exec();
    QVERIFY(!timedOut);
    program.reset();
    QVERIFY(!std::filesystem::exists(lock));
    kvl::ResetProgramState();
  }

  void pulledAdapterClosesItsPortWhoeverOwnsTheDevice() {
    auto com3 = std::make_unique<Pty>();
    auto com4 = std::make_unique<Pty>();
    WorkDir dir({{3, com3->path()}, {4, com4->path()}}, FirstRunSections() + "[Log]\r\nFile:=session.log\r\n");
    Listener device;
    Windows w;
    w.main->Timer->stop();

    // The TCP link connected over an open port: the pulled port goes, the
    // TCP link keeps the device and the port buttons stay off.
    w.main->BtnCom[3]->click();
    QVERIFY(ConnectLoopback(*w.main, device, FreeLoopbackPorts(1)));
    com3.reset();
    QVERIFY(WaitFor([] { return kvl::ComPort.Handle < 0; }));
    QVERIFY(PaneText(*w.main).endsWith(QStringLiteral(" COM 3 is closed\n")));
    QCOMPARE(kvl::ActiveLink, 0);
    for (int n = 1; n <= 16; ++n) QVERIFY(!w.main->BtnCom[size_t(n)]->isEnabled() && !w.main->BtnCom[size_t(n)]->isChecked());
    QVERIFY(AllEnabled(w.main->NetCommandControls, true));
    QCOMPARE(w.main->panelText(8), QStringLiteral(" COM not selected"));
    // Neither link left: the session log is closed, so the next link's
    // header goes where the settings name the log now.
    w.main->ChBxS1Conn->setChecked(false);
    device.closeClient();
    QVERIFY(!w.main->sessionLog().isOpen());
    QCOMPARE(kvl::ActiveLink, -1);

    // The TCP link came and went over an open port: the pulled port is
    // closed as its button would close it.
    for (int tick = 0; tick < 16; ++tick) w.main->cNewComPort();
    w.main->BtnCom[4]->click();
    QCOMPARE(kvl::ActiveLink, 4);
    w.main->ChBxIniNet->setChecked(false);
    w.main->ChBxIniNet->setChecked(true);  // enables "Connect" over the open port
    QVERIFY(ConnectLoopback(*w.main, device, FreeLoopbackPorts(1)));
    w.main->ChBxS1Conn->setChecked(false);
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(kvl::ComPort.Handle >= 0);
    com4.reset();
    QVERIFY(WaitFor([] { return kvl::ComPort.Handle < 0; }));
    QVERIFY(PaneText(*w.main).endsWith(QStringLiteral(" COM 4 is closed\n COM not selected\n")));
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(AllEnabled(w.main->SerialCommandControls, false));
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
