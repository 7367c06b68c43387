// What every sender of the main window puts on the wire, byte for byte: the
// command lines with their line ends, the prompt prefix on each link, the
// one-click buttons on their routes, the pending command of the SIM window,
// and the "Dwl" and "pCSD" boxes. The device's end of the serial link is a
// pseudo-terminal, its end of the TCP link a listener on 127.0.0.1.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "core/Colours.h"
#include "ui/QtText.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "ui/WindowMessages.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"

using namespace kvltest;
using kvl::OneClick;

namespace {

const QColor kGreyColour(128, 128, 128);
const std::string kMarker = "#END#";

QString Ru(const char* utf8) { return QString::fromUtf8(utf8); }

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Field contents for the one-click buttons.
kvl::OneClickFields Typical() {
  kvl::OneClickFields x;
  x.apn1 = "internet";
  x.apn2 = "telematika";
  x.login2 = "user";
  x.passw2 = "pa ss";
  x.confBaudIndex = 7;   // 115200
  x.confBaud2Index = 3;  // 9600
  x.confPort = "7777";
  x.confPort2 = "7778";
  x.repHost = "192.168.1.1";
  x.repPort = "8080";
  return x;
}

}  // namespace

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(kvl::OneClick)

class CommandsTest : public QObject {
  Q_OBJECT
  std::unique_ptr<Pty> pty;
  std::unique_ptr<WorkDir> dir;
  std::unique_ptr<CaptureReporter> reporter;
  std::unique_ptr<Windows> w;
  std::unique_ptr<Listener> listener;
  kvl::TBaseform* f = nullptr;

  // Opens COM3 on the pseudo-terminal.
  bool openSerial() {
    f->BtnCom[3]->click();
    if (!WaitFor([&] { return kvl::ActiveLink == 3 && f->BtnSendCmd->isEnabled(); })) return false;
    pty->readAvailable();
    return true;
  }
  // Connects the TCP link (after the port, if one is open).
  bool connectTcp() {
    listener = std::make_unique<Listener>();
    f->ChBxIniNet->setChecked(true);
    return ConnectLoopback(*f, *listener, FreeLoopbackPorts(1)) && f->ChBxS1Conn->isChecked();
  }
  // Everything the pseudo-terminal received since the last call: a marker
  // written after it shows where it ends.
  std::string serialReceived() {
    f->ComWriteText(kMarker);
    std::string got = pty->readUntil(kMarker);
    if (!EndsWith(got, kMarker)) return got + "<no marker>";
    got.resize(got.size() - kMarker.size());
    if (f->ChpCSD->isChecked() && EndsWith(got, "cKVL>")) got.resize(got.size() - 5);
    return got;
  }
  std::string tcpReceived() {
    f->SockSendText(kMarker);
    std::string got = listener->readUntil("cKVL>" + kMarker);
    if (!EndsWith(got, "cKVL>" + kMarker)) return got + "<no marker>";
    got.resize(got.size() - kMarker.size() - 5);
    return got;
  }
  void fill(const kvl::OneClickFields& x) {
    using kvl::FromCp1251;
    f->EdApn1->setText(FromCp1251(x.apn1));
    f->EdLogin1->setText(FromCp1251(x.login1));
    f->EdPassw1->setText(FromCp1251(x.passw1));
    f->EdApn2->setText(FromCp1251(x.apn2));
    f->EdLogin2->setText(FromCp1251(x.login2));
    f->EdPassw2->setText(FromCp1251(x.passw2));
    f->CBConfBaud->setCurrentIndex(x.confBaudIndex);
    f->CBConfBaud2->setCurrentIndex(x.confBaud2Index);
    f->EdtConfPort->setText(FromCp1251(x.confPort));
    f->EdtConfPort2->setText(FromCp1251(x.confPort2));
    f->edtRepHost->setText(FromCp1251(x.repHost));
    f->edtRepPort->setText(FromCp1251(x.repPort));
  }

