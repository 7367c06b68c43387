// The TCP link of the main window against a listener of the test's own on
// 127.0.0.1: choosing the local address, connecting from it with the source
// port of the field, the link's reports, the controls it switches, sending,
// receiving, the peer closing or resetting, and every refusal of an attempt.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QFile>
#include <QTest>
#include <QTimer>
#include <cstring>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "ui/QtText.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "net/NetLink.h"
#include "net/NetOs.h"

using namespace kvltest;

namespace {

const QColor kNavyColour(0, 0, 128);
const QColor kGreyColour(128, 128, 128);

QString Ru(const char* utf8) { return QString::fromUtf8(utf8); }

// The port the accepted connection comes from, as the listener sees it.
int PeerPort(const Listener& l) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(l.client(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
  return ntohs(a.sin_port);
}

std::string PeerAddress(const Listener& l) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getpeername(l.client(), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

// The controls of the one-click group that only an open serial port enables.
QStringList SerialOnlyNames() {
  QStringList out;
  for (const kvl::GroupControl& row : kvl::OneClickGroup())
    if (!(row.sets & kvl::kNetSet)) out << kvl::FromCp1251(row.name);
  return out;
}

// Handles whatever is pending now, without waiting for anything new.
void Settle() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
}

// The error a faked system call of the link reports.
int gFakeError = 0;

// Puts a failing call in place of one entry of the link's OS table.
void FailCall(const QString& call) {
  kvl::NetOs& os = kvl::SockOs;
  if (call == "socket")
    os.socket = [](int, int, int) { return errno = gFakeError, -1; };
  else if (call == "bind")
    os.bind = [](int, const sockaddr*, socklen_t) { return errno = gFakeError, -1; };
  else if (call == "fcntl")
    os.fcntl = [](int, int, int) { return errno = gFakeError, -1; };
  else if (call == "connect")
    os.connect = [](int, const sockaddr*, socklen_t) { return errno = gFakeError, -1; };
  else if (call == "send")
    os.send = [](int, const void*, size_t, int) { return errno = gFakeError, ssize_t(-1); };
  else if (call == "recv")
    os.recv = [](int, void*, size_t, int) { return errno = gFakeError, ssize_t(-1); };
}

}  // namespace

class NetTest : public QObject {
  Q_OBJECT
  std::unique_ptr<WorkDir> dir;
  std::unique_ptr<CaptureReporter> reporter;
  std::unique_ptr<Windows> w;
  kvl::TBaseform* f = nullptr;

  // Ticks "Check Net" and chooses 127.0.0.1.
  void chooseLoopback() {
    f->ChBxIniNet->setChecked(true);
    QListWidgetItem* line = AddressLine(*f, "127.0.0.1");
    QVERIFY(line);
    line->setCheckState(Qt::Checked);
    QVERIFY(f->LocalAddrChosen);
  }

 private slots:
  void init() {
    dir = std::make_unique<WorkDir>(std::map<int, std::string>{}, FirstRunSections());
    reporter = std::make_unique<CaptureReporter>();
    w = std::make_unique<Windows>();
    f = w->main;
    f->Timer->stop();  // no scan and no countdown behind the test's back
    f->FormActivate();  // the fields as the first showing fills them
    QCOMPARE(f->EdtSPort->text(), QStringLiteral("10000"));
  }
  void cleanup() {
    kvl::SockOs = kvl::RealNetOs();
    w.reset();
    reporter.reset();
    dir.reset();
    f = nullptr;
  }

