// AVX2 versions of the colour row kernels: the SSSE3 versions' arithmetic on
// twice as many samples per step, so the results are the same bytes. Built
// with -mavx2 and called only when the processor has it; helpers have
// internal linkage and the tails go to the plain versions.
#include <immintrin.h>

#include "colour_kernels.h"

namespace jk {
namespace {

// Shuffle masks between three planes of 16 bytes and 48 bytes of triples,
// repeated in both 128-bit lanes: byte 3p + c of the triples is sample p of
// plane c.
struct TripleMasks {
  alignas(32) uint8_t split[3][3][32];  // [plane][input vector]
  alignas(32) uint8_t join[3][3][32];   // [output vector][plane]
};

constexpr TripleMasks make_masks() {
  TripleMasks m{};
  for (int c = 0; c < 3; ++c)
    for (int v = 0; v < 3; ++v)
      for (int p = 0; p < 32; ++p) {
        int k = 3 * (p & 15) + c - 16 * v;
        m.split[c][v][p] = static_cast<uint8_t>(k >= 0 && k < 16 ? k : 0x80);
      }
  for (int v = 0; v < 3; ++v)
    for (int c = 0; c < 3; ++c)
      for (int j = 0; j < 32; ++j) {
        int k = 16 * v + (j & 15);
        m.join[v][c][j] = static_cast<uint8_t>(k % 3 == c ? k / 3 : 0x80);
      }
  return m;
}
constexpr TripleMasks kMasks = make_masks();

inline __m256i mask(const uint8_t* m) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(m)); }

}  // namespace

// 32 pixels per step: each 128-bit lane converts 16 of them (lane 0 pixels
// 0-15, lane 1 pixels 16-31), as the SSSE3 version does.
void ycc_to_bgr_avx2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n, uint8_t* out) {
  const __m256i zero = _mm256_setzero_si256(), c128 = _mm256_set1_epi16(128), r64 = _mm256_set1_epi16(64);
  const __m256i kCrR = _mm256_set1_epi16(13173), kCbB = _mm256_set1_epi16(25297);
  const __m256i kCbG = _mm256_set1_epi16(11277), kCrG = _mm256_set1_epi16(23401);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    __m256i vy = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + x));
    __m256i vcb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + x));
    __m256i vcr = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + x));
    __m256i bgr[3][2];
    for (int h = 0; h < 2; ++h) {
      __m256i yy = h ? _mm256_unpackhi_epi8(vy, zero) : _mm256_unpacklo_epi8(vy, zero);
      __m256i u = _mm256_sub_epi16(h ? _mm256_unpackhi_epi8(vcb, zero) : _mm256_unpacklo_epi8(vcb, zero), c128);
      __m256i v = _mm256_sub_epi16(h ? _mm256_unpackhi_epi8(vcr, zero) : _mm256_unpacklo_epi8(vcr, zero), c128);
      __m256i u7 = _mm256_slli_epi16(u, 7), v7 = _mm256_slli_epi16(v, 7);
      bgr[2][h] = _mm256_add_epi16(_mm256_add_epi16(yy, v),
                                   _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(v7, kCrR), r64), 7));
      bgr[0][h] = _mm256_add_epi16(_mm256_add_epi16(yy, u),
                                   _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(u7, kCbB), r64), 7));
      bgr[1][h] = _mm256_sub_epi16(
          yy, _mm256_srai_epi16(
                  _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(u7, kCbG), _mm256_mulhrs_epi16(v7, kCrG)), r64),
                  7));
    }
    __m256i plane[3];
    for (int c = 0; c < 3; ++c) plane[c] = _mm256_packus_epi16(bgr[c][0], bgr[c][1]);
    __m256i o[3];
    for (int v = 0; v < 3; ++v)
      o[v] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(plane[0], mask(kMasks.join[v][0])),
                                             _mm256_shuffle_epi8(plane[1], mask(kMasks.join[v][1]))),
                             _mm256_shuffle_epi8(plane[2], mask(kMasks.join[v][2])));
    // o[v] holds output vector v of pixels 0-15 (low lane) and of 16-31.
    __m256i* dst = reinterpret_cast<__m256i*>(out + 3 * x);
    _mm256_storeu_si256(dst, _mm256_permute2x128_si256(o[0], o[1], 0x20));
    _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(o[2], o[0], 0x30));
    _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(o[1], o[2], 0x31));
  }
  ycc_to_bgr_plain(y + x, cb + x, cr + x, n - x, out + 3 * x);
}

