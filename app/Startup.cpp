#include "app/Startup.h"

#include <QApplication>

#include "app/fBase.h"
#include "serial/uCom.h"
#include "simset/fSimSet.h"

namespace kvl {

Application::Application() {
  QCoreApplication::setApplicationName(QStringLiteral("KVL service program"));
  InstallComPortMapping();
  Main = new TBaseform;  // runs FormCreate
  SimSet = new TSimSetform(Main);
  Main->setSimSetform(SimSet);
  Main->setAttribute(Qt::WA_DeleteOnClose, false);
  Main->show();
}

Application::~Application() {
  // An open port is given back its settings and its reader ended first, so
  // that no thread outlives the window it posts to.
  ComClose(ComPort);
  delete Main;  // the SIM settings window is its child
}

}  // namespace kvl
