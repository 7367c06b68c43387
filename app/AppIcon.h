#pragma once
#include <QIcon>
#include <QImage>
namespace kvl {
// The program's 32 x 32 icon in 16 colours: a modem with its antenna.
QImage AppIconImage();
QIcon AppIcon();
}  // namespace kvl
