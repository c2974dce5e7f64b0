// SSSE3 version of the colour conversion: sixteen pixels at a time, in the
// same fixed point as the plain version (32-bit sums of the same products,
// the same rounding, shift and limits), so the bytes are exactly equal.
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>

#include <array>

#include "colour_rows.h"

namespace mpeg4 {
namespace {

#define SSSE3 __attribute__((target("ssse3")))

// The byte shuffles that interleave sixteen blue, green and red bytes into
// 48 bytes of pixels: for output register k and channel c, byte i takes the
// channel's byte of pixel (16k + i) / 3 where (16k + i) % 3 == c, else zero.
struct Interleave {
  alignas(16) std::array<std::array<std::array<int8_t, 16>, 3>, 3> mask{};  // [k][c][i]
  constexpr Interleave() {
    for (int k = 0; k < 3; ++k)
      for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 16; ++i) {
          const int j = 16 * k + i;
          mask[k][c][i] = static_cast<int8_t>(j % 3 == c ? j / 3 : -128);
        }
  }
};
constexpr Interleave kInterleave;

// (a x pair.first + b x pair.second + 4096) >> 13 for eight pairs given as
// two registers of four interleaved 16-bit pairs each, packed to 16 bits.
SSSE3 inline __m128i weigh(__m128i lo, __m128i hi, __m128i weights) {
  const __m128i round = _mm_set1_epi32(4096);
  const __m128i a = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(lo, weights), round), 13);
  const __m128i b = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(hi, weights), round), 13);
  return _mm_packs_epi32(a, b);
}

// Blue, green and red of eight pixels as 16-bit values (not yet limited):
// y the luma less 16, u and v the chroma less 128, one per pixel.
struct Channels {
  __m128i b, g, r;
};
SSSE3 inline Channels convert8(__m128i y, __m128i u, __m128i v) {
  const __m128i blue = _mm_set1_epi32(16525 << 16 | 9539);
  const __m128i red = _mm_set1_epi32(13075 << 16 | 9539);
  const __m128i green_u = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(-3209) << 16 | 9539));
  const __m128i green_v = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(-6660) << 16 | 0));
  const __m128i yu_lo = _mm_unpacklo_epi16(y, u), yu_hi = _mm_unpackhi_epi16(y, u);
  const __m128i yv_lo = _mm_unpacklo_epi16(y, v), yv_hi = _mm_unpackhi_epi16(y, v);
  const __m128i round = _mm_set1_epi32(4096);
  // Green has three terms: luma and blue chroma in one multiply-add, red
  // chroma (paired with zero) in another.
  const __m128i zero = _mm_setzero_si128();
  const __m128i vz_lo = _mm_unpacklo_epi16(zero, v), vz_hi = _mm_unpackhi_epi16(zero, v);
  const __m128i g_lo = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(yu_lo, green_u), _mm_madd_epi16(vz_lo, green_v)), round), 13);
  const __m128i g_hi = _mm_srai_epi32(
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(yu_hi, green_u), _mm_madd_epi16(vz_hi, green_v)), round), 13);
  return {weigh(yu_lo, yu_hi, blue), _mm_packs_epi32(g_lo, g_hi), weigh(yv_lo, yv_hi, red)};
}

SSSE3 inline __m128i mask(int k, int c) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(kInterleave.mask[k][c].data()));
}

}  // namespace

SSSE3 void yuv_row_to_bgr24_ssse3(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, int n) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i luma_black = _mm_set1_epi16(16), chroma_zero = _mm_set1_epi16(128);
  for (int x = 0; x < n; x += 16, out += 48) {
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    const __m128i y_lo = _mm_sub_epi16(_mm_unpacklo_epi8(luma, zero), luma_black);
    const __m128i y_hi = _mm_sub_epi16(_mm_unpackhi_epi8(luma, zero), luma_black);
    // Each chroma sample serves two neighbouring pixels.
    const __m128i cu = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + x / 2)), zero), chroma_zero);
    const __m128i cv = _mm_sub_epi16(
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + x / 2)), zero), chroma_zero);
    const Channels lo = convert8(y_lo, _mm_unpacklo_epi16(cu, cu), _mm_unpacklo_epi16(cv, cv));
    const Channels hi = convert8(y_hi, _mm_unpackhi_epi16(cu, cu), _mm_unpackhi_epi16(cv, cv));
    const __m128i b = _mm_packus_epi16(lo.b, hi.b);
    const __m128i g = _mm_packus_epi16(lo.g, hi.g);
    const __m128i r = _mm_packus_epi16(lo.r, hi.r);
    for (int k = 0; k < 3; ++k) {
      const __m128i bytes = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, mask(k, 0)), _mm_shuffle_epi8(g, mask(k, 1))),
                                         _mm_shuffle_epi8(r, mask(k, 2)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k), bytes);
    }
  }
}

bool colour_ssse3_available() {
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  return ssse3;
}

}  // namespace mpeg4
#endif
