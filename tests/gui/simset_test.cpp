// The SIM settings window: its layout, the schedule and contact commands it
// hands to the main window, and the replies that fill it, end to end over a
// pseudo-terminal peer.
#include <QCheckBox>
#include <QApplication>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include "TestSupport.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"

using namespace kvltest;
using kvl::TSimSetform;

namespace {

// Runs body inside the modal loop of the SIM window that "Sim Set" opens,
// then closes the window.
void WithSimWindowOpen(Windows& w, const std::function<void()>& body) {
  bool ran = false;
  QTimer::singleShot(0, w.sim, [&] {
    QVERIFY(w.sim->isVisible());
    body();
    ran = true;
    w.sim->close();
  });
  // The handler itself: the button is disabled while no link is up.
  w.main->BtnSimSetClick();
  QVERIFY(ran);
}

}  // namespace

class SimSetTest : public QObject {
  Q_OBJECT
  std::unique_ptr<WorkDir> dir;
  std::unique_ptr<Windows> w;

 private slots:
  void init() {
    dir = std::make_unique<WorkDir>();
    w = std::make_unique<Windows>();
  }
  void cleanup() {
    w.reset();
    dir.reset();
  }

  void layout() {
    TSimSetform* s = w->sim;
    QVERIFY(!s->isVisible());
    QCOMPARE(s->windowTitle(), QStringLiteral("SIM card's settings"));
    QCOMPARE(s->size(), QSize(552, 190));  // 171 and the status line
    QCOMPARE(s->findChild<QGroupBox*>("GrBxTime")->title(), QStringLiteral(" SIM card's schedule   "));
    QCOMPARE(s->findChild<QGroupBox*>("GrBxModeSim")->title(), QStringLiteral(" SIM card's contacts   "));
    QCOMPARE(s->findChild<QLabel*>("LWH")->text(),
             QStringLiteral(" Hour  00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 20 "
                            "21 22 23"));
    QCOMPARE(s->findChild<QLabel*>("LSim1")->text(), QStringLiteral("SIM1"));
    QCOMPARE(s->findChild<QLabel*>("Sim2")->text(), QStringLiteral("SIM2"));
    QCOMPARE(s->BtnSetH->toolTip(), QStringLiteral("Set SIM card's schedule"));
    QCOMPARE(s->BtnAskH->toolTip(), QStringLiteral("Ask SIM card's schedule"));
    QCOMPARE(s->BtnAskC->toolTip(), QStringLiteral("Ask SIM card's contacts  "));
    for (int h = 0; h < 24; ++h) {
      auto* panel = s->findChild<QFrame*>(QStringLiteral("H%1Panel").arg(h));
      QVERIFY(panel);
      QCOMPARE(panel->geometry(), QRect(53 + 17 * h, 39, 16, 34));
      auto* s1 = panel->findChild<QRadioButton*>(QStringLiteral("RB%1Sim1").arg(h));
      auto* s2 = panel->findChild<QRadioButton*>(QStringLiteral("RB%1Sim2").arg(h));
      QVERIFY(s1 && s2);
      QVERIFY(s1->isChecked());
      QVERIFY(!s2->isChecked());
    }
    const char* initial[4] = {"+380670000000", "+380500000000", "+380630000000", "+380680000000"};
    for (int n = 1; n <= 4; ++n) {
      QCOMPARE(s->EdC[size_t(n)]->text(), QString::fromLatin1(initial[n - 1]));
      const bool right = n >= 3;
      const int top = n % 2 == 1 ? 20 : 44;
      QCOMPARE(s->EdC[size_t(n)]->geometry(), QRect(right ? 250 : 22, top, 91, 21));
      QCOMPARE(s->SpBtnSMSC[size_t(n)]->geometry(), QRect(right ? 344 : 117, top, 55, 21));
      QCOMPARE(s->SpBtnCSDC[size_t(n)]->geometry(), QRect(right ? 402 : 175, top, 55, 21));
      QCOMPARE(s->SpBtnSMSC[size_t(n)]->text(), QStringLiteral("SMSADM"));
      QCOMPARE(s->SpBtnCSDC[size_t(n)]->text(), QStringLiteral("CSDPCO"));
      for (QPushButton* b : {s->SpBtnSMSC[size_t(n)], s->SpBtnCSDC[size_t(n)]}) {
        QVERIFY(b->isFlat());
        QVERIFY(!b->isCheckable());
        QCOMPARE(b->focusPolicy(), Qt::TabFocus);
        QCOMPARE(b->toolTip(), QStringLiteral("Write contact %1 to the SIM as %2 (an empty number deletes contact %1)")
                                   .arg(n)
                                   .arg(b->text()));
        QVERIFY(!TSimSetform::isLime(b));
      }
    }
    // Hours are independent choices.
    s->RBSim2[3]->setChecked(true);
    s->RBSim2[4]->setChecked(true);
    QVERIFY(s->RBSim2[3]->isChecked());
    QCOMPARE(s->scheduleMask(), 0x18u);
  }

