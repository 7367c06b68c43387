// End to end: the real windows against the real simulated device, over a
// pseudo-terminal and over loopback TCP.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
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

// kvl-sim serving a pseudo-terminal and a loopback port at once.
class Simulator {
 public:
  explicit Simulator(const QString& stateFile) : state_(stateFile) {
    proc_.setProgram(QStringLiteral(KVL_SIM_PATH));
    proc_.setArguments({"--pty", "--tcp", "0", "--state", stateFile, "--mask", "256", "--contact",
                        "1,+380670000000,SMSADM"});
    proc_.start();
    if (!proc_.waitForStarted(5000)) return;
    WaitFor([&] {
      out_ += QString::fromLatin1(proc_.readAllStandardOutput());
      return out_.contains("PTY ") && out_.contains("TCP ");
    }, 10000);
    for (const QString& line : out_.split('\n')) {
      if (line.startsWith("PTY ")) pty_ = line.mid(4).trimmed().toStdString();
      if (line.startsWith("TCP ")) port_ = line.section(':', -1).trimmed().toInt();
    }
  }
  ~Simulator() {
    proc_.terminate();
    if (!proc_.waitForFinished(5000)) proc_.kill();
  }
  const std::string& pty() const { return pty_; }
  int port() const { return port_; }
  // A key of the device's state dump, once it holds `want`.
  bool stateHas(const QString& line, int timeoutMs = 5000) {
    return WaitFor([&] {
      QFile f(state_);
      return f.open(QIODevice::ReadOnly) && QString::fromLatin1(f.readAll()).split('\n').contains(line);
    }, timeoutMs);
  }

 private:
  QProcess proc_;
  QString state_, out_;
  std::string pty_;
  int port_ = 0;
};

// Clicks a button and waits for the device's answer to reach the console,
// so that the next command is not run together with this one.
bool ClickAndWaitForAnswer(kvl::TBaseform& f, kvl::OneClick button) {
  const int before = PaneText(f).count(QStringLiteral("OK")) + PaneText(f).count(QStringLiteral("ERROR"));
  f.oneClickButton(button)->click();
  return WaitFor([&] {
    return PaneText(f).count(QStringLiteral("OK")) + PaneText(f).count(QStringLiteral("ERROR")) > before;
  }, 5000);
}

void RunInSimWindow(Windows& w, const std::function<void()>& body) {
  bool ran = false;
  QTimer::singleShot(0, w.sim, [&] {
    body();
    ran = true;
    w.sim->close();
  });
  w.main->oneClickButton(kvl::OneClick::SimSet)->click();
  QVERIFY(ran);
}

}  // namespace

class EndToEndTest : public QObject {
  Q_OBJECT

  void typicalExchange(Windows& w, Simulator& sim) {
    RunInSimWindow(w, [&] {
      // "LogOn ActSim" answers with the schedule: hour 08 on SIM2.
      QVERIFY(WaitFor([&] { return w.sim->RBSim2[8]->isChecked(); }, 8000));
      QCOMPARE(w.sim->scheduleMask(), 256u);
      w.sim->BtnAskC->click();
      QVERIFY(WaitFor([&] { return w.sim->EdC[1]->text() == "+380670000000"; }, 8000));
      QVERIFY(TSimSetform::isLime(w.sim->SpBtnSMSC[1]));
      QCOMPARE(w.sim->EdC[2]->text(), QString());
      // Write entry 2 and read it back.
      w.sim->EdC[2]->setText("+380502222222");
      w.sim->SpBtnCSDC[2]->click();
      QVERIFY(sim.stateHas("CPB2=\"+380502222222\",145,\"CSDPCO\""));
      w.sim->EdC[2]->clear();
      w.sim->BtnAskC->click();
      QVERIFY(WaitFor([&] { return w.sim->EdC[2]->text() == "+380502222222"; }, 8000));
      QVERIFY(TSimSetform::isLime(w.sim->SpBtnCSDC[2]));
      QCOMPARE(kvl::SimPhones[1], std::string("+380502222222"));
      // The plan goes back to the device.
      w.sim->RBSim2[23]->setChecked(true);
      w.sim->BtnSetH->click();
      QVERIFY(sim.stateHas("ActSim=8388864"));
    });
  }

 private slots:
  void overAPseudoTerminal() {
    WorkDir dir;
    Simulator sim(dir.path() + "/device.state");
    QVERIFY(!sim.pty().empty());
    dir.mapPorts({{1, sim.pty()}});
    Windows w;
    w.main->show();
    QVERIFY(w.main->BtnCom[1]->isEnabled());
    w.main->BtnCom[1]->click();
    QCOMPARE(kvl::ActiveLink, 1);
    typicalExchange(w, sim);
  }

