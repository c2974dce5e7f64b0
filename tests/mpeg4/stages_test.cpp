// The decoder's stages on their own: code tables, inverse transform and
// motion compensation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "mpeg4_internal.h"

namespace {

using namespace mpeg4;

TEST(VlcTables, BuildWithoutCollisionsAndFormPrefixCodes) {
  const VlcTables& t = vlc_tables();
  ASSERT_TRUE(t.ok);
  for (const Vlc* v : {&t.mcbpc_intra, &t.mcbpc_inter, &t.cbpy, &t.mvd, &t.dc_size_lum, &t.dc_size_chrom,
                       &t.tcoef_intra, &t.tcoef_inter, &t.mb_type_b, &t.sprite_dmv_length}) {
    EXPECT_LE(v->kraft_sum(), 1.0);
    EXPECT_GT(v->kraft_sum(), 0.9);
  }
}

// The escape limits derived from the code tables must equal the standard's
// LMAX and RMAX tables; a typo in a code's run or level shows here.
TEST(VlcTables, EscapeLimitsMatchTheStandard) {
  const VlcTables& t = vlc_tables();
  const int intra_lmax0[15] = {27, 10, 5, 4, 3, 3, 3, 3, 2, 2, 1, 1, 1, 1, 1};
  for (int run = 0; run < 15; ++run) EXPECT_EQ(t.lmax[1][0][run], intra_lmax0[run]) << run;
  const int intra_lmax1[21] = {8, 3, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  for (int run = 0; run < 21; ++run) EXPECT_EQ(t.lmax[1][1][run], intra_lmax1[run]) << run;
  const int inter_lmax0[27] = {12, 6, 4, 3, 3, 3, 3, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  for (int run = 0; run < 27; ++run) EXPECT_EQ(t.lmax[0][0][run], inter_lmax0[run]) << run;
  EXPECT_EQ(t.lmax[0][1][0], 3);
  EXPECT_EQ(t.lmax[0][1][1], 2);
  for (int run = 2; run <= 40; ++run) EXPECT_EQ(t.lmax[0][1][run], 1) << run;
  EXPECT_EQ(t.rmax[1][0][1], 14);
  EXPECT_EQ(t.rmax[1][0][2], 9);
  EXPECT_EQ(t.rmax[1][1][1], 20);
  EXPECT_EQ(t.rmax[0][0][1], 26);
  EXPECT_EQ(t.rmax[0][0][2], 10);
  EXPECT_EQ(t.rmax[0][1][1], 40);
}

TEST(VlcTables, DecodeReadsSignedMotionCodes) {
  // 0000 0100 10 = +10 half samples; 0000 0000 0010 1 = -32.
  const uint8_t bits[] = {0x04, 0x80, 0x0A};
  BitReader br(bits, sizeof bits);
  EXPECT_EQ(vlc_tables().mvd.decode(br), 10);
  br.seek(10);
  EXPECT_EQ(vlc_tables().mvd.decode(br), -32);
  EXPECT_EQ(br.pos(), 23u);
}

TEST(Scans, AreExactPermutations) {
  for (const uint8_t* scan : {kZigzagScan, kAlternateHorizontalScan, kAlternateVerticalScan}) {
    bool seen[64] = {};
    for (int i = 0; i < 64; ++i) {
      ASSERT_LT(scan[i], 64);
      EXPECT_FALSE(seen[scan[i]]);
      seen[scan[i]] = true;
    }
  }
}

TEST(BitReader, ReadsPastTheEndAsZerosAndReportsOverrun) {
  const uint8_t bits[] = {0xA5};
  BitReader br(bits, sizeof bits);
  EXPECT_EQ(br.get(4), 0xAu);
  EXPECT_FALSE(br.overrun());
  EXPECT_EQ(br.get(12), 0x500u);
  EXPECT_TRUE(br.overrun());
  EXPECT_EQ(br.bits_left(), 0u);
}

// The register-held reader of the coefficient loop gives the plain reader's
// bits and position, from any starting bit, also past the end of the data.
TEST(BitReader, CachedReadsFollowThePlainReader) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<uint8_t> data(1 + rng() % 40);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    BitReader plain(data.data(), data.size());
    plain.skip(rng() % (data.size() * 8 + 16));
    BitCache cached(plain);
    for (int k = 0; k < 30; ++k) {
      cached.refill();
      const int n = 1 + static_cast<int>(rng() % 32);
      ASSERT_EQ(cached.pos(), plain.pos());
      ASSERT_EQ(cached.get(n), plain.get(n)) << "trial " << trial << " read " << k << " of " << n << " bits";
    }
    BitReader back(data.data(), data.size());
    cached.store(back);
    EXPECT_EQ(back.pos(), plain.pos());
    EXPECT_EQ(back.overrun(), plain.overrun());
  }
}

TEST(Idct, FastTransformStaysWithinOneOfTheExactOne) {
  std::mt19937 rng(7);
  int mismatches = 0, total = 0;
  for (int n = 0; n < 4000; ++n) {
    int16_t coef[64] = {};
    const int count = 1 + static_cast<int>(rng() % 12);
    const int range = n % 2 ? 300 : 2048;
    for (int k = 0; k < count; ++k)
      coef[rng() % 64] = static_cast<int16_t>(static_cast<int>(rng() % (2 * range)) - range);
    int16_t fast[64], exact[64];
    idct8x8(coef, fast);
    idct8x8_reference(coef, exact);
    for (int i = 0; i < 64; ++i) {
      ASSERT_LE(std::abs(fast[i] - exact[i]), 1) << "block " << n << " sample " << i;
      mismatches += fast[i] != exact[i];
      ++total;
    }
  }
  EXPECT_LT(mismatches, total / 1000);
}

TEST(Idct, DcShortcutsMatchTheFullTransform) {
  for (int dc = -2048; dc <= 2047; dc += 3) {
    int16_t coef[64] = {};
    coef[0] = static_cast<int16_t>(dc);
    uint8_t a[8 * 8], b[8 * 8];
    std::memset(a, 100, sizeof a);
    std::memset(b, 100, sizeof b);
    idct_add(coef, a, 8);
    idct_add_dc(dc, b, 8);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << dc;
    idct_put(coef, a, 8);
    idct_put_dc(dc, b, 8);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << dc;
  }
}

// The vector transform against the plain one on random blocks (dense,
// sparse and saturating), into a picture with guard bytes around the block
// that must stay untouched.
TEST(Idct, VectorVersionsGiveThePlainResults) {
  if (!idct_avx2_available()) GTEST_SKIP() << "no AVX2 on this processor";
#if defined(__x86_64__) || defined(__i386__)
  std::mt19937 rng(11);
  constexpr int kStride = 40, kRows = 12;
  for (int n = 0; n < 20000; ++n) {
    int16_t coef[64] = {};
    const int count = n % 5 == 0 ? 64 : 1 + static_cast<int>(rng() % 16);
    const int range = (n % 3 == 0) ? 2048 : (n % 3 == 1 ? 300 : 20);
    for (int k = 0; k < count; ++k)
      coef[rng() % 64] = static_cast<int16_t>(static_cast<int>(rng() % (2 * range)) - range);
    uint8_t ref[kStride * kRows], vec[kStride * kRows];
    for (auto& b : ref) b = static_cast<uint8_t>(rng());
    std::memcpy(vec, ref, sizeof ref);
    const int off = 2 * kStride + 8 + static_cast<int>(rng() % 16);
    if (n & 1) {
      idct_add_c(coef, ref + off, kStride);
      idct_add_avx2(coef, vec + off, kStride);
    } else {
      idct_put_c(coef, ref + off, kStride);
      idct_put_avx2(coef, vec + off, kStride);
    }
    ASSERT_EQ(0, std::memcmp(ref, vec, sizeof ref)) << "block " << n << (n & 1 ? " add" : " put");
  }
#endif
}

struct TestPlane {
  int w, h;
  std::vector<uint8_t> px;
  TestPlane(int w_, int h_) : w(w_), h(h_), px(static_cast<size_t>(w_) * h_) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) px[y * w + x] = static_cast<uint8_t>((x * 7 + y * 13 + (x * y) % 11) & 255);
  }
  Plane plane() const { return {px.data(), w, w, h}; }
  uint8_t at(int x, int y) const { return px[std::clamp(y, 0, h - 1) * w + std::clamp(x, 0, w - 1)]; }
};

