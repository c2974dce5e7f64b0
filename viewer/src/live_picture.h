// A live picture as brinlib hands it over in memory (bottom row first, blue,
// green, red, rows of width x 3 bytes) turned into the image a cell draws.
// Header only, so that the live benchmark measures the same conversion.
#pragma once
#include <QImage>
#include <cstddef>
#include <cstdint>

namespace velmora::viewer {

inline QImage image_from_bottom_up_bgr(const uint8_t* rgb, int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  const size_t stride = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    const uint8_t* from = rgb + static_cast<size_t>(height - 1 - y) * stride;
    auto* to = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x, from += 3) to[x] = qRgb(from[2], from[1], from[0]);
  }
  return image;
}

}  // namespace velmora::viewer
