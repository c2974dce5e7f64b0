#include "dct.h"

#include <cmath>

#include "dct_arith.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#define JK_X86_64 1
#endif

namespace jk {
namespace {

// ---- Plain versions ------------------------------------------------------
// Vertical pass first, then horizontal, as the vector versions do.

void idct_plain(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  float b[64], col[8];
  for (int c = 0; c < 8; ++c) {
    for (int r = 0; r < 8; ++r) col[r] = coef[8 * r + c];
    idct8<8>(col);
    for (int r = 0; r < 8; ++r) b[8 * r + c] = col[r];
  }
  for (int r = 0; r < 8; ++r) {
    idct8<8>(b + 8 * r);
    for (int c = 0; c < 8; ++c) {
      long v = std::lrint(b[8 * r + c] + 128.0f);
      out[r * stride + c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
}

void fdct_quantise_plain(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
  float b[64], col[8];
  int32_t sum = 0;
  for (int c = 0; c < 8; ++c) {
    for (int r = 0; r < 8; ++r) {
      col[r] = static_cast<float>(in[r * stride + c] - 128);
      sum += in[r * stride + c] - 128;
    }
    fdct8(col);
    for (int r = 0; r < 8; ++r) b[8 * r + c] = col[r];
  }
  for (int r = 0; r < 8; ++r) {
    fdct8(b + 8 * r);
    for (int c = 0; c < 8; ++c) {
      // Halves round away from zero: add 0.5 with the value's sign (in
      // float, as the vector versions do) and truncate.
      float a = b[8 * r + c] * recip[8 * r + c];
      out[8 * r + c] = clamp16(static_cast<int32_t>(a + std::copysign(0.5f, a)), 1023);
    }
  }
  out[0] = quantised_dc(sum, recip[0]);
}

#if JK_X86_64

// ---- SSE2 ------------------------------------------------------------------

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

void idct_sse2(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  __m128 lo[8], hi[8];
  for (int r = 0; r < 8; ++r) {
    __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * r));
    lo[r] = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(row, row), 16));
    hi[r] = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(row, row), 16));
  }
  idct8<8>(lo);  // vertical, four columns per vector
  idct8<8>(hi);
  transpose8(lo, hi);
  // lo[x] now holds column x of rows 0-3, hi[x] of rows 4-7.
  idct8<8>(lo);
  idct8<8>(hi);
  transpose8(lo, hi);
  const __m128 bias = _mm_set1_ps(128.0f);
  for (int r = 0; r < 8; ++r) {
    __m128i a = _mm_cvtps_epi32(_mm_add_ps(lo[r], bias));
    __m128i b = _mm_cvtps_epi32(_mm_add_ps(hi[r], bias));
    __m128i w = _mm_packs_epi32(a, b);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), _mm_packus_epi16(w, w));
  }
}

void fdct_quantise_sse2(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
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
    a = _mm_add_ps(a, _mm_or_ps(half, _mm_and_ps(a, sign)));
    b = _mm_add_ps(b, _mm_or_ps(half, _mm_and_ps(b, sign)));
    __m128i w = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
    w = _mm_max_epi16(_mm_min_epi16(w, lim_hi), lim_lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r), w);
  }
  out[0] = quantised_dc(_mm_cvtsi128_si32(total) - 64 * 128, recip[0]);
}

#endif

std::vector<NamedDctKernels> versions() {
  std::vector<NamedDctKernels> v = {{"plain", {idct_plain, fdct_quantise_plain}}};
#if JK_X86_64
  v.push_back({"sse2", {idct_sse2, fdct_quantise_sse2}});
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) v.push_back({"avx2", {idct_avx2, fdct_quantise_avx2}});
#endif
  return v;
}

}  // namespace

const DctKernels& dct_kernels() {
  static const DctKernels k = versions().back().k;
  return k;
}

std::vector<NamedDctKernels> dct_kernel_versions() { return versions(); }

void idct_block_reference(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
          double cu = u ? 1.0 : M_SQRT1_2, cv = v ? 1.0 : M_SQRT1_2;
          sum +=
              cu * cv * coef[8 * v + u] * std::cos((2 * x + 1) * u * M_PI / 16) * std::cos((2 * y + 1) * v * M_PI / 16);
        }
      long s = std::lround(sum / 4 + 128);
      out[y * stride + x] = static_cast<uint8_t>(s < 0 ? 0 : s > 255 ? 255 : s);
    }
}

void fdct_quantise_reference(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          sum += (in[y * stride + x] - 128.0) * std::cos((2 * x + 1) * u * M_PI / 16) *
                 std::cos((2 * y + 1) * v * M_PI / 16);
      double cu = u ? 1.0 : M_SQRT1_2, cv = v ? 1.0 : M_SQRT1_2;
      int32_t q = static_cast<int32_t>(std::lround(sum * cu * cv / 4 * recip[8 * v + u]));
      out[8 * v + u] =
          u == 0 && v == 0 ? quantised_dc(static_cast<int32_t>(std::lround(sum)), recip[0]) : clamp16(q, 1023);
    }
}

}  // namespace jk
