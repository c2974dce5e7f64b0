#include "dct.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace jk {
namespace {

// Half the cosines cos(k pi / 16): each one-dimensional pass carries the
// factor 1/2 of the two-dimensional transform's 1/4.
constexpr float kC1 = 0.49039264020161522f;  // cos(pi/16) / 2
constexpr float kC2 = 0.46193976625564337f;
constexpr float kC3 = 0.41573480615127262f;
constexpr float kC4 = 0.35355339059327379f;
constexpr float kC5 = 0.27778511650980114f;
constexpr float kC6 = 0.19134171618254492f;
constexpr float kC7 = 0.09754516100806417f;

// One-dimensional inverse transform of X0..X7 in place, split into the even
// part (X0, X2, X4, X6) and the odd part (X1, X3, X5, X7).
template <typename T>
inline void idct8(T* x) {
  T e0 = (x[0] + x[4]) * kC4;
  T e1 = (x[0] - x[4]) * kC4;
  T t2 = x[2] * kC2 + x[6] * kC6;
  T t3 = x[2] * kC6 - x[6] * kC2;
  T E0 = e0 + t2, E3 = e0 - t2, E1 = e1 + t3, E2 = e1 - t3;
  T O0 = x[1] * kC1 + x[3] * kC3 + x[5] * kC5 + x[7] * kC7;
  T O1 = x[1] * kC3 - x[3] * kC7 - x[5] * kC1 - x[7] * kC5;
  T O2 = x[1] * kC5 - x[3] * kC1 + x[5] * kC7 + x[7] * kC3;
  T O3 = x[1] * kC7 - x[3] * kC5 + x[5] * kC3 - x[7] * kC1;
  x[0] = E0 + O0;
  x[7] = E0 - O0;
  x[1] = E1 + O1;
  x[6] = E1 - O1;
  x[2] = E2 + O2;
  x[5] = E2 - O2;
  x[3] = E3 + O3;
  x[4] = E3 - O3;
}

// One-dimensional forward transform of samples x0..x7 in place.
template <typename T>
inline void fdct8(T* x) {
  T s0 = x[0] + x[7], s1 = x[1] + x[6], s2 = x[2] + x[5], s3 = x[3] + x[4];
  T d0 = x[0] - x[7], d1 = x[1] - x[6], d2 = x[2] - x[5], d3 = x[3] - x[4];
  T ss0 = s0 + s3, ss1 = s1 + s2, sd0 = s0 - s3, sd1 = s1 - s2;
  x[0] = (ss0 + ss1) * kC4;
  x[4] = (ss0 - ss1) * kC4;
  x[2] = sd0 * kC2 + sd1 * kC6;
  x[6] = sd0 * kC6 - sd1 * kC2;
  x[1] = d0 * kC1 + d1 * kC3 + d2 * kC5 + d3 * kC7;
  x[3] = d0 * kC3 - d1 * kC7 - d2 * kC1 - d3 * kC5;
  x[5] = d0 * kC5 - d1 * kC1 + d2 * kC7 + d3 * kC3;
  x[7] = d0 * kC7 - d1 * kC5 + d2 * kC3 - d3 * kC1;
}

inline int16_t clamp16(int32_t v, int32_t lim) {
  return static_cast<int16_t>(v < -lim ? -lim : v > lim ? lim : v);
}

// The DC coefficient is the block's sum over 8, so it is quantised exactly
// in integers: flat areas meet halves often, and they round away from zero
// as every other coefficient does.
inline int16_t quantised_dc(int32_t sum_minus_128s, float recip) {
  int32_t q = static_cast<int32_t>(std::lround(1.0f / recip));
  int32_t d = 8 * q;
  int32_t mag = sum_minus_128s < 0 ? -sum_minus_128s : sum_minus_128s;
  int32_t v = (mag + d / 2) / d;
  return clamp16(sum_minus_128s < 0 ? -v : v, 2047);
}

#if defined(__SSE2__)

inline void transpose8(__m128* lo, __m128* hi) {
  // lo[r]: columns 0-3 of row r, hi[r]: columns 4-7. Transposes the 8x8
  // block as four 4x4 blocks, swapping the off-diagonal ones.
  _MM_TRANSPOSE4_PS(lo[0], lo[1], lo[2], lo[3]);
  _MM_TRANSPOSE4_PS(hi[0], hi[1], hi[2], hi[3]);
  _MM_TRANSPOSE4_PS(lo[4], lo[5], lo[6], lo[7]);
  _MM_TRANSPOSE4_PS(hi[4], hi[5], hi[6], hi[7]);
  for (int i = 0; i < 4; ++i) {
    __m128 t = hi[i];
    hi[i] = lo[4 + i];
    lo[4 + i] = t;
  }
}

#endif

}  // namespace

#if defined(__SSE2__)

