#include "decoder.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "codes.h"
#include "colour.h"
#include "dct.h"
#include "huffman.h"
#include "tables.h"

namespace jk {
namespace {

struct ComponentPlane {
  uint8_t* samples = nullptr;  // in the picture's working memory
  int stride = 0, rows = 0;
  int width = 0, height = 0;  // samples that belong to the picture
};

class ScanDecoder {
 public:
  ScanDecoder(Source& src, Header& hdr, ComponentPlane* planes) : src_(src), hdr_(hdr), planes_(planes) {}

  // Decodes the scans of one picture until every component has been
  // decoded once.
  int32_t decode_picture() {
    unsigned done = 0;
    for (;;) {
      int32_t r = decode_scan();
      if (r < 0) return r;
      for (int i = 0; i < hdr_.scan.ncomp; ++i) done |= 1u << hdr_.scan.comp[i];
      if (done == (1u << hdr_.frame.ncomp) - 1) return kScanFound;
      r = parse_next_scan(src_, hdr_);
      if (r != kScanFound) return r;
    }
  }

 private:
  int32_t prepare_tables() {
    const ScanHeader& s = hdr_.scan;
    for (int i = 0; i < s.ncomp; ++i) {
      const HuffSpec* dc = &hdr_.dc[s.td[i]];
      const HuffSpec* ac = &hdr_.ac[s.ta[i]];
      // Files without Huffman tables (motion-JPEG frames) use the standard ones.
      if (!dc->defined) {
        if (s.td[i] > 1) return kBadTable;
        dc = &standard_dc(s.td[i]);
      }
      if (!ac->defined) {
        if (s.ta[i] > 1) return kBadTable;
        ac = &standard_ac(s.ta[i]);
      }
      build_decoder(*dc, false, dc_[i]);
      build_decoder(*ac, true, ac_[i]);
      const Component& c = hdr_.frame.comp[s.comp[i]];
      if (!hdr_.quant_defined[c.tq]) return kBadTable;
      quant_[i] = hdr_.quant[c.tq];
    }
    return kScanFound;
  }

  // Writes a decoded block's samples: a flat block when only the DC
  // coefficient was coded (n == 1), the inverse transform otherwise.
  inline void reconstruct(const int16_t* coef, int n, uint8_t* dst, ptrdiff_t stride) {
    if (n == 1) {
      int v = (coef[0] + 1024 + 4) >> 3;
      uint8_t flat = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      for (int r = 0; r < 8; ++r) std::memset(dst + r * stride, flat, 8);
    } else {
      dct_.idct(coef, dst, stride);
    }
  }

