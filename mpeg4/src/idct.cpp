#include "idct.h"

#include <cmath>
#include <cstring>

namespace mpeg4 {
namespace {

// Each pass computes sqrt(2) times the 1-D transform, so that the DC and F4
// terms have a gain of exactly 1 and a block with a DC only is exact; the
// 2-D result is then scaled by 1/8.
constexpr float kC1 = 1.38703984532214746f;  // sqrt(2) cos(pi/16)
constexpr float kC2 = 1.30656296487637653f;  // sqrt(2) cos(2pi/16)
constexpr float kC3 = 1.17587560241935871f;
constexpr float kC5 = 0.78569495838710218f;
constexpr float kC6 = 0.54119610014619698f;
constexpr float kC7 = 0.27589937928294306f;

// Eight 1-D transforms side by side: column c of in (in[k][c] is the k-th
// coefficient of transform c) into column c of out. Written over c so the
// compiler turns it into vector code.
inline void idct_columns(const float (*in)[8], float (*out)[8]) {
  for (int c = 0; c < 8; ++c) {
    const float f0 = in[0][c], f1 = in[1][c], f2 = in[2][c], f3 = in[3][c];
    const float f4 = in[4][c], f5 = in[5][c], f6 = in[6][c], f7 = in[7][c];
    const float e0 = f0 + f4, e1 = f0 - f4;
    const float e2 = kC2 * f2 + kC6 * f6, e3 = kC6 * f2 - kC2 * f6;
    const float a0 = e0 + e2, a3 = e0 - e2, a1 = e1 + e3, a2 = e1 - e3;
    const float b0 = kC1 * f1 + kC3 * f3 + kC5 * f5 + kC7 * f7;
    const float b1 = kC3 * f1 - kC7 * f3 - kC1 * f5 - kC5 * f7;
    const float b2 = kC5 * f1 - kC1 * f3 + kC7 * f5 + kC3 * f7;
    const float b3 = kC7 * f1 - kC5 * f3 + kC3 * f5 - kC1 * f7;
    out[0][c] = a0 + b0;
    out[7][c] = a0 - b0;
    out[1][c] = a1 + b1;
    out[6][c] = a1 - b1;
    out[2][c] = a2 + b2;
    out[5][c] = a2 - b2;
    out[3][c] = a3 + b3;
    out[4][c] = a3 - b3;
  }
}

// One 1-D transform of 8 values (a single row).
inline void idct_row(const float* f, float* out) {
  const float e0 = f[0] + f[4], e1 = f[0] - f[4];
  const float e2 = kC2 * f[2] + kC6 * f[6], e3 = kC6 * f[2] - kC2 * f[6];
  const float a0 = e0 + e2, a3 = e0 - e2, a1 = e1 + e3, a2 = e1 - e3;
  const float b0 = kC1 * f[1] + kC3 * f[3] + kC5 * f[5] + kC7 * f[7];
  const float b1 = kC3 * f[1] - kC7 * f[3] - kC1 * f[5] - kC5 * f[7];
  const float b2 = kC5 * f[1] - kC1 * f[3] + kC7 * f[5] + kC3 * f[7];
  const float b3 = kC7 * f[1] - kC5 * f[3] + kC3 * f[5] - kC1 * f[7];
  out[0] = a0 + b0;
  out[7] = a0 - b0;
  out[1] = a1 + b1;
  out[6] = a1 - b1;
  out[2] = a2 + b2;
  out[5] = a2 - b2;
  out[3] = a3 + b3;
  out[4] = a3 - b3;
}

// Rounds v / 8 to the nearest integer, halves up: floor(v / 8 + 0.5), as a
// truncation corrected for negative values (vectorises, unlike floor).
inline int round_result(float v) {
  const float x = v * 0.125f + 0.5f;
  const int t = static_cast<int>(x);
  return t - (static_cast<float>(t) > x);
}

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// The transform into res[y][x] (unrounded, 8 times the result).
void transform(const int16_t* coef, unsigned rows, float (*res)[8]) {
  if ((rows & 0xFE) == 0) {
    // Only the first row of coefficients: every output row is the 1-D
    // transform of that row (the vertical transform of one value is flat).
    float f[8], r[8];
    for (int i = 0; i < 8; ++i) f[i] = coef[i];
    idct_row(f, r);
    for (int y = 0; y < 8; ++y) std::memcpy(res[y], r, sizeof r);
    return;
  }
  float in[8][8], mid[8][8], midt[8][8], out[8][8];
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) in[v][u] = coef[v * 8 + u];
  idct_columns(in, mid);  // vertical: mid[y][u]
  for (int y = 0; y < 8; ++y)
    for (int u = 0; u < 8; ++u) midt[u][y] = mid[y][u];
  idct_columns(midt, out);  // horizontal: out[x][y]
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) res[y][x] = out[x][y];
}

}  // namespace

void idct8x8(const int16_t* coef, int16_t* out, unsigned rows) {
  float res[8][8];
  transform(coef, rows, res);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const int v = round_result(res[y][x]);
      out[y * 8 + x] = static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
    }
}

void idct8x8_reference(const int16_t* coef, int16_t* out) {
  const double pi = 3.14159265358979323846;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double s = 0;
      for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
          const double cu = u == 0 ? std::sqrt(0.5) : 1.0, cv = v == 0 ? std::sqrt(0.5) : 1.0;
          s += cu * cv * coef[v * 8 + u] * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
        }
      out[y * 8 + x] = static_cast<int16_t>(std::floor(s / 4 + 0.5));
    }
}

void idct_put_c(const int16_t* coef, uint8_t* dst, int stride, unsigned rows) {
  float res[8][8];
  transform(coef, rows, res);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clamp255(round_result(res[y][x]));
}

void idct_add_c(const int16_t* coef, uint8_t* dst, int stride, unsigned rows) {
  float res[8][8];
  transform(coef, rows, res);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clamp255(dst[x] + round_result(res[y][x]));
}

bool idct_avx2_available() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

// Blocks with coefficients in the first row only take the plain version's
// shortcut (one 1-D transform); the others the vector version when the
// processor has it. Both give the same results.
void idct_put(const int16_t* coef, uint8_t* dst, int stride, unsigned rows) {
#if defined(__x86_64__) || defined(__i386__)
  if ((rows & 0xFE) != 0 && idct_avx2_available()) {
    idct_put_avx2(coef, dst, stride);
    return;
  }
#endif
  idct_put_c(coef, dst, stride, rows);
}

void idct_add(const int16_t* coef, uint8_t* dst, int stride, unsigned rows) {
#if defined(__x86_64__) || defined(__i386__)
  if ((rows & 0xFE) != 0 && idct_avx2_available()) {
    idct_add_avx2(coef, dst, stride);
    return;
  }
#endif
  idct_add_c(coef, dst, stride, rows);
}

void idct_put_dc(int dc, uint8_t* dst, int stride) {
  const uint8_t v = clamp255((dc + 4) >> 3);
  for (int y = 0; y < 8; ++y, dst += stride) std::memset(dst, v, 8);
}

void idct_add_dc(int dc, uint8_t* dst, int stride) {
  const int d = (dc + 4) >> 3;
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clamp255(dst[x] + d);
}

}  // namespace mpeg4
