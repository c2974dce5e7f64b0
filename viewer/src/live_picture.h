// A live picture as brinlib hands it over in memory (bottom row first, blue,
// green, red, rows of width x 3 bytes) turned into the image a cell draws.
// Header only, so that the live benchmark measures the same conversion.
#pragma once
#include <QImage>
#include <cstddef>
#include <cstdint>
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace velmora::viewer {

// The image's pixels are the same three bytes with an opaque fourth, so a
// row is widened four pixels at a time where the processor can shuffle
// bytes, and pixel by pixel for the rest. Gives the pixels widened.
#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("ssse3"))) inline int widen_bgr_row_ssse3(const uint8_t* from, QRgb* to, int width) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i opaque = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
  int x = 0;
  // Each load reads sixteen bytes, four bytes past the four pixels taken.
  for (; x + 6 <= width; x += 4, from += 12) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + x), _mm_or_si128(_mm_shuffle_epi8(bytes, spread), opaque));
  }
  return x;
}
#endif

inline QImage image_from_bottom_up_bgr(const uint8_t* rgb, int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
#if defined(__x86_64__) || defined(__i386__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
#else
  constexpr bool ssse3 = false;
#endif
  const size_t stride = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    const uint8_t* from = rgb + static_cast<size_t>(height - 1 - y) * stride;
    auto* to = reinterpret_cast<QRgb*>(image.scanLine(y));
    int x = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (ssse3) {
      x = widen_bgr_row_ssse3(from, to, width);
      from += static_cast<size_t>(x) * 3;
    }
#endif
    for (; x < width; ++x, from += 3) to[x] = qRgb(from[2], from[1], from[0]);
  }
  return image;
}

}  // namespace velmora::viewer
