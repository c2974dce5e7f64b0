#include "colour.h"

#include <algorithm>
#include <cstring>

namespace ovo {
namespace {

constexpr ColourTables make_tables() {
  ColourTables t{};
  for (int i = 0; i < 256; ++i) {
    t.y[i] = 76309 * i - 1221968;
    t.cr_r[i] = 104597 * (i - 128);
    t.cr_g[i] = 53279 * (i - 128);
    t.cb_g[i] = 25675 * (i - 128);
    t.cb_b[i] = 132201 * (i - 128);
  }
  for (int i = 0; i < 1024; ++i) {
    const int v = i - kClampOffset;
    t.clamp[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
  }
  return t;
}

constexpr ColourTables kTables = make_tables();

static_assert((kTables.y[128] >> 16) == 130, "mid grey");
static_assert(kTables.clamp[kClampOffset + 254] == 254 && kTables.clamp[0] == 0 && kTables.clamp[1023] == 255);

// Bytes of a 64-bit word halved and quartered without carrying into the
// neighbouring byte.
constexpr uint64_t kHalfMask = 0x7F7F7F7F7F7F7F7Full;
constexpr uint64_t kQuarterMask = 0x3F3F3F3F3F3F3F3Full;

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

void average_rows(const uint8_t* a, const uint8_t* b, uint8_t* d, int width) {
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    store64(d + x, ((load64(a + x) >> 1) & kHalfMask) + ((load64(b + x) >> 1) & kHalfMask));
  }
  for (; x < width; ++x) d[x] = static_cast<uint8_t>(a[x] / 2 + b[x] / 2);
}

void weigh_rows(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* d, int width) {
  int x = 0;
  for (; x + 8 <= width; x += 8) {
    store64(d + x, ((load64(a + x) >> 2) & kQuarterMask) + ((load64(b + x) >> 1) & kHalfMask) +
                       ((load64(c + x) >> 2) & kQuarterMask));
  }
  for (; x < width; ++x) d[x] = static_cast<uint8_t>(a[x] / 4 + b[x] / 2 + c[x] / 4);
}

// Two pixels sharing one chroma sample.
inline void put_pixel(uint8_t* d, const uint8_t* clamp, int32_t y, int32_t blue, int32_t green, int32_t red) {
  d[0] = clamp[(y + blue) >> 16];
  d[1] = clamp[(y - green) >> 16];
  d[2] = clamp[(y + red) >> 16];
}

void convert_row(const uint8_t* ys, const uint8_t* us, const uint8_t* vs, uint8_t* d, int width) {
  const ColourTables& t = kTables;
  const uint8_t* clamp = t.clamp + kClampOffset;
  int x = 0;
  // Four pixels per step: two chroma samples.
  for (; x + 4 <= width; x += 4, d += 12) {
    const int c0 = x / 2;
    const int32_t b0 = t.cb_b[us[c0]], g0 = t.cr_g[vs[c0]] + t.cb_g[us[c0]], r0 = t.cr_r[vs[c0]];
    const int32_t b1 = t.cb_b[us[c0 + 1]], g1 = t.cr_g[vs[c0 + 1]] + t.cb_g[us[c0 + 1]], r1 = t.cr_r[vs[c0 + 1]];
    put_pixel(d, clamp, t.y[ys[x]], b0, g0, r0);
    put_pixel(d + 3, clamp, t.y[ys[x + 1]], b0, g0, r0);
    put_pixel(d + 6, clamp, t.y[ys[x + 2]], b1, g1, r1);
    put_pixel(d + 9, clamp, t.y[ys[x + 3]], b1, g1, r1);
  }
  for (; x < width; ++x, d += 3) {
    const int c = x / 2;
    put_pixel(d, clamp, t.y[ys[x]], t.cb_b[us[c]], t.cr_g[vs[c]] + t.cb_g[us[c]], t.cr_r[vs[c]]);
  }
}

}  // namespace

const ColourTables& colour_tables() { return kTables; }

void deinterlace_plane(const uint8_t* src, int src_stride, uint8_t* dst, int dst_stride, int width, int rows) {
  if (rows <= 0 || width <= 0) return;
  if (rows == 1) {
    std::memcpy(dst, src, static_cast<size_t>(width));
    return;
  }
  auto s = [&](int r) { return src + static_cast<ptrdiff_t>(r) * src_stride; };
  auto d = [&](int r) { return dst + static_cast<ptrdiff_t>(r) * dst_stride; };
  average_rows(s(0), s(1), d(0), width);
  for (int r = 1; r < rows - 1; ++r) weigh_rows(s(r - 1), s(r), s(r + 1), d(r), width);
  average_rows(s(rows - 2), s(rows - 1), d(rows - 1), width);
}

void yuv420_to_bgr(const YuvView& pic, uint8_t* dst, bool deinterlace, ConvertScratch& scratch) {
  const int w = pic.width, h = pic.height;
  if (w <= 0 || h <= 0) return;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  YuvView src = pic;
  if (deinterlace) {
    const size_t y_bytes = static_cast<size_t>(w) * h;
    const size_t c_bytes = static_cast<size_t>(cw) * ch;
    if (scratch.planes.size() < y_bytes + 2 * c_bytes) scratch.planes.resize(y_bytes + 2 * c_bytes);
    uint8_t* fy = scratch.planes.data();
    uint8_t* fu = fy + y_bytes;
    uint8_t* fv = fu + c_bytes;
    deinterlace_plane(pic.y, pic.stride_y, fy, w, w, h);
    deinterlace_plane(pic.u, pic.stride_uv, fu, cw, cw, ch);
    deinterlace_plane(pic.v, pic.stride_uv, fv, cw, cw, ch);
    src = YuvView{fy, fu, fv, w, cw, w, h};
  }
  const size_t row_bytes = static_cast<size_t>(w) * 3;
  for (int r = 0; r < h; ++r) {
    const int cr = r / 2;
    convert_row(src.y + static_cast<ptrdiff_t>(r) * src.stride_y, src.u + static_cast<ptrdiff_t>(cr) * src.stride_uv,
                src.v + static_cast<ptrdiff_t>(cr) * src.stride_uv, dst + (h - 1 - r) * row_bytes, w);
  }
}

void YuvPicture::assign(const YuvView& src) { assign_crop(src, 0, 0, src.width, src.height); }

void YuvPicture::assign_crop(const YuvView& src, int x, int y, int width, int height) {
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  const size_t y_bytes = static_cast<size_t>(width) * height;
  const size_t c_bytes = static_cast<size_t>(cw) * ch;
  if (data_.size() < y_bytes + 2 * c_bytes) data_.resize(y_bytes + 2 * c_bytes);
  uint8_t* py = data_.data();
  uint8_t* pu = py + y_bytes;
  uint8_t* pv = pu + c_bytes;
  for (int r = 0; r < height; ++r) {
    std::memcpy(py + static_cast<size_t>(r) * width, src.y + static_cast<ptrdiff_t>(y + r) * src.stride_y + x,
                static_cast<size_t>(width));
  }
  for (int r = 0; r < ch; ++r) {
    const ptrdiff_t at = static_cast<ptrdiff_t>(y / 2 + r) * src.stride_uv + x / 2;
    std::memcpy(pu + static_cast<size_t>(r) * cw, src.u + at, static_cast<size_t>(cw));
    std::memcpy(pv + static_cast<size_t>(r) * cw, src.v + at, static_cast<size_t>(cw));
  }
  width_ = width;
  height_ = height;
}

void YuvPicture::clear() {
  width_ = 0;
  height_ = 0;
}

YuvView YuvPicture::view() const {
  const int cw = (width_ + 1) / 2;
  const size_t y_bytes = static_cast<size_t>(width_) * height_;
  const size_t c_bytes = static_cast<size_t>(cw) * ((height_ + 1) / 2);
  const uint8_t* py = data_.data();
  return YuvView{py, py + y_bytes, py + y_bytes + c_bytes, width_, cw, width_, height_};
}

}  // namespace ovo