  void tabVisitsEachHourOnceAtItsSelectedButton() {
    // Hour 00 on SIM2: Tab goes SET, ?, the selected button of each hour,
    // the four contact fields, ?; arrows move within an hour's panel.
    TSimSetform* s = w->sim;
    s->setScheduleMask(1);
    s->show();
    QVERIFY(QTest::qWaitForWindowActive(s));
    auto walk = [&](QWidget* from, int steps) {
      from->setFocus(Qt::TabFocusReason);
      QStringList seen;
      for (int i = 0; i < steps; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        seen << QApplication::focusWidget()->objectName();
      }
      return seen;
    };
    QStringList expected{"RB0Sim2"};
    for (int h = 1; h < 24; ++h) expected << QStringLiteral("RB%1Sim1").arg(h);
    for (int n = 1; n <= 4; ++n)
      expected << QStringLiteral("EdC%1").arg(n) << QStringLiteral("SpBtnSMSC%1").arg(n)
               << QStringLiteral("SpBtnCSDC%1").arg(n);
    expected << "BtnAskC" << "BtnSetH" << "BtnAskH";
    QCOMPARE(walk(s->BtnAskH, int(expected.size())), expected);

    s->RBSim2[0]->setFocus(Qt::TabFocusReason);
    QTest::keyClick(s->RBSim2[0], Qt::Key_Up);
    QCOMPARE(QApplication::focusWidget(), s->RBSim1[0]);
    QCOMPARE(s->scheduleMask(), 0u);
    QCOMPARE(walk(s->BtnAskH, 2), QStringList({"RB0Sim1", "RB1Sim1"}));
    QTest::keyClick(s->RBSim1[1], Qt::Key_Down);
    QCOMPARE(s->scheduleMask(), 2u);
    QCOMPARE(walk(s->RBSim1[0], 1), QStringList{"RB1Sim2"});
    s->hide();
  }

  void scheduleSetSendsTheMask_data() {
    QTest::addColumn<QList<int>>("sim2Hours");
    QTest::addColumn<QString>("sent");
    QList<int> all, afternoon;
    for (int h = 0; h < 24; ++h) all << h;
    for (int h = 12; h < 24; ++h) afternoon << h;
    QTest::newRow("all SIM1") << QList<int>{} << "ActSim=0\r";
    QTest::newRow("all SIM2") << all << "ActSim=16777215\r";
    QTest::newRow("00 and 23") << QList<int>{0, 23} << "ActSim=8388609\r";
    QTest::newRow("only 08") << QList<int>{8} << "ActSim=256\r";
    QTest::newRow("12 to 23") << afternoon << "ActSim=16773120\r";
  }
  void scheduleSetSendsTheMask() {
    QFETCH(QList<int>, sim2Hours);
    QFETCH(QString, sent);
    for (int h : sim2Hours) w->sim->RBSim2[size_t(h)]->setChecked(true);
    w->sim->BtnSetH->click();
    QCOMPARE(QString::fromStdString(kvl::PendingCmd), sent);
    QCOMPARE(kvl::PendingCmdFlags, std::uint8_t(1));
    // Nothing in the window changes by sending.
    for (int h = 0; h < 24; ++h) QCOMPARE(w->sim->RBSim2[size_t(h)]->isChecked(), sim2Hours.contains(h));
  }

