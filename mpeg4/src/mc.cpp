#include "mc.h"

#include <cstddef>
#include <cstring>

#include "mc_kernels.h"

namespace mpeg4 {
namespace {

inline int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }
inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Points src at a readable w x h area at (x, y): the plane itself when the
// area lies inside it, else an edge-extended copy in buf.
const uint8_t* source_area(const Plane& ref, int x, int y, int w, int h, uint8_t* buf, int buf_stride, int* stride) {
  if (x >= 0 && y >= 0 && x + w <= ref.width && y + h <= ref.height) {
    *stride = ref.stride;
    return ref.data + static_cast<ptrdiff_t>(y) * ref.stride + x;
  }
  copy_with_edges(buf, buf_stride, ref, x, y, w, h);
  *stride = buf_stride;
  return buf;
}

// One row of quarter-sample interpolation: n values at fraction frac (0 to
// 3 quarters) from the n + 1 samples s[0 .. n]; s must have room for three
// more samples before and after, which get the samples mirrored at the
// row's ends.
inline void qpel_row(int16_t* s, int n, int frac, int rounding, int16_t* out) {
  if (frac == 0) {
    for (int i = 0; i < n; ++i) out[i] = s[i];
    return;
  }
  s[-1] = s[0];
  s[-2] = s[1];
  s[-3] = s[2];
  s[n + 1] = s[n];
  s[n + 2] = s[n - 1];
  s[n + 3] = s[n - 2];
  const int16_t* const tap[8] = {s - 3, s - 2, s - 1, s, s + 1, s + 2, s + 3, s + 4};
  mc_kernels().qpel_taps(tap, frac == 3 ? s + 1 : s, n, frac, rounding, out);
}

}  // namespace

void copy_with_edges(uint8_t* dst, int dst_stride, const Plane& ref, int x, int y, int w, int h) {
  for (int j = 0; j < h; ++j) {
    const uint8_t* row;
    if (ref.field < 0) {
      row = ref.data + static_cast<ptrdiff_t>(clampi(y + j, 0, ref.height - 1)) * ref.stride;
    } else {
      const int frame_stride = ref.stride / 2;
      const uint8_t* frame = ref.data - ref.field * frame_stride;
      const int frame_row = clampi(ref.field + 2 * (y + j), 0, ref.frame_height - 1);
      row = frame + static_cast<ptrdiff_t>(frame_row) * frame_stride;
    }
    uint8_t* d = dst + static_cast<ptrdiff_t>(j) * dst_stride;
    for (int i = 0; i < w; ++i) d[i] = row[clampi(x + i, 0, ref.width - 1)];
  }
}

void mc_halfpel(uint8_t* dst, int dst_stride, const Plane& ref, int x2, int y2, int w, int h, int rounding) {
  const int fx = x2 & 1, fy = y2 & 1;
  uint8_t buf[17 * 17];
  int ss;
  const uint8_t* s = source_area(ref, x2 >> 1, y2 >> 1, w + fx, h + fy, buf, 17, &ss);
  mc_kernels().halfpel(dst, dst_stride, s, ss, w, h, fx, fy, rounding);
}

