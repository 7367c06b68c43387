#include <QApplication>
#include <clocale>

#include "app/Startup.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  QApplication app(argc, argv);
  kvl::Application program;
  return app.exec();
}