  void checkNetListsAddressesAndChoosingKeepsOnlyTheChosenLine() {
    QVERIFY(!f->ChBxS1Conn->isEnabled());
    f->ChBxIniNet->setChecked(true);
    QVERIFY(f->ChBxS1Conn->isEnabled());
    const int lines = f->ChBxIPs->count();
    QVERIFY(AddressLine(*f, "127.0.0.1"));
    for (int i = 0; i < lines; ++i) {
      QCOMPARE(f->ChBxIPs->item(i)->checkState(), Qt::Unchecked);
      QVERIFY(!f->ChBxIPs->item(i)->text().isEmpty());
    }
    QVERIFY(!f->LocalAddrChosen);

    f->EdtSPort->setText("5000");
    AddressLine(*f, "127.0.0.1")->setCheckState(Qt::Checked);
    QVERIFY(f->LocalAddrChosen);
    QCOMPARE(f->ChBxIPs->count(), lines);
    QStringList texts;
    for (int i = 0; i < lines; ++i) texts << f->ChBxIPs->item(i)->text();
    QCOMPARE(texts.count("127.0.0.1"), 1);
    QCOMPARE(texts.count(QString()), lines - 1);
    QCOMPARE(f->LocalAddr.sin_family, sa_family_t(AF_INET));
    QCOMPARE(f->LocalAddr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    QCOMPARE(ntohs(f->LocalAddr.sin_port), std::uint16_t(5000));
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
    QVERIFY(PaneText(*f).isEmpty());

    // The next tick, whatever line, un-chooses; "Check Net" again refills.
    AddressLine(*f, "127.0.0.1")->setCheckState(Qt::Unchecked);
    QVERIFY(!f->LocalAddrChosen);
    f->ChBxIniNet->setChecked(false);
    QVERIFY(!f->ChBxS1Conn->isEnabled());
    f->ChBxIniNet->setChecked(true);
    QCOMPARE(f->ChBxIPs->count(), lines);
    for (int i = 0; i < lines; ++i) QVERIFY(!f->ChBxIPs->item(i)->text().isEmpty());
  }

  void connectBindsTheChosenAddressAndAdvancesTheSourcePort() {
    Listener l;
    const int first = FreeLoopbackPorts(3, 5000);
    const QString lport = QString::number(l.port());
    QVERIFY(ConnectLoopback(*f, l, first));
    QCOMPARE(PeerAddress(l), std::string("127.0.0.1"));
    QCOMPARE(PeerPort(l), first);
    QCOMPARE(f->EdtSPort->text(), QString::number(first + 1));

    const QString bound = QString("\r\nClient bound IP 127.0.0.1 Port %1\r\n").arg(first);
    const QString connecting = Ru("Попытка подключения к серверу 1: - ОЖИДАЙТЕ!!!\r\n");
    const QString connected = "Connect to IP 127.0.0.1 Port " + lport + "\r\n";
    QCOMPARE(PaneText(*f), QString(bound + connecting + connected).replace("\r\n", "\n"));
    QCOMPARE(PaneColourOf(*f, bound), kNavyColour);
    QCOMPARE(PaneColourOf(*f, connecting), kGreyColour);
    QCOMPARE(PaneColourOf(*f, connected), kNavyColour);
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));

    // Each new attempt takes the number shown and advances it again.
    for (int attempt = 1; attempt <= 2; ++attempt) {
      f->ChBxS1Conn->setChecked(false);
      QVERIFY(WaitPeerClosed(l));
      QCOMPARE(f->ClientSock, 0);
      QCOMPARE(kvl::ActiveLink, -1);
      QVERIFY(ConnectLoopback(*f, l));
      QCOMPARE(PeerPort(l), first + attempt);
      QCOMPARE(f->EdtSPort->text(), QString::number(first + attempt + 1));
      QCOMPARE(PaneColourOf(*f, QString("\r\nClient bound IP 127.0.0.1 Port %1\r\n").arg(first + attempt)),
               kNavyColour);
    }
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
  }

