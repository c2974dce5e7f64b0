#include "colour_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define JK_X86 1
#endif

namespace jk {
namespace {

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The rounded high half of a 16-bit product (a * b / 32768, rounded), as
// the SSSE3 instruction computes it.
inline int mulhrs(int a, int b) { return (a * b + 0x4000) >> 15; }

}  // namespace

// ---- Plain versions -------------------------------------------------------

// The conversions were first written for groups of 16 pixels in vector
// registers, with what is left of a row after the last whole group
// converted by the direct 16-bit formulas; pictures written and decoded
// since keep those bytes, so every version keeps that split: whole groups
// of 16 in the groups' arithmetic, the rest by the direct formulas.

// YCbCr to RGB (JFIF: R = Y + 1.402 Cr', G = Y - 0.344136 Cb' - 0.714136 Cr',
// B = Y + 1.772 Cb'). In groups: the fractional factors (0.402 and 0.772 for
// the parts of 1.402 and 1.772 above one, 0.344136 and 0.714136) times
// 32768, applied to the differences times 128 as rounded high-half
// products, then rounded to whole steps. The rest: the factors times 65536.
void ycc_to_bgr_plain(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n, uint8_t* out) {
  const int groups = n & ~15;
  for (int x = 0; x < groups; ++x) {
    int yy = y[x], u = cb[x] - 128, v = cr[x] - 128;
    int u7 = u * 128, v7 = v * 128;
    int r = yy + v + ((mulhrs(v7, 13173) + 64) >> 7);
    int b = yy + u + ((mulhrs(u7, 25297) + 64) >> 7);
    int g = yy - ((mulhrs(u7, 11277) + mulhrs(v7, 23401) + 64) >> 7);
    out[3 * x] = clamp255(b);
    out[3 * x + 1] = clamp255(g);
    out[3 * x + 2] = clamp255(r);
  }
  for (int x = groups; x < n; ++x) {
    int yy = y[x], u = cb[x] - 128, v = cr[x] - 128;
    out[3 * x] = clamp255(yy + ((116130 * u + 32768) >> 16));
    out[3 * x + 1] = clamp255(yy + ((-22554 * u - 46802 * v + 32768) >> 16));
    out[3 * x + 2] = clamp255(yy + ((91881 * v + 32768) >> 16));
  }
}

// RGB to YCbCr (JFIF): Y = 0.299 R + 0.587 G + 0.114 B, Cb = -0.168736 R -
// 0.331264 G + 0.5 B + 128, Cr = 0.5 R - 0.418688 G - 0.081312 B + 128. In
// groups: the factors times 32768 applied to the samples times 128 as
// rounded high-half products, sums wrapping at 16 bits as the vector
// registers' do. The rest: the factors times 65536.
void bgr_to_ycc_plain(const uint8_t* bgr, int n, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  auto wrap = [](int v) { return static_cast<int>(static_cast<int16_t>(v)); };
  const int groups = n & ~15;
  for (int x = 0; x < groups; ++x) {
    int b = bgr[3 * x] * 128, g = bgr[3 * x + 1] * 128, r = bgr[3 * x + 2] * 128;
    int sy = wrap(mulhrs(r, 9798) + mulhrs(g, 19235) + mulhrs(b, 3736));
    int sb = wrap(mulhrs(r, -5529) + mulhrs(g, -10855) + mulhrs(b, 16384));
    int sr = wrap(mulhrs(r, 16384) + mulhrs(g, -13720) + mulhrs(b, -2664));
    y[x] = clamp255(wrap(sy + 64) >> 7);
    cb[x] = clamp255((wrap(sb + 64) >> 7) + 128);
    cr[x] = clamp255((wrap(sr + 64) >> 7) + 128);
  }
  for (int x = groups; x < n; ++x) {
    int b = bgr[3 * x], g = bgr[3 * x + 1], r = bgr[3 * x + 2];
    y[x] = static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
    cb[x] = clamp255((-11059 * r - 21709 * g + 32768 * b + (128 << 16) + 32768) >> 16);
    cr[x] = clamp255((32768 * r - 27439 * g - 5329 * b + (128 << 16) + 32768) >> 16);
  }
}

// Each output pair leans 3:1 towards its own sample and 1:3 towards the
// neighbour on its side.
void upsample_h2_plain(const uint8_t* c, int n, uint8_t* o) {
  for (int i = 0; i < n; ++i) {
    int near3 = 3 * c[i];
    o[2 * i] = static_cast<uint8_t>((near3 + c[i - 1] + 1) >> 2);
    o[2 * i + 1] = static_cast<uint8_t>((near3 + c[i + 1] + 2) >> 2);
  }
}

void upsample_h2v2_plain(const uint16_t* s, int n, uint8_t* o) {
  for (int i = 0; i < n; ++i) {
    int near3 = 3 * s[i];
    o[2 * i] = static_cast<uint8_t>((near3 + s[i - 1] + 8) >> 4);
    o[2 * i + 1] = static_cast<uint8_t>((near3 + s[i + 1] + 7) >> 4);
  }
}

// The rounding alternates between down and up from one output to the next,
// so that averaging adds no drift to the chroma.
void downsample_plain(const uint8_t* a, const uint8_t* b, int n, uint8_t* o) {
  for (int i = 0; i < n; ++i) {
    if (b)
      o[i] = static_cast<uint8_t>((a[2 * i] + a[2 * i + 1] + b[2 * i] + b[2 * i + 1] + 1 + (i & 1)) >> 2);
    else
      o[i] = static_cast<uint8_t>((a[2 * i] + a[2 * i + 1] + (i & 1)) >> 1);
  }
}

namespace {

const ColourKernels kPlain = {ycc_to_bgr_plain, bgr_to_ycc_plain, upsample_h2_plain, upsample_h2v2_plain,
                              downsample_plain};

#if JK_X86

// ---- SSE2 ---------------------------------------------------------------

void upsample_h2_sse2(const uint8_t* c, int n, uint8_t* o) {
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1), two = _mm_set1_epi16(2);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i cur = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + i)), zero);
    __m128i prev = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + i - 1)), zero);
    __m128i next = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + i + 1)), zero);
    __m128i near3 = _mm_add_epi16(_mm_add_epi16(cur, cur), cur);
    __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, prev), one), 2);
    __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, next), two), 2);
    // Interleave even and odd outputs.
    __m128i packed = _mm_or_si128(even, _mm_slli_epi16(odd, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2 * i), packed);
  }
  upsample_h2_plain(c + i, n - i, o + 2 * i);
}

