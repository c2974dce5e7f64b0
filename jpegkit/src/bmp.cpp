#include "bmp.h"

#include <cmath>
#include <cstring>

#include "codes.h"

namespace jk {
namespace {

uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

int32_t read_bmp(const uint8_t* data, size_t size, BmpPicture& out) {
  if (size < kBmpHeaderBytes || data[0] != 'B' || data[1] != 'M') return kBmpDamaged;
  const uint32_t pixel_offset = u32(data + 10);
  const uint32_t info_size = u32(data + 14);
  const int32_t width = static_cast<int32_t>(u32(data + 18));
  const int32_t raw_height = static_cast<int32_t>(u32(data + 22));
  const int bpp = u16(data + 28);
  const uint32_t compression = u32(data + 30);
  const uint32_t colours_used = u32(data + 46);
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24) return kBmpUnsupported;
  // Only uncompressed pixels; older core headers have no room for them.
  if (compression != 0 || info_size < 40) return kBmpUnsupported;
  if (width <= 0 || raw_height == 0 || raw_height == INT32_MIN) return kBmpDamaged;
  const bool top_down = raw_height < 0;
  const int32_t height = top_down ? -raw_height : raw_height;

  // Rows fill whole 32-bit words; the pixel limit counts those words.
  int64_t rounded = width;
  if (bpp == 1) rounded = (rounded + 31) & ~int64_t{31};
  if (bpp == 4) rounded = (rounded + 7) & ~int64_t{7};
  if (bpp == 8) rounded = (rounded + 3) & ~int64_t{3};
  if (rounded * height > kMaxBmpPixels) return kBmpTooLarge;

  const int64_t stride = (static_cast<int64_t>(width) * bpp + 31) / 32 * 4;
  const int64_t palette_start = 14 + static_cast<int64_t>(info_size);
  if (pixel_offset < palette_start || pixel_offset > size ||
      stride * height > static_cast<int64_t>(size) - pixel_offset)
    return kBmpDamaged;

  // Palette entries lie between the headers and the pixels (blue, green,
  // red, reserved); indices without an entry are black.
  uint8_t palette[256][3] = {};
  if (bpp <= 8) {
    int64_t entries = (pixel_offset - palette_start) / 4;
    if (entries > (1 << bpp)) entries = 1 << bpp;
    if (colours_used && colours_used < entries) entries = colours_used;
    for (int64_t i = 0; i < entries; ++i) std::memcpy(palette[i], data + palette_start + 4 * i, 3);
  }

  out.width = width;
  out.height = height;
  out.row_bytes = static_cast<int>(row_bytes(width));
  out.pixels.assign(static_cast<size_t>(out.row_bytes) * height, 0);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* src = data + pixel_offset + stride * (top_down ? height - 1 - y : y);
    uint8_t* dst = out.pixels.data() + static_cast<ptrdiff_t>(y) * out.row_bytes;
    if (bpp == 24) {
      std::memcpy(dst, src, static_cast<size_t>(width) * 3);
      continue;
    }
    const int per_byte = 8 / bpp, mask = (1 << bpp) - 1;
    for (int32_t x = 0; x < width; ++x) {
      int shift = 8 - bpp * (x % per_byte + 1);
      int index = (src[x / per_byte] >> shift) & mask;
      std::memcpy(dst + 3 * x, palette[index], 3);
    }
  }
  return 0;
}

void bmp24_header(uint8_t* h, int width, int height) {
  std::memset(h, 0, kBmpHeaderBytes);
  h[0] = 'B';
  h[1] = 'M';
  put32(h + 2, static_cast<uint32_t>(static_cast<int64_t>(width) * height * 3 + kBmpHeaderBytes));
  put32(h + 10, kBmpHeaderBytes);
  put32(h + 14, 40);
  // Width and height go in the low 16 bits of their fields.
  put16(h + 18, static_cast<uint16_t>(width));
  put16(h + 22, static_cast<uint16_t>(height));
  put16(h + 26, 1);
  put16(h + 28, 24);
}

int32_t make_1bit_bmp(const BmpPicture& src, float factor, int32_t width_extra, int32_t height_extra,
                      std::vector<uint8_t>& file) {
  if (!std::isfinite(factor)) return kBmpTooLarge;
  const double f = factor;
  const double ow = std::floor(src.width * f + 0.5) + width_extra;
  const double oh = std::floor(src.height * f + 0.5) + height_extra;
  if (!(ow >= 1 && oh >= 1 && ow <= INT32_MAX && oh <= INT32_MAX)) return kBmpTooLarge;
  const int64_t out_w = static_cast<int64_t>(ow), out_h = static_cast<int64_t>(oh);
  const int64_t stride = (out_w + 31) / 32 * 4;
  if (stride * out_h > kMax1BitBytes) return kBmpTooLarge;

  const size_t total = kBmp1HeaderBytes + static_cast<size_t>(stride * out_h);
  file.assign(total, 0xFF);  // every pixel white until set
  uint8_t* h = file.data();
  std::memset(h, 0, kBmp1HeaderBytes);
  h[0] = 'B';
  h[1] = 'M';
  put32(h + 2, static_cast<uint32_t>(total));
  put32(h + 10, kBmp1HeaderBytes);
  put32(h + 14, 40);
  put32(h + 18, static_cast<uint32_t>(out_w));
  put32(h + 22, static_cast<uint32_t>(out_h));
  put16(h + 26, 1);
  put16(h + 28, 1);
  // Palette: entry 0 black, entry 1 white.
  h[58] = h[59] = h[60] = 0xFF;
  uint8_t* bits = h + kBmp1HeaderBytes;

  for (int y = 0; y < src.height; ++y) {
    const double row = std::floor(height_extra + y * f);
    if (row < 1 || row >= out_h) continue;
    uint8_t* out_row = bits + static_cast<int64_t>(row) * stride;
    const uint8_t* in_row = src.pixels.data() + static_cast<ptrdiff_t>(y) * src.row_bytes;
    for (int x = 0; x < src.width; ++x) {
      const double col = std::floor(width_extra + x * f);
      if (col < 1 || col >= out_w) continue;
      const int64_t c = static_cast<int64_t>(col);
      const uint8_t bit = static_cast<uint8_t>(0x80 >> (c & 7));
      if (in_row[3 * x + 1] >= 128)
        out_row[c >> 3] |= bit;
      else
        out_row[c >> 3] &= static_cast<uint8_t>(~bit);
    }
  }
  return 0;
}

}  // namespace jk