  void contactWritesAndColours_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("smsadm");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("sent");
    QTest::newRow("row 1 SMSADM") << 1 << true << "+380670000000"
                                  << "AT+CPBW=1,\"+380670000000\",145,\"SMSADM\"\r\n";
    QTest::newRow("row 3 empty deletes") << 3 << false << "" << "AT+CPBW=3\r\n";
    QTest::newRow("row 4 CSDPCO, spaces kept") << 4 << false << "+38 067 12"
                                               << "AT+CPBW=4,\"+38 067 12\",145,\"CSDPCO\"\r\n";
  }
  void contactWritesAndColours() {
    QFETCH(int, row);
    QFETCH(bool, smsadm);
    QFETCH(QString, number);
    QFETCH(QString, sent);
    w->sim->EdC[size_t(row)]->setText(number);
    (smsadm ? w->sim->SpBtnSMSC : w->sim->SpBtnCSDC)[size_t(row)]->click();
    QCOMPARE(QString::fromStdString(kvl::PendingCmd), sent);
    QCOMPARE(TSimSetform::isLime(w->sim->SpBtnSMSC[size_t(row)]), smsadm && !number.isEmpty());
    QCOMPARE(TSimSetform::isLime(w->sim->SpBtnCSDC[size_t(row)]), !smsadm && !number.isEmpty());
  }

  // A contact is written by keyboard: Tab from its number field reaches
  // the name buttons, Space presses the one that has the focus.
  void contactWrittenByTabAndSpace_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("tabs");
    QTest::addColumn<QString>("sent");
    QTest::newRow("row 1 SMSADM") << 1 << 1 << "AT+CPBW=1,\"+380670000001\",145,\"SMSADM\"\r\n";
    QTest::newRow("row 4 CSDPCO") << 4 << 2 << "AT+CPBW=4,\"+380670000004\",145,\"CSDPCO\"\r\n";
  }
  void contactWrittenByTabAndSpace() {
    QFETCH(int, row);
    QFETCH(int, tabs);
    QFETCH(QString, sent);
    TSimSetform* s = w->sim;
    s->show();
    QVERIFY(QTest::qWaitForWindowActive(s));
    s->EdC[size_t(row)]->setText(QStringLiteral("+38067000000%1").arg(row));
    s->EdC[size_t(row)]->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < tabs; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QPushButton* button = (tabs == 1 ? s->SpBtnSMSC : s->SpBtnCSDC)[size_t(row)];
    QCOMPARE(QApplication::focusWidget(), button);
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(QString::fromStdString(kvl::PendingCmd), sent);
    QVERIFY(TSimSetform::isLime(button));
    s->hide();
  }

  void secondNameOfARowTakesTheColour() {
    w->sim->SpBtnSMSC[2]->click();
    QVERIFY(TSimSetform::isLime(w->sim->SpBtnSMSC[2]));
    w->sim->SpBtnCSDC[2]->click();
    QVERIFY(!TSimSetform::isLime(w->sim->SpBtnSMSC[2]));
    QVERIFY(TSimSetform::isLime(w->sim->SpBtnCSDC[2]));
    QCOMPARE(kvl::PendingCmd, std::string("AT+CPBW=2,\"+380500000000\",145,\"CSDPCO\"\r\n"));
  }

  void askButtons() {
    w->sim->BtnAskH->click();
    QCOMPARE(kvl::PendingCmd, std::string("ActSim\r"));
    w->sim->EdC[1]->clear();
    w->sim->BtnAskC->click();
    QCOMPARE(kvl::PendingCmd, std::string("AT+CPBR=1,4\r\n"));
    QCOMPARE(w->sim->EdC[1]->text(), QString());  // asking changes nothing
  }

  void phonebookReplyFillsRowsAndSimPhones() {
    kvl::SimPhones = {"a", "b", "c", "d"};
    std::string rx =
        "\r\n+CPBR: 1,\"+380671111111\",145,\"SMSADM\"\r\n"
        "+CPBR: 3,\"+380673333333\",145,\"CSDPCO\"\r\n\r\nOK\r\n";
    w->sim->ParseDeviceReply(rx);
    QVERIFY(rx.empty());
    QCOMPARE(w->sim->EdC[1]->text(), QStringLiteral("+380671111111"));
    QVERIFY(TSimSetform::isLime(w->sim->SpBtnSMSC[1]));
    QVERIFY(!TSimSetform::isLime(w->sim->SpBtnCSDC[1]));
    QCOMPARE(w->sim->EdC[2]->text(), QString());
    QCOMPARE(w->sim->EdC[3]->text(), QStringLiteral("+380673333333"));
    QVERIFY(TSimSetform::isLime(w->sim->SpBtnCSDC[3]));
    QCOMPARE(kvl::SimPhones[0], std::string("+380671111111"));
    QCOMPARE(kvl::SimPhones[1], std::string("b"));
    QCOMPARE(kvl::SimPhones[2], std::string("+380673333333"));
  }

  // One line says where the values shown come from: waiting since "Sim
  // Set" or "?", read at a time, or not the device's after 5 s without an
  // answer. A new read of the contacts puts lit names back to plain.
  void statusLineSaysWhereTheValuesComeFrom() {
    TSimSetform* s = w->sim;
    // The line, with a time of day standing for "T".
    auto says = [&](QString line) {
      line = QRegularExpression::escape(line).replace(QLatin1Char('T'), QStringLiteral("\\d\\d:\\d\\d:\\d\\d"));
      return QRegularExpression(QLatin1Char('^') + line + QLatin1Char('$')).match(s->LbStatus->text()).hasMatch();
    };
    QCOMPARE(s->LbStatus->text(), QStringLiteral("Plan and contacts: not read from the device."));
    WithSimWindowOpen(*w, [&] {
      QVERIFY(s->LbStatus->isVisible());
      QCOMPARE(s->LbStatus->text(),
               QStringLiteral("Plan: waiting for the device's answer.  Contacts: not read from the device."));
      QVERIFY(s->findChild<QTimer*>("StatusTimer")->isActive());  // it says when 5 s are up
      s->updateStatus(TSimSetform::MonotonicMs() + 5000);
      QCOMPARE(s->LbStatus->text(),
               QStringLiteral("Plan: no answer in 5 s, not the device's.  Contacts: not read from the device."));
      std::string rx = "Bit registers work on SIM2\r\nSIM2 = 256 -->\r\n";
      s->ParseDeviceReply(rx);
      QVERIFY(says("Plan: read from the device at T.  Contacts: not read from the device."));

      rx = "+CPBR: 1,\"+380671111111\",145,\"SMSADM\"\r\nOK\r\n";
      s->ParseDeviceReply(rx);
      QVERIFY(TSimSetform::isLime(s->SpBtnSMSC[1]));
      QVERIFY(says("Plan and contacts: read from the device at T.") ||
              says("Plan: read from the device at T.  Contacts: read from the device at T."));
      s->BtnAskC->click();
      QVERIFY(!TSimSetform::isLime(s->SpBtnSMSC[1]));
      QCOMPARE(s->EdC[1]->text(), QStringLiteral("+380671111111"));  // the number stays
      QVERIFY(says("Plan: read from the device at T.  Contacts: waiting for the device's answer."));
      rx = "+CPBR: 1,\"+380671111111\",145,\"SMSADM\"\r\nOK\r\n";
      s->ParseDeviceReply(rx);
    });
    // Closing reloads the settings: the fields show the file's numbers next.
    WithSimWindowOpen(*w, [&] {
      QCOMPARE(s->LbStatus->text(),
               QStringLiteral("Plan: waiting for the device's answer.  Contacts: not read from the device."));
    });
  }

  void scheduleConversionFailureGoesToTheGeneralErrorHandling() {
    CaptureReporter errors;
    w->sim->RBSim2[5]->setChecked(true);
    std::string rx = "Bit registers work on SIM2\r\nSIM2 = 256  -->\r\n";
    w->sim->ParseDeviceReply(rx);
    QCOMPARE(errors.general, QStringList{"'256 ' is not a valid integer value."});
    QVERIFY(w->sim->RBSim2[5]->isChecked());  // nothing changed
    QVERIFY(w->main->Timer->isActive());
  }

  void openingShowsSimPhonesAndClosingReloadsTheSettings() {
    dir->writeSettings(dir->readSettings());  // keep the file as the program wrote it
    std::string file = dir->readSettings();
    const size_t at = file.find("Phone 2:=");
    QVERIFY(at != std::string::npos);
    file.replace(at, file.find("\r\n", at) - at, "Phone 2:=+380501234567");
    dir->writeSettings(file);
    w->main->FormActivate();
    QCOMPARE(kvl::SimPhones[1], std::string("+380501234567"));
    kvl::SimPhones[1] = "+380509999999";  // as a phonebook reply would
    w->main->EdtSPort->setText("12345");
    WithSimWindowOpen(*w, [&] {
      QCOMPARE(w->sim->EdC[2]->text(), QStringLiteral("+380509999999"));
      w->sim->EdC[2]->setText("typed");
    });
    // Back in the main window: the settings file wins again.
    QCOMPARE(kvl::SimPhones[1], std::string("+380501234567"));
    QCOMPARE(w->main->EdtSPort->text(), QStringLiteral("10000"));
    WithSimWindowOpen(*w, [&] { QCOMPARE(w->sim->EdC[2]->text(), QStringLiteral("+380501234567")); });
  }

  void typicalExchangeOverAPseudoTerminal() {
    Pty com3;
    dir->mapPorts({{3, com3.path()}});
    w.reset();
    w = std::make_unique<Windows>();
    w->main->BtnCom[3]->click();
    QCOMPARE(kvl::ActiveLink, 3);
    WithSimWindowOpen(*w, [&] {
      QVERIFY(com3.readUntil("LogOn ActSim").find("LogOn ActSim") != std::string::npos);
      com3.write("LogOn ActSim\r\nBit registers work on SIM2\r\nSIM2 = 256 --> 08\r\n");
      // The hour pairs follow on the fourth tick after the last byte.
      QVERIFY(WaitFor([&] { return w->sim->RBSim2[8]->isChecked(); }, 5000));
      QCOMPARE(w->sim->scheduleMask(), 256u);

      w->sim->BtnAskC->click();
      QVERIFY(com3.readUntil("AT+CPBR=1,4\r\n").find("AT+CPBR=1,4\r\n") != std::string::npos);
      com3.write("+CPBR: 2,\"+380502222222\",145,\"SMSADM\"\r\nOK\r\n");
      QVERIFY(WaitFor([&] { return w->sim->EdC[2]->text() == "+380502222222"; }, 5000));
      QVERIFY(TSimSetform::isLime(w->sim->SpBtnSMSC[2]));
      QCOMPARE(w->sim->EdC[1]->text(), QString());
      QCOMPARE(kvl::SimPhones[1], std::string("+380502222222"));

      w->sim->RBSim2[0]->setChecked(true);
      w->sim->BtnSetH->click();
      QVERIFY(com3.readUntil("ActSim=257\r").find("ActSim=257\r") != std::string::npos);
    });
  }

  void phonebookReadTypedIntoACommandLineFillsTheClosedWindow() {
    Pty com3;
    dir->mapPorts({{3, com3.path()}});
    w.reset();
    w = std::make_unique<Windows>();
    w->main->BtnCom[3]->click();
    w->main->EdCmdLn[2]->setText("AT+CPBR=1,4");
    w->main->S1RB[2]->setChecked(true);
    w->main->BtnSendCmd->click();
    QVERIFY(com3.readUntil("AT+CPBR=1,4\r\n").find("AT+CPBR=1,4\r\n") != std::string::npos);
    com3.write("+CPBR: 4,\"+380684444444\",145,\"CSDPCO\"\r\nOK\r\n");
    QVERIFY(WaitFor([&] { return kvl::SimPhones[3] == "+380684444444"; }, 5000));
    QVERIFY(!w->sim->isVisible());
    QVERIFY(TSimSetform::isLime(w->sim->SpBtnCSDC[4]));
  }
};

QTEST_MAIN(SimSetTest)
#include "simset_test.moc"