TEST(MotionCompensation, FullSamplePositionsCopyTheReference) {
  TestPlane ref(48, 40);
  uint8_t out[16 * 16];
  for (bool qpel : {false, true}) {
    const int unit = qpel ? 4 : 2;
    if (qpel)
      mc_qpel(out, 16, ref.plane(), 5 * unit, 9 * unit, 16, 16, 0);
    else
      mc_halfpel(out, 16, ref.plane(), 5 * unit, 9 * unit, 16, 16, 0);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) ASSERT_EQ(out[y * 16 + x], ref.at(5 + x, 9 + y));
  }
}

TEST(MotionCompensation, VectorsFarOutsideRepeatTheEdge) {
  TestPlane ref(32, 32);
  uint8_t out[16 * 16];
  // Half-sample position far beyond the bottom right corner: all samples are
  // the corner sample.
  mc_halfpel(out, 16, ref.plane(), 2 * 1000 + 1, 2 * 900 + 1, 16, 16, 0);
  for (uint8_t v : out) ASSERT_EQ(v, ref.at(31, 31));
  mc_qpel(out, 16, ref.plane(), -4 * 500 - 3, 4 * 3 + 2, 16, 16, 1);
  for (int y = 0; y < 16; ++y) {
    // Columns are all beyond the left edge: each row is constant.
    for (int x = 1; x < 16; ++x) ASSERT_EQ(out[y * 16 + x], out[y * 16]);
  }
}

