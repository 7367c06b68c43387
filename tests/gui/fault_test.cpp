// A misbehaving device: floods, pulled cables, resets, long lines, every
// byte value. Nothing may be lost and the window must keep working.
#include <poll.h>
#include <unistd.h>

#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <thread>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "serial/uCom.h"

using namespace kvltest;

namespace {

std::string EveryByte() {
  std::string s;
  for (int b = 0; b < 256; ++b) s += char(b);
  return s;
}

std::string HexOf(const std::string& s) {
  static const char d[] = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

}  // namespace

class FaultTest : public QObject {
  Q_OBJECT

 private slots:
  void deviceVanishesInTheMiddleOfAFlood() {
    auto com3 = std::make_unique<Pty>();
    Pty com4;
    WorkDir dir({{3, com3->path()}, {4, com4.path()}});
    Windows w;
    w.main->Timer->stop();
    w.main->BtnCom[3]->click();
    // The device floods from its own thread and is pulled while sending.
    const int master = com3->master();
    std::atomic<bool> stop{false};
    std::thread device([&] {
      const std::string block(4096, 'z');
      while (!stop) {
        if (::write(master, block.data(), block.size()) < 0 && errno != EAGAIN) break;
      }
    });
    QVERIFY(WaitFor([] { return kvl::RxText.size() > 200000; }, 20000));
    stop = true;
    device.join();
    com3.reset();
    QVERIFY(WaitFor([] { return kvl::ActiveLink == -1; }, 10000));
    QVERIFY(kvl::ComPort.Handle < 0);
    // What arrived is intact, and the window goes on with another port.
    QVERIFY(kvl::RxText.find_first_not_of('z') == std::string::npos);
    w.main->BtnCom[4]->click();
    QCOMPARE(kvl::ActiveLink, 4);
    com4.write("alive\r\n");
    QVERIFY(WaitFor([] { return kvl::RxText.find("alive\r\n") != std::string::npos; }));
  }

  void tenMegabytesWithoutALineBreak() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->Timer->stop();
    w.main->BtnCom[3]->click();
    w.main->ButtonReset->click();
    kvl::RxText.clear();
    const std::string line(10 * 1000 * 1000, 'L');
    const int master = com3.master();
    std::thread device([&] {
      // The device's own thread: it waits for the line, never for the window.
      size_t done = 0;
      while (done < line.size()) {
        pollfd p{master, POLLOUT, 0};
        ::poll(&p, 1, 1000);
        const ssize_t n = ::write(master, line.data() + done, line.size() - done);
        if (n > 0) done += size_t(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      }
    });
    QVERIFY(WaitFor([&] { return w.main->cRichEd->content().size() >= line.size(); }, 60000));
    device.join();
    // The pane holds the whole line; the parser's batch its newest part.
    QCOMPARE(w.main->cRichEd->content().size(), line.size());
    QVERIFY(kvl::RxText.size() >= kvl::kRxTextKeep && kvl::RxText.size() <= 2 * kvl::kRxTextKeep);
    QVERIFY(kvl::RxText.find_first_not_of('L') == std::string::npos);
    QVERIFY(w.main->cRichEd->content().rowCount() > 1);  // shown in rows, stored whole
    QCOMPARE(w.main->cRichEd->toPlainText().count(QLatin1Char('\n')), 0);
  }

  void everyByteValueOverTheSerialLink() {
    Pty com3;
    WorkDir dir({{3, com3.path()}});
    Windows w;
    w.main->Timer->stop();
    w.main->ChBxVhex->setChecked(true);
    w.main->BtnCom[3]->click();
    w.main->ButtonReset->click();
    kvl::RxText.clear();
    const std::string all = EveryByte();
    com3.write(all);
    const std::string shown = all.substr(10);  // bytes 0 to 9 are left out of the text
    QVERIFY(WaitFor([&] { return kvl::RxText.size() >= shown.size(); }));
    QCOMPARE(kvl::RxText, shown);
    QVERIFY(WaitFor([&] { return PaneText(*w.main, true).remove('\n').size() >= 512; }));
    QCOMPARE(PaneText(*w.main, true).remove('\n').toStdString(), HexOf(all));
    // Text that looks like markup is shown as it is.
    com3.write("<b>bold</b> &amp; <i>\r\n");
    QVERIFY(WaitFor([&] { return PaneText(*w.main).contains("<b>bold</b> &amp; <i>"); }));
  }

  void everyByteValueAndAResetOverTcp() {
    WorkDir dir;
    Windows w;
    w.main->Timer->stop();
    w.main->ChBxVhex->setChecked(true);
    CaptureReporter errors;
    Listener device;
    QVERIFY(ConnectLoopback(*w.main, device, FreeLoopbackPorts(1)));
    kvl::RxText.clear();
    w.main->ButtonReset->click();
    const std::string all = EveryByte();
    device.send(all);
    QVERIFY(WaitFor([&] { return kvl::RxText.size() >= all.size(); }));
    QCOMPARE(kvl::RxText, all);  // the TCP path keeps every byte
    QCOMPARE(PaneText(*w.main, true).remove('\n').toStdString(), HexOf(all));
    // The text pane shows every byte but NUL, whatever zero bytes the block
    // holds.
    QVERIFY2(PaneText(*w.main).contains("0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"), qPrintable(PaneText(*w.main)));
    // The device resets the connection in the middle of a block.
    device.send(std::string(3000, 'r'));
    device.resetClient();
    QVERIFY(WaitFor([&] { return !w.main->ChBxS1Conn->isChecked(); }));
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(PaneText(*w.main).contains("Sock1 -> CLOSE"));
    // Whatever the reset cost is reported, nothing else.
    for (const QString& box : errors.boxes) QVERIFY2(box.contains(QString::fromUtf8("Ошибка при получении сообщения")), qPrintable(box));
  }
};

QTEST_MAIN(FaultTest)
#include "fault_test.moc"