 private slots:
  void init() {
    pty = std::make_unique<Pty>();
    dir = std::make_unique<WorkDir>(std::map<int, std::string>{{3, pty->path()}}, FirstRunSections());
    reporter = std::make_unique<CaptureReporter>();
    w = std::make_unique<Windows>();
    f = w->main;
    f->Timer->stop();
  }
  void cleanup() {
    w.reset();
    listener.reset();
    reporter.reset();
    dir.reset();
    pty.reset();
    f = nullptr;
  }

  // ------------------------------------------------------------ command lines

  void commandLineOnTheSerialLink_data() {
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("cr");
    QTest::addColumn<bool>("lf");
    QTest::addColumn<bool>("pcsd");
    QTest::addColumn<std::string>("wire");
    QTest::newRow("CR and LF") << 2 << "MyV=7" << true << true << false << std::string("MyV=7\r\n");
    QTest::newRow("only LF") << 2 << "MyV=7" << false << true << false << std::string("MyV=7\n");
    QTest::newRow("only CR") << 2 << "MyV=7" << true << false << false << std::string("MyV=7\r");
    QTest::newRow("neither") << 2 << "MyV=7" << false << false << false << std::string("MyV=7");
    QTest::newRow("pCSD prefix") << 2 << "MyV=7" << true << true << true << std::string("cKVL>MyV=7\r\n");
    QTest::newRow("pCSD, line 1") << 1 << "config level" << false << true << true
                                  << std::string("cKVL>config level\n");
    QTest::newRow("blanks kept") << 3 << "  Kvl Fact " << true << true << false
                                 << std::string("  Kvl Fact \r\n");
    QTest::newRow("empty line, no ends: nothing") << 3 << "" << false << false << false << std::string();
    QTest::newRow("empty line, ends only") << 3 << "" << true << true << false << std::string("\r\n");
    QTest::newRow("cyrillic as Windows-1251") << 2 << Ru("Тест ё") << false << false << false
                                              << std::string("\xD2\xE5\xF1\xF2 \xB8");
    QTest::newRow("line 4 with Dwl") << 4 << "SVDWL=203.0.113.25 restart" << true << true << false
                                     << std::string("SVDWL=203.0.113.25 restart\r\n");
    QTest::newRow("line 5 with Dwl") << 5 << "ADWL0" << true << false << false << std::string("ADWL0\r");
  }
  void commandLineOnTheSerialLink() {
    QFETCH(int, line);
    QFETCH(QString, text);
    QFETCH(bool, cr);
    QFETCH(bool, lf);
    QFETCH(bool, pcsd);
    QFETCH(std::string, wire);
    QVERIFY(openSerial());
    f->ChpCSD->setChecked(pcsd);
    if (line >= 4) f->ChBxDwl->setChecked(true);
    for (int n = 1; n <= 5; ++n) f->EdCmdLn[size_t(n)]->setText(QString("other %1").arg(n));
    f->EdCmdLn[size_t(line)]->setText(text);
    f->S1RB[size_t(line)]->setChecked(true);
    f->ChBxCR1->setChecked(cr);
    f->ChBxLF1->setChecked(lf);
    f->cRichEd->clearPane();
    f->BtnSendCmd->click();
    // The echo shows the line as given: no prefix, its line ends included.
    const QString echo = "\r\nTo Com: " + text + (cr ? "\r" : "") + (lf ? "\n" : "");
    QString shown = echo;
    shown.replace("\r\n", "\n").replace('\r', '\n');
    QCOMPARE(PaneText(*f), shown);
    if (!text.isEmpty()) QCOMPARE(PaneColourOf(*f, text), kGreyColour);
    QCOMPARE(serialReceived(), wire);
    QVERIFY(reporter->boxes.isEmpty());
  }

