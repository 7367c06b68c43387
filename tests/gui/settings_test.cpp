// The settings file "zel .ini" as the main window uses it: the first run's
// file, the fields after start-up and after each activation, the sentinel
// "ERROR", empty values, the reading rules, a refused write, and a file of
// the engineer's own that keeps every byte it had.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <csignal>

#include "TestSupport.h"
#include "tests/common/FirstRunFile.h"
#include "ui/QtText.h"
#include "app/fBase.h"
#include "serial/uCom.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"

using namespace kvltest;

namespace {

QString Ru(const char* utf8) { return QString::fromUtf8(utf8); }

std::string Replaced(std::string s, const std::string& from, const std::string& to) {
  const size_t at = s.find(from);
  if (at == std::string::npos) throw std::runtime_error("no " + from);
  return s.replace(at, from.size(), to);
}

// What a field or other destination of a key shows: the edit's text, the
// list's current text, or the SimPhones entry ("SimPhones1".."SimPhones4").
QString Shown(const kvl::TBaseform& f, const QString& name) {
  if (name.startsWith("SimPhones"))
    return kvl::FromCp1251(kvl::SimPhones[size_t(name.mid(9).toInt() - 1)]);
  if (auto* list = f.findChild<QComboBox*>(name)) return list->currentText();
  if (auto* edit = f.findChild<QLineEdit*>(name)) return edit->text();
  return "<no " + name + ">";
}

void SetShown(kvl::TBaseform& f, const QString& name, const QString& value) {
  if (name.startsWith("SimPhones"))
    kvl::SimPhones[size_t(name.mid(9).toInt() - 1)] = kvl::ToCp1251(value);
  else if (auto* list = f.findChild<QComboBox*>(name))
    list->setCurrentIndex(list->findText(value));
  else if (auto* edit = f.findChild<QLineEdit*>(name))
    edit->setText(value);
}

// The destinations in the order of the keys, with the first run's values.
const QList<QPair<QString, QString>> kDefaults = {
    {"EdtSPort", "10000"},
    {"edtRHost", "192.168.1.10"},
    {"EdtRPort", "7777"},
    {"EdApn1", "www.kyivstar.net"},
    {"EdLogin1", ""},
    {"EdPassw1", ""},
    {"EdApn2", "telematika"},
    {"EdLogin2", ""},
    {"EdPassw2", ""},
    {"CBConfBaud", "9600"},
    {"CBConfBaud2", "9600"},
    {"EdtConfPort", "7777"},
    {"EdtConfPort2", "7778"},
    {"edtRepHost", "192.168.1.1"},
    {"edtRepPort", "8080"},
    {"EdCmdLn1", "config level"},
    {"EdCmdLn2", "MyV=7"},
    {"EdCmdLn3", "KvlFact"},
    {"EdCmdLn4", "SVDWL=203.0.113.25 restart"},
    {"EdCmdLn5", "ADWL0"},
    {"SimPhones1", "+380672100001"},
    {"SimPhones2", "+380502100002"},
    {"SimPhones3", "+380632100003"},
    {"SimPhones4", "+380932100004"},
};

// Closes the SIM settings window as soon as its modal loop runs.
void OpenAndCloseSimWindow(kvl::TBaseform& f) {
  QTimer::singleShot(0, &f, [&f] { f.simSetform()->reject(); });
  f.BtnSimSetClick();
}

}  // namespace

class SettingsTest : public QObject {
  Q_OBJECT
  std::unique_ptr<WorkDir> dir;
  std::unique_ptr<CaptureReporter> reporter;
  std::unique_ptr<Windows> w;
  std::string comPorts;  // the file as the work directory starts it