TEST(MotionCompensation, HalfSamplesAverageWithRoundingControl) {
  TestPlane ref(32, 32);
  uint8_t out[8 * 8];
  for (int rounding = 0; rounding < 2; ++rounding) {
    mc_halfpel(out, 8, ref.plane(), 2 * 4 + 1, 2 * 6 + 1, 8, 8, rounding);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        const int s = ref.at(4 + x, 6 + y) + ref.at(5 + x, 6 + y) + ref.at(4 + x, 7 + y) + ref.at(5 + x, 7 + y);
        ASSERT_EQ(out[y * 8 + x], (s + 2 - rounding) >> 2);
      }
  }
}

TEST(MotionCompensation, QuarterSamplesOfAFlatAreaKeepItsValue) {
  std::vector<uint8_t> flat(64 * 64, 77);
  Plane p{flat.data(), 64, 64, 64};
  uint8_t out[16 * 16];
  for (int fx = 0; fx < 4; ++fx)
    for (int fy = 0; fy < 4; ++fy)
      for (int rounding = 0; rounding < 2; ++rounding) {
        mc_qpel(out, 16, p, 4 * 20 + fx, 4 * 20 + fy, 16, 16, rounding);
        for (uint8_t v : out) ASSERT_EQ(v, 77) << fx << fy << rounding;
      }
}

// Quarter-sample prediction worked straight from its definition: the
// (w + 1) x (h + 1) samples at the integer position, the 8-tap half-sample
// filter (160, -48, 24, -8) / 256 with the samples beyond that block
// mirrored at its edges, horizontally then vertically, and the quarter
// positions as the rounded mean of a half-sample value and its nearer
// sample. fetch(c, r) gives the reference sample at the block's column c,
// row r.
template <typename Fetch>
std::vector<uint8_t> qpel_by_definition(Fetch fetch, int w, int h, int fx, int fy, int rounding) {
  auto filter = [&](auto at, int n, int i) {
    auto m = [&](int j) { return at(j < 0 ? -j - 1 : (j > n ? 2 * n + 1 - j : j)); };
    const int taps[4] = {160, -48, 24, -8};
    int u = 0;
    for (int k = 0; k < 4; ++k) u += taps[k] * (m(i - k) + m(i + 1 + k));
    return std::clamp((u + 128 - rounding) >> 8, 0, 255);
  };
  auto quarter = [&](auto at, int n, int i, int frac) {
    if (frac == 0) return at(i);
    const int half = filter(at, n, i);
    if (frac == 2) return half;
    return (at(frac == 1 ? i : i + 1) + half + 1 - rounding) >> 1;
  };
  std::vector<int> mid((h + 1) * w);
  for (int r = 0; r <= h; ++r)
    for (int c = 0; c < w; ++c) mid[r * w + c] = quarter([&](int j) { return int{fetch(j, r)}; }, w, c, fx);
  std::vector<uint8_t> out(w * h);
  for (int r = 0; r < h; ++r)
    for (int c = 0; c < w; ++c)
      out[r * w + c] = static_cast<uint8_t>(quarter([&](int j) { return mid[j * w + c]; }, h, r, fy));
  return out;
}