void idct_block(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  __m128 lo[8], hi[8];
  for (int r = 0; r < 8; ++r) {
    __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * r));
    lo[r] = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(row, row), 16));
    hi[r] = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(row, row), 16));
  }
  idct8(lo);  // vertical, four columns per vector
  idct8(hi);
  transpose8(lo, hi);
  // lo[x] now holds column x of rows 0-3, hi[x] of rows 4-7.
  idct8(lo);
  idct8(hi);
  transpose8(lo, hi);
  const __m128 bias = _mm_set1_ps(128.0f);
  for (int r = 0; r < 8; ++r) {
    __m128i a = _mm_cvtps_epi32(_mm_add_ps(lo[r], bias));
    __m128i b = _mm_cvtps_epi32(_mm_add_ps(hi[r], bias));
    __m128i w = _mm_packs_epi32(a, b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), _mm_packus_epi16(w, w));
  }
}

void fdct_quantise(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
  __m128 lo[8], hi[8];
  const __m128i zero = _mm_setzero_si128();
  const __m128i shift = _mm_set1_epi16(128);
  __m128i total = zero;
  for (int r = 0; r < 8; ++r) {
    __m128i px = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + r * stride));
    total = _mm_add_epi32(total, _mm_sad_epu8(px, zero));
    __m128i w = _mm_sub_epi16(_mm_unpacklo_epi8(px, zero), shift);
    lo[r] = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(w, w), 16));
    hi[r] = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(w, w), 16));
  }
  fdct8(lo);
  fdct8(hi);
  transpose8(lo, hi);
  fdct8(lo);
  fdct8(hi);
  transpose8(lo, hi);
  const __m128i lim_hi = _mm_set1_epi16(1023), lim_lo = _mm_set1_epi16(-1023);
  const __m128 half = _mm_set1_ps(0.5f), sign = _mm_set1_ps(-0.0f);
  for (int r = 0; r < 8; ++r) {
    __m128 a = _mm_mul_ps(lo[r], _mm_loadu_ps(recip + 8 * r));
    __m128 b = _mm_mul_ps(hi[r], _mm_loadu_ps(recip + 8 * r + 4));
    // Halves round away from zero: add 0.5 with the value's sign, truncate.
    a = _mm_add_ps(a, _mm_or_ps(half, _mm_and_ps(a, sign)));
    b = _mm_add_ps(b, _mm_or_ps(half, _mm_and_ps(b, sign)));
    __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    w = _mm_max_epi16(_mm_min_epi16(w, lim_hi), lim_lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r), w);
  }
  out[0] = quantised_dc(_mm_cvtsi128_si32(total) - 64 * 128, recip[0]);
}

#else

void idct_block(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  float b[64], col[8];
  for (int c = 0; c < 8; ++c) {
    for (int r = 0; r < 8; ++r) col[r] = coef[8 * r + c];
    idct8(col);
    for (int r = 0; r < 8; ++r) b[8 * r + c] = col[r];
  }
  for (int r = 0; r < 8; ++r) {
    idct8(b + 8 * r);
    for (int c = 0; c < 8; ++c) {
      long v = std::lrint(b[8 * r + c] + 128.0f);
      out[r * stride + c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
}

void fdct_quantise(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
  float b[64], col[8];
  int32_t sum = 0;
  for (int r = 0; r < 8; ++r) {
    for (int c = 0; c < 8; ++c) {
      b[8 * r + c] = in[r * stride + c] - 128.0f;
      sum += in[r * stride + c] - 128;
    }
    fdct8(b + 8 * r);
  }
  for (int c = 0; c < 8; ++c) {
    for (int r = 0; r < 8; ++r) col[r] = b[8 * r + c];
    fdct8(col);
    for (int r = 0; r < 8; ++r) {
      int32_t v = static_cast<int32_t>(std::lround(col[r] * recip[8 * r + c]));
      out[8 * r + c] = clamp16(v, 1023);
    }
  }
  out[0] = quantised_dc(sum, recip[0]);
}

#endif

void idct_block_reference(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
          double cu = u ? 1.0 : M_SQRT1_2, cv = v ? 1.0 : M_SQRT1_2;
          sum += cu * cv * coef[8 * v + u] * std::cos((2 * x + 1) * u * M_PI / 16) *
                 std::cos((2 * y + 1) * v * M_PI / 16);
        }
      long s = std::lround(sum / 4 + 128);
      out[y * stride + x] = static_cast<uint8_t>(s < 0 ? 0 : s > 255 ? 255 : s);
    }
}

void fdct_quantise_reference(const uint8_t* in, ptrdiff_t stride, const float* recip,
                             int16_t* out) {
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          sum += (in[y * stride + x] - 128.0) * std::cos((2 * x + 1) * u * M_PI / 16) *
                 std::cos((2 * y + 1) * v * M_PI / 16);
      double cu = u ? 1.0 : M_SQRT1_2, cv = v ? 1.0 : M_SQRT1_2;
      int32_t q = static_cast<int32_t>(std::lround(sum * cu * cv / 4 * recip[8 * v + u]));
      out[8 * v + u] = u == 0 && v == 0 ? quantised_dc(static_cast<int32_t>(std::lround(sum)), recip[0])
                                        : clamp16(q, 1023);
    }
}

}  // namespace jk
