// The codec's kernels against their references: the transforms on random
// blocks, Huffman coding round trips, and the standard tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <set>

#include "jpegkit_internal.h"
#include "reference_pictures.h"

namespace {

TEST(Dct, InverseMatchesTheDefiningSum) {
  const jk::DctKernels plain = jk::dct_kernel_versions()[0].k;
  std::mt19937 rng(1);
  int worst = 0;
  for (int round = 0; round < 2000; ++round) {
    alignas(16) int16_t coef[64] = {};
    // Mostly low frequencies, as in pictures, with occasional large values.
    int n = 1 + static_cast<int>(rng() % 64);
    for (int i = 0; i < n; ++i) {
      int k = static_cast<int>(rng() % (round % 3 == 0 ? 64 : 16));
      int range = round % 7 == 0 ? 2047 : 300;
      coef[jk::kZigzag[k]] = static_cast<int16_t>(static_cast<int>(rng() % (2 * range + 1)) - range);
    }
    // Guard bytes around the output catch writes outside the block.
    uint8_t fast[10 * 12], ref[10 * 12];
    std::memset(fast, 0xA5, sizeof fast);
    std::memset(ref, 0xA5, sizeof ref);
    plain.idct(coef, fast + 12 + 2, 12);
    jk::idct_block_reference(coef, ref + 12 + 2, 12);
    for (int i = 0; i < 10 * 12; ++i) {
      int d = std::abs(fast[i] - ref[i]);
      worst = std::max(worst, d);
      ASSERT_LE(d, 1) << "round " << round << " byte " << i;
    }
  }
  EXPECT_LE(worst, 1);
}

TEST(Dct, ForwardMatchesTheDefiningSum) {
  const jk::DctKernels plain = jk::dct_kernel_versions()[0].k;
  std::mt19937 rng(2);
  for (int round = 0; round < 1000; ++round) {
    uint8_t px[64];
    for (int i = 0; i < 64; ++i)
      px[i] = static_cast<uint8_t>(round % 4 == 0 ? rng() & 255 : 100 + (i % 8) * 9 + (i / 8) * 4 + rng() % 8);
    alignas(16) float recip[64];
    for (int i = 0; i < 64; ++i) recip[i] = 1.0f / static_cast<float>(1 + (round + i) % (round % 5 == 0 ? 1 : 40));
    alignas(16) int16_t fast[64], ref[64];
    plain.fdct_quantise(px, 8, recip, fast);
    jk::fdct_quantise_reference(px, 8, recip, ref);
    for (int i = 0; i < 64; ++i) ASSERT_LE(std::abs(fast[i] - ref[i]), 1) << "round " << round << " coefficient " << i;
  }
}

// Random coefficient blocks of the shapes pictures give (only DC, only the
// first rows or columns, the low frequencies, everything, extreme values):
// every version must write the plain version's bytes exactly, and nothing
// around the block.
TEST(Dct, EveryVersionGivesThePlainVersionsBytes) {
  std::vector<jk::NamedDctKernels> versions = jk::dct_kernel_versions();
  ASSERT_STREQ(versions[0].name, "plain");
  const jk::DctKernels& plain = versions[0].k;
  std::mt19937 rng(5);
  constexpr int kStride = 13, kRows = 10;
  for (size_t v = 1; v < versions.size(); ++v) {
    const jk::DctKernels& k = versions[v].k;
    for (int round = 0; round < 6000; ++round) {
      alignas(16) int16_t coef[64] = {};
      int rows = 1 + static_cast<int>(rng() % 8), cols = 1 + static_cast<int>(rng() % 8);
      if (round % 5 == 0) rows = cols = 8;
      int range = round % 11 == 0 ? 32767 : round % 3 == 0 ? 2047 : 200;
      int n = 1 + static_cast<int>(rng() % 20);
      for (int i = 0; i < n; ++i) {
        int at = static_cast<int>(rng() % rows) * 8 + static_cast<int>(rng() % cols);
        coef[at] = static_cast<int16_t>(static_cast<int>(rng() % (2 * range + 1)) - range);
      }
      uint8_t a[kRows * kStride], b[kRows * kStride];
      std::memset(a, 0xA5, sizeof a);
      std::memset(b, 0xA5, sizeof b);
      plain.idct(coef, a + kStride + 3, kStride);
      k.idct(coef, b + kStride + 3, kStride);
      ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << versions[v].name << " idct, round " << round;
    }
    for (int round = 0; round < 3000; ++round) {
      uint8_t px[kRows * kStride];
      for (auto& p : px)
        p = static_cast<uint8_t>(round % 4 == 0 ? rng() : round % 4 == 1 ? 120 + rng() % 16 : (round & 1) * 255);
      alignas(32) float recip[64];
      for (float& r : recip) r = 1.0f / static_cast<float>(round % 7 == 0 ? 1 : 1 + rng() % 255);
      int16_t a[64 + 16], b[64 + 16];
      std::fill(std::begin(a), std::end(a), int16_t{0x5A5A});
      std::fill(std::begin(b), std::end(b), int16_t{0x5A5A});
      plain.fdct_quantise(px + kStride + 2, kStride, recip, a + 8);
      k.fdct_quantise(px + kStride + 2, kStride, recip, b + 8);
      ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << versions[v].name << " fdct, round " << round;
    }
  }
}

TEST(Dct, FlatBlocksStayFlat) {
  for (int level : {0, 1, 127, 128, 254, 255}) {
    uint8_t px[64];
    std::memset(px, level, sizeof px);
    alignas(16) float one[64];
    std::fill(std::begin(one), std::end(one), 1.0f);
    alignas(16) int16_t coef[64];
    jk::fdct_quantise(px, 8, one, coef);
    EXPECT_EQ(coef[0], (level - 128) * 8);
    for (int i = 1; i < 64; ++i) EXPECT_EQ(coef[i], 0);
    uint8_t back[64];
    jk::idct_block(coef, back, 8);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(back[i], level);
  }
}

TEST(Tables, StandardAcTablesHoldEveryRunAndSize) {
  for (int chroma = 0; chroma < 2; ++chroma) {
    const jk::HuffSpec& ac = jk::standard_ac(chroma);
    EXPECT_TRUE(jk::huffman_spec_valid(ac));
    std::set<int> symbols(ac.vals, ac.vals + ac.count);
    EXPECT_EQ(symbols.size(), 162u);
    EXPECT_TRUE(symbols.count(0x00) && symbols.count(0xF0));
    for (int run = 0; run < 16; ++run)
      for (int size = 1; size <= 10; ++size) EXPECT_TRUE(symbols.count(run << 4 | size));
    EXPECT_TRUE(jk::huffman_spec_valid(jk::standard_dc(chroma)));
  }
}

TEST(Tables, InvalidCodeCountsAreRejected) {
  jk::HuffSpec s;
  s.bits[1] = 3;  // three codes of one bit cannot exist
  s.count = 3;
  EXPECT_FALSE(jk::huffman_spec_valid(s));
  s.bits[1] = 2;
  s.count = 2;
  EXPECT_TRUE(jk::huffman_spec_valid(s));
}

// Random blocks written with the writer's tables and read back exactly, with
// and without restart markers between them.
TEST(Huffman, BlocksRoundTrip) {
  std::mt19937 rng(3);
  std::vector<std::vector<int16_t>> blocks;
  for (int b = 0; b < 400; ++b) {
    std::vector<int16_t> c(64, 0);
    c[0] = static_cast<int16_t>(static_cast<int>(rng() % 2047) - 1023);
    int n = static_cast<int>(rng() % (b % 10 == 0 ? 64 : 12));
    for (int i = 0; i < n; ++i) {
      int k = 1 + static_cast<int>(rng() % 63);
      c[jk::kZigzag[k]] = static_cast<int16_t>(static_cast<int>(rng() % 2047) - 1023);
    }
    blocks.push_back(c);
  }
  for (int chroma = 0; chroma < 2; ++chroma) {
    jk::HuffEncoder dce, ace;
    jk::build_encoder(jk::standard_dc(chroma), dce);
    jk::build_encoder(jk::standard_ac(chroma), ace);
    std::vector<uint8_t> data;
    jk::BitWriter bw(data);
    int32_t pred = 0;
    for (auto& c : blocks) jk::encode_block(bw, dce, ace, pred, c.data());
    bw.finish();
    data.insert(data.end(), {0xFF, 0xD9});

    static jk::HuffDecoder dcd, acd;
    jk::build_decoder(jk::standard_dc(chroma), false, dcd);
    jk::build_decoder(jk::standard_ac(chroma), true, acd);
    jk::Source src;
    src.open_memory(data.data(), data.size());
    jk::BitReader br(src);
    uint16_t ones[64];
    std::fill(std::begin(ones), std::end(ones), 1);
    int32_t dpred = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
      alignas(16) int16_t got[64] = {};
      ASSERT_GT(jk::decode_block(br, dcd, acd, dpred, ones, got), 0) << "block " << b;
      ASSERT_EQ(0, std::memcmp(got, blocks[b].data(), sizeof got)) << "block " << b;
    }
    EXPECT_FALSE(br.overrun());
    EXPECT_EQ(br.marker(), 0xD9);
  }
}

