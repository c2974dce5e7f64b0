// Global motion compensation of S-VOPs: the warp given by up to three
// warping points, and the prediction of macroblocks through it.
//
// The warping points move the VOP's corners (0, 0), (W, 0) and (0, H) to
// sprite positions in 1/s sample (s = 2 << sprite_warping_accuracy). For
// two and three points the standard replaces W and H by the powers of two
// W' >= W and H' >= H ("virtual points"), so that each sample's position is
// a sum of products shifted right instead of a division.
#include <cstdlib>

#include "context.h"

namespace mpeg4 {
namespace {

int64_t rounded_div(int64_t a, int64_t b) { return a >= 0 ? (a + b / 2) / b : -((-a + b / 2) / b); }

// Bilinear sample at (px, py) in 1/s units, edge samples repeated.
inline uint8_t warp_sample(const Plane& p, int64_t px, int64_t py, int bits, int s, int round) {
  const int fx = static_cast<int>(px & (s - 1)), fy = static_cast<int>(py & (s - 1));
  const int64_t ix = px >> bits, iy = py >> bits;
  const int x0 = static_cast<int>(ix < 0 ? 0 : (ix > p.width - 1 ? p.width - 1 : ix));
  const int x1 = static_cast<int>(ix + 1 < 0 ? 0 : (ix + 1 > p.width - 1 ? p.width - 1 : ix + 1));
  const int y0 = static_cast<int>(iy < 0 ? 0 : (iy > p.height - 1 ? p.height - 1 : iy));
  const int y1 = static_cast<int>(iy + 1 < 0 ? 0 : (iy + 1 > p.height - 1 ? p.height - 1 : iy + 1));
  const uint8_t* r0 = p.data + static_cast<ptrdiff_t>(y0) * p.stride;
  const uint8_t* r1 = p.data + static_cast<ptrdiff_t>(y1) * p.stride;
  const int top = (s - fx) * r0[x0] + fx * r0[x1];
  const int bottom = (s - fx) * r1[x0] + fx * r1[x1];
  return static_cast<uint8_t>(((s - fy) * top + fy * bottom + round) >> (2 * bits));
}

}  // namespace

void setup_gmc(Context& ctx) {
  Context::Gmc g;
  const VolHeader& vol = ctx.vol;
  const VopHeader& vop = ctx.vop;
  const int points = vol.sprite_warping_points;
  g.accuracy_bits = vol.sprite_warping_accuracy + 1;
  const int s = 1 << g.accuracy_bits;
  g.accuracy = s;
  const int rho = 3 - vol.sprite_warping_accuracy;  // r = 16 / s = 2^rho
  const int64_t r = 1 << rho;
  const int64_t w = vol.width, h = vol.height;
  int alpha = 1, beta = 1;
  while ((int64_t{1} << alpha) < w) ++alpha;
  while ((int64_t{1} << beta) < h) ++beta;
  const int64_t w2 = int64_t{1} << alpha, h2 = int64_t{1} << beta;

  // Sprite positions of the corners (du and dv of the later points are
  // coded relative to the first).
  const int64_t d0x = vop.warp_du[0], d0y = vop.warp_dv[0];
  const int64_t i0 = s / 2 * d0x, j0 = s / 2 * d0y;
  const int64_t i1 = s / 2 * (2 * w + d0x + vop.warp_du[1]), j1 = s / 2 * (d0y + vop.warp_dv[1]);
  const int64_t i2 = s / 2 * (d0x + vop.warp_du[2]), j2 = s / 2 * (2 * h + d0y + vop.warp_dv[2]);

  if (points <= 1) {
    // Translation; chrominance takes half the displacement, rounded as
    // chrominance vectors are.
    g.shift = 0;
    g.ox = points ? i0 : 0;
    g.oy = points ? j0 : 0;
    g.dxx = g.dyy = s;
    g.cshift = 0;
    g.cox = (g.ox >> 1) | (g.ox & 1);
    g.coy = (g.oy >> 1) | (g.oy & 1);
    g.cdxx = g.cdyy = s;
  } else {
    // Virtual points at W' and H' on the lines through the sprite points.
    const int64_t vi1 = 16 * w2 + rounded_div((w - w2) * (r * i0) + w2 * (r * i1 - 16 * w), w);
    const int64_t vj1 = rounded_div((w - w2) * (r * j0) + w2 * (r * j1), w);
    const int64_t vi2 = rounded_div((h - h2) * (r * i0) + h2 * (r * i2), h);
    const int64_t vj2 = 16 * h2 + rounded_div((h - h2) * (r * j0) + h2 * (r * j2 - 16 * h), h);
    if (points == 2) {
      g.shift = alpha + rho;
      g.dxx = vi1 - r * i0;
      g.dxy = r * j0 - vj1;
      g.dyx = vj1 - r * j0;
      g.dyy = vi1 - r * i0;
    } else {
      g.shift = alpha + beta + rho;
      g.dxx = (vi1 - r * i0) << beta;
      g.dxy = (vi2 - r * i0) << alpha;
      g.dyx = (vj1 - r * j0) << beta;
      g.dyy = (vj2 - r * j0) << alpha;
    }
    const int64_t one = int64_t{1} << g.shift;
    g.ox = i0 * one + one / 2;
    g.oy = j0 * one + one / 2;
    // A chrominance sample (ic, jc) sits at luminance (2 ic + 1/2,
    // 2 jc + 1/2); its position is half the warped one less a quarter.
    g.cshift = g.shift + 2;
    g.cdxx = 4 * g.dxx;
    g.cdxy = 4 * g.dxy;
    g.cdyx = 4 * g.dyx;
    g.cdyy = 4 * g.dyy;
    g.cox = g.dxx + g.dxy + 2 * one * i0 - s * one + 2 * one;
    g.coy = g.dyx + g.dyy + 2 * one * j0 - s * one + 2 * one;
  }
  ctx.gmc = g;
}

void predict_gmc(const Context& ctx, int mb_x, int mb_y, uint8_t* const dst[3], const int stride[3], int rounding) {
  const Context::Gmc& g = ctx.gmc;
  const Frame& ref = *ctx.future;
  const int s = g.accuracy, bits = g.accuracy_bits;
  const int round = (s * s) / 2 - rounding;
  const Plane py = ref.luma();
  for (int y = 0; y < 16; ++y) {
    const int64_t j = 16 * mb_y + y;
    for (int x = 0; x < 16; ++x) {
      const int64_t i = 16 * mb_x + x;
      const int64_t px = (g.ox + g.dxx * i + g.dxy * j) >> g.shift;
      const int64_t pyy = (g.oy + g.dyx * i + g.dyy * j) >> g.shift;
      dst[0][static_cast<ptrdiff_t>(y) * stride[0] + x] = warp_sample(py, px, pyy, bits, s, round);
    }
  }
  for (int c = 1; c < 3; ++c) {
    const Plane pc = ref.chroma(c);
    for (int y = 0; y < 8; ++y) {
      const int64_t j = 8 * mb_y + y;
      for (int x = 0; x < 8; ++x) {
        const int64_t i = 8 * mb_x + x;
        const int64_t px = (g.cox + g.cdxx * i + g.cdxy * j) >> g.cshift;
        const int64_t pyy = (g.coy + g.cdyx * i + g.cdyy * j) >> g.cshift;
        dst[c][static_cast<ptrdiff_t>(y) * stride[c] + x] = warp_sample(pc, px, pyy, bits, s, round);
      }
    }
  }
}

Mv gmc_average_vector(const Context& ctx, int mb_x, int mb_y) {
  const Context::Gmc& g = ctx.gmc;
  const int qpel = ctx.vol.quarter_sample ? 1 : 0;
  // Sum of the displacements in 1/s samples, then to half (or quarter)
  // samples per luminance sample: divided by 256 * s / 2 (or s / 4).
  int64_t sum[2] = {0, 0};
  for (int y = 0; y < 16; ++y) {
    const int64_t j = 16 * mb_y + y;
    for (int x = 0; x < 16; ++x) {
      const int64_t i = 16 * mb_x + x;
      sum[0] += ((g.ox + g.dxx * i + g.dxy * j) >> g.shift) - g.accuracy * i;
      sum[1] += ((g.oy + g.dyx * i + g.dyy * j) >> g.shift) - g.accuracy * j;
    }
  }
  const int shift = g.accuracy_bits - 1 + 8 - qpel;
  const int64_t len = int64_t{16} << ctx.vop.fcode_forward;
  Mv mv;
  for (int k = 0; k < 2; ++k) {
    int64_t v = sum[k];
    if (shift > 0) {
      const int64_t half = int64_t{1} << (shift - 1);
      v = v >= 0 ? (v + half) >> shift : -((-v + half) >> shift);
    }
    if (v < -len) v = -len;
    if (v > len - 1) v = len - 1;
    (k ? mv.y : mv.x) = static_cast<int16_t>(v);
  }
  return mv;
}

}  // namespace mpeg4
