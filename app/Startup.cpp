#include "app/Startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>

#include "app/fBase.h"
#include "serial/uCom.h"
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

Application::Application() {
  QCoreApplication::setApplicationName(QStringLiteral("KVL service program"));
  InstallComPortMapping();
  Main = new TBaseform;  // runs FormCreate
  SimSet = new TSimSetform(Main);
  Main->setSimSetform(SimSet);
  Main->setAttribute(Qt::WA_DeleteOnClose, false);
  Main->show();
  QuitOnStopSignals(Main);
}

Application::~Application() {
  // An open port is given back its settings and its reader ended first, so
  // that no thread outlives the window it posts to.
  ComClose(ComPort);
  delete Main;  // the SIM settings window is its child
}

}  // namespace kvl
