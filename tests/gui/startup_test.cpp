// Starting the program: the command line, the working directory of --dir,
// and the built kvlterm itself as a shell and the desktop menu start it:
// help and version without a window or a file, a bad command line, no
// display, and the menu entry's settings in ~/KVL.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "app/CommandLine.h"
#include "app/Startup.h"
#include "net/NetOs.h"
#include "serial/SerialOs.h"
#include "ui/ErrorReporter.h"
#include "tests/common/ComPorts.h"

using kvl::CommandLine;
Q_DECLARE_METATYPE(CommandLine::Action)

namespace {

// The Exec line of a desktop entry split into arguments: blanks separate
// them, double quotes group them, a backslash in quotes takes the next
// character as it is.
QStringList ExecArguments(const QString& exec) {
  QStringList args;
  QString current;
  bool quoted = false, any = false;
  for (int i = 0; i < exec.size(); ++i) {
    const QChar c = exec[i];
    if (quoted && c == QLatin1Char('\\') && i + 1 < exec.size()) {
      current += exec[++i];
    } else if (c == QLatin1Char('"')) {
      quoted = !quoted;
      any = true;
    } else if (c == QLatin1Char(' ') && !quoted) {
      if (any || !current.isEmpty()) args << current;
      current.clear();
      any = false;
    } else {
      current += c;
    }
  }
  if (any || !current.isEmpty()) args << current;
  return args;
}

QString DesktopExec() {
  QFile entry(QStringLiteral(KVL_SOURCE_DIR "/packaging/kvlterm.desktop"));
  if (!entry.open(QIODevice::ReadOnly)) return {};
  for (const QByteArray& line : entry.readAll().split('\n'))
    if (line.startsWith("Exec=")) return QString::fromUtf8(line.mid(5));
  return {};
}

// The environment of a desktop session without its display: only what
// each case adds names one.
QProcessEnvironment BareEnvironment(const QString& home) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QLatin1String(name));
  env.insert(QStringLiteral("HOME"), home);
  return env;
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void parsesCommandLine_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<CommandLine::Action>("action");
    QTest::addColumn<QString>("workDir");
    using A = CommandLine::Action;
    QTest::newRow("nothing") << QStringList{} << A::Run << QString();
    QTest::newRow("dir") << QStringList{"--dir", "~/KVL"} << A::Run << "~/KVL";
    QTest::newRow("dir=") << QStringList{"--dir=site 12"} << A::Run << "site 12";
    QTest::newRow("last dir") << QStringList{"--dir", "a", "--dir", "b"} << A::Run << "b";
    QTest::newRow("-h") << QStringList{"-h"} << A::ShowHelp << QString();
    QTest::newRow("--help") << QStringList{"--dir", "x", "--help"} << A::ShowHelp << QString();
    QTest::newRow("help before version") << QStringList{"-v", "-h"} << A::ShowHelp << QString();
    QTest::newRow("-v") << QStringList{"-v"} << A::ShowVersion << QString();
    QTest::newRow("--version") << QStringList{"--version"} << A::ShowVersion << QString();
    QTest::newRow("unknown") << QStringList{"--bogus"} << A::Fail << QString();
    QTest::newRow("unknown with help") << QStringList{"--help", "--bogus"} << A::Fail << QString();
    QTest::newRow("argument") << QStringList{"zel .ini"} << A::Fail << QString();
    QTest::newRow("dir without value") << QStringList{"--dir"} << A::Fail << QString();
    QTest::newRow("empty dir") << QStringList{"--dir", ""} << A::Fail << QString();
    QTest::newRow("single dash dir") << QStringList{"-dir", "x"} << A::Fail << QString();
    QTest::newRow("Qt's own option") << QStringList{"-platform", "offscreen"} << A::Fail << QString();
  }
  void parsesCommandLine() {
    QFETCH(QStringList, args);
    QFETCH(CommandLine::Action, action);
    QFETCH(QString, workDir);
    const CommandLine c = kvl::ParseCommandLine(QStringList{"kvlterm"} + args);
    QCOMPARE(c.action, action);
    QCOMPARE(c.workDir, workDir);
    QCOMPARE(c.error.isEmpty(), action != CommandLine::Action::Fail);
  }

  void expandsHome_data() {
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("expanded");
    QTest::newRow("tilde") << "~" << "/home/eng" << "/home/eng";
    QTest::newRow("under home") << "~/KVL" << "/home/eng" << "/home/eng/KVL";
    QTest::newRow("other user") << "~ops/KVL" << "/home/eng" << "~ops/KVL";
    QTest::newRow("absolute") << "/srv/kvl" << "/home/eng" << "/srv/kvl";
    QTest::newRow("relative") << "site/~" << "/home/eng" << "site/~";
    QTest::newRow("no home") << "~/KVL" << QString() << "~/KVL";
  }
  void expandsHome() {
    QFETCH(QString, dir);
    QFETCH(QString, home);
    QFETCH(QString, expanded);
    QCOMPARE(kvl::ExpandHome(dir, home), expanded);
  }

  void entersWorkDir_data() {
    QTest::addColumn<QString>("dir");  // below the scratch directory
    QTest::addColumn<bool>("enters");
    QTest::newRow("missing, with parents") << "a/b c/d" << true;
    QTest::newRow("existing") << "." << true;
    QTest::newRow("a file in the way") << "file/sub" << false;
    QTest::newRow("is a file") << "file" << false;
  }
  void entersWorkDir() {
    QFETCH(QString, dir);
    QFETCH(bool, enters);
    QTemporaryDir scratch;
    QVERIFY(QFile(scratch.filePath("file")).open(QIODevice::WriteOnly));
    const QString before = QDir::currentPath();
    const QString error = kvl::EnterWorkDir(scratch.filePath(dir));
    const QString now = QDir::currentPath();
    QDir::setCurrent(before);
    QCOMPARE(error.isEmpty(), enters);
    if (enters) {
      QCOMPARE(now, QFileInfo(scratch.filePath(dir)).canonicalFilePath());
    } else {
      QCOMPARE(now, before);
      QVERIFY2(error.contains(scratch.filePath(dir)), qPrintable(error));
    }
  }

  // A missing platform plugin is named with the package that brings it,
  // and is not taken for a missing display.
  void missingPlatformPluginIsNamed_data() {
    QTest::addColumn<QString>("qpa");
    QTest::addColumn<QString>("x11");
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("line");  // empty: nothing missing
    const QStringList all{"xcb", "wayland", "offscreen"};
    const QStringList noWayland{"xcb", "offscreen"};
    const QString waylandLine = QStringLiteral(
        "kvlterm: the Qt platform plugin \"wayland\" is not installed: install the package qt6-wayland "
        "(sudo apt install qt6-wayland)");
    QTest::newRow("wayland alone, plugin missing") << "" << "" << "wayland-0" << noWayland << waylandLine;
    QTest::newRow("wayland alone, plugin there") << "" << "" << "wayland-0" << all << "";
    QTest::newRow("X11 beside wayland") << "" << ":0" << "wayland-0" << noWayland << "";
    QTest::newRow("named, missing") << "wayland" << ":0" << "" << noWayland << waylandLine;
    QTest::newRow("first choice missing, second there") << "wayland;xcb" << ":0" << "" << noWayland << "";
    QTest::newRow("named with options") << "offscreen:configfile=x.json" << "" << "" << all << "";
    QTest::newRow("xcb missing") << "xcb" << ":0" << "" << QStringList{"wayland"}
                                 << "kvlterm: the Qt platform plugin \"xcb\" is not installed: install the "
                                    "package qt6-qpa-plugins (sudo apt install qt6-qpa-plugins)";
  }
  void missingPlatformPluginIsNamed() {
    QFETCH(QString, qpa);
    QFETCH(QString, x11);
    QFETCH(QString, wayland);
    QFETCH(QStringList, installed);
    QFETCH(QString, line);
    const QString missing = kvl::MissingPlatform(qpa, x11, wayland, installed);
    QCOMPARE(missing.isEmpty() ? QString() : kvl::MissingPlatformLine(missing), line);
    QVERIFY(kvl::InstalledPlatforms().contains(QStringLiteral("offscreen")));
    QCOMPARE(kvl::PlatformOfPluginMessage(QStringLiteral("Could not find the Qt platform plugin \"wayland\" in \"\"")),
             QStringLiteral("wayland"));
  }

  // Whatever a test put in place of the system and of the error boxes,
  // the reset of the program's state puts the real ones back.
  void resetPutsEverySeamBack() {
    struct Quiet : kvl::ErrorReporter {
      void errorBox(const QString&) override {}
      void generalError(const QString&) override {}
    } quiet;
    kvl::Os.open = [](const char*, int) { return -1; };
    kvl::SockOs.socket = [](int, int, int) { return -1; };
    kvl::SetErrorReporter(&quiet);
    kvl::ResetProgramState();
    QVERIFY(kvl::Os.open == kvl::RealSerialOs().open);
    QVERIFY(kvl::SockOs.socket == kvl::RealNetOs().socket);
    kvl::ErrorReporter* const now = kvl::SetErrorReporter(nullptr);
    QVERIFY(now != &quiet);
  }

  // The built program, in an empty directory with a home of its own:
  // whatever it prints and however it ends, it leaves both empty.
  void programEndsWithoutWindow_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("env");  // NAME=value added to a bare session
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");  // what stdout starts with
    QTest::addColumn<QString>("err");  // what stderr starts with
    QTest::addColumn<bool>("oneLine");  // stderr is that one line
    const QString noDisplay = QStringLiteral("kvlterm: no display: start it from a desktop session (");
    QTest::newRow("help") << QStringList{"--help"} << QStringList{} << 0 << kvl::UsageText() << "" << false;
    QTest::newRow("version") << QStringList{"-v"} << QStringList{} << 0 << kvl::VersionText() << "" << false;
    QTest::newRow("help with a display") << QStringList{"-h", "--dir", "~/KVL"}
                                         << QStringList{"QT_QPA_PLATFORM=offscreen"} << 0 << "Usage: kvlterm"
                                         << "" << false;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << QStringList{"QT_QPA_PLATFORM=offscreen"} << 2
                                    << "" << "kvlterm: unknown option 'bogus'.\n\nUsage: kvlterm" << false;
    QTest::newRow("no display") << QStringList{"--dir", "~/KVL"} << QStringList{} << 1 << "" << noDisplay << true;
    QTest::newRow("X11 display not there") << QStringList{} << QStringList{"DISPLAY=:31999"} << 1 << ""
                                           << noDisplay + "could not connect to display :31999)" << true;
    QTest::newRow("platform not there") << QStringList{} << QStringList{"QT_QPA_PLATFORM=kvl-none"} << 1 << ""
                                        << "kvlterm: the Qt platform plugin \"kvl-none\" is not installed\n" << true;
  }
  void programEndsWithoutWindow() {
    QFETCH(QStringList, args);
    QFETCH(QStringList, env);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, oneLine);
    if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X31999"))) QSKIP("display :31999 exists here");
    QTemporaryDir home, cwd;
    QProcess p;
    QProcessEnvironment e = BareEnvironment(home.path());
    for (const QString& kv : env) e.insert(kv.section('=', 0, 0), kv.section('=', 1));
    p.setProcessEnvironment(e);
    p.setWorkingDirectory(cwd.path());
    p.start(QStringLiteral(KVL_TERM_PATH), args);
    QVERIFY(p.waitForFinished(30000));
    const QString stdOut = QString::fromLocal8Bit(p.readAllStandardOutput());
    const QString stdErr = QString::fromLocal8Bit(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == exitCode, qPrintable(QString::number(p.exitCode()) + ": " + stdErr));
    QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), qPrintable(stdOut));
    QVERIFY2(err.isEmpty() ? stdErr.isEmpty() : stdErr.startsWith(err), qPrintable(stdErr));
    if (oneLine) QVERIFY2(stdErr.count(QLatin1Char('\n')) == 1 && stdErr.endsWith('\n'), qPrintable(stdErr));
    QCOMPARE(QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{});
    QCOMPARE(QDir(cwd.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{});
  }

  // The desktop entry's command, run as a menu runs it (from some other
  // directory): the program works in ~/KVL, completing the settings file
  // there, and ends cleanly on the session's stop signal. Both directories
  // hold a file that maps every COM number to nothing, so that no real port
  // is probed wherever the program works; the starting directory's file
  // must stay as it was.
  void menuEntryWorksInKvlDirectory() {
    QStringList args = ExecArguments(DesktopExec());
    QVERIFY2(!args.isEmpty() && args.first() == QLatin1String("kvlterm"), qPrintable(args.join('|')));
    args.removeFirst();
    QTemporaryDir home, cwd;
    QVERIFY(QDir(home.path()).mkdir(QStringLiteral("KVL")));
    const QByteArray noPorts = QByteArray::fromStdString(kvltest::ComPortsSection());
    for (const QString& path : {home.filePath(QStringLiteral("KVL/zel .ini")), cwd.filePath(QStringLiteral("zel .ini"))}) {
      QFile f(path);
      QVERIFY(f.open(QIODevice::WriteOnly) && f.write(noPorts) == noPorts.size());
    }
    QProcess p;
    QProcessEnvironment e = BareEnvironment(home.path());
    e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(e);
    p.setWorkingDirectory(cwd.path());
    p.start(QStringLiteral(KVL_TERM_PATH), args);
    QVERIFY(p.waitForStarted());
    const QString settings = home.filePath(QStringLiteral("KVL/zel .ini"));
    // The program adds every missing key, the last one at the end.
    const bool written = QTest::qWaitFor(
        [&] {
          QFile f(settings);
          return p.state() == QProcess::Running && f.open(QIODevice::ReadOnly) && f.readAll().contains("Phone 4:=");
        },
        30000);
    p.terminate();
    QVERIFY(p.waitForFinished(30000));
    QVERIFY2(written, p.readAllStandardError().constData());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QFile untouched(cwd.filePath(QStringLiteral("zel .ini")));
    QVERIFY(untouched.open(QIODevice::ReadOnly));
    QCOMPARE(untouched.readAll(), noPorts);
  }
};

QTEST_MAIN(StartupTest)
#include "startup_test.moc"
