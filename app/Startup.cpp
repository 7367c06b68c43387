#include "app/Startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "app/CaretRest.h"
#include "app/CommandLine.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "net/NetOs.h"
#include "serial/PortUse.h"
#include "serial/SerialOs.h"
#include "serial/uCom.h"
#include "settings/Settings.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"
#include "ui/ErrorReporter.h"

namespace kvl {
namespace {

int gSignalPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP end the program as closing the window does, so
// that an open port gets its settings back.
void QuitOnStopSignals(QObject* owner) {
  if (gSignalPipe[0] >= 0 || ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
    char buf[16];
    while (::read(gSignalPipe[0], buf, sizeof buf) > 0) {
    }
    QCoreApplication::quit();
  });
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

void Print(std::FILE* stream, const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
  std::fflush(stream);
}

// Qt's messages while the GUI application starts are held back. When the
// display platform cannot start, Qt gives its warnings and then a fatal
// message, after which it would abort; the engineer gets one line instead,
// with Qt's first warning as the reason. When it starts, the held messages
// go out as they came.
struct HeldMessage {
  QtMsgType type;
  const char* file;
  int line;
  const char* function;
  const char* category;
  QString text;
};
std::vector<HeldMessage> gHeldMessages;

void HoldStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    gHeldMessages.push_back({type, context.file, context.line, context.function, context.category, text});
    return;
  }
  QString reason = text;
  for (const HeldMessage& m : gHeldMessages) {
    if (m.type == QtWarningMsg || m.type == QtCriticalMsg) {
      reason = m.text;
      break;
    }
  }
  // A missing plugin is no missing display: the line names the plugin.
  QString platform;
  for (const HeldMessage& m : gHeldMessages)
    if (platform.isEmpty()) platform = PlatformOfPluginMessage(m.text);
  if (platform.isEmpty()) platform = PlatformOfPluginMessage(text);
  const QString line = platform.isEmpty() ? NoDisplayLine(reason.section(QLatin1Char('\n'), 0, 0).trimmed())
                                          : MissingPlatformLine(platform);
  Print(stderr, line + QLatin1Char('\n'));
  std::_Exit(1);
}

void StartGuiApplication(std::optional<QApplication>& app, int& argc, char** argv) {
  gHeldMessages.clear();
  const QtMessageHandler previous = qInstallMessageHandler(HoldStartMessage);
  app.emplace(argc, argv);
  qInstallMessageHandler(previous);
  for (const HeldMessage& m : gHeldMessages) {
    const QMessageLogContext context(m.file, m.line, m.function, m.category);
    previous(m.type, context, m.text);
  }
  gHeldMessages.clear();
}

}  // namespace

void PrepareDisplay() {
  if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
}

int RunProgram(int argc, char** argv) {
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  const CommandLine commandLine = ParseCommandLine(args);
  switch (commandLine.action) {
    case CommandLine::Action::ShowHelp:
      Print(stdout, UsageText());
      return 0;
    case CommandLine::Action::ShowVersion:
      Print(stdout, VersionText());
      return 0;
    case CommandLine::Action::Fail:
      Print(stderr, QStringLiteral("kvlterm: %1\n\n").arg(commandLine.error) + UsageText());
      return 2;
    case CommandLine::Action::Run:
      break;
  }
  if (!DisplayConfigured(qEnvironmentVariable("QT_QPA_PLATFORM"), qEnvironmentVariable("DISPLAY"),
                         qEnvironmentVariable("WAYLAND_DISPLAY"))) {
    Print(stderr, NoDisplayLine(QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set")) + QLatin1Char('\n'));
    return 1;
  }
  const QString missing = MissingPlatform(qEnvironmentVariable("QT_QPA_PLATFORM"), qEnvironmentVariable("DISPLAY"),
                                          qEnvironmentVariable("WAYLAND_DISPLAY"), InstalledPlatforms());
  if (!missing.isEmpty()) {
    Print(stderr, MissingPlatformLine(missing) + QLatin1Char('\n'));
    return 1;
  }
  // A Wayland display alone: Qt takes it only in a session that says it is
  // Wayland's, so it is named.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "wayland");
  PrepareDisplay();
  std::optional<QApplication> app;
  StartGuiApplication(app, argc, argv);
  // The working directory holds the settings file: it is entered before the
  // main window loads that file. Started from the menu, stderr is seen by
  // no one, hence the box as well.
  if (!commandLine.workDir.isEmpty()) {
    const QString error = EnterWorkDir(commandLine.workDir);
    if (!error.isEmpty()) {
      Print(stderr, QStringLiteral("kvlterm: %1\n").arg(error));
      ErrorBox(error);
      return 1;
    }
  }
  Application program;
  return app->exec();
}

void InstallComPortMapping() {
  // COM n is the device the "Com ports" section names, read afresh at each
  // opening and probe, or the built-in device when the section has no key.
  SetComPathResolver([](int n) {
    const std::optional<std::string> mapped = ComPathFromSettings(n);
    return mapped ? *mapped : DefaultComPath(n);
  });
}

void ResetProgramState() {
  // The OS tables first, so that the ports close through the real calls.
  Os = RealSerialOs();
  SockOs = RealNetOs();
  ComClose(ComPort);
  ComClose(ProbePort);
  ResetSharedState();
  ResetSimState();
  InstallComPortMapping();
  // The system's own /proc, /sys and /dev/serial/by-id; the lock
  // directories stay where they are, so that a test program keeps its own.
  PortUsePlaces places;
  places.lockDirs = CurrentPortUsePlaces().lockDirs;
  SetPortUsePlaces(places);
  // Error boxes as the program shows them.
  SetErrorReporter(nullptr);
}

Application::Application() {
  // First of all, so that a stop signal while the windows are made (and the
  // settings file written) ends the program cleanly too.
  QuitOnStopSignals(QCoreApplication::instance());
  QCoreApplication::setApplicationName(QStringLiteral("KVL service program"));
  // Ties the windows to the desktop entry (and so to its icon) on Wayland.
  QGuiApplication::setDesktopFileName(QStringLiteral("kvlterm"));
  InstallComPortMapping();
  main_ = new TBaseform;  // runs FormCreate
  simSet_ = new TSimSetform(main_);
  main_->setSimSetform(simSet_);
  main_->setAttribute(Qt::WA_DeleteOnClose, false);
  new CaretRest(main_);  // ends with the main window
  main_->show();
}

Application::~Application() {
  delete main_;  // closes an open port; the SIM settings window is its child
}

}  // namespace kvl
