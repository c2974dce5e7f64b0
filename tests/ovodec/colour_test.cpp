// The YUV to BGR conversion against the BT.601 formula, and the deinterlace
// filter bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "ovodec_internal.h"
#include "reference_pictures.h"

namespace {

struct Planes {
  int width, height, stride_y, stride_uv;
  std::vector<uint8_t> y, u, v;
  Planes(int w, int h, int pad = 0) : width(w), height(h), stride_y(w + pad), stride_uv((w + 1) / 2 + pad) {
    y.assign(static_cast<size_t>(stride_y) * h, 0);
    u.assign(static_cast<size_t>(stride_uv) * ((h + 1) / 2), 128);
    v.assign(u.size(), 128);
  }
  ovo::YuvView view() const { return {y.data(), u.data(), v.data(), stride_y, stride_uv, width, height}; }
};

std::vector<uint8_t> convert(const Planes& p, bool deinterlace = false) {
  // A guard byte past the end catches a write beyond width x height x 3.
  std::vector<uint8_t> out(static_cast<size_t>(p.width) * p.height * 3 + 1, 0xA5);
  ovo::ConvertScratch scratch;
  ovo::yuv420_to_bgr(p.view(), out.data(), deinterlace, scratch);
  EXPECT_EQ(out.back(), 0xA5);
  out.pop_back();
  return out;
}

// Whether a converted picture is within one step of the BT.601 formula,
// evaluated in double precision one pixel at a time, its fraction dropped
// (the conversion rounds down).
::testing::AssertionResult near_formula(const Planes& p, const std::vector<uint8_t>& out) {
  for (int r = 0; r < p.height; ++r) {
    for (int x = 0; x < p.width; ++x) {
      double want[3];
      velmora::testing::ycbcr_to_bgr(p.y[r * p.stride_y + x], p.u[(r / 2) * p.stride_uv + x / 2],
                                     p.v[(r / 2) * p.stride_uv + x / 2], velmora::testing::YccRange::kVideo, want);
      const uint8_t* got = &out[(static_cast<size_t>(p.height - 1 - r) * p.width + x) * 3];
      for (int c = 0; c < 3; ++c)
        if (std::abs(got[c] - std::floor(std::clamp(want[c], 0.0, 255.0))) > 1.0)
          return ::testing::AssertionFailure()
                 << "row " << r << " column " << x << " byte " << c << ": " << +got[c] << ", formula " << want[c];
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(Colour, GreyLevels) {
  struct Row {
    uint8_t y;
    uint8_t rgb;
  };
  for (const Row& row : {Row{128, 130}, Row{16, 0}, Row{235, 254}, Row{0, 0}, Row{255, 255}}) {
    Planes p(8, 2);
    std::fill(p.y.begin(), p.y.end(), row.y);
    for (uint8_t b : convert(p)) ASSERT_EQ(b, row.rgb) << "Y=" << int(row.y);
  }
}

TEST(Colour, PureColoursSaturate) {
  Planes p(4, 2);
  std::fill(p.y.begin(), p.y.end(), 81);
  std::fill(p.u.begin(), p.u.end(), 90);
  std::fill(p.v.begin(), p.v.end(), 255);
  const auto out = convert(p);
  EXPECT_EQ(out[2], 255);  // red clamps
  EXPECT_EQ(out[1], 0);    // green clamps below
  EXPECT_EQ(out[0], 0);
}

TEST(Colour, TopRowLandsLastAndBottomRowFirst) {
  Planes p(4, 4);
  for (int r = 0; r < 4; ++r)
    std::fill(p.y.begin() + r * 4, p.y.begin() + r * 4 + 4, static_cast<uint8_t>(50 + 40 * r));
  const auto out = convert(p);
  const size_t row = 4 * 3;
  // Grey: (50 - 16) x 255 / 219 = 39.59 and (170 - 16) x 255 / 219 = 179.32,
  // the fractions dropped.
  EXPECT_EQ(out[3 * row], 39);
  EXPECT_EQ(out[0], 179);
}

TEST(Colour, MatchesTheFormulasOnRandomPictures) {
  std::mt19937 rng(7);
  for (int w : {4, 8, 6, 7, 13, 704}) {
    for (int h : {2, 3, 6, 9}) {
      for (int pad : {0, 5}) {
        Planes p(w, h, pad);
        for (auto* plane : {&p.y, &p.u, &p.v}) {
          for (auto& b : *plane) b = static_cast<uint8_t>(rng());
        }
        ASSERT_TRUE(near_formula(p, convert(p))) << w << "x" << h << " pad " << pad;
      }
    }
  }
}

TEST(Deinterlace, AlternatingRowsBecomeUniform) {
  Planes p(16, 8);
  for (int r = 0; r < 8; ++r) std::fill(p.y.begin() + r * 16, p.y.begin() + r * 16 + 16, r % 2 ? 200 : 0);
  std::vector<uint8_t> filtered(16 * 8);
  ovo::deinterlace_plane(p.y.data(), 16, filtered.data(), 16, 16, 8);
  for (uint8_t b : filtered) ASSERT_EQ(b, 100);
  // Through the conversion: every pixel of every row, first and last included.
  // (100 - 16) x 255 / 219 = 97.81, the fraction dropped.
  for (uint8_t b : convert(p, true)) ASSERT_EQ(b, 97);
  // The source is left as it was.
  EXPECT_EQ(p.y[0], 0);
  EXPECT_EQ(p.y[16], 200);
}

TEST(Deinterlace, EachTermRoundsDownOnItsOwn) {
  std::mt19937 rng(11);
  for (int w : {1, 7, 8, 9, 23, 64}) {
    for (int rows : {1, 2, 3, 5}) {
      std::vector<uint8_t> src(static_cast<size_t>(w + 3) * rows), dst(static_cast<size_t>(w + 1) * rows, 0xEE);
      for (auto& b : src) b = static_cast<uint8_t>(rng());
      ovo::deinterlace_plane(src.data(), w + 3, dst.data(), w + 1, w, rows);
      auto s = [&](int r, int x) { return src[static_cast<size_t>(r) * (w + 3) + x]; };
      for (int r = 0; r < rows; ++r) {
        for (int x = 0; x < w; ++x) {
          int want;
          if (rows == 1) {
            want = s(0, x);
          } else if (r == 0) {
            want = s(0, x) / 2 + s(1, x) / 2;
          } else if (r == rows - 1) {
            want = s(r - 1, x) / 2 + s(r, x) / 2;
          } else {
            want = s(r - 1, x) / 4 + s(r, x) / 2 + s(r + 1, x) / 4;
          }
          ASSERT_EQ(dst[static_cast<size_t>(r) * (w + 1) + x], want) << w << " " << rows << " " << r << " " << x;
        }
        ASSERT_EQ(dst[static_cast<size_t>(r) * (w + 1) + w], 0xEE);  // nothing past the width
      }
    }
  }
  // All 255: 63 + 127 + 63, no carry into the next byte.
  std::vector<uint8_t> full(8 * 3, 255), out(8 * 3);
  ovo::deinterlace_plane(full.data(), 8, out.data(), 8, 8, 3);
  EXPECT_EQ(out[8], 253);
  EXPECT_EQ(out[0], 254);
}

TEST(YuvPicture, CropsAQuarter) {
  Planes p(8, 4);
  for (int r = 0; r < 4; ++r) {
    for (int x = 0; x < 8; ++x) p.y[r * 8 + x] = static_cast<uint8_t>(r * 10 + x);
  }
  for (int i = 0; i < 8; ++i) p.u[i] = static_cast<uint8_t>(100 + i);
  ovo::YuvPicture q;
  q.assign_crop(p.view(), 4, 2, 4, 2);
  ASSERT_EQ(q.width(), 4);
  ASSERT_EQ(q.height(), 2);
  const ovo::YuvView v = q.view();
  EXPECT_EQ(v.y[0], 24);
  EXPECT_EQ(v.y[4 + 3], 37);
  EXPECT_EQ(v.u[0], 100 + 4 + 2);  // chroma row 1, column 2
}

}  // namespace