void upsample_h2v2_sse2(const uint16_t* s, int n, uint8_t* o) {
  const __m128i b8 = _mm_set1_epi16(8), b7 = _mm_set1_epi16(7);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i - 1));
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 1));
    __m128i near3 = _mm_add_epi16(_mm_add_epi16(cur, cur), cur);
    __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, prev), b8), 4);
    __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, next), b7), 4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2 * i), _mm_or_si128(even, _mm_slli_epi16(odd, 8)));
  }
  upsample_h2v2_plain(s + i, n - i, o + 2 * i);
}

void downsample_sse2(const uint8_t* a, const uint8_t* b, int n, uint8_t* o) {
  const __m128i low = _mm_set1_epi16(0xFF);
  const __m128i one = _mm_set_epi16(1, 0, 1, 0, 1, 0, 1, 0);
  const __m128i two = _mm_set_epi16(2, 1, 2, 1, 2, 1, 2, 1);
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * i));
    __m128i sum = _mm_add_epi16(_mm_and_si128(va, low), _mm_srli_epi16(va, 8));
    __m128i r;
    if (b) {
      __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * i));
      sum = _mm_add_epi16(sum, _mm_add_epi16(_mm_and_si128(vb, low), _mm_srli_epi16(vb, 8)));
      r = _mm_srli_epi16(_mm_add_epi16(sum, two), 2);
    } else {
      r = _mm_srli_epi16(_mm_add_epi16(sum, one), 1);
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + i), _mm_packus_epi16(r, r));
  }
  downsample_plain(a + 2 * i, b ? b + 2 * i : nullptr, n - i, o + i);
}

