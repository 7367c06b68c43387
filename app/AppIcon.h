#pragma once
#include <QIcon>
#include <QImage>
class QPainter;
namespace kvl {
// The program's icon in 16 colours: a modem with its antenna, drawn on a
// 32 x 32 grid.
void PaintAppIcon(QPainter& p);
// The icon as a size x size image; 32 is the drawing's own grid, other
// sizes scale it with smoothed edges.
QImage AppIconImage(int size = 32);
// The window's icon, at the sizes a desktop asks for.
QIcon AppIcon();
}  // namespace kvl