void bgr_to_ycc_avx2(const uint8_t* bgr, int n, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  const __m256i zero = _mm256_setzero_si256(), r64 = _mm256_set1_epi16(64), c128 = _mm256_set1_epi16(128);
  const __m256i yr = _mm256_set1_epi16(9798), yg = _mm256_set1_epi16(19235), yb = _mm256_set1_epi16(3736);
  const __m256i br = _mm256_set1_epi16(-5529), bg = _mm256_set1_epi16(-10855), bb = _mm256_set1_epi16(16384);
  const __m256i rr = _mm256_set1_epi16(16384), rg = _mm256_set1_epi16(-13720), rb = _mm256_set1_epi16(-2664);
  int x = 0;
  for (; x + 32 <= n; x += 32) {
    // Lane 0 takes the triples of pixels 0-15, lane 1 those of 16-31.
    const __m128i* src = reinterpret_cast<const __m128i*>(bgr + 3 * x);
    __m256i in[3];
    for (int v = 0; v < 3; ++v)
      in[v] =
          _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(src + v)), _mm_loadu_si128(src + 3 + v), 1);
    __m256i plane[3];
    for (int c = 0; c < 3; ++c)
      plane[c] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(in[0], mask(kMasks.split[c][0])),
                                                 _mm256_shuffle_epi8(in[1], mask(kMasks.split[c][1]))),
                                 _mm256_shuffle_epi8(in[2], mask(kMasks.split[c][2])));
    __m256i out_y[2], out_cb[2], out_cr[2];
    for (int h = 0; h < 2; ++h) {
      __m256i b = _mm256_slli_epi16(h ? _mm256_unpackhi_epi8(plane[0], zero) : _mm256_unpacklo_epi8(plane[0], zero), 7);
      __m256i g = _mm256_slli_epi16(h ? _mm256_unpackhi_epi8(plane[1], zero) : _mm256_unpacklo_epi8(plane[1], zero), 7);
      __m256i r = _mm256_slli_epi16(h ? _mm256_unpackhi_epi8(plane[2], zero) : _mm256_unpacklo_epi8(plane[2], zero), 7);
      __m256i sy = _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(r, yr), _mm256_mulhrs_epi16(g, yg)),
                                    _mm256_mulhrs_epi16(b, yb));
      __m256i sb = _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(r, br), _mm256_mulhrs_epi16(g, bg)),
                                    _mm256_mulhrs_epi16(b, bb));
      __m256i sr = _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(r, rr), _mm256_mulhrs_epi16(g, rg)),
                                    _mm256_mulhrs_epi16(b, rb));
      out_y[h] = _mm256_srai_epi16(_mm256_add_epi16(sy, r64), 7);
      out_cb[h] = _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(sb, r64), 7), c128);
      out_cr[h] = _mm256_add_epi16(_mm256_srai_epi16(_mm256_add_epi16(sr, r64), 7), c128);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + x), _mm256_packus_epi16(out_y[0], out_y[1]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(cb + x), _mm256_packus_epi16(out_cb[0], out_cb[1]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(cr + x), _mm256_packus_epi16(out_cr[0], out_cr[1]));
  }
  bgr_to_ycc_plain(bgr + 3 * x, n - x, y + x, cb + x, cr + x);
}

// Each output pair leans 3:1 towards its own sample and 1:3 towards the
// neighbour on its side; 16 samples per step.
void upsample_h2_avx2(const uint8_t* c, int n, uint8_t* o) {
  const __m256i one = _mm256_set1_epi16(1), two = _mm256_set1_epi16(2);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256i cur = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i)));
    __m256i prev = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i - 1)));
    __m256i next = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + i + 1)));
    __m256i near3 = _mm256_add_epi16(_mm256_add_epi16(cur, cur), cur);
    __m256i even = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(near3, prev), one), 2);
    __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(near3, next), two), 2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 2 * i), _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
  }
  upsample_h2_plain(c + i, n - i, o + 2 * i);
}

void upsample_h2v2_avx2(const uint16_t* s, int n, uint8_t* o) {
  const __m256i b8 = _mm256_set1_epi16(8), b7 = _mm256_set1_epi16(7);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    __m256i cur = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    __m256i prev = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i - 1));
    __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 1));
    __m256i near3 = _mm256_add_epi16(_mm256_add_epi16(cur, cur), cur);
    __m256i even = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(near3, prev), b8), 4);
    __m256i odd = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(near3, next), b7), 4);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + 2 * i), _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
  }
  upsample_h2v2_plain(s + i, n - i, o + 2 * i);
}

}  // namespace jk