  // A work directory whose file is the "Com ports" section and `rest`.
  void start(const std::string& rest, bool createWindows = true) {
    dir = std::make_unique<WorkDir>();
    comPorts = dir->readSettings();
    dir->writeSettings(comPorts + rest);
    reporter = std::make_unique<CaptureReporter>();
    if (createWindows) {
      w = std::make_unique<Windows>();
      w->main->Timer->stop();
    }
  }
  QString fullName() const {
    return QFileInfo(dir->path()).canonicalFilePath() + QStringLiteral("/zel .ini");
  }

 private slots:
  void cleanup() {
    if (dir) ::chmod(dir->settingsFile().toLocal8Bit().constData(), 0644);
    if (dir) ::chmod(dir->path().toLocal8Bit().constData(), 0755);
    w.reset();
    reporter.reset();
    dir.reset();
  }

  void firstRunWritesTheFourSectionsAndTheFieldsFollowAtActivation() {
    start("");
    kvl::TBaseform* f = w->main;
    // Start-up wrote every default and left the fields as they were.
    QCOMPARE(dir->readSettings(), comPorts + FirstRunSections());
    for (const auto& [name, value] : kDefaults) QVERIFY2(Shown(*f, name).isEmpty(), qPrintable(name));
    QCOMPARE(f->CBConfBaud->currentIndex(), -1);
    QCOMPARE(f->CBConfBaud2->currentIndex(), -1);

    // The first showing is an activation: every field shows its default.
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f));
    QCOMPARE(f->loadSettingsCount(), 2);
    for (const auto& [name, value] : kDefaults) QCOMPARE(Shown(*f, name), value);
    QCOMPARE(f->CBConfBaud->currentIndex(), 3);
    QCOMPARE(f->CBConfBaud2->currentIndex(), 3);
    // A complete file is read, not written.
    QCOMPARE(dir->readSettings(), comPorts + FirstRunSections());
    QVERIFY(reporter->general.isEmpty());
    QVERIFY(reporter->boxes.isEmpty());
  }

  void baudRateValue_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("index");  // after a fresh start
    QTest::newRow("115200") << "115200" << 7;
    QTest::newRow("9600") << "9600" << 3;
    QTest::newRow("921600") << "921600" << 10;
    QTest::newRow("14400 is not in the list") << "14400" << -1;
    QTest::newRow("blanks dropped") << "  1200 " << 0;
    QTest::newRow("quoted") << "\"57600\"" << 6;
    QTest::newRow("leading zero") << "09600" << -1;
    QTest::newRow("empty") << "" << -1;
  }
  void baudRateValue() {
    QFETCH(QString, value);
    QFETCH(int, index);
    const std::string file = Replaced(
        Replaced(FirstRunSections(), "Out port 1 baudrate:=9600", "Out port 1 baudrate:=" + value.toStdString()),
        "Out port 2 baudrate:=9600", "Out port 2 baudrate:=" + value.toStdString());
    Pty pty;
    start(file, false);
    dir->mapPorts({{3, pty.path()}});
    w = std::make_unique<Windows>();
    kvl::TBaseform* f = w->main;
    f->Timer->stop();
    QCOMPARE(f->CBConfBaud->currentIndex(), index);
    QCOMPARE(f->CBConfBaud2->currentIndex(), index);
    // The code the buttons send follows from the list.
    f->BtnCom[3]->click();
    QPushButton* set1 = f->oneClickButton(kvl::OneClick::SetConfBaud);
    QVERIFY(WaitFor([&] { return set1->isEnabled(); }));
    pty.readAvailable();
    set1->click();
    f->oneClickButton(kvl::OneClick::SetConfBaud2)->click();
    const std::string wire = "MyBaudRate=" + std::to_string(index) + "U2BaudRate=" + std::to_string(index);
    QCOMPARE(pty.readAtLeast(wire.size()), wire);

    // A value the list lacks leaves the selection as it was.
    f->CBConfBaud->setCurrentIndex(8);
    f->FormActivate();
    QCOMPARE(f->CBConfBaud->currentIndex(), index < 0 ? 8 : index);
    QVERIFY(reporter->general.isEmpty());
  }

  void sentinelIsRewrittenAndTheDestinationKept_data() {
    QTest::addColumn<QString>("line");  // the key's line in the first run's file
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("previous");  // what the destination holds before
    QTest::newRow("edit field") << "Remote IP:=192.168.1.10" << "edtRHost" << "typed";
    QTest::newRow("empty default") << "APN SIM1 Login:=" << "EdLogin1" << "typed";
    QTest::newRow("cyrillic section") << "command line3:=KvlFact" << "EdCmdLn3" << "typed";
    QTest::newRow("list") << "Out port 2 baudrate:=9600" << "CBConfBaud2" << "460800";
    QTest::newRow("phone") << "Phone 3:=+380632100003" << "SimPhones3" << "+380000000003";
  }
  void sentinelIsRewrittenAndTheDestinationKept() {
    QFETCH(QString, line);
    QFETCH(QString, destination);
    QFETCH(QString, previous);
    const std::string good = line.toStdString();
    const std::string key = good.substr(0, good.find('=') + 1);
    const std::string withSentinel = Replaced(FirstRunSections(), good, key + "ERROR");
    start(withSentinel);
    kvl::TBaseform* f = w->main;
    // At start-up: rewritten in its place, the destination left empty.
    QCOMPARE(dir->readSettings(), comPorts + FirstRunSections());
    QVERIFY(Shown(*f, destination).isEmpty());

    // Later: the destination keeps what it held.
    SetShown(*f, destination, previous);
    dir->writeSettings(comPorts + withSentinel);
    f->FormActivate();
    QCOMPARE(Shown(*f, destination), previous);
    QCOMPARE(dir->readSettings(), comPorts + FirstRunSections());

    // Only the exact word is the sentinel.
    const std::string lower = Replaced(FirstRunSections(), good, key + "error");
    dir->writeSettings(comPorts + lower);
    f->FormActivate();
    if (destination.startsWith("CB")) QCOMPARE(Shown(*f, destination), previous);
    else QCOMPARE(Shown(*f, destination), QStringLiteral("error"));
    QCOMPARE(dir->readSettings(), comPorts + lower);
    QVERIFY(reporter->general.isEmpty());
  }

  void emptyValueGivesAnEmptyFieldAndIsNotRewritten() {
    const std::string file = Replaced(Replaced(FirstRunSections(), "APN SIM2:=telematika", "APN SIM2:="),
                                      "Phone 2:=+380502100002", "Phone 2:=  ");
    start(file);
    kvl::TBaseform* f = w->main;
    f->EdApn2->setText("typed");
    kvl::SimPhones[1] = "typed";
    f->FormActivate();
    QCOMPARE(f->EdApn2->text(), QString());
    QCOMPARE(kvl::SimPhones[1], std::string());
    QCOMPARE(f->EdApn1->text(), QStringLiteral("www.kyivstar.net"));
    QCOMPARE(dir->readSettings(), comPorts + file);
  }

  void readingRules_data() {
    QTest::addColumn<QByteArray>("from");  // a piece of the first run's file
    QTest::addColumn<QByteArray>("to");    // what replaces it
    QTest::addColumn<QString>("destination");
    QTest::addColumn<QString>("shown");
    QTest::newRow("blanks around the value") << QByteArray("Remote IP:=192.168.1.10")
                                             << QByteArray("Remote IP:= \t 10.1.2.3  ") << "edtRHost"
                                             << "10.1.2.3";
    QTest::newRow("blanks around the key") << QByteArray("Remote IP:=192.168.1.10")
                                           << QByteArray("  Remote IP:  =10.1.2.3") << "edtRHost"
                                           << "10.1.2.3";
    QTest::newRow("double quotes") << QByteArray("Remote IP:=192.168.1.10")
                                   << QByteArray("Remote IP:= \"10.1.2.3\" ") << "edtRHost" << "10.1.2.3";
    QTest::newRow("single quotes") << QByteArray("Remote IP:=192.168.1.10")
                                   << QByteArray("Remote IP:='10.1.2.3'") << "edtRHost" << "10.1.2.3";
    QTest::newRow("blanks inside quotes kept") << QByteArray("Remote IP:=192.168.1.10")
                                               << QByteArray("Remote IP:=\" 10.1.2.3 \"") << "edtRHost"
                                               << " 10.1.2.3 ";
    QTest::newRow("one pair only") << QByteArray("command line2:=MyV=7")
                                   << QByteArray("command line2:=\"\"x\"\"") << "EdCmdLn2" << "\"x\"";
    QTest::newRow("unmatched quotes kept") << QByteArray("command line2:=MyV=7")
                                           << QByteArray("command line2:=\"x'") << "EdCmdLn2" << "\"x'";
    QTest::newRow("key case") << QByteArray("Remote IP:=192.168.1.10")
                              << QByteArray("rEMOTE ip:=10.1.2.3") << "edtRHost" << "10.1.2.3";
    QTest::newRow("section case") << QByteArray("[TCP socket]") << QByteArray("[tcp SOCKET]")
                                  << "EdtSPort" << "10000";
    QTest::newRow("cyrillic section case") << QByteArray("[\xD1ommand line]\r\ncommand line1:=config level")
                                           << QByteArray("[\xF1OMMAND LINE]\r\ncommand line1:=x")
                                           << "EdCmdLn1" << "x";
    QTest::newRow("LF line ends") << QByteArray("Remote IP:=192.168.1.10\r\n")
                                  << QByteArray("Remote IP:=10.1.2.3\n") << "edtRHost" << "10.1.2.3";
    QTest::newRow("windows-1251 value") << QByteArray("APN SIM1:=www.kyivstar.net")
                                        << QByteArray("APN SIM1:=\xE8\xED\xF2\xE5\xF0\xED\xE5\xF2")
                                        << "EdApn1" << Ru("интернет");
    QTest::newRow("2047 bytes at most") << QByteArray("command line2:=MyV=7")
                                        << "command line2:=" + QByteArray(3000, 'a') << "EdCmdLn2"
                                        << QString(2047, 'a');
    QTest::newRow("first of two equal keys") << QByteArray("Remote IP:=192.168.1.10")
                                             << QByteArray("Remote IP:=10.0.0.1\r\nRemote IP:=10.0.0.2")
                                             << "edtRHost" << "10.0.0.1";
  }
  void readingRules() {
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, destination);
    QFETCH(QString, shown);
    const std::string file = Replaced(FirstRunSections(), from.toStdString(), to.toStdString());
    start(file);
    QCOMPARE(Shown(*w->main, destination), shown);
    // Every key was found: nothing written.
    QCOMPARE(dir->readSettings(), comPorts + file);
  }

  void latinCSectionIsNotTheCommandLineSection() {
    const std::string file = Replaced(FirstRunSections(), "[\xD1ommand line]", "[Command line]");
    start(file);
    kvl::TBaseform* f = w->main;
    // The Latin section is left alone; the keys go into a section of the
    // right name at the end.
    const std::string added =
        "[\xD1ommand line]\r\n"
        "command line1:=config level\r\n"
        "command line2:=MyV=7\r\n"
        "command line3:=KvlFact\r\n"
        "command line4:=SVDWL=203.0.113.25 restart\r\n"
        "command line5:=ADWL0\r\n";
    QCOMPARE(dir->readSettings(), comPorts + file + added);
    QVERIFY(f->EdCmdLn[1]->text().isEmpty());
    f->FormActivate();
    QCOMPARE(f->EdCmdLn[1]->text(), QStringLiteral("config level"));
  }

  void engineersOwnContentIsKeptByteForByte() {
    const std::string own =
        "; settings of the service terminal\r\n"
        "\r\n"
        "[tcp SOCKET]\n"
        "Remote port:=8888\n"
        "; the device's socket port\n"
        "Extra key:=x\n"
        "\n"
        "[Other]\r\n"
        "Source port:=1\r\n"
        "APN SIM1:=not here\r\n"
        "\r\n"
        "[Sim set]\r\n"
        "PHONE 1:= \"+380111111111\" \r\n"
        "note=keep\r\n"
        "\r\n"
        "[Command line]\r\n"
        "command line1:=latin\r\n"
        "[tail]\r\n"
        "z=1";
    start(own);
    kvl::TBaseform* f = w->main;
    const std::string expected =
        comPorts +
        "; settings of the service terminal\r\n"
        "\r\n"
        "[tcp SOCKET]\n"
        "Remote port:=8888\n"
        "; the device's socket port\n"
        "Extra key:=x\n"
        "Source port:=10000\r\n"
        "Remote IP:=192.168.1.10\r\n"
        "\n"
        "[Other]\r\n"
        "Source port:=1\r\n"
        "APN SIM1:=not here\r\n"
        "\r\n"
        "[Sim set]\r\n"
        "PHONE 1:= \"+380111111111\" \r\n"
        "note=keep\r\n"
        "Phone 2:=+380502100002\r\n"
        "Phone 3:=+380632100003\r\n"
        "Phone 4:=+380932100004\r\n"
        "\r\n"
        "[Command line]\r\n"
        "command line1:=latin\r\n"
        "[tail]\r\n"
        "z=1\r\n" +
        kOneClickSection + kCommandLineSection;
    QCOMPARE(dir->readSettings(), expected);
    QCOMPARE(f->EdtRPort->text(), QStringLiteral("8888"));
    QCOMPARE(kvl::SimPhones[0], std::string("+380111111111"));
    QVERIFY(f->EdtSPort->text().isEmpty());
    QVERIFY(f->EdApn1->text().isEmpty());
    // The next activation finds everything and writes nothing.
    f->FormActivate();
    QCOMPARE(f->EdtSPort->text(), QStringLiteral("10000"));
    QCOMPARE(f->EdApn1->text(), QStringLiteral("www.kyivstar.net"));
    QCOMPARE(dir->readSettings(), expected);
    QVERIFY(reporter->general.isEmpty());
  }

  void refusedWriteStillFillsEveryFieldAndIsSaidOnce_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("error");
    QTest::newRow("read-only file") << "file" << EACCES;
    QTest::newRow("read-only directory") << "directory" << EACCES;
    QTest::newRow("file-size limit") << "limit" << EFBIG;
  }
  void refusedWriteStillFillsEveryFieldAndIsSaidOnce() {
    QFETCH(QString, how);
    QFETCH(int, error);
    if (how == "directory" && ::geteuid() == 0)
      QSKIP("the superuser writes into a read-only directory all the same");
    // "APN SIM2:" and "Phone 4:" are missing: every key is applied all the
    // same, the missing ones with their defaults.
    std::string file = Replaced(FirstRunSections(), "APN SIM2:=telematika\r\n", "");
    file = Replaced(file, "Phone 4:=+380932100004\r\n", "");
    start(file, false);
    const std::string before = dir->readSettings();
    struct rlimit oldLimit {};
    void (*oldHandler)(int) = SIG_DFL;
    if (how == "file") ::chmod(dir->settingsFile().toLocal8Bit().constData(), 0444);
    if (how == "directory") ::chmod(dir->path().toLocal8Bit().constData(), 0555);
    if (how == "limit") {
      oldHandler = std::signal(SIGXFSZ, SIG_IGN);
      ::getrlimit(RLIMIT_FSIZE, &oldLimit);
      struct rlimit none = oldLimit;
      none.rlim_cur = 0;
      ::setrlimit(RLIMIT_FSIZE, &none);
    }
    w = std::make_unique<Windows>();
    if (how == "limit") {
      ::setrlimit(RLIMIT_FSIZE, &oldLimit);
      std::signal(SIGXFSZ, oldHandler);
    }
    kvl::TBaseform* f = w->main;
    f->Timer->stop();
    const QString message =
        "Unable to write to " + fullName() + ": " + QString::fromLocal8Bit(strerror(error)) + ".";
    QCOMPARE(reporter->general, QStringList{message});
    QVERIFY(reporter->boxes.isEmpty());
    for (const auto& [name, value] : kDefaults) QCOMPARE(Shown(*f, name), value);
    QCOMPARE(dir->readSettings(), before);
    // Nothing is left beside the file.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList{"zel .ini"});
    // The next activation meets the same refusal and does not say it again.
    if (how == "limit") return;  // writable again
    f->FormActivate();
    QCOMPARE(reporter->general, QStringList{message});
  }

  void fileThatIsNotReadGivesTheDefaultsAndIsSaidOnce() {
    start(FirstRunSections());
    kvl::TBaseform* f = w->main;
    kvl::SetComPathResolver([](int) { return std::string(); });  // the mapping goes with the file
    QFile::remove(dir->settingsFile());
    QVERIFY(QFile::link("/dev/zero", dir->settingsFile()));
    f->edtRHost->setText("typed");
    f->FormActivate();
    QCOMPARE(f->edtRHost->text(), QStringLiteral("192.168.1.10"));
    const QString message = "Settings file " + fullName() +
                            " is not read: it is not a regular file; the defaults are used.";
    QCOMPARE(reporter->general, QStringList{message});
    f->FormActivate();
    QCOMPARE(reporter->general, QStringList{message});
    QVERIFY(QFileInfo(dir->settingsFile()).isSymLink());
  }

  void activationAfterTheSimWindowRefillsTheFields() {
    start(FirstRunSections());
    kvl::TBaseform* f = w->main;
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f));
    f->edtRHost->setText("typed");
    f->EdtSPort->setText("10005");  // as the TCP link leaves it
    kvl::SimPhones[0] = "+380999999999";
    // The engineer edits the file by hand and deletes one key.
    std::string edited = Replaced(FirstRunSections(), "Remote IP:=192.168.1.10", "Remote IP:=10.9.8.7");
    edited = Replaced(edited, "Phone 1:=+380672100001", "Phone 1:=+380671111111");
    edited = Replaced(edited, "Remote port:=7777\r\n", "");
    f->EdtRPort->setText("9999");
    dir->writeSettings(comPorts + edited);
    OpenAndCloseSimWindow(*f);
    QVERIFY(!w->sim->isVisible());
    QCOMPARE(f->edtRHost->text(), QStringLiteral("10.9.8.7"));
    QCOMPARE(f->EdtSPort->text(), QStringLiteral("10000"));
    QCOMPARE(kvl::SimPhones[0], std::string("+380671111111"));
    // The deleted key is written back with its default; the field keeps
    // what it had.
    QCOMPARE(f->EdtRPort->text(), QStringLiteral("9999"));
    QCOMPARE(dir->readSettings(),
             comPorts + Replaced(edited, "Remote IP:=10.9.8.7\r\n", "Remote IP:=10.9.8.7\r\nRemote port:=7777\r\n"));
    // The window shows the stored numbers when it opens.
    OpenAndCloseSimWindow(*f);
    QCOMPARE(w->sim->EdC[1]->text(), QStringLiteral("+380671111111"));
  }

  void settingsFollowTheCurrentDirectory() {
    start(FirstRunSections());
    kvl::TBaseform* f = w->main;
    QCOMPARE(f->edtRHost->text(), QStringLiteral("192.168.1.10"));
    WorkDir other({}, Replaced(FirstRunSections(), "Remote IP:=192.168.1.10", "Remote IP:=10.0.0.99"));
    f->FormActivate();
    QCOMPARE(f->edtRHost->text(), QStringLiteral("10.0.0.99"));
  }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
