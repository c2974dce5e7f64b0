// AVX2 version of the inverse transform with put and add: the same
// single-precision butterflies as the plain version in idct.cpp, in the
// same order of operations and without fused multiply-adds, so the results
// are exactly equal. A row of eight values fills one register; the two
// passes run on all eight columns at once with a transposition between.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "idct.h"

namespace mpeg4 {
namespace {

#define AVX2 __attribute__((target("avx2")))

// The 1-D transform down the columns: r[k] holds coefficient k of all eight
// columns; results in o[0..7].
AVX2 inline void columns(const __m256 (&f)[8], __m256 (&o)[8]) {
  const __m256 c1 = _mm256_set1_ps(1.38703984532214746f), c2 = _mm256_set1_ps(1.30656296487637653f);
  const __m256 c3 = _mm256_set1_ps(1.17587560241935871f), c5 = _mm256_set1_ps(0.78569495838710218f);
  const __m256 c6 = _mm256_set1_ps(0.54119610014619698f), c7 = _mm256_set1_ps(0.27589937928294306f);
  const __m256 e0 = _mm256_add_ps(f[0], f[4]), e1 = _mm256_sub_ps(f[0], f[4]);
  const __m256 e2 = _mm256_add_ps(_mm256_mul_ps(c2, f[2]), _mm256_mul_ps(c6, f[6]));
  const __m256 e3 = _mm256_sub_ps(_mm256_mul_ps(c6, f[2]), _mm256_mul_ps(c2, f[6]));
  const __m256 a0 = _mm256_add_ps(e0, e2), a3 = _mm256_sub_ps(e0, e2);
  const __m256 a1 = _mm256_add_ps(e1, e3), a2 = _mm256_sub_ps(e1, e3);
  // Sums left to right, as the plain version writes them.
  const __m256 b0 = _mm256_add_ps(
      _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(c1, f[1]), _mm256_mul_ps(c3, f[3])), _mm256_mul_ps(c5, f[5])),
      _mm256_mul_ps(c7, f[7]));
  const __m256 b1 = _mm256_sub_ps(
      _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(c3, f[1]), _mm256_mul_ps(c7, f[3])), _mm256_mul_ps(c1, f[5])),
      _mm256_mul_ps(c5, f[7]));
  const __m256 b2 = _mm256_add_ps(
      _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(c5, f[1]), _mm256_mul_ps(c1, f[3])), _mm256_mul_ps(c7, f[5])),
      _mm256_mul_ps(c3, f[7]));
  const __m256 b3 = _mm256_sub_ps(
      _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(c7, f[1]), _mm256_mul_ps(c5, f[3])), _mm256_mul_ps(c3, f[5])),
      _mm256_mul_ps(c1, f[7]));
  o[0] = _mm256_add_ps(a0, b0);
  o[7] = _mm256_sub_ps(a0, b0);
  o[1] = _mm256_add_ps(a1, b1);
  o[6] = _mm256_sub_ps(a1, b1);
  o[2] = _mm256_add_ps(a2, b2);
  o[5] = _mm256_sub_ps(a2, b2);
  o[3] = _mm256_add_ps(a3, b3);
  o[4] = _mm256_sub_ps(a3, b3);
}

AVX2 inline void transpose(__m256 (&r)[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
  r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
  r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
  r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
  r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
  r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
  r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
  r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// The rounded residuals, one row of eight 32-bit values per register.
AVX2 inline void residuals(const int16_t* coef, __m256i (&res)[8]) {
  __m256 f[8], o[8];
  for (int v = 0; v < 8; ++v)
    f[v] = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * v))));
  columns(f, o);  // vertical: o[y] holds row y over u
  transpose(o);   // o[u] holds column u over y
  columns(o, f);  // horizontal: f[x] holds column x over y
  transpose(f);   // f[y] holds row y over x
  const __m256 eighth = _mm256_set1_ps(0.125f), half = _mm256_set1_ps(0.5f);
  for (int y = 0; y < 8; ++y) {
    // floor(v / 8 + 0.5) as the plain version computes it: truncation,
    // less one where the truncation went up.
    const __m256 x = _mm256_add_ps(_mm256_mul_ps(f[y], eighth), half);
    const __m256i t = _mm256_cvttps_epi32(x);
    const __m256 up = _mm256_cmp_ps(_mm256_cvtepi32_ps(t), x, _CMP_GT_OQ);
    res[y] = _mm256_add_epi32(t, _mm256_castps_si256(up));  // true is -1
  }
}

// Eight 32-bit values to eight bytes clamped to 0..255.
AVX2 inline __m128i to_bytes(__m256i v) {
  const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return _mm_packus_epi16(w, w);
}

}  // namespace

AVX2 void idct_put_avx2(const int16_t* coef, uint8_t* dst, int stride) {
  __m256i res[8];
  residuals(coef, res);
  for (int y = 0; y < 8; ++y, dst += stride) _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), to_bytes(res[y]));
}

AVX2 void idct_add_avx2(const int16_t* coef, uint8_t* dst, int stride) {
  __m256i res[8];
  residuals(coef, res);
  for (int y = 0; y < 8; ++y, dst += stride) {
    const __m256i p = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), to_bytes(_mm256_add_epi32(p, res[y])));
  }
}

}  // namespace mpeg4
#endif
