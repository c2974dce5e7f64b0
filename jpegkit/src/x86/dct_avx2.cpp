// AVX2 versions of the 8x8 transforms: one row of eight samples per vector,
// the same float operations in the same order as the plain versions.
// Compiled with -mavx2 (and without FMA, which would round differently);
// called only when the processor has AVX2. Everything but the two entry
// points has internal linkage, so no code built for AVX2 can stand in for
// code that other files share.
#include <immintrin.h>

#include "dct.h"
#include "dct_arith.h"

namespace jk {
namespace {

inline void transpose8(__m256* r) {
  __m256 t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
    u[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
    u[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    u[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
  }
  for (int i = 0; i < 4; ++i) {
    r[i] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x20);
    r[i + 4] = _mm256_permute2f128_ps(u[i], u[i + 4], 0x31);
  }
}

// Rounds to nearest even, saturates to 16 bits and then to 0..255, as the
// other versions do, and stores eight rows given as row vectors. Packing
// works within 128-bit lanes; the permutation puts each row's bytes
// together.
inline void store_rows(const __m256* r, uint8_t* out, ptrdiff_t stride) {
  const __m256 bias = _mm256_set1_ps(128.0f);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int half = 0; half < 2; ++half) {
    __m256i a = _mm256_cvtps_epi32(_mm256_add_ps(r[4 * half], bias));
    __m256i b = _mm256_cvtps_epi32(_mm256_add_ps(r[4 * half + 1], bias));
    __m256i c = _mm256_cvtps_epi32(_mm256_add_ps(r[4 * half + 2], bias));
    __m256i d = _mm256_cvtps_epi32(_mm256_add_ps(r[4 * half + 3], bias));
    __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    bytes = _mm256_permutevar8x32_epi32(bytes, order);
    __m128i lo = _mm256_castsi256_si128(bytes), hi = _mm256_extracti128_si256(bytes, 1);
    uint8_t* o = out + 4 * half * stride;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), lo);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + stride), _mm_unpackhi_epi64(lo, lo));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 2 * stride), hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 3 * stride), _mm_unpackhi_epi64(hi, hi));
  }
}

// The same for eight columns given as column vectors (lane = row): the
// conversions are the same per sample; the bytes are transposed instead of
// the floats, which takes fewer steps.
inline void store_columns(const __m256* c, uint8_t* out, ptrdiff_t stride) {
  const __m256 bias = _mm256_set1_ps(128.0f);
  __m256i w[4];
  for (int i = 0; i < 4; ++i)
    w[i] = _mm256_packs_epi32(_mm256_cvtps_epi32(_mm256_add_ps(c[2 * i], bias)),
                              _mm256_cvtps_epi32(_mm256_add_ps(c[2 * i + 1], bias)));
  // Lane 0 of a: rows 0-3 of columns 0, 1, 2, 3 (four bytes each); lane 1:
  // rows 4-7. b: the same for columns 4-7.
  __m256i a = _mm256_packus_epi16(w[0], w[1]);
  __m256i b = _mm256_packus_epi16(w[2], w[3]);
  // Each lane's 4 x 4 bytes transposed: rows 0-3 (4-7) of four columns.
  const __m256i t = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9, 13, 2,
                                     6, 10, 14, 3, 7, 11, 15);
  a = _mm256_shuffle_epi8(a, t);
  b = _mm256_shuffle_epi8(b, t);
  __m256i rows01 = _mm256_unpacklo_epi32(a, b);  // rows 0, 1 | rows 4, 5
  __m256i rows23 = _mm256_unpackhi_epi32(a, b);  // rows 2, 3 | rows 6, 7
  __m128i r01 = _mm256_castsi256_si128(rows01), r45 = _mm256_extracti128_si256(rows01, 1);
  __m128i r23 = _mm256_castsi256_si128(rows23), r67 = _mm256_extracti128_si256(rows23, 1);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), r01);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_unpackhi_epi64(r01, r01));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * stride), r23);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * stride), _mm_unpackhi_epi64(r23, r23));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * stride), r45);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 5 * stride), _mm_unpackhi_epi64(r45, r45));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6 * stride), r67);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 7 * stride), _mm_unpackhi_epi64(r67, r67));
}