// A field vector predicts one 16x8 block from the lines of one field: its
// samples are mirrored at that block's edges only (not between its two
// halves), and rows come from the chosen field alone.
TEST(MotionCompensation, QuarterSampleFieldBlocksFollowTheDefinition) {
  std::mt19937 rng(11);
  const int w = 48, h = 48;
  std::vector<uint8_t> frame(w * h);
  for (auto& v : frame) v = static_cast<uint8_t>(rng());
  const Plane whole{frame.data(), w, w, h};
  uint8_t out[16 * 8];
  for (int n = 0; n < 64; ++n) {
    const int field = n & 1, rounding = (n >> 1) & 1;
    const int x4 = 4 * 9 + static_cast<int>(rng() % 4), y4 = 4 * 5 + static_cast<int>(rng() % 4);
    if ((x4 & 3) == 0 && (y4 & 3) == 0) continue;
    mc_qpel(out, 16, field_of(whole, field), x4, y4, 16, 8, rounding);
    const auto want =
        qpel_by_definition([&](int c, int r) { return frame[(field + 2 * ((y4 >> 2) + r)) * w + (x4 >> 2) + c]; }, 16,
                           8, x4 & 3, y4 & 3, rounding);
    for (int i = 0; i < 16 * 8; ++i)
      ASSERT_EQ(out[i], want[i]) << "field " << field << " at (" << x4 << ", " << y4 << ") sample " << i;
  }
}

}  // namespace

namespace {

// The vector kernels against the plain ones on random blocks, comparing the
// whole destination including the bytes around the block.
TEST(McKernels, VectorVersionsMatchThePlainOnes) {
#if defined(__SSE2__)
  std::mt19937 rng(3);
  std::vector<uint8_t> src(40 * 40);
  for (int n = 0; n < 500; ++n) {
    for (uint8_t& v : src) v = static_cast<uint8_t>(rng());
    const int w = (n % 3 == 0) ? 4 : (n % 3 == 1 ? 8 : 16);
    const int h = (n % 2) ? w : w / 2;
    const int fx = (n >> 1) & 1, fy = (n >> 2) & 1, rounding = (n >> 3) & 1;
    uint8_t a[24 * 24], b[24 * 24];
    for (int i = 0; i < 24 * 24; ++i) a[i] = b[i] = static_cast<uint8_t>(rng());
    mpeg4::halfpel_c(a + 24 * 2 + 2, 24, src.data() + 41, 40, w, h, fx, fy, rounding);
    mpeg4::halfpel_sse2(b + 24 * 2 + 2, 24, src.data() + 41, 40, w, h, fx, fy, rounding);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << n;
    mpeg4::average_c(a + 3, 24, src.data() + 7, 40, w, h);
    mpeg4::average_sse2(b + 3, 24, src.data() + 7, 40, w, h);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << n;
    // The quarter-sample filter: taps and near samples anywhere in 0..255
    // (extremes included), every fraction, rounding and length.
    int16_t lines[9][24];
    for (auto& line : lines)
      for (int16_t& v : line) v = static_cast<int16_t>(rng() % 4 == 0 ? (rng() & 1) * 255 : rng() % 256);
    const int16_t* const tap[8] = {lines[0], lines[1], lines[2], lines[3], lines[4], lines[5], lines[6], lines[7]};
    const int n_taps = (n % 4 == 0) ? 8 : (n % 4 == 1 ? 16 : (n % 4 == 2 ? 4 : 12));
    const int frac = 1 + static_cast<int>(rng() % 3);
    int16_t plain[18], vec[18];
    for (int i = 0; i < 18; ++i) plain[i] = vec[i] = static_cast<int16_t>(i);
    mpeg4::qpel_taps_c(tap, lines[8], n_taps, frac, rounding, plain);
    mpeg4::qpel_taps_sse2(tap, lines[8], n_taps, frac, rounding, vec);
    ASSERT_EQ(0, std::memcmp(plain, vec, sizeof plain)) << n << " frac " << frac;
  }
#else
  GTEST_SKIP() << "no vector kernels on this processor";
#endif
}

}  // namespace
