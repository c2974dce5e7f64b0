// SSE2 versions of the motion compensation kernels; they give exactly the
// results of the plain ones in mc.cpp.
#if defined(__SSE2__)
#include <emmintrin.h>

#include <cstring>

#include "mc_kernels.h"

namespace mpeg4 {
namespace {

inline __m128i load(const uint8_t* p, int w) {
  if (w == 16) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

inline void store(uint8_t* p, __m128i v, int w) {
  if (w == 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  else
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v);
}

// (a + b + 1 - rounding) >> 1 per byte.
inline __m128i avg2(__m128i a, __m128i b, __m128i rounding_mask) {
  const __m128i avg = _mm_avg_epu8(a, b);  // (a + b + 1) >> 1
  return _mm_sub_epi8(avg, _mm_and_si128(_mm_xor_si128(a, b), rounding_mask));
}

}  // namespace

void halfpel_sse2(uint8_t* dst, int ds, const uint8_t* s, int ss, int w, int h, int fx, int fy, int rounding) {
  if (w == 4) {
    halfpel_c(dst, ds, s, ss, w, h, fx, fy, rounding);
    return;
  }
  const __m128i rmask = _mm_set1_epi8(static_cast<char>(rounding ? 1 : 0));
  if (!fx && !fy) {
    for (int y = 0; y < h; ++y, dst += ds, s += ss) store(dst, load(s, w), w);
  } else if (fx && !fy) {
    for (int y = 0; y < h; ++y, dst += ds, s += ss) store(dst, avg2(load(s, w), load(s + 1, w), rmask), w);
  } else if (!fx && fy) {
    __m128i a = load(s, w);
    for (int y = 0; y < h; ++y, dst += ds) {
      s += ss;
      const __m128i b = load(s, w);
      store(dst, avg2(a, b, rmask), w);
      a = b;
    }
  } else {
    // Four samples: 16-bit sums.
    const __m128i zero = _mm_setzero_si128();
    const __m128i add = _mm_set1_epi16(static_cast<short>(2 - rounding));
    auto sums = [&](const uint8_t* p, __m128i* lo, __m128i* hi) {
      const __m128i a = load(p, w), b = load(p + 1, w);
      *lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      *hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    };
    __m128i top_lo, top_hi;
    sums(s, &top_lo, &top_hi);
    for (int y = 0; y < h; ++y, dst += ds) {
      s += ss;
      __m128i bot_lo, bot_hi;
      sums(s, &bot_lo, &bot_hi);
      const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(top_lo, bot_lo), add), 2);
      const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(top_hi, bot_hi), add), 2);
      store(dst, _mm_packus_epi16(lo, hi), w);
      top_lo = bot_lo;
      top_hi = bot_hi;
    }
  }
}

// In 16-bit lanes: the filter's sum stays within -3570 .. 11746 for samples
// of 0..255, the shift is arithmetic and the pack limits to 0..255, as the
// plain version's clamp does.
void qpel_taps_sse2(const int16_t* const tap[8], const int16_t* near, int n, int frac, int rounding, int16_t* out) {
  if (n & 7) {
    qpel_taps_c(tap, near, n, frac, rounding, out);
    return;
  }
  auto at = [](const int16_t* p, int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
  const __m128i k20 = _mm_set1_epi16(20), k6 = _mm_set1_epi16(6), k3 = _mm_set1_epi16(3);
  const __m128i bias = _mm_set1_epi16(static_cast<short>(16 - rounding));
  const __m128i mean_bias = _mm_set1_epi16(static_cast<short>(1 - rounding));
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < n; i += 8) {
    __m128i v = _mm_mullo_epi16(_mm_add_epi16(at(tap[3], i), at(tap[4], i)), k20);
    v = _mm_sub_epi16(v, _mm_mullo_epi16(_mm_add_epi16(at(tap[2], i), at(tap[5], i)), k6));
    v = _mm_add_epi16(v, _mm_mullo_epi16(_mm_add_epi16(at(tap[1], i), at(tap[6], i)), k3));
    v = _mm_sub_epi16(v, _mm_add_epi16(at(tap[0], i), at(tap[7], i)));
    v = _mm_srai_epi16(_mm_add_epi16(v, bias), 5);
    // Limit to 0..255 through a pack to bytes and back.
    __m128i half = _mm_unpacklo_epi8(_mm_packus_epi16(v, v), zero);
    if (frac != 2) half = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(at(near, i), half), mean_bias), 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), half);
  }
}

void average_sse2(uint8_t* dst, int ds, const uint8_t* src, int ss, int w, int h) {
  if (w == 4) {
    average_c(dst, ds, src, ss, w, h);
    return;
  }
  for (int y = 0; y < h; ++y, dst += ds, src += ss) store(dst, _mm_avg_epu8(load(dst, w), load(src, w)), w);
}

}  // namespace mpeg4
#endif
