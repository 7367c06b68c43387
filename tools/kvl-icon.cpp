// Writes the program's icon as a PNG file, for the desktop entry.
#include <QGuiApplication>
#include <QImage>
#include <cstdio>

#include "app/AppIcon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvl-icon OUTPUT.png\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  return kvl::AppIconImage().save(QString::fromLocal8Bit(argv[1]), "PNG") ? 0 : 1;
}