  int32_t decode_scan() {
    int32_t r = prepare_tables();
    if (r != kScanFound) return r;
    const ScanHeader& s = hdr_.scan;
    const Frame& f = hdr_.frame;
    BitReader br(src_);
    std::fill(std::begin(pred_), std::end(pred_), 0);
    int interval = hdr_.restart_interval;
    int next_rst = 0;
    int64_t units;
    int units_x;
    if (s.ncomp == 1) {
      // Non-interleaved: one block per unit, over the component's own blocks.
      const ComponentPlane& p = planes_[s.comp[0]];
      units_x = (p.width + 7) / 8;
      units = static_cast<int64_t>(units_x) * ((p.height + 7) / 8);
    } else {
      units_x = f.mcux;
      units = static_cast<int64_t>(f.mcux) * f.mcuy;
    }
    // The blocks of a unit, in coding order: their tables and where the
    // unit at column ux, row uy puts their samples (origin + uy * down +
    // ux * across).
    int blocks_per_unit = 0;
    if (s.ncomp == 1) {
      ComponentPlane& p = planes_[s.comp[0]];
      layout_[blocks_per_unit++] = {0, p.samples, p.stride, 8 * static_cast<ptrdiff_t>(p.stride), 8};
    } else {
      for (int i = 0; i < s.ncomp; ++i) {
        const Component& c = f.comp[s.comp[i]];
        ComponentPlane& p = planes_[s.comp[i]];
        for (int v = 0; v < c.v; ++v)
          for (int h = 0; h < c.h; ++h)
            layout_[blocks_per_unit++] = {i, p.samples + static_cast<ptrdiff_t>(v) * 8 * p.stride + 8 * h, p.stride,
                                          static_cast<ptrdiff_t>(c.v) * 8 * p.stride, c.h * 8};
      }
    }
    int ux = 0, uy = 0, left_in_interval = interval;
    for (int64_t u = 0; u < units; ++u) {
      if (interval && left_in_interval-- == 0) {
        if (!br.restart(0xD0 + next_rst)) return br.marker() < 0 ? kTruncatedData : kDamagedData;
        next_rst = (next_rst + 1) & 7;
        std::fill(std::begin(pred_), std::end(pred_), 0);
        left_in_interval = interval - 1;
      }
      // All blocks of the unit are decoded before any is transformed: the
      // transform reads a block with wide loads, which would otherwise
      // wait for the narrow stores that just wrote its coefficients.
      std::memset(coef_, 0, sizeof(coef_[0]) * blocks_per_unit);
      for (int j = 0; j < blocks_per_unit; ++j) {
        const int i = layout_[j].table;
        if ((n_[j] = decode_block(br, dc_[i], ac_[i], pred_[i], quant_[i], coef_[j])) < 0) return n_[j];
      }
      for (int j = 0; j < blocks_per_unit; ++j) {
        const BlockLayout& l = layout_[j];
        reconstruct(coef_[j], n_[j], l.origin + uy * l.down + ux * l.across, l.stride);
      }
      if (br.overrun()) return kTruncatedData;
      if (++ux == units_x) ux = 0, ++uy;
    }
    br.finish();
    return kScanFound;
  }

