// Writes the program's icons into a hicolor icon theme folder for the
// desktop entry: a scalable SVG and PNGs at the usual launcher sizes, all
// from the window's own drawing.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

#include "app/AppIcon.h"

namespace {

constexpr int kSizes[] = {16, 32, 48, 64, 128, 256};

bool WriteSvg(const QString& path) {
  QSvgGenerator svg;
  svg.setFileName(path);
  svg.setSize(QSize(32, 32));
  svg.setViewBox(QRect(0, 0, 32, 32));
  svg.setTitle(QStringLiteral("KVL service program"));
  svg.setDescription(QStringLiteral("A modem with its antenna"));
  QPainter p;
  if (!p.begin(&svg)) return false;
  kvl::PaintAppIcon(p);
  return p.end();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kvl-icon THEME_DIR   (writes THEME_DIR/<size>/apps/kvlterm.*)\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString theme = QString::fromLocal8Bit(argv[1]);
  auto appsDir = [&](const QString& size) {
    const QString dir = theme + QLatin1Char('/') + size + QStringLiteral("/apps");
    return QDir().mkpath(dir) ? dir + QStringLiteral("/kvlterm") : QString();
  };
  bool ok = true;
  for (int size : kSizes) {
    const QString base = appsDir(QStringLiteral("%1x%1").arg(size));
    ok = !base.isEmpty() && kvl::AppIconImage(size).save(base + QStringLiteral(".png"), "PNG") && ok;
  }
  const QString scalable = appsDir(QStringLiteral("scalable"));
  ok = !scalable.isEmpty() && WriteSvg(scalable + QStringLiteral(".svg")) && ok;
  if (!ok) std::fprintf(stderr, "kvl-icon: cannot write the icons into %s\n", argv[1]);
  return ok ? 0 : 1;
}
