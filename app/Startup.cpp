#include "app/Startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/Util.h"
#include "app/fBase.h"
#include "serial/uCom.h"
#include "settings/Settings.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"

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

}  // namespace

void InstallComPortMapping() {
  // COM n is the device the "Com ports" section names, read afresh at each
  // opening and probe, or the built-in device when the section has no key.
  SetComPathResolver([](int n) {
    const std::optional<std::string> mapped = ComPathFromSettings(n);
    return mapped ? *mapped : DefaultComPath(n);
  });
}

void ResetProgramState() {
  ComClose(ComPort);
  ComClose(ProbePort);
  ResetSharedState();
  ResetSimState();
  InstallComPortMapping();
}

Application::Application() {
  QCoreApplication::setApplicationName(QStringLiteral("KVL service program"));
  InstallComPortMapping();
  main_ = new TBaseform;  // runs FormCreate
  simSet_ = new TSimSetform(main_);
  main_->setSimSetform(simSet_);
  main_->setAttribute(Qt::WA_DeleteOnClose, false);
  main_->show();
  QuitOnStopSignals(main_);
}

Application::~Application() {
  delete main_;  // closes an open port; the SIM settings window is its child
}

}  // namespace kvl
