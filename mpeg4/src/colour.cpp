#include "mpeg4/colour.h"

#include <cstddef>

#include "colour_rows.h"

namespace mpeg4 {
namespace {

inline uint8_t clamp_shift(int v) {
  v = (v + 4096) >> 13;
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// The plain row: pixels x0 .. n - 1.
void yuv_row_to_bgr24_c(const uint8_t* py, const uint8_t* pu, const uint8_t* pv, uint8_t* out, int x0, int n) {
  for (int x = x0; x < n; ++x) {
    const int yy = 9539 * (py[x] - 16);
    const int u = pu[x / 2] - 128, v = pv[x / 2] - 128;
    out[3 * x + 0] = clamp_shift(yy + 16525 * u);
    out[3 * x + 1] = clamp_shift(yy - 3209 * u - 6660 * v);
    out[3 * x + 2] = clamp_shift(yy + 13075 * v);
  }
}

bool vector_rows() {
#if defined(__x86_64__) || defined(__i386__)
  return colour_ssse3_available();
#else
  return false;
#endif
}

}  // namespace

void yuv420_to_bgr24(const Picture& pic, uint8_t* dst, bool bottom_up) {
  const int w = pic.width, h = pic.height;
  // The vector rows take whole groups of sixteen pixels, the plain row the rest.
  const int vector_pixels = vector_rows() ? w & ~15 : 0;
  for (int y = 0; y < h; ++y) {
    const uint8_t* py = pic.y + static_cast<ptrdiff_t>(y) * pic.stride_y;
    const uint8_t* pu = pic.u + static_cast<ptrdiff_t>(y / 2) * pic.stride_uv;
    const uint8_t* pv = pic.v + static_cast<ptrdiff_t>(y / 2) * pic.stride_uv;
    uint8_t* out = dst + static_cast<ptrdiff_t>(bottom_up ? h - 1 - y : y) * w * 3;
#if defined(__x86_64__) || defined(__i386__)
    if (vector_pixels > 0) yuv_row_to_bgr24_ssse3(py, pu, pv, out, vector_pixels);
#endif
    yuv_row_to_bgr24_c(py, pu, pv, out, vector_pixels, w);
  }
}

}  // namespace mpeg4
