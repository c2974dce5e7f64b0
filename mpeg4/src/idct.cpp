#include "idct.h"

#include <cmath>

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

inline void idct_1d(const float* in, float* out, int step) {
  const float f0 = in[0], f1 = in[step], f2 = in[2 * step], f3 = in[3 * step];
  const float f4 = in[4 * step], f5 = in[5 * step], f6 = in[6 * step], f7 = in[7 * step];
  const float e0 = f0 + f4, e1 = f0 - f4;
  const float e2 = kC2 * f2 + kC6 * f6, e3 = kC6 * f2 - kC2 * f6;
  const float a0 = e0 + e2, a3 = e0 - e2, a1 = e1 + e3, a2 = e1 - e3;
  const float b0 = kC1 * f1 + kC3 * f3 + kC5 * f5 + kC7 * f7;
  const float b1 = kC3 * f1 - kC7 * f3 - kC1 * f5 - kC5 * f7;
  const float b2 = kC5 * f1 - kC1 * f3 + kC7 * f5 + kC3 * f7;
  const float b3 = kC7 * f1 - kC5 * f3 + kC3 * f5 - kC1 * f7;
  out[0] = a0 + b0;
  out[7 * step] = a0 - b0;
  out[step] = a1 + b1;
  out[6 * step] = a1 - b1;
  out[2 * step] = a2 + b2;
  out[5 * step] = a2 - b2;
  out[3 * step] = a3 + b3;
  out[4 * step] = a3 - b3;
}

inline int round_result(float v) { return static_cast<int>(std::floor(v * 0.125f + 0.5f)); }

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

void idct8x8(const int16_t* coef, int16_t* out) {
  float tmp[64], res[64];
  for (int i = 0; i < 64; ++i) tmp[i] = coef[i];
  for (int r = 0; r < 8; ++r) idct_1d(tmp + 8 * r, res + 8 * r, 1);
  for (int c = 0; c < 8; ++c) idct_1d(res + c, tmp + c, 8);
  for (int i = 0; i < 64; ++i) {
    int v = round_result(tmp[i]);
    // Coefficients are limited to 12 bits, so results stay far inside int16.
    out[i] = static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
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

void idct_put(const int16_t* coef, uint8_t* dst, int stride) {
  int16_t r[64];
  idct8x8(coef, r);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clamp255(r[y * 8 + x]);
}

void idct_add(const int16_t* coef, uint8_t* dst, int stride) {
  int16_t r[64];
  idct8x8(coef, r);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clamp255(dst[x] + r[y * 8 + x]);
}

void idct_put_dc(int dc, uint8_t* dst, int stride) {
  const uint8_t v = clamp255((dc + 4) >> 3);
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = v;
}

void idct_add_dc(int dc, uint8_t* dst, int stride) {
  const int d = (dc + 4) >> 3;
  for (int y = 0; y < 8; ++y, dst += stride)
    for (int x = 0; x < 8; ++x) dst[x] = clamp255(dst[x] + d);
}

}  // namespace mpeg4