  void connectedLinkOwnsTheDeviceAndSwitchesTheControls() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    QCOMPARE(kvl::ActiveLink, 0);
    for (int n = 1; n <= 16; ++n) QVERIFY2(!f->BtnCom[size_t(n)]->isEnabled(), qPrintable(QString::number(n)));
    for (QWidget* c : f->NetCommandControls) QVERIFY2(c->isEnabled(), qPrintable(c->objectName()));
    // No serial port was open: the serial-only commands stay disabled.
    for (const QString& name : SerialOnlyNames()) {
      auto* c = f->findChild<QWidget*>(name);
      QVERIFY2(c && !c->isEnabled(), qPrintable(name));
    }
  }

  void sentTextArrivesWithThePromptAndIsEchoed_data() {
    QTest::addColumn<QByteArray>("text");  // Windows-1251 bytes
    QTest::addColumn<bool>("routed");      // through the routing rule, else SockSendText
    QTest::newRow("plain") << QByteArray("MyBaudRate") << false;
    QTest::newRow("routed with line end") << QByteArray("MyV=7\r\n") << true;
    QTest::newRow("empty: the prompt alone") << QByteArray() << false;
    QTest::newRow("cyrillic bytes") << QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2") << true;
  }
  void sentTextArrivesWithThePromptAndIsEchoed() {
    QFETCH(QByteArray, text);
    QFETCH(bool, routed);
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    const std::string bytes = text.toStdString();
    if (routed) f->RouteCommand(bytes);
    else f->SockSendText(bytes);
    const std::string wire = "cKVL>" + bytes;
    // A marker sent afterwards shows where the first text ends.
    f->SockSendText("#");
    QCOMPARE(l.readUntil("cKVL>#"), wire + "cKVL>#");
    const QString echo = Ru("Отправка данных серверу: ") + kvl::FromCp1251(wire) + "\r\n";
    QVERIFY(PaneText(*f).endsWith(QString(echo + Ru("Отправка данных серверу: cKVL>#\r\n")).replace("\r\n", "\n")));
    QCOMPARE(PaneColourOf(*f, echo), kGreyColour);
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
  }

  void sendingWithConnectUncheckedDoesNothing() {
    f->SockSendText("APN1");
    QVERIFY(PaneText(*f).isEmpty());
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
  }

  void receivedDataReachThePanesAndTheParser_data() {
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("hexShown");
    QTest::newRow("OK, hex on") << QByteArray("OK\r") << true << "OK\n" << "4F4B0D\n";
    QTest::newRow("OK, hex off") << QByteArray("OK\r") << false << "OK\n" << "";
    QTest::newRow("zero byte inside, hex on")
        << QByteArray("AB\0CD\n", 6) << true << "ABCD\n" << "41420043440A\n";
    QTest::newRow("zero bytes inside, hex off") << QByteArray("\0AB\0\0CD\n\0", 9) << false << "ABCD\n" << "";
    QTest::newRow("low bytes are not dropped")
        << QByteArray("\x01\x09x", 3) << true << QString("\x01\x09x") << "010978\n";
    QTest::newRow("cyrillic") << QByteArray("\xCE\xCA") << true << Ru("ОК") << "CECA\n";
  }
  void receivedDataReachThePanesAndTheParser() {
    QFETCH(QByteArray, block);
    QFETCH(bool, hex);
    QFETCH(QString, shown);
    QFETCH(QString, hexShown);
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    f->ChBxVhex->setChecked(hex);
    const QString before = PaneText(*f);
    kvl::RxText.clear();
    kvl::RxQuietTicks = 0;
    l.send(block.toStdString());
    QVERIFY(WaitFor([&] { return kvl::RxText.size() >= size_t(block.size()); }));
    QCOMPARE(kvl::RxText, block.toStdString());
    QCOMPARE(kvl::RxQuietTicks, std::uint8_t(3));
    QCOMPARE(PaneText(*f), before + shown);
    QCOMPARE(PaneColourOf(*f, shown), kNavyColour);
    QCOMPARE(PaneText(*f, true), hexShown);
    if (hex) QCOMPARE(PaneColourOf(*f, hexShown, true), kGreyColour);
  }

  void greetingSentAtOnceFollowsTheConnectedReport() {
    Listener l;
    f->EdtSPort->setText(QString::number(FreeLoopbackPorts(1)));
    chooseLoopback();
    f->edtRHost->setText("127.0.0.1");
    f->EdtRPort->setText(QString::number(l.port()));
    f->ChBxS1Conn->setChecked(true);
    QVERIFY(l.accept());
    l.send("HELLO\r\n");
    QVERIFY(WaitFor([&] { return kvl::RxText == "HELLO\r\n"; }));
    QVERIFY2(PaneText(*f).endsWith(QString("Connect to IP 127.0.0.1 Port %1\nHELLO\n").arg(l.port())),
             qPrintable(PaneText(*f)));
    QVERIFY(reporter->boxes.isEmpty());
  }

  void aBurstLargerThanOneReadArrivesWhole() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    kvl::RxText.clear();
    std::string burst;
    for (int i = 0; i < 10000; ++i) burst += char('a' + i % 26);
    l.send(burst);
    QVERIFY(WaitFor([&] { return kvl::RxText.size() >= burst.size(); }));
    QCOMPARE(kvl::RxText, burst);
    QVERIFY(PaneText(*f).endsWith(QString::fromStdString(burst)));
  }

  void deviceClosingEndsTheLink() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    l.send("bye\r\n");
    QVERIFY(WaitFor([&] { return kvl::RxText == "bye\r\n"; }));
    l.closeClient();
    QVERIFY(WaitFor([&] { return !f->ChBxS1Conn->isChecked(); }));
    QVERIFY(PaneText(*f).endsWith("bye\nSock1 -> CLOSE"));
    QCOMPARE(PaneColourOf(*f, "Sock1 -> CLOSE"), kNavyColour);
    QCOMPARE(kvl::ActiveLink, -1);
    QCOMPARE(f->ClientSock, 0);
    for (QWidget* c : f->NetCloseControls) QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
    // The port buttons wait for the port scan.
    for (int n = 1; n <= 16; ++n) QVERIFY(!f->BtnCom[size_t(n)]->isEnabled());
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
    // Nothing more happens afterwards.
    Settle();
    QVERIFY(PaneText(*f).endsWith("Sock1 -> CLOSE"));
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
  }

  void deviceResettingEndsTheLink() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    l.send("half");
    QVERIFY(WaitFor([&] { return kvl::RxText == "half"; }));
    l.resetClient();
    QVERIFY(WaitFor([&] { return !f->ChBxS1Conn->isChecked(); }));
    QVERIFY(WaitFor([&] { return PaneText(*f).endsWith("Sock1 -> CLOSE"); }));
    QCOMPARE(kvl::ActiveLink, -1);
    QCOMPARE(f->ClientSock, 0);
    for (QWidget* c : f->NetCloseControls) QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
    // The failed read is reported once, with the system's text.
    QCOMPARE(reporter->boxes,
             QStringList{Ru("Ошибка при получении сообщения: ") + QString::fromUtf8(strerror(ECONNRESET)) + "\r\n"});
  }

  void refusedConnectionIsReportedInThePane() {
    // Repeated: the outcome must not depend on which readiness the system
    // reports first.
    chooseLoopback();
    f->edtRHost->setText("127.0.0.1");
    // Each attempt binds the next source port: all twenty must be free.
    f->EdtSPort->setText(QString::number(FreeLoopbackPorts(20)));
    QList<bool> buttons;
    for (int n = 1; n <= 16; ++n) buttons << f->BtnCom[size_t(n)]->isEnabled();
    const QString failed = Ru("Ошибка при установлении подключения: \r\n") +
                           QString::fromUtf8(strerror(ECONNREFUSED)) + "\r\n";
    for (int attempt = 0; attempt < 20; ++attempt) {
      f->EdtRPort->setText(QString::number(UnusedLoopbackPort()));
      f->cRichEd->clearPane();
      f->ChBxS1Conn->setChecked(true);
      QVERIFY2(WaitFor([&] { return !f->ChBxS1Conn->isChecked(); }),
               qPrintable(PaneText(*f) + " | " + reporter->boxes.join('|')));
      QVERIFY2(PaneText(*f).endsWith(QString(failed).replace("\r\n", "\n")), qPrintable(PaneText(*f)));
      QCOMPARE(PaneColourOf(*f, failed), kNavyColour);
      QCOMPARE(f->ClientSock, 0);
      QCOMPARE(kvl::ActiveLink, -1);
      QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join('|')));
    }
    // Let any late event of the last attempt through: it must change nothing.
    Settle();
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
    QList<bool> after;
    for (int n = 1; n <= 16; ++n) after << f->BtnCom[size_t(n)]->isEnabled();
    QCOMPARE(after, buttons);
  }

  void failingSystemCallsGiveTheLinksTexts_data() {
    // The step at which the call fails: "check net" ticks "Check Net";
    // "connect" checks "Connect"; "send" and "receive" happen on a
    // connected link.
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<bool>("inPane");
    QTest::newRow("probe socket") << "socket" << EMFILE << "check net"
                                  << Ru("Ошибка при создании отправляющего сокета:\r\n") << false;
    QTest::newRow("client socket") << "socket" << ENOBUFS << "connect"
                                   << Ru("Ошибка при создании TCP сокета 1:\r\n") << false;
    QTest::newRow("bind") << "bind" << EADDRINUSE << "connect"
                          << Ru("Ошибка при привязке Tcp сокета к адресу:\r\n") << false;
    QTest::newRow("non-blocking") << "fcntl" << EBADF << "connect"
                                  << Ru("Ошибка при переводе сокета в неблокирующий режим:\r\n")
                                  << false;
    QTest::newRow("connect") << "connect" << ENETUNREACH << "connect"
                             << Ru("Ошибка при установлении подключения: \r\n") << true;
    QTest::newRow("connect, source port held") << "connect" << EADDRNOTAVAIL << "connect"
                                               << Ru("Ошибка при установлении подключения: \r\n") << true;
    QTest::newRow("send") << "send" << EPIPE << "send"
                          << Ru("Ошибка при отправке данных серверу: \r\n") << false;
    QTest::newRow("receive") << "recv" << ECONNRESET << "receive"
                             << Ru("Ошибка при получении сообщения: ") << false;
  }
  void failingSystemCallsGiveTheLinksTexts() {
    QFETCH(QString, call);
    QFETCH(int, error);
    QFETCH(QString, step);
    QFETCH(QString, prefix);
    QFETCH(bool, inPane);
    QString expected = prefix + QString::fromUtf8(strerror(error)) + "\r\n";
    gFakeError = error;
    Listener listener;
    const int sourcePort = FreeLoopbackPorts(1);
    if (step == "check net") {
      FailCall(call);
      f->ChBxIniNet->setChecked(true);
    } else if (step == "connect") {
      chooseLoopback();
      f->edtRHost->setText("127.0.0.1");
      f->EdtRPort->setText(QString::number(listener.port()));
      f->EdtSPort->setText(QString::number(sourcePort));
      FailCall(call);
      f->ChBxS1Conn->setChecked(true);
      Settle();
      // The controls match the link: nothing connected, "Connect" unchecked
      // so that the next check tries again.
      QVERIFY(!f->ChBxS1Conn->isChecked());
      QCOMPARE(f->ClientSock, 0);
    } else {
      QVERIFY(ConnectLoopback(*f, listener, FreeLoopbackPorts(1)));
      FailCall(call);
      if (step == "send") {
        f->oneClickButton(kvl::OneClick::Restart)->click();
      } else {
        listener.send("OK\r\n");
        QVERIFY(WaitFor([&] { return !reporter->boxes.isEmpty(); }));
        // The link ends as after a close event.
        QVERIFY(WaitFor([&] { return !f->ChBxS1Conn->isChecked(); }));
        QCOMPARE(kvl::ActiveLink, -1);
      }
    }
    if (inPane) {
      QCOMPARE(PaneColourOf(*f, expected), kNavyColour);
      const std::string note = kvl::ConnectFailureNote(error, std::uint16_t(sourcePort));
      if (!note.empty()) QCOMPARE(PaneColourOf(*f, kvl::FromCp1251(note)), kGreyColour);
      expected += kvl::FromCp1251(note);
      QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join('|')));
      QVERIFY2(PaneText(*f).endsWith(QString(expected).replace("\r\n", "\n")), qPrintable(PaneText(*f)));
    } else {
      QCOMPARE(reporter->boxes, QStringList{expected});
    }
  }

  void refusedFieldsStopOrContinueTheAttempt_data() {
    QTest::addColumn<QString>("sourcePort");  // empty: a free port
    QTest::addColumn<QString>("remoteHost");
    QTest::addColumn<QString>("remotePort");  // "<listener>": the listener's port
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("sourceAfter");  // "<next>": the free port plus one
    const QString range = Ru("Номер порта должен лежать в диапазоне 1-65535");
    QTest::newRow("remote port 0") << "" << "127.0.0.1" << "0" << range << "<next>";
    QTest::newRow("remote port 70000") << "" << "127.0.0.1" << "70000" << range << "<next>";
    QTest::newRow("remote port negative") << "" << "127.0.0.1" << "-1" << range << "<next>";
    QTest::newRow("source port 0") << "0" << "127.0.0.1" << "<listener>" << range << "1";
    QTest::newRow("source port 65536") << "65536" << "127.0.0.1" << "<listener>" << range << "65537";
    QTest::newRow("host name") << "" << "localhost" << "<listener>"
                               << Ru("Синтаксическая ошибка в IP-адресе") << "<next>";
  }
  void refusedFieldsStopOrContinueTheAttempt() {
    QFETCH(QString, sourcePort);
    QFETCH(QString, remoteHost);
    QFETCH(QString, remotePort);
    QFETCH(QString, box);
    QFETCH(QString, sourceAfter);
    Listener l;
    chooseLoopback();
    const int free = FreeLoopbackPorts(1);
    f->EdtSPort->setText(sourcePort.isEmpty() ? QString::number(free) : sourcePort);
    f->edtRHost->setText(remoteHost);
    f->EdtRPort->setText(remotePort == "<listener>" ? QString::number(l.port()) : remotePort);
    f->ChBxS1Conn->setChecked(true);
    QCOMPARE(reporter->boxes, QStringList{box});
    QCOMPARE(f->EdtSPort->text(), sourceAfter == "<next>" ? QString::number(free + 1) : sourceAfter);
    // The attempt stopped before connecting: no notice, nothing accepted.
    QVERIFY(!PaneText(*f).contains(Ru("Попытка подключения")));
    QVERIFY(!l.accept(200));
    // The attempt released its socket and unchecked "Connect".
    QVERIFY(!f->ChBxS1Conn->isChecked());
    QCOMPARE(f->ClientSock, 0);
    QCOMPARE(kvl::ActiveLink, -1);
    // A corrected attempt works.
    reporter->boxes.clear();
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
  }

  void remotePortNotANumberGoesOnWithThePreviousPort() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    f->ChBxS1Conn->setChecked(false);
    QVERIFY(WaitPeerClosed(l));
    f->EdtSPort->setText(QString::number(FreeLoopbackPorts(1)));
    f->EdtRPort->setText("abc");
    f->ChBxS1Conn->setChecked(true);
    QCOMPARE(reporter->boxes, QStringList{Ru("\"abc\" не является целым числом")});
    QVERIFY(l.accept());
    QVERIFY(WaitFor([&] { return PaneText(*f).count("Connect to IP ") == 2; }));
    QVERIFY(PaneText(*f).endsWith(QString("Connect to IP 127.0.0.1 Port %1\n").arg(l.port())));
    QCOMPARE(f->EdtRPort->text(), QStringLiteral("abc"));
  }

  void sourcePortNotANumberIsNotAdvanced() {
    chooseLoopback();
    reporter->boxes.clear();
    f->EdtSPort->setText("5k");
    f->edtRHost->setText("127.0.0.1");
    f->EdtRPort->setText(QString::number(UnusedLoopbackPort()));
    f->ChBxS1Conn->setChecked(true);
    QVERIFY(!reporter->boxes.isEmpty());
    QCOMPARE(reporter->boxes.first(), Ru("\"5k\" не является целым числом"));
    QCOMPARE(f->EdtSPort->text(), QStringLiteral("5k"));
    // The bind address keeps the port it held: none yet, so any port.
    QVERIFY(PaneText(*f).startsWith("\nClient bound IP 127.0.0.1 Port 0\n"));
    f->ChBxS1Conn->setChecked(false);
  }

  void connectBeforeChoosingAnAddressUnchecksItself() {
    f->ChBxIniNet->setChecked(true);
    QVERIFY(!f->LocalAddrChosen);
    f->ChBxS1Conn->setChecked(true);
    QVERIFY(!f->ChBxS1Conn->isChecked());
    QCOMPARE(f->ClientSock, 0);
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
    const QString why = QStringLiteral(" No local address chosen: tick one in the address list\n");
    QCOMPARE(PaneText(*f), why);
    // A click does the same.
    QTest::mouseClick(f->ChBxS1Conn, Qt::LeftButton);
    QVERIFY(!f->ChBxS1Conn->isChecked());
    QCOMPARE(PaneText(*f), why + why);
  }

  // Whatever the engineer clicks, the list shows what is chosen, and
  // "Connect" binds only an address the list shows ticked.
  void theAddressListAlwaysShowsTheChoice() {
    Listener l;
    chooseLoopback();
    // "Check Net" again refills the list: nothing is ticked, nothing chosen.
    f->ChBxIniNet->setChecked(false);
    f->ChBxIniNet->setChecked(true);
    QVERIFY(!f->LocalAddrChosen);
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));  // the first tick chooses
    // Refilled under a running connection: its line stays ticked and chosen.
    f->ChBxIniNet->setChecked(false);
    f->ChBxIniNet->setChecked(true);
    QVERIFY(f->LocalAddrChosen);
    QCOMPARE(AddressLine(*f, "127.0.0.1")->checkState(), Qt::Checked);
    // Also when its interface has gone since.
    kvl::SockOs.getifaddrs = [](ifaddrs** list) { return *list = nullptr, 0; };
    f->ChBxIniNet->setChecked(false);
    f->ChBxIniNet->setChecked(true);
    kvl::SockOs = kvl::RealNetOs();
    QVERIFY(f->LocalAddrChosen);
    QCOMPARE(f->ChBxIPs->count(), 1);
    QCOMPARE(AddressLine(*f, "127.0.0.1")->checkState(), Qt::Checked);
    // Unticking it un-chooses and disconnects; no line is left ticked.
    AddressLine(*f, "127.0.0.1")->setCheckState(Qt::Unchecked);
    QVERIFY(!f->LocalAddrChosen);
    QVERIFY(!f->ChBxS1Conn->isChecked());
    for (int i = 0; i < f->ChBxIPs->count(); ++i) QCOMPARE(f->ChBxIPs->item(i)->checkState(), Qt::Unchecked);
    // A source port out of range chooses nothing and takes the tick back.
    f->EdtSPort->setText("0");
    AddressLine(*f, "127.0.0.1")->setCheckState(Qt::Checked);
    QVERIFY(!f->LocalAddrChosen);
    QCOMPARE(AddressLine(*f, "127.0.0.1")->checkState(), Qt::Unchecked);
    QCOMPARE(reporter->boxes.size(), 1);
    // After a choice the blank lines cannot be ticked.
    f->EdtSPort->setText("10000");
    AddressLine(*f, "127.0.0.1")->setCheckState(Qt::Checked);
    QVERIFY(f->LocalAddrChosen);
    for (int i = 0; i < f->ChBxIPs->count(); ++i) {
      const QListWidgetItem* line = f->ChBxIPs->item(i);
      QCOMPARE(bool(line->flags() & Qt::ItemIsUserCheckable), !line->text().isEmpty());
    }
  }

  void untickingTheChosenAddressDisconnectsFirst() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    AddressLine(*f, "127.0.0.1")->setCheckState(Qt::Unchecked);
    QVERIFY(!f->LocalAddrChosen);
    QVERIFY(!f->ChBxS1Conn->isChecked());
    QCOMPARE(f->ClientSock, 0);
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(WaitPeerClosed(l));
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join(" | ")));
  }

  void checkNetUntickedLeavesTheConnectionRunning() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    f->ChBxIniNet->setChecked(false);
    QVERIFY(!f->ChBxS1Conn->isEnabled());
    QVERIFY(f->ChBxS1Conn->isChecked());
    f->SockSendText("still");
    QCOMPARE(l.readUntil("cKVL>still"), std::string("cKVL>still"));
  }

  // The README's demo names every button that stays off over TCP, and
  // promises no more than the link does.
  void readmeNamesTheButtonsThatStayOffOverTcp() {
    QFile readme(QStringLiteral(KVL_SOURCE_DIR "/README.md"));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    const QString step = QString::fromUtf8(readme.readAll())
                             .section(QStringLiteral("4. Over TCP instead"), 1)
                             .section(QStringLiteral("\n\n"), 0, 0)
                             .simplified();
    QVERIFY(!step.isEmpty());
    QVERIFY(!step.contains(QStringLiteral("the same buttons")));
    for (const QString& name : SerialOnlyNames()) {
      const auto* button = f->findChild<QPushButton*>(name);
      if (button) QVERIFY2(step.contains("**" + button->text() + "**"), qPrintable(name));
    }
  }

  void uncheckingAPendingConnectSaysItWasCancelled() {
    Listener l;
    chooseLoopback();
    f->edtRHost->setText("127.0.0.1");
    f->EdtRPort->setText(QString::number(l.port()));
    gFakeError = EINPROGRESS;  // the attempt stays under way
    FailCall("connect");
    f->ChBxS1Conn->setChecked(true);
    f->ButtonReset->click();
    f->ChBxS1Conn->setChecked(false);  // before the attempt's outcome is handled
    QCOMPARE(PaneText(*f), Ru("Попытка подключения к серверу 1 отменена\n"));
    QCOMPARE(f->ClientSock, 0);
  }

  void commandToNoLinkSaysSoInsteadOfAnEcho() {
    // Unchecking "Connect" leaves the command controls of the connection
    // enabled (only a close event disables them); a command pressed then
    // goes to the serial route, which has no port open.
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    f->ChBxS1Conn->setChecked(false);
    QCOMPARE(kvl::ActiveLink, -1);
    QVERIFY(f->BtnSendCmd->isEnabled() && f->oneClickButton(kvl::OneClick::SetPort2)->isEnabled());
    f->ButtonReset->click();
    f->BtnSendCmd->click();
    f->oneClickButton(kvl::OneClick::SetPort2)->click();
    QCOMPARE(PaneText(*f), QStringLiteral(" COM not selected\n COM not selected\n"));
    QCOMPARE(PaneColourOf(*f, " COM not selected"), kGreyColour);
    QVERIFY(WaitPeerClosed(l));
  }

  void serverThatStopsReadingGetsEveryCommandWholeAndInOrder() {
    Listener l(4096);
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    // On loopback the kernel would take all of it at once: a small send
    // buffer of our socket stands in for a slow path to the server.
    const int small = 4096;
    QCOMPARE(::setsockopt(f->ClientSock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    std::string expected;
    for (int i = 0; i < 300; ++i) {
      QCoreApplication::processEvents();
      std::string text = std::to_string(i) + ":";
      text += std::string(1998 - text.size(), char('a' + i % 26)) + "\r\n";
      f->SockSendText(text);
      expected += "cKVL>" + text;
    }
    QVERIFY2(reporter->boxes.isEmpty(), qPrintable(reporter->boxes.join('|')));
    QVERIFY(f->sockWaiting() > 0);
    // The server reads only once the wait has been reported (after 2 s).
    QVERIFY(WaitFor([&] { return PaneText(*f).contains("Server: the server is not taking data"); }));
    QCOMPARE(PaneColourOf(*f, " Server: the server is not taking data"), kGreyColour);
    std::string got;
    QVERIFY(WaitFor([&] { got += l.readAvailable(); return got.size() >= expected.size(); }, 30000));
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);  // whole, in order, none glued
    QVERIFY(WaitFor([&] { return PaneText(*f).contains("Server: the server takes data again, all sent"); }));
    QVERIFY(reporter->boxes.isEmpty());
  }

  void queueLimitRefusesWholeAndUncheckingDropsWhatWaits() {
    Listener l(4096);
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    // On loopback the kernel would take all of it at once: a small send
    // buffer of our socket stands in for a slow path to the server.
    const int small = 4096;
    QCOMPARE(::setsockopt(f->ClientSock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    // Fill the queue to just under its limit with commands of 64 KiB.
    const std::string big(65536 - 5, 'q');
    while (f->sockWaiting() + 65536 <= kvl::SendQueue::kDefaultLimit) f->SockSendText(big);
    const std::size_t waiting = f->sockWaiting();
    QVERIFY(waiting > 0);
    f->ButtonReset->click();
    f->SockSendText(big);
    QVERIFY(f->sockWaiting() <= waiting);  // refused whole
    QVERIFY(PaneText(*f).endsWith(
        QStringLiteral("\n Server: %1 bytes wait already; this command of 65536 bytes is not sent\n").arg(waiting)));
    f->ButtonReset->click();
    const std::size_t left = f->sockWaiting();
    f->ChBxS1Conn->setChecked(false);
    QCOMPARE(f->sockWaiting(), 0u);
    QVERIFY(PaneText(*f).contains(QStringLiteral(" Server: %1 bytes not sent, dropped\n").arg(left)));
  }

  void closingTheWindowEndsTheConnection() {
    Listener l;
    QVERIFY(ConnectLoopback(*f, l, FreeLoopbackPorts(1)));
    f->close();
    QVERIFY(WaitPeerClosed(l));
  }
};

QTEST_MAIN(NetTest)
#include "net_test.moc"