  Source& src_;
  Header& hdr_;
  ComponentPlane* planes_;
  const DctKernels& dct_ = dct_kernels();
  // The blocks of one unit (at most 10, as the frame header was checked),
  // where their samples go, and their coefficients and counts as decoded.
  struct BlockLayout {
    int table;
    uint8_t* origin;
    ptrdiff_t stride, down;
    int across;
  };
  BlockLayout layout_[10];
  alignas(32) int16_t coef_[10][64];
  int n_[10];
  HuffDecoder dc_[4], ac_[4];
  const uint16_t* quant_[4] = {};
  int32_t pred_[4] = {};
};

// Averages boxes of 2^shift x 2^shift pixels of a full-size picture.
void shrink(const uint8_t* src, int src_w, int src_h, int src_row_bytes, int shift, uint8_t* dst, int dst_w, int dst_h,
            int dst_row_bytes) {
  int box = 1 << shift;
  for (int oy = 0; oy < dst_h; ++oy) {
    // Rows are bottom-up in both; count boxes from the top of the picture.
    int top = oy * box, bottom = std::min(top + box, src_h);
    uint8_t* out = dst + static_cast<ptrdiff_t>(dst_h - 1 - oy) * dst_row_bytes;
    for (int ox = 0; ox < dst_row_bytes / 3; ++ox) {
      int left = std::min(ox, dst_w - 1) * box, right = std::min(left + box, src_w);
      int sum[3] = {0, 0, 0}, n = 0;
      for (int y = top; y < bottom; ++y) {
        const uint8_t* row = src + static_cast<ptrdiff_t>(src_h - 1 - y) * src_row_bytes;
        for (int x = left; x < right; ++x, ++n)
          for (int c = 0; c < 3; ++c) sum[c] += row[3 * x + c];
      }
      for (int c = 0; c < 3; ++c) out[3 * ox + c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
    }
  }
}

}  // namespace

int32_t decode_jpeg(Source& src, const DecodeOptions& opt, Header& hdr, DecodedPicture& out) {
  if (opt.start_offset < 0 || opt.picture_offset < 0 || opt.scale_shift < 0 || opt.scale_shift > 7) return kBadArgument;
  if (!src.seek(opt.start_offset)) return kNoStartOfImage;
  int32_t r = parse_first_scan(src, hdr);
  if (r != kScanFound) return r;
  if (opt.picture_offset != 0 && !src.seek(opt.picture_offset)) return kTruncatedData;
  const Frame& f = hdr.frame;
  if (f.width > kMaxWidth || f.height >= kMaxHeightExclusive) return kTooLarge;
  if (opt.max_pixels && static_cast<int64_t>(f.width) * f.height > opt.max_pixels) return kTooLarge;

  // A scan marked as field 0 or 1 is one half of an interlaced frame; the
  // other half follows as a second scan.
  const bool fields = hdr.field_mode == 0 || hdr.field_mode == 1;
  const int full_h = fields ? 2 * f.height : f.height;
  const int full_w = f.width;

  ComponentPlane planes[3];
  size_t plane_bytes[3], total = 0;
  for (int i = 0; i < 3; ++i) {
    const Component& c = f.comp[i];
    ComponentPlane& p = planes[i];
    p.stride = f.mcux * c.h * 8;
    p.rows = f.mcuy * c.v * 8;
    p.width = (f.width * c.h + f.hmax - 1) / f.hmax;
    p.height = (f.height * c.v + f.vmax - 1) / f.vmax;
    // Every block of the plane is decoded before any sample is read.
    plane_bytes[i] = (static_cast<size_t>(p.stride) * p.rows + 63) & ~size_t{63};
    total += plane_bytes[i];
  }
  out.work.allocate(total);
  for (int i = 0, at = 0; i < 3; at += static_cast<int>(plane_bytes[i]), ++i) planes[i].samples = out.work.data() + at;
  Plane view[3];
  for (int i = 0; i < 3; ++i) {
    view[i].data = planes[i].samples;
    view[i].stride = planes[i].stride;
    view[i].width = planes[i].width;
    view[i].height = planes[i].height;
    view[i].hfactor = f.hmax / f.comp[i].h;
    view[i].vfactor = f.vmax / f.comp[i].v;
  }

  const int shift = opt.scale_shift;
  out.width = (full_w + (1 << shift) - 1) >> shift;
  out.height = (full_h + (1 << shift) - 1) >> shift;
  out.row_bytes = static_cast<int>(row_bytes(out.width));
  out.prefix = opt.prefix;
  out.data.allocate(opt.prefix + static_cast<size_t>(out.row_bytes) * out.height);
  // A second field marked to go in order leaves half the rows unwritten.
  if (fields) std::memset(out.data.data(), 0, out.data.size());

  // Full-size rows go straight to the output unless they are to be shrunk.
  std::vector<uint8_t> full;
  RowMap map;
  const int full_row_bytes = static_cast<int>(row_bytes(full_w));
  if (shift == 0) {
    map.base = out.pixels();
  } else {
    full.assign(static_cast<size_t>(full_row_bytes) * full_h, 0);
    map.base = full.data();
  }
  map.row_bytes = full_row_bytes;
  map.out_rows = full_h;
  const bool rgb = components_are_rgb(hdr);
  const int columns = full_row_bytes / 3;

  ScanDecoder dec(src, hdr, planes);
  for (int field = 0; field < (fields ? 2 : 1); ++field) {
    if (field == 1 && (r = parse_next_scan(src, hdr)) != kScanFound) return r;
    if ((r = dec.decode_picture()) != kScanFound) return r;
    bool interlaced = hdr.field_mode == 0 || hdr.field_mode == 1;
    map.step = fields && interlaced ? 2 : 1;
    map.offset = fields && interlaced ? hdr.field_mode : 0;
    planes_to_bgr(view, rgb, columns, f.height, map);
  }
  if (shift)
    shrink(full.data(), full_w, full_h, full_row_bytes, shift, out.pixels(), out.width, out.height, out.row_bytes);
  return f.comp[0].h << 4 | f.comp[0].v;
}

}  // namespace jk