// Inputs known to be zero are left out of the one-dimensional passes
// (idct8<N>): rows 4-7 or 1-7 in the vertical pass, columns 4-7 or 1-7 in
// the horizontal one. Pictures give many such blocks. When only column 0
// is left, every sample of a row is that column's value times the same
// factor, and no transposition is needed.
template <int Vertical, int Horizontal>
inline void idct_passes(__m256* r, uint8_t* out, ptrdiff_t stride) {
  idct8<Vertical>(r);
  if constexpr (Horizontal == 1) {
    for (int i = 0; i < 8; ++i)
      r[i] = _mm256_mul_ps(_mm256_broadcastss_ps(_mm256_castps256_ps128(r[i])), _mm256_set1_ps(kC4));
    store_rows(r, out, stride);
  } else {
    transpose8(r);
    idct8<Horizontal>(r);
    store_columns(r, out, stride);
  }
}

}  // namespace

void idct_avx2(const int16_t* coef, uint8_t* out, ptrdiff_t stride) {
  __m128i in[8];
  for (int i = 0; i < 8; ++i) in[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * i));
  const __m128i rows_4_7 = _mm_or_si128(_mm_or_si128(in[4], in[5]), _mm_or_si128(in[6], in[7]));
  const __m128i rows_1_3 = _mm_or_si128(_mm_or_si128(in[1], in[2]), in[3]);
  const __m128i all = _mm_or_si128(_mm_or_si128(rows_4_7, rows_1_3), in[0]);
  const int vertical = !_mm_testz_si128(rows_4_7, rows_4_7) ? 8 : !_mm_testz_si128(rows_1_3, rows_1_3) ? 4 : 1;
  const __m128i cols_4_7 = _mm_set_epi16(-1, -1, -1, -1, 0, 0, 0, 0);
  const __m128i cols_1_3 = _mm_set_epi16(0, 0, 0, 0, -1, -1, -1, 0);
  const int horizontal = !_mm_testz_si128(all, cols_4_7) ? 8 : !_mm_testz_si128(all, cols_1_3) ? 4 : 1;
  __m256 r[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(in[i]));
  if (vertical == 8) {
    if (horizontal == 8)
      idct_passes<8, 8>(r, out, stride);
    else if (horizontal == 4)
      idct_passes<8, 4>(r, out, stride);
    else
      idct_passes<8, 1>(r, out, stride);
  } else if (vertical == 4) {
    if (horizontal == 8)
      idct_passes<4, 8>(r, out, stride);
    else if (horizontal == 4)
      idct_passes<4, 4>(r, out, stride);
    else
      idct_passes<4, 1>(r, out, stride);
  } else {
    if (horizontal == 8)
      idct_passes<1, 8>(r, out, stride);
    else if (horizontal == 4)
      idct_passes<1, 4>(r, out, stride);
    else
      idct_passes<1, 1>(r, out, stride);
  }
}

void fdct_quantise_avx2(const uint8_t* in, ptrdiff_t stride, const float* recip, int16_t* out) {
  __m256 r[8];
  const __m256i shift = _mm256_set1_epi32(128);
  __m128i total = _mm_setzero_si128();
  for (int i = 0; i < 8; ++i) {
    __m128i px = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i * stride));
    total = _mm_add_epi32(total, _mm_sad_epu8(px, _mm_setzero_si128()));
    r[i] = _mm256_cvtepi32_ps(_mm256_sub_epi32(_mm256_cvtepu8_epi32(px), shift));
  }
  fdct8(r);
  transpose8(r);
  fdct8(r);
  transpose8(r);
  const __m256i lim_hi = _mm256_set1_epi16(1023), lim_lo = _mm256_set1_epi16(-1023);
  const __m256 half = _mm256_set1_ps(0.5f), sign = _mm256_set1_ps(-0.0f);
  for (int i = 0; i < 8; i += 2) {
    __m256 a = _mm256_mul_ps(r[i], _mm256_loadu_ps(recip + 8 * i));
    __m256 b = _mm256_mul_ps(r[i + 1], _mm256_loadu_ps(recip + 8 * i + 8));
    // Halves round away from zero: add 0.5 with the value's sign, truncate.
    a = _mm256_add_ps(a, _mm256_or_ps(half, _mm256_and_ps(a, sign)));
    b = _mm256_add_ps(b, _mm256_or_ps(half, _mm256_and_ps(b, sign)));
    __m256i w = _mm256_packs_epi32(_mm256_cvttps_epi32(a), _mm256_cvttps_epi32(b));
    w = _mm256_permute4x64_epi64(w, 0xD8);  // rows i and i + 1 in order
    w = _mm256_max_epi16(_mm256_min_epi16(w, lim_hi), lim_lo);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i), w);
  }
  out[0] = quantised_dc(_mm_cvtsi128_si32(total) - 64 * 128, recip[0]);
}

}  // namespace jk