  void commandLineOnTheTcpLink_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("cr");
    QTest::addColumn<bool>("lf");
    QTest::addColumn<bool>("pcsd");
    QTest::addColumn<std::string>("wire");
    QTest::newRow("CR and LF") << "MyV=7" << true << true << false << std::string("cKVL>MyV=7\r\n");
    QTest::newRow("only LF") << "MyV=7" << false << true << false << std::string("cKVL>MyV=7\n");
    QTest::newRow("neither") << "MyV=7" << false << false << false << std::string("cKVL>MyV=7");
    QTest::newRow("pCSD: still one prefix") << "MyV=7" << true << true << true
                                            << std::string("cKVL>MyV=7\r\n");
    QTest::newRow("empty: the prefix alone") << "" << false << false << false << std::string("cKVL>");
  }
  void commandLineOnTheTcpLink() {
    QFETCH(QString, text);
    QFETCH(bool, cr);
    QFETCH(bool, lf);
    QFETCH(bool, pcsd);
    QFETCH(std::string, wire);
    QVERIFY(connectTcp());
    f->ChpCSD->setChecked(pcsd);
    f->EdCmdLn[2]->setText(text);
    f->S1RB[2]->setChecked(true);
    f->ChBxCR1->setChecked(cr);
    f->ChBxLF1->setChecked(lf);
    QVERIFY(f->BtnSendCmd->isEnabled());
    f->BtnSendCmd->click();
    QCOMPARE(tcpReceived(), wire);
    const QString echo = Ru("Отправка данных серверу: ") + kvl::FromCp1251(wire) + "\r\n";
    QCOMPARE(PaneColourOf(*f, echo), kGreyColour);
    QVERIFY(reporter->boxes.isEmpty());
  }

  // ------------------------------------------------------- one-click commands

  // Every button of the group but "Sim Set" (it opens a window: below):
  // the command of its row, composed from the fields as typed, on the link
  // of its route.
  void oneClickButton_data() {
    QTest::addColumn<OneClick>("button");
    QTest::addColumn<bool>("connected");  // "Connect" checked, the port open as well
    QTest::addColumn<bool>("pcsd");
    for (const kvl::GroupControl& row : kvl::OneClickGroup()) {
      if (!row.isButton() || row.id == OneClick::SimSet) continue;
      const std::string name(row.name);
      QTest::addRow("%s, serial", name.c_str()) << row.id << false << false;
      QTest::addRow("%s, serial with pCSD", name.c_str()) << row.id << false << true;
      QTest::addRow("%s, connected", name.c_str()) << row.id << true << false;
    }
  }
  void oneClickButton() {
    QFETCH(OneClick, button);
    QFETCH(bool, connected);
    QFETCH(bool, pcsd);
    QVERIFY(openSerial());
    if (connected) QVERIFY(connectTcp());
    f->ChpCSD->setChecked(pcsd);
    fill(Typical());
    const std::string text = kvl::ComposeOneClick(button, Typical());
    const kvl::Link link = kvl::ResolveRoute(kvl::OneClickInfoOf(button).route, connected);
    QVERIFY(f->oneClickButton(button)->isEnabled());
    const QString paneBefore = PaneText(*f);
    f->oneClickButton(button)->click();
    const QString added = PaneText(*f).mid(paneBefore.size());
    // The serial echo never shows the prefix; nothing at all goes nowhere.
    if (link == kvl::Link::None) QCOMPARE(added, QString());
    if (link == kvl::Link::Serial) QCOMPARE(added, "\nTo Com: " + kvl::FromCp1251(text));
    if (link == kvl::Link::Tcp)
      QCOMPARE(added, Ru("Отправка данных серверу: ") + "cKVL>" + kvl::FromCp1251(text) + "\n");
    const std::string prefix = pcsd ? "cKVL>" : "";
    QCOMPARE(serialReceived(), link == kvl::Link::Serial ? prefix + text : std::string());
    if (connected) QCOMPARE(tcpReceived(), link == kvl::Link::Tcp ? "cKVL>" + text : std::string());
    QVERIFY(reporter->boxes.isEmpty());
  }

  void baudRateCode_data() {
    QTest::addColumn<OneClick>("button");
    QTest::addColumn<QString>("rate");  // empty: nothing selected
    QTest::addColumn<std::string>("wire");
    QTest::newRow("port 1, 115200") << OneClick::SetConfBaud << "115200" << std::string("MyBaudRate=7");
    QTest::newRow("port 1, 9600") << OneClick::SetConfBaud << "9600" << std::string("MyBaudRate=3");
    QTest::newRow("port 1, 1200") << OneClick::SetConfBaud << "1200" << std::string("MyBaudRate=0");
    QTest::newRow("port 1, 921600") << OneClick::SetConfBaud << "921600" << std::string("MyBaudRate=10");
    QTest::newRow("port 1, none") << OneClick::SetConfBaud << "" << std::string("MyBaudRate=-1");
    QTest::newRow("port 2, 115200") << OneClick::SetConfBaud2 << "115200" << std::string("U2BaudRate=7");
    QTest::newRow("port 2, 9600") << OneClick::SetConfBaud2 << "9600" << std::string("U2BaudRate=3");
    QTest::newRow("port 2, none") << OneClick::SetConfBaud2 << "" << std::string("U2BaudRate=-1");
  }
  void baudRateCode() {
    QFETCH(OneClick, button);
    QFETCH(QString, rate);
    QFETCH(std::string, wire);
    QVERIFY(openSerial());
    QComboBox* list = button == OneClick::SetConfBaud ? f->CBConfBaud : f->CBConfBaud2;
    list->setCurrentIndex(rate.isEmpty() ? -1 : list->findText(rate));
    QCOMPARE(list->currentText(), rate);
    f->oneClickButton(button)->click();
    QCOMPARE(serialReceived(), wire);
  }

  void fieldsGoOutExactlyAsTyped_data() {
    QTest::addColumn<OneClick>("button");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::addColumn<std::string>("wire");
    QTest::newRow("APN1, all empty") << OneClick::SetApn1 << "EdApn1" << ""
                                     << std::string("APN1=\"\",\"\",\"\"");
    QTest::newRow("APN2, all empty") << OneClick::SetApn2 << "EdApn2" << ""
                                     << std::string("APN2=\"\",\"\",\"\"");
    QTest::newRow("PORT1 empty") << OneClick::SetPort << "EdtConfPort" << "" << std::string("sPORT=");
    QTest::newRow("PORT2 empty") << OneClick::SetPort2 << "EdtConfPort2" << "" << std::string("dPORT=");
    QTest::newRow("report empty") << OneClick::SetRep << "edtRepHost" << ""
                                  << std::string("IPSERV= PORTSERV=");
    QTest::newRow("cyrillic APN") << OneClick::SetApn2 << "EdApn2" << Ru("интернет")
                                  << std::string("APN2=\"\xE8\xED\xF2\xE5\xF0\xED\xE5\xF2\",\"\",\"\"");
    QTest::newRow("quote not escaped") << OneClick::SetApn1 << "EdApn1" << "a\"b"
                                       << std::string("APN1=\"a\"b\",\"\",\"\"");
    QTest::newRow("blanks kept") << OneClick::SetPort2 << "EdtConfPort2" << " 77 "
                                 << std::string("dPORT= 77 ");
    QTest::newRow("port not checked") << OneClick::SetPort << "EdtConfPort" << "99999x"
                                      << std::string("sPORT=99999x");
  }
  void fieldsGoOutExactlyAsTyped() {
    QFETCH(OneClick, button);
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(std::string, wire);
    QVERIFY(openSerial());
    fill({});
    f->findChild<QLineEdit*>(field)->setText(value);
    f->oneClickButton(button)->click();
    QCOMPARE(serialReceived(), wire);
  }

  void oneClickWithNoLinkSaysSoAndIsNotEchoed() {
    fill(Typical());
    f->BtnRestartClick();
    QCOMPARE(PaneText(*f), QStringLiteral(" COM not selected\n"));
    QVERIFY(pty->readAvailable().empty());
    QVERIFY(reporter->boxes.isEmpty());
  }

  // ------------------------------------------------------------- Dwl, pCSD

  void dwlSwitchesLinesFourAndFive() {
    QVERIFY(!f->EdCmdLn[4]->isEnabled());
    f->ChBxDwl->setChecked(true);
    for (QWidget* c : {static_cast<QWidget*>(f->EdCmdLn[4]), static_cast<QWidget*>(f->EdCmdLn[5]),
                       static_cast<QWidget*>(f->S1RB[4]), static_cast<QWidget*>(f->S1RB[5])})
      QVERIFY(c->isEnabled());
    QVERIFY(f->S1RB[1]->isChecked());  // checking changes no selection
    f->S1RB[4]->setChecked(true);
    f->ChBxDwl->setChecked(false);
    for (QWidget* c : {static_cast<QWidget*>(f->EdCmdLn[4]), static_cast<QWidget*>(f->EdCmdLn[5]),
                       static_cast<QWidget*>(f->S1RB[4]), static_cast<QWidget*>(f->S1RB[5])})
      QVERIFY(!c->isEnabled());
    QVERIFY(f->S1RB[1]->isChecked());
    QVERIFY(!f->S1RB[4]->isChecked());
    // From line 3 as well.
    f->ChBxDwl->setChecked(true);
    f->S1RB[3]->setChecked(true);
    f->ChBxDwl->setChecked(false);
    QVERIFY(f->S1RB[1]->isChecked());
  }

  void pcsdOverwritesLineOne() {
    f->S1RB[2]->setChecked(true);
    f->EdCmdLn[1]->setText("typed");
    f->ChpCSD->setChecked(true);
    QCOMPARE(f->EdCmdLn[1]->text(), QStringLiteral("config level"));
    f->EdCmdLn[1]->setText("typed again");
    f->ChpCSD->setChecked(false);
    QVERIFY2(QRegularExpression("^ATD\\+[0-9]{12}$").match(f->EdCmdLn[1]->text()).hasMatch(),
             qPrintable(f->EdCmdLn[1]->text()));
    QVERIFY(f->S1RB[2]->isChecked());  // the selection is untouched
    QVERIFY(PaneText(*f).isEmpty());
  }

  // -------------------------------------------------------- pending command

  // Enter (or keypad Enter) in line n selects the line and presses "Send";
  // Up and Down walk through the lines sent, back to what was being typed.
  void enterSendsTheLineAndUpRecallsIt_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
  }
  void enterSendsTheLineAndUpRecallsIt() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    const auto press = [&](int n) {
      QTest::keyClick(f->EdCmdLn[size_t(n)], Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    };
    QVERIFY(openSerial());
    f->EdCmdLn[2]->setText("MyV=7");
    f->EdCmdLn[3]->setText("KvlFact");
    press(2);
    QVERIFY(f->S1RB[2]->isChecked());
    press(3);
    QVERIFY(f->S1RB[3]->isChecked());
    QCOMPARE(serialReceived(), std::string("MyV=7\r\nKvlFact\r\n"));
    f->EdCmdLn[1]->setText("draft");
    for (const auto& [up, shown] : std::vector<std::pair<bool, QString>>{
             {true, "KvlFact"}, {true, "MyV=7"}, {true, "MyV=7"}, {false, "KvlFact"}, {false, "draft"}}) {
      QTest::keyClick(f->EdCmdLn[1], up ? Qt::Key_Up : Qt::Key_Down);
      QCOMPARE(f->EdCmdLn[1]->text(), shown);
    }
    // Without a link "Send" is disabled: Enter only selects the line.
    f->BtnCom[3]->click();
    QVERIFY(!f->BtnSendCmd->isEnabled());
    f->cRichEd->clearPane();
    press(1);
    QVERIFY(f->S1RB[1]->isChecked());
    QVERIFY(PaneText(*f).isEmpty());
  }

  // A sent line forgets its undo history: long lines sent all day would
  // keep it growing. Text and caret stay as they were.
  void sentLineForgetsItsUndoHistory_data() {
    QTest::addColumn<bool>("enter");
    QTest::newRow("Send") << false;
    QTest::newRow("Enter") << true;
  }
  void sentLineForgetsItsUndoHistory() {
    QFETCH(bool, enter);
    QVERIFY(openSerial());
    QLineEdit* line = f->EdCmdLn[2];
    line->clear();
    QTest::keyClicks(line, "MyV=7");
    QTest::keyClick(line, Qt::Key_Left);
    QVERIFY(line->isUndoAvailable());
    if (enter) {
      QTest::keyClick(line, Qt::Key_Return);
    } else {
      f->S1RB[2]->setChecked(true);
      f->BtnSendCmd->click();
    }
    QCOMPARE(serialReceived(), std::string("MyV=7\r\n"));
    QVERIFY(!line->isUndoAvailable());
    QCOMPARE(line->text(), QStringLiteral("MyV=7"));
    QCOMPARE(line->cursorPosition(), 4);
  }

  // The engineer's own send brings both panes back to their end, though a
  // selection held them: the echo and the answer are seen.
  void ownSendBringsThePanesBackToTheEnd_data() {
    QTest::addColumn<QString>("sender");
    QTest::newRow("Send") << "Send";
    QTest::newRow("one-click button") << "Log On";
    QTest::newRow("SIM window") << "SIM";
  }
  void ownSendBringsThePanesBackToTheEnd() {
    QFETCH(QString, sender);
    QVERIFY(openSerial());
    f->ChBxVhex->setChecked(true);
    f->show();
    for (int i = 0; i < 300; ++i) {
      f->AppendText(kvl::kNavy, "telemetry 12.5V\r\n");
      f->AppendHex(kvl::kGrey, "74 65 6C 65\r\n");
    }
    // The text pane is held by a selection, the hex pane scrolled up.
    for (kvl::ConsolePane* pane : {f->cRichEd, f->bRichEd}) {
      QScrollBar* v = pane->verticalScrollBar();
      QVERIFY(WaitFor([&] { return v->maximum() > 0 && v->value() == v->maximum(); }));
      if (pane == f->cRichEd)
        pane->setSelection(100, 120);
      else
        v->setValue(10);
      QVERIFY(!pane->followsEnd());
    }
    if (sender == "Send") {
      f->BtnSendCmd->click();
    } else if (sender == "Log On") {
      f->oneClickButton(OneClick::LogOn)->click();
    } else {
      kvl::PendingCmd = "ActSim\r";
      kvl::PendingCmdFlags |= 1;
      QCoreApplication::postEvent(f, new QEvent(kvl::WM_COM_SEND));
      QCoreApplication::sendPostedEvents(f, kvl::WM_COM_SEND);
    }
    pty->write("OK\r\n");
    QVERIFY(WaitFor([&] { return PaneText(*f).endsWith("OK\n"); }));
    for (kvl::ConsolePane* pane : {f->cRichEd, f->bRichEd}) {
      QScrollBar* v = pane->verticalScrollBar();
      QVERIFY(!pane->hasSelection());
      QVERIFY(pane->followsEnd());
      QVERIFY(WaitFor([&] { return v->value() == v->maximum(); }));
    }
  }

  // Keys typed into a command line while the device keeps sending all land
  // in the line.
  void typingIsNotLostWhileBlocksArrive() {
    QVERIFY(openSerial());
    f->show();
    f->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f));
    f->EdCmdLn[1]->clear();
    f->EdCmdLn[1]->setFocus();
    const QString typed = QStringLiteral("AT+CPBR=1,4");
    for (const QChar c : typed) {
      const qsizetype before = PaneText(*f).size();
      pty->write("telemetry 12.5V\r\n");
      QVERIFY(WaitFor([&] { return PaneText(*f).size() > before; }));
      QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
    }
    QCOMPARE(f->EdCmdLn[1]->text(), typed);
  }

  void pendingCommandHasASingleSlot_data() {
    QTest::addColumn<bool>("tcp");
    QTest::newRow("serial") << false;
    QTest::newRow("tcp") << true;
  }
  void pendingCommandHasASingleSlot() {
    QFETCH(bool, tcp);
    if (tcp) QVERIFY(connectTcp());
    else QVERIFY(openSerial());
    // Two stores before the first message is handled: the later text goes
    // out once, the second message finds nothing to send.
    kvl::PendingCmd = "AT+CPBR=1,4\r\n";
    kvl::PendingCmdFlags |= 1;
    QCoreApplication::postEvent(f, new QEvent(kvl::WM_COM_SEND));
    kvl::PendingCmd = "ActSim\r";
    kvl::PendingCmdFlags |= 1;
    QCoreApplication::postEvent(f, new QEvent(kvl::WM_COM_SEND));
    QCoreApplication::sendPostedEvents(f, kvl::WM_COM_SEND);
    QCOMPARE(kvl::PendingCmdFlags & 1, 0);
    QCOMPARE(kvl::PendingCmd, std::string("ActSim\r"));  // left in the slot
    if (tcp) QCOMPARE(tcpReceived(), std::string("cKVL>ActSim\r"));
    else QCOMPARE(serialReceived(), std::string("ActSim\r"));
    // A message with the bit clear sends nothing.
    QCoreApplication::postEvent(f, new QEvent(kvl::WM_COM_SEND));
    QCoreApplication::sendPostedEvents(f, kvl::WM_COM_SEND);
    if (tcp) QCOMPARE(tcpReceived(), std::string());
    else QCOMPARE(serialReceived(), std::string());
  }

  void pendingCommandFollowsTheRoutingRuleWithPcsd() {
    QVERIFY(openSerial());
    f->ChpCSD->setChecked(true);
    kvl::PendingCmd = "AT+CPBW=1\r\n";
    kvl::PendingCmdFlags |= 1;
    f->cRichEd->clearPane();
    QCoreApplication::postEvent(f, new QEvent(kvl::WM_COM_SEND));
    QCoreApplication::sendPostedEvents(f, kvl::WM_COM_SEND);
    QCOMPARE(PaneText(*f), QStringLiteral("\nTo Com: AT+CPBW=1\n"));
    QCOMPARE(serialReceived(), std::string("cKVL>AT+CPBW=1\r\n"));
  }

  // ---------------------------------------------------------------- Sim Set

  void simSetLogsOnBeforeTheWindowOpens_data() {
    QTest::addColumn<bool>("tcp");
    QTest::newRow("serial") << false;
    QTest::newRow("tcp") << true;
  }
  void simSetLogsOnBeforeTheWindowOpens() {
    QFETCH(bool, tcp);
    QVERIFY(openSerial());
    if (tcp) QVERIFY(connectTcp());
    QVERIFY(f->oneClickButton(OneClick::SimSet)->isEnabled());
    bool shown = false;
    std::string atOpen;
    QTimer::singleShot(0, this, [&] {
      shown = w->sim->isVisible();
      // Already there when the window is up: read without waiting.
      atOpen = tcp ? listener->readAvailable() : pty->readAvailable();
      w->sim->reject();
    });
    f->oneClickButton(OneClick::SimSet)->click();
    QVERIFY(shown);
    QVERIFY(!w->sim->isVisible());
    QCOMPARE(atOpen, tcp ? std::string("cKVL>LogOn ActSim") : std::string("LogOn ActSim"));
    // Nothing more is sent when the window closes.
    if (tcp) QCOMPARE(tcpReceived(), std::string());
    QCOMPARE(serialReceived(), std::string());
  }
};

QTEST_MAIN(CommandsTest)
#include "commands_test.moc"