void mc_qpel(uint8_t* dst, int dst_stride, const Plane& ref, int x4, int y4, int w, int h, int rounding) {
  const int fx = x4 & 3, fy = y4 & 3;
  if (!fx && !fy) {
    mc_halfpel(dst, dst_stride, ref, (x4 >> 2) * 2, (y4 >> 2) * 2, w, h, rounding);
    return;
  }
  uint8_t buf[17 * 17];
  int ss;
  const uint8_t* s = source_area(ref, x4 >> 2, y4 >> 2, w + 1, h + 1, buf, 17, &ss);
  // Horizontal pass over the h + 1 rows (h when there is no vertical
  // fraction), then the vertical pass on its result, a whole row at a time
  // with the rows beyond the block's ends mirrored.
  int16_t mid[17][16];
  int16_t line[3 + 17 + 3];
  const int rows = fy ? h + 1 : h;
  for (int y = 0; y < rows; ++y) {
    const uint8_t* r = s + static_cast<ptrdiff_t>(y) * ss;
    for (int x = 0; x <= w; ++x) line[3 + x] = r[x];
    qpel_row(line + 3, w, fx, rounding, mid[y]);
  }
  if (!fy) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) dst[static_cast<ptrdiff_t>(y) * dst_stride + x] = static_cast<uint8_t>(mid[y][x]);
    return;
  }
  auto row = [&](int j) -> const int16_t* { return mid[j < 0 ? -j - 1 : (j > h ? 2 * h - j + 1 : j)]; };
  int16_t out[16];
  for (int y = 0; y < h; ++y) {
    const int16_t* const tap[8] = {row(y - 3), row(y - 2), row(y - 1), row(y),
                                   row(y + 1), row(y + 2), row(y + 3), row(y + 4)};
    mc_kernels().qpel_taps(tap, fy == 3 ? tap[4] : tap[3], w, fy, rounding, out);
    uint8_t* d = dst + static_cast<ptrdiff_t>(y) * dst_stride;
    for (int x = 0; x < w; ++x) d[x] = static_cast<uint8_t>(out[x]);
  }
}

void mc_average(uint8_t* dst, int dst_stride, const uint8_t* src, int src_stride, int w, int h) {
  mc_kernels().average(dst, dst_stride, src, src_stride, w, h);
}

void halfpel_c(uint8_t* dst, int ds, const uint8_t* s, int ss, int w, int h, int fx, int fy, int rounding) {
  if (!fx && !fy) {
    for (int y = 0; y < h; ++y, dst += ds, s += ss) std::memcpy(dst, s, static_cast<size_t>(w));
  } else if (fx && !fy) {
    const int r = 1 - rounding;
    for (int y = 0; y < h; ++y, dst += ds, s += ss)
      for (int x = 0; x < w; ++x) dst[x] = static_cast<uint8_t>((s[x] + s[x + 1] + r) >> 1);
  } else if (!fx && fy) {
    const int r = 1 - rounding;
    for (int y = 0; y < h; ++y, dst += ds, s += ss)
      for (int x = 0; x < w; ++x) dst[x] = static_cast<uint8_t>((s[x] + s[x + ss] + r) >> 1);
  } else {
    const int r = 2 - rounding;
    for (int y = 0; y < h; ++y, dst += ds, s += ss)
      for (int x = 0; x < w; ++x) dst[x] = static_cast<uint8_t>((s[x] + s[x + 1] + s[x + ss] + s[x + ss + 1] + r) >> 2);
  }
}

void qpel_taps_c(const int16_t* const tap[8], const int16_t* near, int n, int frac, int rounding, int16_t* out) {
  for (int i = 0; i < n; ++i) {
    const int v = 20 * (tap[3][i] + tap[4][i]) - 6 * (tap[2][i] + tap[5][i]) + 3 * (tap[1][i] + tap[6][i]) -
                  (tap[0][i] + tap[7][i]) + 16 - rounding;
    const int half = clamp255(v >> 5);
    out[i] = static_cast<int16_t>(frac == 2 ? half : (near[i] + half + 1 - rounding) >> 1);
  }
}

void average_c(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  for (int y = 0; y < h; ++y, dst += ds, src += ss)
    for (int x = 0; x < w; ++x) dst[x] = static_cast<uint8_t>((dst[x] + src[x] + 1) >> 1);
}

const McKernels& mc_kernels() {
#if defined(__SSE2__)
  static const McKernels kernels{halfpel_sse2, average_sse2, qpel_taps_sse2};
#else
  static const McKernels kernels{halfpel_c, average_c, qpel_taps_c};
#endif
  return kernels;
}

}  // namespace mpeg4
