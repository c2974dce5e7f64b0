#include "colour.h"

#include <algorithm>

namespace jk {
namespace {

inline uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// YCbCr to RGB in 16-bit fixed point (JFIF: R = Y + 1.402 Cr', G = Y -
// 0.344136 Cb' - 0.714136 Cr', B = Y + 1.772 Cb').
constexpr int kCrR = 91881, kCbG = 22554, kCrG = 46802, kCbB = 116130;

void ycc_row_to_bgr(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int n, uint8_t* out) {
  for (int x = 0; x < n; ++x) {
    int yy = y[x], u = cb[x] - 128, v = cr[x] - 128;
    int r = yy + ((kCrR * v + 32768) >> 16);
    int g = yy + ((-kCbG * u - kCrG * v + 32768) >> 16);
    int b = yy + ((kCbB * u + 32768) >> 16);
    out[3 * x] = clamp255(b);
    out[3 * x + 1] = clamp255(g);
    out[3 * x + 2] = clamp255(r);
  }
}

void rgb_row_to_bgr(const uint8_t* r, const uint8_t* g, const uint8_t* b, int n, uint8_t* out) {
  for (int x = 0; x < n; ++x) {
    out[3 * x] = b[x];
    out[3 * x + 1] = g[x];
    out[3 * x + 2] = r[x];
  }
}

// Produces the full-size row y of one component into dst (columns samples).
// edge holds one plane row with its ends repeated (index -1 and beyond
// width), sum the column sums of the vertical filter.
class Upsampler {
 public:
  Upsampler(const Plane& p, int columns) : p_(p), columns_(columns) {
    int n = (columns + p.hfactor - 1) / p.hfactor + 2;
    edge_.resize(n + 2);
    far_.resize(n + 2);
    sum_.resize(n + 2);
    out_.resize(columns + 8);
  }

  const uint8_t* row(int y) {
    const Plane& p = p_;
    if (p.hfactor == 1 && p.vfactor == 1) return p.data + y * p.stride;
    if (p.vfactor == 2 && (p.hfactor == 1 || p.hfactor == 2)) return triangle_v2(y);
    if (p.vfactor == 1 && p.hfactor == 2) return triangle_h2(y);
    // Other factors: repeat samples.
    const uint8_t* src = p.data + std::min(y / p.vfactor, p.height - 1) * p.stride;
    for (int x = 0; x < columns_; ++x) out_[x] = src[std::min(x / p.hfactor, p.width - 1)];
    return out_.data();
  }

 private:
  // Copies plane row r into buf[1..] with the first and last samples repeated.
  int load(int r, std::vector<uint8_t>& buf) {
    const uint8_t* src = p_.data + r * p_.stride;
    int n = (columns_ + p_.hfactor - 1) / p_.hfactor;
    int w = std::min(n, p_.width);
    std::copy(src, src + w, buf.begin() + 1);
    std::fill(buf.begin() + 1 + w, buf.begin() + n + 2, src[w - 1]);
    buf[0] = src[0];
    return n;
  }

  // Half width: each output pair leans 3:1 towards its own sample and 1:3
  // away from the neighbour on its side.
  const uint8_t* triangle_h2(int y) {
    int n = load(std::min(y, p_.height - 1), edge_);
    const uint8_t* c = edge_.data() + 1;
    uint8_t* o = out_.data();
    for (int i = 0; i < n; ++i) {
      int near3 = 3 * c[i];
      o[2 * i] = static_cast<uint8_t>((near3 + c[i - 1] + 1) >> 2);
      o[2 * i + 1] = static_cast<uint8_t>((near3 + c[i + 1] + 2) >> 2);
    }
    return o;
  }

  // Half height: rows weighted 3:1 towards the nearer plane row; with half
  // width as well, the same again across.
  const uint8_t* triangle_v2(int y) {
    int nearest = std::min(y >> 1, p_.height - 1);
    int other = (y & 1) ? nearest + 1 : nearest - 1;
    other = std::clamp(other, 0, p_.height - 1);
    int n = load(nearest, edge_);
    load(other, far_);
    for (int i = 0; i < n + 2; ++i) sum_[i] = static_cast<uint16_t>(3 * edge_[i] + far_[i]);
    const uint16_t* s = sum_.data() + 1;
    uint8_t* o = out_.data();
    if (p_.hfactor == 1) {
      int bias = 1 + (y & 1);
      for (int i = 0; i < n; ++i) o[i] = static_cast<uint8_t>((s[i] + bias) >> 2);
    } else {
      for (int i = 0; i < n; ++i) {
        int near3 = 3 * s[i];
        o[2 * i] = static_cast<uint8_t>((near3 + s[i - 1] + 8) >> 4);
        o[2 * i + 1] = static_cast<uint8_t>((near3 + s[i + 1] + 7) >> 4);
      }
    }
    return o;
  }

  const Plane& p_;
  int columns_;
  std::vector<uint8_t> edge_, far_, out_;
  std::vector<uint16_t> sum_;
};

}  // namespace

void planes_to_bgr(const Plane* planes, bool rgb, int columns, int rows, const RowMap& out) {
  Upsampler up0(planes[0], columns), up1(planes[1], columns), up2(planes[2], columns);
  for (int y = 0; y < rows; ++y) {
    const uint8_t* a = up0.row(y);
    const uint8_t* b = up1.row(y);
    const uint8_t* c = up2.row(y);
    if (rgb)
      rgb_row_to_bgr(a, b, c, columns, out.row(y));
    else
      ycc_row_to_bgr(a, b, c, columns, out.row(y));
  }
}

void bgr_to_planes(const uint8_t* pixels, ptrdiff_t row_bytes, int width, int height, int pw,
                   int ph, int hsub, int vsub, uint8_t* yp, uint8_t* cbp, uint8_t* crp) {
  // Chroma at full size in 16.16 fixed point, summed over each hsub x vsub
  // group before the single rounding.
  int cw = pw / hsub;
  std::vector<int32_t> cbsum(cw), crsum(cw);
  for (int cy = 0; cy < ph / vsub; ++cy) {
    std::fill(cbsum.begin(), cbsum.end(), 0);
    std::fill(crsum.begin(), crsum.end(), 0);
    for (int sub = 0; sub < vsub; ++sub) {
      int y = cy * vsub + sub;
      const uint8_t* src = pixels + (height - 1 - std::min(y, height - 1)) * row_bytes;
      uint8_t* yrow = yp + static_cast<ptrdiff_t>(y) * pw;
      for (int x = 0; x < pw; ++x) {
        const uint8_t* px = src + 3 * std::min(x, width - 1);
        int b = px[0], g = px[1], r = px[2];
        yrow[x] = static_cast<uint8_t>((19595 * r + 38470 * g + 7471 * b + 32768) >> 16);
        cbsum[x / hsub] += -11059 * r - 21709 * g + 32768 * b;
        crsum[x / hsub] += 32768 * r - 27439 * g - 5329 * b;
      }
    }
    int shift = 16 + (hsub == 2) + (vsub == 2);
    int32_t bias = (128 << shift) + (1 << (shift - 1));
    uint8_t* cbrow = cbp + static_cast<ptrdiff_t>(cy) * cw;
    uint8_t* crrow = crp + static_cast<ptrdiff_t>(cy) * cw;
    for (int x = 0; x < cw; ++x) {
      cbrow[x] = clamp255((cbsum[x] + bias) >> shift);
      crrow[x] = clamp255((crsum[x] + bias) >> shift);
    }
  }
}

}  // namespace jk
