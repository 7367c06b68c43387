#include "app/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace kvl {

void PaintAppIcon(QPainter& p) {
  // Only colours of the classic 16-colour palette.
  const QColor navy(0, 0, 128), teal(0, 128, 128), silver(192, 192, 192), grey(128, 128, 128),
      lime(0, 255, 0), black(0, 0, 0), white(255, 255, 255), red(255, 0, 0);
  // Antenna mast with two radio waves.
  p.setPen(QPen(black, 2));
  p.drawLine(22, 13, 22, 3);
  p.setPen(QPen(navy, 1));
  p.drawArc(16, 1, 12, 10, 30 * 16, 120 * 16);
  p.drawArc(13, -2, 18, 14, 35 * 16, 110 * 16);
  // Modem case.
  p.setPen(QPen(black, 1));
  p.setBrush(teal);
  p.drawRect(2, 13, 28, 14);
  p.setBrush(silver);
  p.drawRect(4, 15, 24, 6);
  // Status lamps.
  p.setPen(Qt::NoPen);
  p.setBrush(lime);
  p.drawRect(6, 23, 3, 2);
  p.drawRect(11, 23, 3, 2);
  p.setBrush(red);
  p.drawRect(16, 23, 3, 2);
  // "KVL" on the front plate, as outlines so that every size and the
  // scalable file show the same letters whatever fonts are installed.
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(6);
  f.setBold(true);
  QPainterPath letters;
  letters.addText(0, 0, f, QStringLiteral("KVL"));
  const QRectF plate(4, 15, 24, 6);
  const QRectF box = letters.boundingRect();
  letters.translate(plate.center() - box.center());
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.fillPath(letters, navy);
  p.restore();
  p.setPen(grey);
  p.drawLine(3, 28, 29, 28);
  p.setPen(white);
  p.drawLine(3, 14, 29, 14);
}

QImage AppIconImage(int size) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
  // On its own grid the drawing is pixel-exact; scaled, hard edges would
  // stair-step.
  p.setRenderHint(QPainter::Antialiasing, size != 32);
  p.scale(size / 32.0, size / 32.0);
  PaintAppIcon(p);
  p.end();
  return img;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128, 256}) icon.addPixmap(QPixmap::fromImage(AppIconImage(size)));
  return icon;
}

}  // namespace kvl
