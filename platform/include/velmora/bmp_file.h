// The 24-bit BMP picture file every part of the program writes: a 54-byte
// header (file header and 40-byte information header) followed by the rows
// bottom-up, three bytes a pixel (blue, green, red), each row padded with
// zeros to a multiple of four bytes.
//
// Header only, so that the libraries and the tools share it without any of
// them exporting it. The caller owns the file: anything with a
// write(const void*, size_t) member takes the bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vp::bmp {

inline constexpr size_t kHeaderBytes = 54;

// Bytes of one row in the file, padding included.
inline constexpr size_t file_row_bytes(int width) { return (static_cast<size_t>(width) * 3 + 3) / 4 * 4; }

// The header of a picture of width x height pixels.
inline void make_header(uint8_t (&h)[kHeaderBytes], int width, int height) {
  const size_t image = file_row_bytes(width) * static_cast<size_t>(height);
  const auto put = [&h](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  for (uint8_t& b : h) b = 0;
  h[0] = 'B';
  h[1] = 'M';
  put(2, static_cast<uint32_t>(image + kHeaderBytes), 4);  // file size
  put(10, kHeaderBytes, 4);                                // where the pixels start
  put(14, 40, 4);                                          // information header size
  put(18, static_cast<uint32_t>(width), 4);
  put(22, static_cast<uint32_t>(height), 4);
  put(26, 1, 2);   // planes
  put(28, 24, 2);  // bits a pixel
  put(34, static_cast<uint32_t>(image), 4);
}

// Writes the header and height rows of width x 3 bytes, the first at rows
// (the bottom row of the picture) and each next one stride bytes on. A
// stride of 0 repeats the one row given (a plain picture).
template <typename File>
void write_picture(File& file, const uint8_t* rows, int width, int height, size_t stride) {
  uint8_t header[kHeaderBytes];
  make_header(header, width, height);
  file.write(header, sizeof header);
  const size_t row_bytes = static_cast<size_t>(width) * 3;
  if (stride == row_bytes && file_row_bytes(width) == row_bytes) {
    file.write(rows, row_bytes * static_cast<size_t>(height));  // the rows as they lie
    return;
  }
  const uint8_t padding[3] = {0, 0, 0};
  for (int y = 0; y < height; ++y) {
    file.write(rows + static_cast<size_t>(y) * stride, row_bytes);
    if (file_row_bytes(width) > row_bytes) file.write(padding, file_row_bytes(width) - row_bytes);
  }
}

}  // namespace vp::bmp