// A valid table of random code lengths (1 to 16 bits) for the given
// symbols, in random order within each length; the code of all one bits is
// never used.
jk::HuffSpec random_spec(std::mt19937& rng, std::vector<int> symbols, int longest_first) {
  std::shuffle(symbols.begin(), symbols.end(), rng);
  std::vector<int> len(symbols.size());
  for (auto& l : len) l = 1 + static_cast<int>(rng() % longest_first);
  auto kraft = [&] {
    uint32_t k = 0;
    for (int l : len) k += 1u << (16 - l);
    return k;
  };
  while (kraft() > (1u << 16) - 1) {
    size_t i = rng() % len.size();
    if (len[i] < 16) ++len[i];
  }
  jk::HuffSpec spec;
  for (int l = 1; l <= 16; ++l)
    for (size_t i = 0; i < symbols.size(); ++i)
      if (len[i] == l) {
        spec.vals[spec.count++] = static_cast<uint8_t>(symbols[i]);
        ++spec.bits[l];
      }
  spec.defined = true;
  return spec;
}

// Random tables of every shape: codes short enough for the lookahead with
// their value bits, codes that fit only without them, and codes longer than
// the lookahead, each decoded back exactly as written.
TEST(Huffman, RandomTablesRoundTrip) {
  std::mt19937 rng(6);
  std::vector<int> dc_symbols, ac_symbols = {0x00, 0xF0};
  for (int s = 0; s <= 11; ++s) dc_symbols.push_back(s);
  for (int run = 0; run < 16; ++run)
    for (int size = 1; size <= 10; ++size) ac_symbols.push_back(run << 4 | size);
  for (int round = 0; round < 40; ++round) {
    jk::HuffSpec dc = random_spec(rng, dc_symbols, 2 + round % 12);
    jk::HuffSpec ac = random_spec(rng, ac_symbols, 4 + round % 12);
    ASSERT_TRUE(jk::huffman_spec_valid(dc) && jk::huffman_spec_valid(ac));
    std::vector<std::vector<int16_t>> blocks;
    for (int b = 0; b < 60; ++b) {
      std::vector<int16_t> c(64, 0);
      int range = b % 3 == 0 ? 2047 : b % 3 == 1 ? 40 : 3;
      // DC values within +-1023 keep the differences within 11 bits.
      const int dc_range = std::min(range, 1023);
      c[0] = static_cast<int16_t>(static_cast<int>(rng() % (2 * dc_range + 1)) - dc_range);
      int n = static_cast<int>(rng() % (b % 7 == 0 ? 64 : 10));
      for (int i = 0; i < n; ++i) {
        int k = 1 + static_cast<int>(rng() % 63);
        int v = static_cast<int>(rng() % (2 * std::min(range, 1023) + 1)) - std::min(range, 1023);
        c[jk::kZigzag[k]] = static_cast<int16_t>(v);
      }
      blocks.push_back(c);
    }
    jk::HuffEncoder dce, ace;
    jk::build_encoder(dc, dce);
    jk::build_encoder(ac, ace);
    std::vector<uint8_t> data;
    jk::BitWriter bw(data);
    int32_t pred = 0;
    for (auto& c : blocks) jk::encode_block(bw, dce, ace, pred, c.data());
    bw.finish();
    data.insert(data.end(), {0xFF, 0xD9});

    static jk::HuffDecoder dcd, acd;
    jk::build_decoder(dc, false, dcd);
    jk::build_decoder(ac, true, acd);
    jk::Source src;
    src.open_memory(data.data(), data.size());
    jk::BitReader br(src);
    uint16_t ones[64];
    std::fill(std::begin(ones), std::end(ones), 1);
    int32_t dpred = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
      alignas(16) int16_t got[64] = {};
      ASSERT_GT(jk::decode_block(br, dcd, acd, dpred, ones, got), 0) << "round " << round << " block " << b;
      ASSERT_EQ(0, std::memcmp(got, blocks[b].data(), sizeof got)) << "round " << round << " block " << b;
    }
    EXPECT_FALSE(br.overrun());
    EXPECT_EQ(br.marker(), 0xD9);
  }
}

