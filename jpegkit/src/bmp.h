// BMP pictures: reading 1-, 4-, 8- and 24-bit files into the 24-bit layout,
// the 24-bit header of decoded pictures, and the 1-bit scaled output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace jk {

constexpr int kBmpHeaderBytes = 54;
constexpr int kBmp1HeaderBytes = 62;
// Largest picture the BMP reader takes, in pixels of rows rounded up to
// whole 32-bit words.
constexpr int64_t kMaxBmpPixels = 1048576;
// Largest pixel data of a 1-bit output picture.
constexpr int64_t kMax1BitBytes = 40 << 20;

// Codes of the BMP reader (as the conversions return them).
constexpr int32_t kBmpUnsupported = -3;
constexpr int32_t kBmpTooLarge = -4;
constexpr int32_t kBmpDamaged = -5;

struct BmpPicture {
  std::vector<uint8_t> pixels;  // BGR, bottom row first, row_bytes per row
  int width = 0, height = 0;
  int row_bytes = 0;
};

// Reads a BMP file held in memory. Returns 0 or one of the codes above.
int32_t read_bmp(const uint8_t* data, size_t size, BmpPicture& out);

// The 54-byte header of a 24-bit picture whose rows need no padding.
void bmp24_header(uint8_t* header, int width, int height);

// Makes the 1-bit file (header and rows) of bmp_to_bmp. Returns 0 or
// kBmpTooLarge when the output size is out of range.
int32_t make_1bit_bmp(const BmpPicture& src, float factor, int32_t width_extra, int32_t height_extra,
                      std::vector<uint8_t>& file);

}  // namespace jk
