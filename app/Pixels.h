// 32-bit pixels in memory that another owns (an image, the memory shared
// with the display server): `height` lines of `width` pixels, `stride`
// pixels apart. Drawing into them needs no QImage, whose making and
// unmaking cost more than a frame's few rows; a painter gets one on demand.
#pragma once

#include <QImage>
#include <QRgb>
#include <QSize>
#include <cstddef>

namespace kvl {

struct Pixels {
  QRgb* bits = nullptr;
  int width = 0;
  int height = 0;
  std::size_t stride = 0;
  QImage::Format format = QImage::Format_RGB32;

  QSize size() const { return {width, height}; }
  QRgb* line(int y) const { return bits + std::size_t(y) * stride; }
  // Lines [from, to) as pixels of their own.
  Pixels lines(int from, int to) const { return {line(from), width, to - from, stride, format}; }
  // An image over the same memory.
  QImage image() const {
    return QImage(reinterpret_cast<uchar*>(bits), width, height, qsizetype(stride * sizeof(QRgb)), format);
  }
  static Pixels of(QImage& image) {
    return {reinterpret_cast<QRgb*>(image.bits()), image.width(), image.height(),
            std::size_t(image.bytesPerLine()) / sizeof(QRgb), image.format()};
  }
};

}  // namespace kvl