// Every version of the block coder writes the plain version's bytes: blocks
// with long runs of zeros, only a DC, every coefficient set and the largest
// values, written one after another so that codes cross the writer's word
// boundaries at every position.
TEST(Huffman, EveryBlockCoderVersionGivesThePlainVersionsBytes) {
  std::vector<jk::NamedBlockCoder> versions = jk::block_coder_versions();
  ASSERT_STREQ(versions[0].name, "plain");
  std::mt19937 rng(8);
  std::vector<std::array<int16_t, 64>> blocks(3000);
  for (size_t b = 0; b < blocks.size(); ++b) {
    std::array<int16_t, 64>& c = blocks[b];
    c.fill(0);
    const int range = b % 9 == 0 ? 1023 : 40;
    c[0] = static_cast<int16_t>(static_cast<int>(rng() % 2047) - 1023);
    const int n = b % 5 == 0 ? 0 : b % 7 == 0 ? 63 : static_cast<int>(rng() % 10);
    for (int i = 0; i < n; ++i) {
      const int k = b % 7 == 0 ? 1 + i : 1 + static_cast<int>(rng() % 63);
      c[jk::kZigzag[k]] = static_cast<int16_t>(static_cast<int>(rng() % (2 * range + 1)) - range);
    }
  }
  for (int chroma = 0; chroma < 2; ++chroma) {
    jk::HuffEncoder dce, ace;
    jk::build_encoder(jk::standard_dc(chroma), dce);
    jk::build_encoder(jk::standard_ac(chroma), ace);
    std::vector<uint8_t> want;
    for (const jk::NamedBlockCoder& v : versions) {
      std::vector<uint8_t> data;
      jk::BitWriter bw(data);
      int32_t pred = 0;
      for (const auto& c : blocks) v.code(bw, dce, ace, pred, c.data());
      bw.finish();
      if (want.empty()) want = data;
      EXPECT_EQ(data, want) << v.name << " table " << chroma;
    }
  }
}