// ---- SSSE3 --------------------------------------------------------------

// Shuffle masks between three planes of 16 bytes and 48 bytes of triples:
// byte 3p + c of the triples is sample p of plane c.
struct TripleMasks {
  alignas(16) uint8_t split[3][3][16];  // [plane][input vector]
  alignas(16) uint8_t join[3][3][16];   // [output vector][plane]
  TripleMasks() {
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 3; ++v)
        for (int p = 0; p < 16; ++p) {
          int k = 3 * p + c - 16 * v;
          split[c][v][p] = static_cast<uint8_t>(k >= 0 && k < 16 ? k : 0x80);
        }
    for (int v = 0; v < 3; ++v)
      for (int c = 0; c < 3; ++c)
        for (int j = 0; j < 16; ++j) {
          int k = 16 * v + j;
          join[v][c][j] = static_cast<uint8_t>(k % 3 == c ? k / 3 : 0x80);
        }
  }
};
const TripleMasks kMasks;

__attribute__((target("ssse3"))) inline __m128i mask(const uint8_t* m) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(m));
}

// Rounded 0.5 fixed-point products of 8 samples pre-scaled by 128.
__attribute__((target("ssse3"))) void ycc_to_bgr_ssse3(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n,
                                                       uint8_t* out) {
  const __m128i zero = _mm_setzero_si128(), c128 = _mm_set1_epi16(128), r64 = _mm_set1_epi16(64);
  // 0.402, 0.772 (the parts of 1.402 and 1.772 above 1), 0.344136 and
  // 0.714136, all times 32768.
  const __m128i kCrR = _mm_set1_epi16(13173), kCbB = _mm_set1_epi16(25297);
  const __m128i kCbG = _mm_set1_epi16(11277), kCrG = _mm_set1_epi16(23401);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    __m128i vy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
    __m128i vcb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
    __m128i vcr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + x));
    __m128i bgr[3][2];
    for (int h = 0; h < 2; ++h) {
      __m128i yy = h ? _mm_unpackhi_epi8(vy, zero) : _mm_unpacklo_epi8(vy, zero);
      __m128i u = _mm_sub_epi16(h ? _mm_unpackhi_epi8(vcb, zero) : _mm_unpacklo_epi8(vcb, zero), c128);
      __m128i v = _mm_sub_epi16(h ? _mm_unpackhi_epi8(vcr, zero) : _mm_unpacklo_epi8(vcr, zero), c128);
      __m128i u7 = _mm_slli_epi16(u, 7), v7 = _mm_slli_epi16(v, 7);
      __m128i r =
          _mm_add_epi16(_mm_add_epi16(yy, v), _mm_srai_epi16(_mm_add_epi16(_mm_mulhrs_epi16(v7, kCrR), r64), 7));
      __m128i b =
          _mm_add_epi16(_mm_add_epi16(yy, u), _mm_srai_epi16(_mm_add_epi16(_mm_mulhrs_epi16(u7, kCbB), r64), 7));
      __m128i g = _mm_sub_epi16(
          yy,
          _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(_mm_mulhrs_epi16(u7, kCbG), _mm_mulhrs_epi16(v7, kCrG)), r64), 7));
      bgr[0][h] = b;
      bgr[1][h] = g;
      bgr[2][h] = r;
    }
    __m128i plane[3];
    for (int c = 0; c < 3; ++c) plane[c] = _mm_packus_epi16(bgr[c][0], bgr[c][1]);
    for (int v = 0; v < 3; ++v) {
      __m128i o = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(plane[0], mask(kMasks.join[v][0])),
                                            _mm_shuffle_epi8(plane[1], mask(kMasks.join[v][1]))),
                               _mm_shuffle_epi8(plane[2], mask(kMasks.join[v][2])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x + 16 * v), o);
    }
  }
  ycc_to_bgr_plain(y + x, cb + x, cr + x, n - x, out + 3 * x);
}