  void overLoopbackTcp() {
    WorkDir dir;
    Simulator sim(dir.path() + "/device.state");
    QVERIFY(sim.port() > 0);
    Windows w;
    w.main->show();
    w.main->ChBxIniNet->setChecked(true);
    QListWidgetItem* loopback = nullptr;
    for (int i = 0; i < w.main->ChBxIPs->count(); ++i)
      if (w.main->ChBxIPs->item(i)->text() == "127.0.0.1") loopback = w.main->ChBxIPs->item(i);
    QVERIFY(loopback);
    loopback->setCheckState(Qt::Checked);
    w.main->EdtSPort->setText(QString::number(UnusedLoopbackPort()));
    w.main->edtRHost->setText("127.0.0.1");
    w.main->EdtRPort->setText(QString::number(sim.port()));
    w.main->ChBxS1Conn->setChecked(true);
    QVERIFY(WaitFor([&] { return kvl::ActiveLink == 0; }, 5000));
    typicalExchange(w, sim);
  }

  void everyOneClickCommandChangesTheDevice() {
    WorkDir dir;
    Simulator sim(dir.path() + "/device.state");
    dir.mapPorts({{1, sim.pty()}});
    Windows w;
    w.main->show();
    w.main->BtnCom[1]->click();
    auto& f = *w.main;
    using enum kvl::OneClick;
    f.EdApn1->setText("internet.test");
    f.EdLogin1->setText("user");
    f.EdPassw1->setText("secret");
    QVERIFY(ClickAndWaitForAnswer(f, SetApn1));
    QVERIFY(sim.stateHas("APN1=\"internet.test\",\"user\",\"secret\""));
    f.EdApn2->setText("telematika");
    QVERIFY(ClickAndWaitForAnswer(f, SetApn2));
    QVERIFY(sim.stateHas("APN2=\"telematika\",\"\",\"\""));
    f.CBConfBaud->setCurrentText("9600");
    QVERIFY(ClickAndWaitForAnswer(f, SetConfBaud));
    QVERIFY(sim.stateHas("MyBaudRate=3"));
    f.CBConfBaud2->setCurrentText("921600");
    QVERIFY(ClickAndWaitForAnswer(f, SetConfBaud2));
    QVERIFY(sim.stateHas("U2BaudRate=10"));
    f.EdtConfPort->setText("7001");
    QVERIFY(ClickAndWaitForAnswer(f, SetPort));
    QVERIFY(sim.stateHas("sPORT=7001"));
    f.EdtConfPort2->setText("7002");
    QVERIFY(ClickAndWaitForAnswer(f, SetPort2));
    QVERIFY(sim.stateHas("dPORT=7002"));
    f.edtRepHost->setText("127.0.0.9");
    f.edtRepPort->setText("9090");
    QVERIFY(ClickAndWaitForAnswer(f, SetRep));
    QVERIFY(sim.stateHas("IPSERV=127.0.0.9"));
    QVERIFY(sim.stateHas("PORTSERV=9090"));
    QVERIFY(ClickAndWaitForAnswer(f, LogOn));
    QVERIFY(sim.stateHas("LogOn=1"));
    QVERIFY(ClickAndWaitForAnswer(f, LogOff));
    QVERIFY(sim.stateHas("LogOn=0"));
    // The asks report what was stored.
    for (kvl::OneClick ask : {AskApn1, AskApn2, AskConfBaud, AskConfBaud2, AskPort, AskPort2, AskRep})
      QVERIFY(ClickAndWaitForAnswer(f, ask));
    const QString console = PaneText(f);
    for (const char* shown : {"APN1=\"internet.test\",\"user\",\"secret\"", "sPORT=7001", "dPORT=7002",
                              "IPSERV=127.0.0.9 PORTSERV=9090"})
      QVERIFY2(console.contains(QString::fromLatin1(shown)), shown);
    QVERIFY(ClickAndWaitForAnswer(f, Restart));
    QVERIFY(sim.stateHas("Restarts=1"));
    QVERIFY(ClickAndWaitForAnswer(f, Factory));
    QVERIFY(sim.stateHas("FactoryResets=1"));
    QVERIFY(sim.stateHas("sPORT=5000"));
  }
};

QTEST_MAIN(EndToEndTest)
#include "e2e_test.moc"