TEST(Huffman, ReadingPastTheDataIsNoticed) {
  jk::HuffEncoder dce, ace;
  jk::build_encoder(jk::standard_dc(0), dce);
  jk::build_encoder(jk::standard_ac(0), ace);
  std::vector<uint8_t> data;
  jk::BitWriter bw(data);
  int32_t pred = 0;
  int16_t c[64] = {};
  c[0] = 5;
  c[1] = 300;
  jk::encode_block(bw, dce, ace, pred, c);
  bw.finish();
  data.pop_back();  // lose the last byte
  static jk::HuffDecoder dcd, acd;
  jk::build_decoder(jk::standard_dc(0), false, dcd);
  jk::build_decoder(jk::standard_ac(0), true, acd);
  jk::Source src;
  src.open_memory(data.data(), data.size());
  jk::BitReader br(src);
  uint16_t ones[64];
  std::fill(std::begin(ones), std::end(ones), 1);
  int16_t got[64] = {};
  int32_t dpred = 0;
  int r = jk::decode_block(br, dcd, acd, dpred, ones, got);
  EXPECT_TRUE(r < 0 || br.overrun());
}

}  // namespace

namespace {

// Every version of the colour kernels against the plain versions on random
// rows of every length up to 100 (vector bodies and scalar tails), with
// guard bytes behind each output: the same bytes everywhere.
TEST(ColourKernels, EveryVersionGivesThePlainVersionsBytes) {
  std::vector<jk::NamedColourKernels> versions = jk::colour_kernel_versions();
  ASSERT_STREQ(versions[0].name, "plain");
  const jk::ColourKernels& ref = versions[0].k;
  std::mt19937 rng(4);
  for (size_t ver = 1; ver < versions.size(); ++ver) {
    const jk::ColourKernels& fast = versions[ver].k;
    const std::string name = versions[ver].name;
    for (int n = 1; n <= 100; ++n) {
      std::vector<uint8_t> a(3 * n + 2), b(n + 2), c(n + 2);
      for (auto* v : {&a, &b, &c})
        for (auto& x : *v) x = static_cast<uint8_t>(n % 3 ? rng() : (rng() & 1) * 255);
      std::vector<uint16_t> s(n + 2);
      for (auto& x : s) x = static_cast<uint16_t>(rng() % 1021);

      std::vector<uint8_t> o1(3 * n + 16, 0x5A), o2(3 * n + 16, 0x5A);
      fast.ycc_to_bgr(a.data(), b.data(), c.data(), n, o1.data());
      ref.ycc_to_bgr(a.data(), b.data(), c.data(), n, o2.data());
      ASSERT_EQ(o1, o2) << name << " ycc n=" << n;

      std::vector<uint8_t> y1(n + 16, 0x5A), y2(y1), cb1(y1), cb2(y1), cr1(y1), cr2(y1);
      fast.bgr_to_ycc(a.data(), n, y1.data(), cb1.data(), cr1.data());
      ref.bgr_to_ycc(a.data(), n, y2.data(), cb2.data(), cr2.data());
      ASSERT_EQ(y1, y2) << name << " y n=" << n;
      ASSERT_EQ(cb1, cb2) << name << " cb n=" << n;
      ASSERT_EQ(cr1, cr2) << name << " cr n=" << n;

      std::vector<uint8_t> u1(2 * n + 16, 0x5A), u2(u1);
      fast.upsample_h2(b.data() + 1, n, u1.data());
      ref.upsample_h2(b.data() + 1, n, u2.data());
      ASSERT_EQ(u1, u2) << name << " h2 n=" << n;
      fast.upsample_h2v2(s.data() + 1, n, u1.data());
      ref.upsample_h2v2(s.data() + 1, n, u2.data());
      ASSERT_EQ(u1, u2) << name << " h2v2 n=" << n;
      int half = n / 2;
      std::vector<uint8_t> d1(half + 16, 0x5A), d2(d1);
      fast.downsample(a.data(), nullptr, half, d1.data());
      ref.downsample(a.data(), nullptr, half, d2.data());
      ASSERT_EQ(d1, d2) << name << " down n=" << n;
      fast.downsample(a.data(), a.data() + n, half, d1.data());
      ref.downsample(a.data(), a.data() + n, half, d2.data());
      ASSERT_EQ(d1, d2) << name << " down2 n=" << n;
    }
  }
}

// The plain conversions against the JFIF formulas in double precision, over
// every Y with a grid of chroma values and a grid of colours, in slices of
// 37 pixels (whole groups of 16 and a rest): within one step of rounding.
TEST(ColourKernels, PlainConversionsFollowTheJfifFormulas) {
  const jk::ColourKernels plain = jk::colour_kernel_versions()[0].k;
  auto clamp = [](double v) { return std::min(255.0, std::max(0.0, v)); };
  std::vector<uint8_t> y, cb, cr;
  for (int yy = 0; yy < 256; ++yy)
    for (int u = 0; u < 256; u += 5)
      for (int v = 0; v < 256; v += 3) {
        y.push_back(static_cast<uint8_t>(yy));
        cb.push_back(static_cast<uint8_t>(u));
        cr.push_back(static_cast<uint8_t>(v));
      }
  const int n = static_cast<int>(y.size());
  std::vector<uint8_t> bgr(3 * static_cast<size_t>(n));
  for (int x = 0; x < n; x += 37)
    plain.ycc_to_bgr(y.data() + x, cb.data() + x, cr.data() + x, std::min(37, n - x), bgr.data() + 3 * x);
  for (int i = 0; i < n; ++i) {
    double expect[3];
    velmora::testing::ycbcr_to_bgr(y[i], cb[i], cr[i], velmora::testing::YccRange::kFull, expect);
    for (int c = 0; c < 3; ++c)
      ASSERT_LE(std::abs(bgr[3 * i + c] - clamp(expect[c])), 1.0) << "ycc " << +y[i] << " " << +cb[i] << " " << +cr[i];
  }
  std::vector<uint8_t> px;
  for (int r = 0; r < 256; r += 3)
    for (int g = 0; g < 256; g += 5)
      for (int b = 0; b < 256; b += 7)
        px.insert(px.end(), {static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r)});
  const int m = static_cast<int>(px.size() / 3);
  std::vector<uint8_t> oy(m), ocb(m), ocr(m);
  for (int x = 0; x < m; x += 37)
    plain.bgr_to_ycc(px.data() + 3 * x, std::min(37, m - x), oy.data() + x, ocb.data() + x, ocr.data() + x);
  for (int i = 0; i < m; ++i) {
    // Y = Kr R + Kg G + Kb B, Cb = (B - Y) / (2 (1 - Kb)), Cr = (R - Y) / (2 (1 - Kr)).
    constexpr double kr = 0.299, kb = 0.114;
    const double b = px[3 * i], g = px[3 * i + 1], r = px[3 * i + 2];
    const double luma = kr * r + (1 - kr - kb) * g + kb * b;
    ASSERT_LE(std::abs(oy[i] - clamp(luma)), 1.0) << i;
    ASSERT_LE(std::abs(ocb[i] - clamp((b - luma) / (2 * (1 - kb)) + 128)), 1.0) << i;
    ASSERT_LE(std::abs(ocr[i] - clamp((r - luma) / (2 * (1 - kr)) + 128)), 1.0) << i;
  }
}

}  // namespace