__attribute__((target("ssse3"))) void bgr_to_ycc_ssse3(const uint8_t* bgr, int n, uint8_t* y, uint8_t* cb,
                                                       uint8_t* cr) {
  const __m128i zero = _mm_setzero_si128(), r64 = _mm_set1_epi16(64), c128 = _mm_set1_epi16(128);
  // Coefficients times 32768.
  const __m128i yr = _mm_set1_epi16(9798), yg = _mm_set1_epi16(19235), yb = _mm_set1_epi16(3736);
  const __m128i br = _mm_set1_epi16(-5529), bg = _mm_set1_epi16(-10855), bb = _mm_set1_epi16(16384);
  const __m128i rr = _mm_set1_epi16(16384), rg = _mm_set1_epi16(-13720), rb = _mm_set1_epi16(-2664);
  int x = 0;
  for (; x + 16 <= n; x += 16) {
    __m128i in[3];
    for (int v = 0; v < 3; ++v) in[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 3 * x + 16 * v));
    __m128i plane[3];
    for (int c = 0; c < 3; ++c)
      plane[c] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(in[0], mask(kMasks.split[c][0])),
                                           _mm_shuffle_epi8(in[1], mask(kMasks.split[c][1]))),
                              _mm_shuffle_epi8(in[2], mask(kMasks.split[c][2])));
    __m128i out_y[2], out_cb[2], out_cr[2];
    for (int h = 0; h < 2; ++h) {
      __m128i b = _mm_slli_epi16(h ? _mm_unpackhi_epi8(plane[0], zero) : _mm_unpacklo_epi8(plane[0], zero), 7);
      __m128i g = _mm_slli_epi16(h ? _mm_unpackhi_epi8(plane[1], zero) : _mm_unpacklo_epi8(plane[1], zero), 7);
      __m128i r = _mm_slli_epi16(h ? _mm_unpackhi_epi8(plane[2], zero) : _mm_unpacklo_epi8(plane[2], zero), 7);
      __m128i sy =
          _mm_add_epi16(_mm_add_epi16(_mm_mulhrs_epi16(r, yr), _mm_mulhrs_epi16(g, yg)), _mm_mulhrs_epi16(b, yb));
      __m128i sb =
          _mm_add_epi16(_mm_add_epi16(_mm_mulhrs_epi16(r, br), _mm_mulhrs_epi16(g, bg)), _mm_mulhrs_epi16(b, bb));
      __m128i sr =
          _mm_add_epi16(_mm_add_epi16(_mm_mulhrs_epi16(r, rr), _mm_mulhrs_epi16(g, rg)), _mm_mulhrs_epi16(b, rb));
      out_y[h] = _mm_srai_epi16(_mm_add_epi16(sy, r64), 7);
      out_cb[h] = _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(sb, r64), 7), c128);
      out_cr[h] = _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(sr, r64), 7), c128);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), _mm_packus_epi16(out_y[0], out_y[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x), _mm_packus_epi16(out_cb[0], out_cb[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + x), _mm_packus_epi16(out_cr[0], out_cr[1]));
  }
  bgr_to_ycc_plain(bgr + 3 * x, n - x, y + x, cb + x, cr + x);
}

std::vector<NamedColourKernels> versions() {
  std::vector<NamedColourKernels> v = {{"plain", kPlain}};
  v.push_back({"sse2", {ycc_to_bgr_plain, bgr_to_ycc_plain, upsample_h2_sse2, upsample_h2v2_sse2, downsample_sse2}});
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3"))
    v.push_back({"ssse3", {ycc_to_bgr_ssse3, bgr_to_ycc_ssse3, upsample_h2_sse2, upsample_h2v2_sse2, downsample_sse2}});
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2"))
    v.push_back({"avx2", {ycc_to_bgr_avx2, bgr_to_ycc_avx2, upsample_h2_avx2, upsample_h2v2_avx2, downsample_sse2}});
#endif
  return v;
}

#else

std::vector<NamedColourKernels> versions() { return {{"plain", kPlain}}; }

#endif

}  // namespace

const ColourKernels& colour_kernels() {
  static const ColourKernels k = versions().back().k;
  return k;
}

std::vector<NamedColourKernels> colour_kernel_versions() { return versions(); }

}  // namespace jk
