#include "app/AppIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace kvl {

QImage AppIconImage() {
  QImage img(32, 32, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  QPainter p(&img);
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
  // "KVL" on the front plate.
  p.setPen(navy);
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(6);
  f.setBold(true);
  p.setFont(f);
  p.drawText(QRect(4, 15, 24, 6), Qt::AlignCenter, QStringLiteral("KVL"));
  p.setPen(grey);
  p.drawLine(3, 28, 29, 28);
  p.setPen(white);
  p.drawLine(3, 14, 29, 14);
  p.end();
  return img;
}

QIcon AppIcon() { return QIcon(QPixmap::fromImage(AppIconImage())); }

}  // namespace kvl
