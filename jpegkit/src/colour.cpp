#include "colour.h"

#include <algorithm>

#include "colour_kernels.h"

namespace jk {
namespace {

// Produces the full-size rows of one component. edge_ holds one plane row
// with its first and last samples repeated (index -1 and from width on).
class Upsampler {
 public:
  Upsampler(const Plane& p, int columns) : p_(p), columns_(columns), k_(colour_kernels()) {
    int n = (columns + p.hfactor - 1) / p.hfactor + 16;
    edge_.resize(n + 2);
    for (auto& r : rows_) r.resize(n + 2);
    sum_.resize(n + 2);
    out_.resize(columns + 32);
  }

  const uint8_t* row(int y) {
    const Plane& p = p_;
    if (p.hfactor == 1 && p.vfactor == 1) return p.data + y * p.stride;
    if (p.vfactor == 2 && (p.hfactor == 1 || p.hfactor == 2)) return triangle_v2(y);
    if (p.vfactor == 1 && p.hfactor == 2) {
      int n = load(std::min(y, p.height - 1), edge_);
      k_.upsample_h2(edge_.data() + 1, n, out_.data());
      return out_.data();
    }
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

  // Plane row r as load() gives it. Output rows go down the picture and
  // each needs plane rows next to each other, so the last three loaded
  // rows are kept (row r in slot r % 3).
  const uint8_t* loaded(int r) {
    int slot = r % 3;
    if (row_of_[slot] != r) {
      load(r, rows_[slot]);
      row_of_[slot] = r;
    }
    return rows_[slot].data();
  }

  // Half height: rows weighted 3:1 towards the nearer plane row; with half
  // width as well, the same again across.
  const uint8_t* triangle_v2(int y) {
    int nearest = std::min(y >> 1, p_.height - 1);
    int other = (y & 1) ? nearest + 1 : nearest - 1;
    other = std::clamp(other, 0, p_.height - 1);
    const int n = (columns_ + p_.hfactor - 1) / p_.hfactor;
    const uint8_t* near_row = loaded(nearest);
    const uint8_t* far_row = loaded(other);
    for (int i = 0; i < n + 2; ++i) sum_[i] = static_cast<uint16_t>(3 * near_row[i] + far_row[i]);
    uint8_t* o = out_.data();
    if (p_.hfactor == 1) {
      const uint16_t* s = sum_.data() + 1;
      int bias = 1 + (y & 1);
      for (int i = 0; i < n; ++i) o[i] = static_cast<uint8_t>((s[i] + bias) >> 2);
    } else {
      k_.upsample_h2v2(sum_.data() + 1, n, o);
    }
    return o;
  }

  const Plane& p_;
  int columns_;
  const ColourKernels& k_;
  std::vector<uint8_t> edge_, out_;
  std::vector<uint8_t> rows_[3];
  int row_of_[3] = {-1, -1, -1};
  std::vector<uint16_t> sum_;
};

}  // namespace

void planes_to_bgr(const Plane* planes, bool rgb, int columns, int rows, const RowMap& out) {
  Upsampler up0(planes[0], columns), up1(planes[1], columns), up2(planes[2], columns);
  const ColourKernels& k = colour_kernels();
  for (int y = 0; y < rows; ++y) {
    const uint8_t* a = up0.row(y);
    const uint8_t* b = up1.row(y);
    const uint8_t* c = up2.row(y);
    uint8_t* dst = out.row(y);
    if (!rgb) {
      k.ycc_to_bgr(a, b, c, columns, dst);
      continue;
    }
    for (int x = 0; x < columns; ++x) {
      dst[3 * x] = c[x];
      dst[3 * x + 1] = b[x];
      dst[3 * x + 2] = a[x];
    }
  }
}

void bgr_to_planes(const uint8_t* pixels, ptrdiff_t row_bytes, int width, int height, int pw, int first_row, int rows,
                   int hsub, int vsub, uint8_t* yp, uint8_t* cbp, uint8_t* crp, uint8_t* full) {
  // Each row is converted at full size; chroma is then averaged over each
  // hsub x vsub group.
  const ColourKernels& k = colour_kernels();
  const int cw = pw / hsub;
  // Full-size chroma rows in full: Cb and Cr of an even row, then of an
  // odd row (the pair averaged when vsub is 2).
  const size_t row = static_cast<size_t>(pw) + 32;
  for (int i = 0; i < rows; ++i) {
    const int y = first_row + i;
    const uint8_t* src = pixels + (height - 1 - std::min(y, height - 1)) * row_bytes;
    uint8_t* yrow = yp + static_cast<ptrdiff_t>(i) * pw;
    const int slot = vsub == 2 ? (y & 1) : 0;
    uint8_t* cb = full + (2 * slot) * row;
    uint8_t* cr = full + (2 * slot + 1) * row;
    k.bgr_to_ycc(src, width, yrow, cb, cr);
    for (int x = width; x < pw; ++x) {
      yrow[x] = yrow[width - 1];
      cb[x] = cb[width - 1];
      cr[x] = cr[width - 1];
    }
    if (vsub == 2 && (y & 1) == 0) continue;
    const ptrdiff_t at = static_cast<ptrdiff_t>(i / vsub) * cw;
    if (hsub == 1) {
      std::copy(cb, cb + cw, cbp + at);
      std::copy(cr, cr + cw, crp + at);
    } else if (vsub == 2) {
      k.downsample(full, full + 2 * row, cw, cbp + at);
      k.downsample(full + row, full + 3 * row, cw, crp + at);
    } else {
      k.downsample(cb, nullptr, cw, cbp + at);
      k.downsample(cr, nullptr, cw, crp + at);
    }
  }
}

}  // namespace jk
