// Macroblock syntax and reconstruction: the texture and motion of I-, P-,
// B- and S-VOPs, with video packets and data partitioning, and the GOBs of
// the short video header.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "context.h"
#include "idct.h"
#include "mc.h"
#include "vlc.h"

namespace mpeg4 {
namespace {

constexpr int kDquant[4] = {-1, -2, 1, 2};
// intra_dc_vlc_thr: the DC is coded with its own VLC while the running
// quantiser is below this value.
constexpr int kDcVlcLimit[8] = {32, 13, 15, 17, 19, 21, 23, 0};
constexpr uint32_t kDcMarker = 0x6B001;      // 19 bits, I-VOP partitions
constexpr uint32_t kMotionMarker = 0x1F001;  // 17 bits, P-VOP partitions
// Rounding of the sum of four luminance vectors to a chrominance vector.
constexpr int kChromaRound16[16] = {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2};

int dc_scaler(int qp, bool luma) {
  if (qp < 5) return 8;
  if (luma) return qp < 9 ? 2 * qp : (qp < 25 ? qp + 8 : 2 * qp - 16);
  return qp < 25 ? (qp + 13) / 2 : qp - 6;
}

// Integer division rounded to the nearest, halves away from zero.
int rounded_div(int a, int b) { return a >= 0 ? (a + (b >> 1)) / b : -((-a + (b >> 1)) / b); }

int clamp_coef(int v) { return v < -2048 ? -2048 : (v > 2047 ? 2047 : v); }

// The H.263 quantiser's dequantisation, mul |level| + add with the level's
// sign, zero kept zero, limited to -2048..2047; without branches, as the
// signs of the levels follow no pattern.
inline int h263_dequant(int level, int mul, int add) {
  const int negative = level >> 31;
  const int v = std::clamp(level * mul + ((add ^ negative) - negative), -2048, 2047);
  return level ? v : 0;
}

int chroma_from_sum(int sum) {
  return sum >= 0 ? kChromaRound16[sum & 15] + ((sum >> 3) & ~1)
                  : -(kChromaRound16[(-sum) & 15] + (((-sum) >> 3) & ~1));
}

int median3(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

enum class BlockCoding { kIntra, kInter };

struct MbDest {
  uint8_t* p[3];
  int stride[3];
};

class VopDecoder {
 public:
  VopDecoder(Context& ctx, BitReader& br) : c_(ctx), br_(br), t_(vlc_tables()), vol_(ctx.vol), vop_(ctx.vop) {}

  int run();
  int run_short_header();

 private:
  // Packet structure.
  bool at_resync() const;
  bool read_packet_header(int* mb_number);
  int peek_packet_mb_number(bool before_stuffing) const;
  bool seek_resync();
  void start_packet(int first_mb);
  void conceal(int from, int to);

  // Macroblock syntax.
  bool decode_header_ip(MbSyntax& m, int mb_index);
  bool read_p_motion(MbSyntax& m, int type, bool intra, bool mcsel, int mb_index);
  bool decode_header_b(MbSyntax& m, int mb_index);
  bool read_intra_dc(MbSyntax& m, int block);
  bool decode_texture(MbSyntax& m, int mb_index);
  bool decode_packet_partitioned(int first_mb, int* next_mb);

  // Vectors.
  Mv predict_vector(int mb_x, int mb_y, int block) const;
  bool read_vector(int fcode, int pred, int* out);
  void store_mb_vectors(int mb_index, const MbSyntax& m);
  void direct_vectors(MbSyntax& m, int mb_index, Mv mvd);

  // Blocks.
  // Reads a block's coefficient codes into qf (quantised levels), listing
  // their positions. With mul > 0 (inter blocks of the H.263 quantiser) the
  // levels are dequantised on the way, 2 |level| qp + add with the sign,
  // limited to -2048..2047, and *rows gets a bit per row holding one.
  bool read_coefs(int16_t* qf, const uint8_t* scan, int start, bool intra, int mul = 0, int add = 0,
                  unsigned* rows = nullptr);
  bool read_coefs_local(BitReader& br, int16_t* qf, const uint8_t* scan, int start, bool intra, uint8_t* nz, int* count,
                        int mul, int add, unsigned* rows) const;
  void intra_block(MbSyntax& m, int mb_x, int mb_y, int block, int16_t* qf, uint8_t* dst, int stride);
  // dequantised: the row bits of a block whose levels read_coefs already
  // dequantised, or nullptr.
  void inter_block(const MbSyntax& m, int16_t* qf, uint8_t* dst, int stride, const unsigned* dequantised);
  void add_prediction(int16_t* qf, int pos, int pred);
  void clear_block(int16_t* qf);
  template <BlockCoding kCoding>
  unsigned dequantise(int16_t* qf, const uint8_t* matrix, int qp, int dc);

  // Prediction.
  void predict_mb(const MbSyntax& m, int dir, const Frame& ref, int mb_x, int mb_y, const MbDest& d, int rounding);
  void predict_b(const MbSyntax& m, int mb_x, int mb_y, const MbDest& d);
  void luma_mc(const Plane& p, uint8_t* dst, int ds, int x, int y, Mv mv, int w, int h, int rounding);

  MbDest dest(int mb_x, int mb_y) const {
    MbDest d;
    Frame& f = *c_.cur;
    d.p[0] = f.plane[0] + static_cast<ptrdiff_t>(mb_y) * 16 * f.stride[0] + mb_x * 16;
    d.p[1] = f.plane[1] + static_cast<ptrdiff_t>(mb_y) * 8 * f.stride[1] + mb_x * 8;
    d.p[2] = f.plane[2] + static_cast<ptrdiff_t>(mb_y) * 8 * f.stride[2] + mb_x * 8;
    d.stride[0] = f.stride[0];
    d.stride[1] = f.stride[1];
    d.stride[2] = f.stride[2];
    return d;
  }
  bool available(int mb_x, int mb_y) const {
    return mb_x >= 0 && mb_y >= 0 && mb_x < c_.mb_w && mb_y < c_.mb_h && mb_y * c_.mb_w + mb_x >= packet_first_;
  }
  int clamp_qp(int q) const {
    const int hi = (1 << vol_.quant_precision) - 1;
    return q < 1 ? 1 : (q > hi ? hi : q);
  }

  Context& c_;
  BitReader& br_;
  const VlcTables& t_;
  const VolHeader& vol_;
  const VopHeader& vop_;
  int qp_ = 1;
  bool failed_ = false;
  int packet_first_ = 0;
  Mv b_pred_[2][2];                // B-VOP vector predictors: [direction][field]
  std::vector<int> packet_types_;  // data partitioning: macroblock types, -1 not coded
  // Coefficient blocks stay all zero between blocks: only the positions
  // listed in nz_pos_ are written and cleared again.
  alignas(16) int16_t qf_[6][64] = {};
  uint8_t nz_pos_[72];
  int nz_count_ = 0;
  alignas(16) uint8_t tmp_[16 * 16 + 2 * 8 * 8];
};

// ---------------------------------------------------------------------------
// Packets

bool VopDecoder::at_resync() const {
  if (vol_.resync_marker_disable) return false;
  const size_t pos = br_.pos();
  const int n = 8 - static_cast<int>(pos & 7);
  if (br_.peek(n) != (1u << (n - 1)) - 1) return false;  // stuffing: 0 then 1s
  BitReader probe = br_;
  probe.skip(n);
  const int zeros = resync_prefix_zeros(vop_);
  return probe.peek(zeros + 1) == 1;
}

bool VopDecoder::read_packet_header(int* mb_number) {
  br_.skip(resync_prefix_zeros(vop_) + 1);
  const int mbn = static_cast<int>(br_.get(macroblock_number_bits(c_.mb_count)));
  const int quant = static_cast<int>(br_.get(vol_.quant_precision));
  if (br_.get1()) {  // header_extension_code: a copy of the VOP header's fields
    int guard = 0;
    while (br_.get1()) {
      if (++guard > 3600 || br_.overrun()) return false;
    }
    br_.skip(1 + vol_.time_increment_bits + 1);
    br_.skip(2);  // vop_coding_type
    br_.skip(3);  // intra_dc_vlc_thr
    if (vop_.type == CodingType::kS && vol_.sprite_warping_points > 0) {
      VopHeader copy = vop_;
      if (!parse_sprite_trajectory(br_, vol_, &copy)) return false;
    }
    if (vop_.type != CodingType::kI) br_.skip(3);
    if (vop_.type == CodingType::kB) br_.skip(3);
  }
  if (br_.overrun() || mbn >= c_.mb_count || quant == 0) return false;
  *mb_number = mbn;
  qp_ = quant;
  return true;
}

int VopDecoder::peek_packet_mb_number(bool before_stuffing) const {
  BitReader probe = br_;
  if (before_stuffing) probe.skip(8 - (probe.pos() & 7));
  probe.skip(resync_prefix_zeros(vop_) + 1);
  return static_cast<int>(probe.get(macroblock_number_bits(c_.mb_count)));
}

// Moves to the next resync marker at or after the reader's position; it
// starts on a byte boundary, after the stuffing of the packet before it.
bool VopDecoder::seek_resync() {
  if (vol_.resync_marker_disable) return false;
  const int zeros = resync_prefix_zeros(vop_);
  br_.align();
  while (br_.bits_left() > static_cast<size_t>(zeros + 8)) {
    if (br_.peek(zeros + 1) == 1) return true;
    br_.skip(8);
  }
  return false;
}

void VopDecoder::start_packet(int first_mb) {
  packet_first_ = first_mb;
  std::memset(b_pred_, 0, sizeof b_pred_);
}

void VopDecoder::conceal(int from, int to) {
  const Frame* ref = c_.future ? c_.future : c_.past;
  for (int i = from; i < to; ++i) {
    const int mx = i % c_.mb_w, my = i / c_.mb_w;
    MbDest d = dest(mx, my);
    for (int p = 0; p < 3; ++p) {
      const int size = p ? 8 : 16;
      for (int y = 0; y < size; ++y) {
        uint8_t* row = d.p[p] + static_cast<ptrdiff_t>(y) * d.stride[p];
        if (ref && ref != c_.cur)
          std::memcpy(row, ref->plane[p] + (row - c_.cur->plane[p]), size);
        else
          std::memset(row, 128, size);
      }
    }
    MbSyntax m;
    m.mode = kMbSkipped;
    c_.mb[i].mode = kMbSkipped;
    c_.mb[i].qp = static_cast<uint8_t>(qp_);
    store_mb_vectors(i, m);
  }
}

// ---------------------------------------------------------------------------
// Vectors

Mv VopDecoder::predict_vector(int mb_x, int mb_y, int block) const {
  // Candidates on the 8x8 grid: left, above, above right of the block.
  static constexpr int kOffsets[4][3][2] = {
      {{-1, 0}, {0, -1}, {2, -1}},
      {{-1, 0}, {0, -1}, {1, -1}},
      {{-1, 0}, {0, -1}, {1, -1}},
      {{-1, 0}, {-1, -1}, {0, -1}},
  };
  const int gw = 2 * c_.mb_w;
  const int bx = 2 * mb_x + (block & 1), by = 2 * mb_y + (block >> 1);
  Mv cand[3];
  bool valid[3];
  int count = 0;
  for (int k = 0; k < 3; ++k) {
    const int x = bx + kOffsets[block][k][0], y = by + kOffsets[block][k][1];
    const int cmx = x >> 1, cmy = y >> 1;
    valid[k] = (cmx == mb_x && cmy == mb_y) || available(cmx, cmy);
    if (valid[k]) {
      cand[k] = c_.mv[static_cast<size_t>(y) * gw + x];
      ++count;
    }
  }
  if (count == 0) return Mv{};
  if (count == 1) {
    for (int k = 0; k < 3; ++k)
      if (valid[k]) return cand[k];
  }
  for (int k = 0; k < 3; ++k)
    if (!valid[k]) cand[k] = Mv{};
  Mv p;
  p.x = static_cast<int16_t>(median3(cand[0].x, cand[1].x, cand[2].x));
  p.y = static_cast<int16_t>(median3(cand[0].y, cand[1].y, cand[2].y));
  return p;
}

bool VopDecoder::read_vector(int fcode, int pred, int* out) {
  const int code = t_.mvd.decode(br_);
  if (code == Vlc::kInvalid) return false;
  int diff = code;
  const int r_size = fcode - 1;
  if (code != 0 && r_size > 0) {
    const int residual = static_cast<int>(br_.get(r_size));
    diff = ((std::abs(code) - 1) << r_size) + residual + 1;
    if (code < 0) diff = -diff;
  }
  const int low = -(16 << fcode), high = (16 << fcode) - 1, range = 32 << fcode;
  int v = pred + diff;
  if (v < low) v += range;
  if (v > high) v -= range;
  *out = v;
  return true;
}

void VopDecoder::store_mb_vectors(int mb_index, const MbSyntax& m) {
  const int gw = 2 * c_.mb_w;
  const int mx = mb_index % c_.mb_w, my = mb_index / c_.mb_w;
  Mv* g = &c_.mv[static_cast<size_t>(2 * my) * gw + 2 * mx];
  Mv v[4];
  switch (m.mode) {
    case kMbInter: v[0] = v[1] = v[2] = v[3] = m.mv[0][0]; break;
    case kMbInter4v:
      for (int i = 0; i < 4; ++i) v[i] = m.mv[0][i];
      break;
    case kMbInterField: {
      int sx = m.mv[0][0].x + m.mv[0][1].x;
      const int sy = m.mv[0][0].y + m.mv[0][1].y;
      sx = (sx >> 1) | (sx & 1);
      v[0].x = static_cast<int16_t>(sx);
      v[0].y = static_cast<int16_t>(sy);
      v[1] = v[2] = v[3] = v[0];
      break;
    }
    case kMbGmc: v[0] = v[1] = v[2] = v[3] = gmc_average_vector(c_, mx, my); break;
    default: break;  // intra, skipped: zero
  }
  g[0] = v[0];
  g[1] = v[1];
  g[gw] = v[2];
  g[gw + 1] = v[3];
  Mv* f = &c_.field_mv[static_cast<size_t>(mb_index) * 2];
  if (m.mode == kMbInterField) {
    f[0] = m.mv[0][0];
    f[1] = m.mv[0][1];
    c_.mb[mb_index].field_select[0] = m.field_select[0][0];
    c_.mb[mb_index].field_select[1] = m.field_select[0][1];
  } else {
    f[0] = f[1] = Mv{};
  }
}

// ---------------------------------------------------------------------------
// Macroblock headers

bool VopDecoder::decode_header_ip(MbSyntax& m, int mb_index) {
  const bool inter_vop = vop_.type != CodingType::kI;
  m = MbSyntax{};
  if (inter_vop && br_.get1()) {  // not_coded
    m.mode = (vop_.type == CodingType::kS) ? kMbGmc : kMbSkipped;
    m.qp = qp_;
    c_.mb[mb_index].mode = m.mode;
    c_.mb[mb_index].qp = static_cast<uint8_t>(qp_);
    store_mb_vectors(mb_index, m);
    return true;
  }
  int mcbpc;
  do {
    mcbpc = (inter_vop ? t_.mcbpc_inter : t_.mcbpc_intra).decode(br_);
    if (mcbpc == Vlc::kInvalid || br_.overrun()) return false;
  } while (mcbpc == kMcbpcStuffing);
  const int type = mcbpc >> 2;
  const bool intra = type == 3 || type == 4;
  if (vol_.short_header && (type == 2 || type == 5)) return false;
  bool mcsel = false;
  if (vop_.type == CodingType::kS && (type == 0 || type == 1)) mcsel = br_.get1() != 0;
  if (intra && !vol_.short_header) m.ac_pred = br_.get1() != 0;
  int cbpy = t_.cbpy.decode(br_);
  if (cbpy == Vlc::kInvalid) return false;
  if (!intra) cbpy = 15 - cbpy;
  m.cbp = (cbpy << 2) | (mcbpc & 3);
  if (intra) m.use_dc_vlc = !vol_.short_header && qp_ < kDcVlcLimit[vop_.intra_dc_vlc_thr];
  if (type == 1 || type == 4 || type == 5) qp_ = clamp_qp(qp_ + kDquant[br_.get(2)]);
  m.qp = qp_;
  if (vol_.interlaced) {
    if (intra || m.cbp) m.field_dct = br_.get1() != 0;
    if (!intra && !mcsel && (type == 0 || type == 1)) {
      m.field_pred = br_.get1() != 0;
      if (m.field_pred) {
        m.field_select[0][0] = static_cast<uint8_t>(br_.get1());
        m.field_select[0][1] = static_cast<uint8_t>(br_.get1());
      }
    }
  }
  c_.mb[mb_index].qp = static_cast<uint8_t>(qp_);
  if (!read_p_motion(m, type, intra, mcsel, mb_index)) return false;
  c_.mb[mb_index].mode = m.mode;
  store_mb_vectors(mb_index, m);
  return !br_.overrun();
}

// The motion of a P- or S-VOP macroblock: its mode from the macroblock type
// and the vectors that follow, stored for the prediction of later ones.
bool VopDecoder::read_p_motion(MbSyntax& m, int type, bool intra, bool mcsel, int mb_index) {
  const int mb_x = mb_index % c_.mb_w, mb_y = mb_index / c_.mb_w;
  const int fcode = vop_.fcode_forward;
  if (intra) {
    m.mode = kMbIntra;
  } else if (mcsel) {
    m.mode = kMbGmc;
  } else if (m.field_pred) {
    m.mode = kMbInterField;
    const Mv pred = predict_vector(mb_x, mb_y, 0);
    for (int f = 0; f < 2; ++f) {
      int x, y;
      if (!read_vector(fcode, pred.x, &x) || !read_vector(fcode, pred.y / 2, &y)) return false;
      m.mv[0][f].x = static_cast<int16_t>(x);
      m.mv[0][f].y = static_cast<int16_t>(y);
    }
  } else if (type == 2 || type == 5) {
    m.mode = kMbInter4v;
    const int gw = 2 * c_.mb_w;
    for (int b = 0; b < 4; ++b) {
      const Mv pred = predict_vector(mb_x, mb_y, b);
      int x, y;
      if (!read_vector(fcode, pred.x, &x) || !read_vector(fcode, pred.y, &y)) return false;
      m.mv[0][b].x = static_cast<int16_t>(x);
      m.mv[0][b].y = static_cast<int16_t>(y);
      // Later blocks of this macroblock predict from the earlier ones.
      c_.mv[static_cast<size_t>(2 * mb_y + (b >> 1)) * gw + 2 * mb_x + (b & 1)] = m.mv[0][b];
    }
  } else {
    m.mode = kMbInter;
    const Mv pred = predict_vector(mb_x, mb_y, 0);
    int x, y;
    if (!read_vector(fcode, pred.x, &x) || !read_vector(fcode, pred.y, &y)) return false;
    m.mv[0][0].x = static_cast<int16_t>(x);
    m.mv[0][0].y = static_cast<int16_t>(y);
  }
  c_.mb[mb_index].mode = m.mode;
  store_mb_vectors(mb_index, m);
  return true;
}

bool VopDecoder::decode_header_b(MbSyntax& m, int mb_index) {
  m = MbSyntax{};
  m.qp = qp_;
  // Vector predictors start from zero on every macroblock row.
  if (mb_index % c_.mb_w == 0) std::memset(b_pred_, 0, sizeof b_pred_);
  const MbInfo& colocated = c_.mb_ref[mb_index];
  if (colocated.mode == kMbSkipped) {
    // The co-located macroblock of the newest reference was not coded: so
    // is this one, a copy from the past reference.
    m.b_skipped = true;
    m.b_type = 3;
    m.mode = kMbSkipped;
    return true;
  }
  if (br_.get1()) {  // modb = 1: direct mode, no vector delta, no texture
    m.b_type = 0;
    direct_vectors(m, mb_index, Mv{});
    return true;
  }
  const bool cbp_absent = br_.get1() != 0;
  m.b_type = t_.mb_type_b.decode(br_);
  if (m.b_type == Vlc::kInvalid) return false;
  m.cbp = cbp_absent ? 0 : static_cast<int>(br_.get(6));
  if (m.b_type != 0 && m.cbp) {
    if (br_.get1()) qp_ = clamp_qp(qp_ + (br_.get1() ? 2 : -2));  // dbquant
  }
  m.qp = qp_;
  if (vol_.interlaced) {
    if (m.cbp) m.field_dct = br_.get1() != 0;
    if (m.b_type != 0) {
      m.field_pred = br_.get1() != 0;
      if (m.field_pred) {
        if (m.b_type != 2) {
          m.field_select[0][0] = static_cast<uint8_t>(br_.get1());
          m.field_select[0][1] = static_cast<uint8_t>(br_.get1());
        }
        if (m.b_type != 3) {
          m.field_select[1][0] = static_cast<uint8_t>(br_.get1());
          m.field_select[1][1] = static_cast<uint8_t>(br_.get1());
        }
      }
    }
  }
  if (m.b_type == 0) {
    int x, y;
    if (!read_vector(1, 0, &x) || !read_vector(1, 0, &y)) return false;
    Mv d;
    d.x = static_cast<int16_t>(x);
    d.y = static_cast<int16_t>(y);
    direct_vectors(m, mb_index, d);
    return !br_.overrun();
  }
  m.mode = m.field_pred ? kMbInterField : kMbInter;
  for (int dir = 0; dir < 2; ++dir) {
    const bool used = dir == 0 ? (m.b_type == 1 || m.b_type == 3) : (m.b_type == 1 || m.b_type == 2);
    if (!used) continue;
    const int fcode = dir == 0 ? vop_.fcode_forward : vop_.fcode_backward;
    if (!m.field_pred) {
      int x, y;
      if (!read_vector(fcode, b_pred_[dir][0].x, &x) || !read_vector(fcode, b_pred_[dir][0].y, &y)) return false;
      m.mv[dir][0].x = static_cast<int16_t>(x);
      m.mv[dir][0].y = static_cast<int16_t>(y);
      b_pred_[dir][0] = b_pred_[dir][1] = m.mv[dir][0];
    } else {
      for (int f = 0; f < 2; ++f) {
        int x, y;
        if (!read_vector(fcode, b_pred_[dir][f].x, &x) || !read_vector(fcode, b_pred_[dir][f].y / 2, &y)) return false;
        m.mv[dir][f].x = static_cast<int16_t>(x);
        m.mv[dir][f].y = static_cast<int16_t>(y);
        b_pred_[dir][f].x = static_cast<int16_t>(x);
        b_pred_[dir][f].y = static_cast<int16_t>(y * 2);
      }
    }
  }
  return !br_.overrun();
}

void VopDecoder::direct_vectors(MbSyntax& m, int mb_index, Mv mvd) {
  const int gw = 2 * c_.mb_w;
  const int mx = mb_index % c_.mb_w, my = mb_index / c_.mb_w;
  const MbInfo& col = c_.mb_ref[mb_index];
  const int64_t trb = c_.trb, trd = c_.trd > 0 ? c_.trd : 1;
  if (col.mode == kMbInterField) {
    // Field direct mode: each field of the co-located macroblock gives a
    // vector scaled by the distances between the fields involved, counted
    // in field periods.
    const Mv* f = &c_.field_mv_ref[static_cast<size_t>(mb_index) * 2];
    const int64_t pp = c_.field_trd, pb = c_.field_trb;
    for (int i = 0; i < 2; ++i) {
      const int sel = col.field_select[i];
      m.field_select[0][i] = static_cast<uint8_t>(sel);
      m.field_select[1][i] = static_cast<uint8_t>(i);
      int64_t tpp = vop_.top_field_first ? pp - sel + i : pp + sel - i;
      const int64_t tpb = vop_.top_field_first ? pb - sel + i : pb + sel - i;
      if (tpp == 0) tpp = 1;
      const int cx = f[i].x, cy = f[i].y;
      const int fx = static_cast<int>(tpb * cx / tpp) + mvd.x;
      const int fy = static_cast<int>(tpb * cy / tpp) + mvd.y;
      m.mv[0][i].x = static_cast<int16_t>(fx);
      m.mv[0][i].y = static_cast<int16_t>(fy);
      m.mv[1][i].x = static_cast<int16_t>(mvd.x ? fx - cx : static_cast<int>((tpb - tpp) * cx / tpp));
      m.mv[1][i].y = static_cast<int16_t>(mvd.y ? fy - cy : static_cast<int>((tpb - tpp) * cy / tpp));
    }
    m.field_pred = true;
    m.mode = kMbInterField;
    return;
  }
  const Mv* g = &c_.mv_ref[static_cast<size_t>(2 * my) * gw + 2 * mx];
  const Mv col_mv[4] = {g[0], g[1], g[gw], g[gw + 1]};
  for (int b = 0; b < 4; ++b) {
    const int cx = col_mv[b].x, cy = col_mv[b].y;
    const int fx = static_cast<int>(trb * cx / trd) + mvd.x;
    const int fy = static_cast<int>(trb * cy / trd) + mvd.y;
    m.mv[0][b].x = static_cast<int16_t>(fx);
    m.mv[0][b].y = static_cast<int16_t>(fy);
    m.mv[1][b].x = static_cast<int16_t>(mvd.x ? fx - cx : static_cast<int>((trb - trd) * cx / trd));
    m.mv[1][b].y = static_cast<int16_t>(mvd.y ? fy - cy : static_cast<int>((trb - trd) * cy / trd));
  }
  // Direct mode predicts the luminance as four 8x8 blocks even when the
  // four vectors are one: quarter-sample interpolation mirrors the samples
  // at each block's edge, so one 16x16 block would differ inside.
  m.mode = (col.mode == kMbInter4v || vol_.quarter_sample) ? kMbInter4v : kMbInter;
}

// ---------------------------------------------------------------------------
// Blocks

bool VopDecoder::read_intra_dc(MbSyntax& m, int block) {
  const int size = (block < 4 ? t_.dc_size_lum : t_.dc_size_chrom).decode(br_);
  if (size == Vlc::kInvalid) return false;
  int diff = 0;
  if (size > 0) {
    diff = static_cast<int>(br_.get(size));
    if (!(diff >> (size - 1))) diff -= (1 << size) - 1;
    if (size > 8 && !br_.get1()) return false;  // marker
  }
  m.dc_diff[block] = static_cast<int16_t>(diff);
  return true;
}

bool VopDecoder::read_coefs(int16_t* qf, const uint8_t* scan, int start, bool intra, int mul, int add, unsigned* rows) {
  // The reader and the list of positions are worked on in locals, written
  // back on the way out: stores into the coefficient block and the byte
  // list could otherwise alias them and force a reload at every code.
  BitReader br = br_;
  int count = nz_count_;
  uint8_t* const nz = nz_pos_;
  unsigned row_bits = 0;
  const bool ok = read_coefs_local(br, qf, scan, start, intra, nz, &count, mul, add, &row_bits);
  if (rows) *rows = row_bits;
  br_ = br;
  nz_count_ = count;
  return ok;
}

bool VopDecoder::read_coefs_local(BitReader& br, int16_t* qf, const uint8_t* scan, int start, bool intra, uint8_t* nz,
                                  int* count, int mul, int add, unsigned* rows) const {
  const bool short_header = vol_.short_header;
  const Vlc& vlc = (intra && !short_header) ? t_.tcoef_intra : t_.tcoef_inter;
  const int table = (intra && !short_header) ? 1 : 0;
  int i = start;
  int n = *count;
  unsigned row_bits = 0;
  const int bits = vlc.bits();
  // Held in locals: byte stores into nz may alias the tables' pointers.
  const uint32_t* const entries = vlc.entries();
  const uint32_t* const fast = t_.tcoef_fast[table];
  BitCache bc(br);
  // One code after an escape: its table value, or kInvalid.
  auto escaped_code = [&]() {
    bc.refill();
    const uint32_t e = entries[bc.peek(bits)];
    const int len = static_cast<int>(e & 0xFF);
    const int v = static_cast<int16_t>(e >> 8);
    if (len == 0 || v == kTcoefEscape) return static_cast<int>(Vlc::kInvalid);
    bc.skip(len);
    return v;
  };
  // The count and the row bits stay in locals through the loop (written
  // back once), for the same reason. The loop ends by itself: every code
  // moves at least one position on, and a block has 64. Reads past the end
  // give zero bits; the position is checked once, after the block.
  auto read = [&](auto dequantise) -> bool {
    for (;;) {
      bc.refill();
      const uint32_t e = fast[bc.peek(VlcTables::kTcoefBits)];
      const int len = static_cast<int>(e & 0xFF);
      int last, run, level;
      if (!(e & VlcTables::kTcoefSlow)) [[likely]] {
        // The code and its sign bit, the last of its len bits.
        const int negative = -static_cast<int>(bc.peek(len) & 1);
        last = static_cast<int>((e >> 14) & 1);
        run = static_cast<int>((e >> 8) & 63);
        level = (static_cast<int>(e >> 16) ^ negative) - negative;
        bc.skip(len);
      } else {
        if (len == 0) return false;
        bc.skip(len);
        int v;
        if (short_header) {
          last = static_cast<int>(bc.get(1));
          run = static_cast<int>(bc.get(6));
          level = static_cast<int8_t>(bc.get(8));
          if (level == 0) return false;
        } else if (!bc.get(1)) {  // escape 1: level offset by the table's largest
          v = escaped_code();
          if (v == Vlc::kInvalid) return false;
          last = tcoef_last(v);
          run = tcoef_run(v);
          level = tcoef_level(v) + t_.lmax[table][last][run];
          if (bc.get(1)) level = -level;
        } else if (!bc.get(1)) {  // escape 2: run offset by the table's longest
          v = escaped_code();
          if (v == Vlc::kInvalid) return false;
          last = tcoef_last(v);
          level = tcoef_level(v);
          run = tcoef_run(v) + t_.rmax[table][last][level] + 1;
          if (bc.get(1)) level = -level;
        } else {  // escape 3: fixed length
          bc.refill();
          last = static_cast<int>(bc.get(1));
          run = static_cast<int>(bc.get(6));
          if (!bc.get(1)) return false;
          level = static_cast<int>(bc.get(12));
          if (!bc.get(1)) return false;
          if (level >= 2048) level -= 4096;
        }
      }
      i += run;
      if (i > 63) return false;
      if (level) [[likely]] {
        const int p = scan[i];
        if constexpr (decltype(dequantise)::value) {
          level = h263_dequant(level, mul, add);
          row_bits |= 1u << (p >> 3);
        }
        qf[p] = static_cast<int16_t>(level);
        nz[n++] = static_cast<uint8_t>(p);
      }
      ++i;
      if (last) return true;
    }
  };
  bool ok = mul ? read(std::true_type{}) : read(std::false_type{});
  bc.store(br);
  if (br.overrun()) ok = false;
  *count = n;
  *rows = row_bits;
  return ok;
}

void VopDecoder::intra_block(MbSyntax& m, int mb_x, int mb_y, int block, int16_t* qf, uint8_t* dst, int stride) {
  const bool luma = block < 4;
  const int scaler = vol_.short_header ? 8 : dc_scaler(m.qp, luma);
  // Neighbours A (left), B (above left), C (above).
  BlockPred* cur;
  const BlockPred* na = nullptr;
  const BlockPred* nb = nullptr;
  const BlockPred* nc = nullptr;
  int qa = 0, qc = 0;
  auto intra_at = [&](int mx, int my) {
    return available(mx, my) && c_.mb[static_cast<size_t>(my) * c_.mb_w + mx].mode == kMbIntra;
  };
  auto same_or_intra = [&](int mx, int my) { return (mx == mb_x && my == mb_y) || intra_at(mx, my); };
  if (luma) {
    const int gw = 2 * c_.mb_w;
    const int bx = 2 * mb_x + (block & 1), by = 2 * mb_y + (block >> 1);
    cur = &c_.pred_y[static_cast<size_t>(by) * gw + bx];
    if (bx > 0 && same_or_intra((bx - 1) >> 1, by >> 1)) {
      na = cur - 1;
      qa = c_.mb[static_cast<size_t>(by >> 1) * c_.mb_w + ((bx - 1) >> 1)].qp;
    }
    if (by > 0 && same_or_intra(bx >> 1, (by - 1) >> 1)) {
      nc = cur - gw;
      qc = c_.mb[static_cast<size_t>((by - 1) >> 1) * c_.mb_w + (bx >> 1)].qp;
    }
    if (bx > 0 && by > 0 && same_or_intra((bx - 1) >> 1, (by - 1) >> 1)) nb = cur - gw - 1;
  } else {
    std::vector<BlockPred>& plane = c_.pred_c[block - 4];
    cur = &plane[static_cast<size_t>(mb_y) * c_.mb_w + mb_x];
    if (intra_at(mb_x - 1, mb_y)) {
      na = cur - 1;
      qa = c_.mb[static_cast<size_t>(mb_y) * c_.mb_w + mb_x - 1].qp;
    }
    if (intra_at(mb_x, mb_y - 1)) {
      nc = cur - c_.mb_w;
      qc = c_.mb[static_cast<size_t>(mb_y - 1) * c_.mb_w + mb_x].qp;
    }
    if (intra_at(mb_x - 1, mb_y - 1)) nb = cur - c_.mb_w - 1;
  }
  const int fa = na ? na->dc : 1024, fb = nb ? nb->dc : 1024, fc = nc ? nc->dc : 1024;
  // Predict from above (C) when the horizontal gradient is the smaller.
  const bool vertical = std::abs(fa - fb) < std::abs(fb - fc);

  const uint8_t* scan = kZigzagScan;
  if (vol_.short_header) {
    scan = kZigzagScan;
  } else if (m.ac_pred) {
    scan = vertical ? kAlternateHorizontalScan : kAlternateVerticalScan;
  } else if (vop_.alternate_vertical_scan) {
    scan = kAlternateVerticalScan;
  }

  nz_count_ = 0;
  int dc_level;
  bool ok = true;
  if (vol_.short_header) {
    const int v = static_cast<int>(br_.get(8));
    dc_level = v == 255 ? 128 : v;
    if (m.cbp & (32 >> block)) ok = read_coefs(qf, scan, 1, true);
    qf[0] = static_cast<int16_t>(dc_level);
  } else {
    if (m.use_dc_vlc) {
      if (!m.dc_read) ok = read_intra_dc(m, block);
      if (ok && (m.cbp & (32 >> block))) ok = read_coefs(qf, scan, 1, true);
      qf[0] = m.dc_diff[block];
    } else if (m.cbp & (32 >> block)) {
      ok = read_coefs(qf, scan, 0, true);
    }
    const int pred = vertical ? fc : fa;
    qf[0] = static_cast<int16_t>(qf[0] + rounded_div(pred, scaler));
    if (m.ac_pred) {
      if (vertical) {
        if (nc) {
          for (int i = 0; i < 7; ++i) {
            const int p = qc == m.qp ? nc->row[i] : rounded_div(nc->row[i] * qc, m.qp);
            add_prediction(qf, i + 1, p);
          }
        }
      } else if (na) {
        for (int i = 0; i < 7; ++i) {
          const int p = qa == m.qp ? na->col[i] : rounded_div(na->col[i] * qa, m.qp);
          add_prediction(qf, 8 * (i + 1), p);
        }
      }
    }
  }
  if (!ok) failed_ = true;
  int dc = qf[0] * scaler;
  if (dc < -2048) dc = -2048;
  if (dc > 2047) dc = 2047;
  cur->dc = static_cast<int16_t>(dc);
  for (int i = 0; i < 7; ++i) {
    cur->row[i] = qf[i + 1];
    cur->col[i] = qf[8 * (i + 1)];
  }
  // Dequantise the listed positions; the DC has its own scaler.
  qf[0] = 0;
  const unsigned rows = 1 | dequantise<BlockCoding::kIntra>(qf, c_.vol.intra_matrix, m.qp, dc);
  // Only the DC when no other position is listed (positions are listed once).
  const bool dc_only = nz_count_ == 0 || (nz_count_ == 1 && nz_pos_[0] == 0);
  qf[0] = static_cast<int16_t>(dc);
  if (dc_only)
    idct_put_dc(dc, dst, stride);
  else
    idct_put(qf, dst, stride, rows);
  clear_block(qf);
}

void VopDecoder::inter_block(const MbSyntax& m, int16_t* qf, uint8_t* dst, int stride, const unsigned* dequantised) {
  if (nz_count_ == 0) return;
  unsigned rows = 0;
  if (dequantised) {
    rows = *dequantised;  // levels dequantised while read
  } else {
    rows = dequantise<BlockCoding::kInter>(qf, c_.vol.inter_matrix, m.qp, 0);
  }
  if (nz_count_ == 1 && nz_pos_[0] == 0)
    idct_add_dc(qf[0], dst, stride);
  else
    idct_add(qf, dst, stride, rows);
  clear_block(qf);
}

// Dequantises the listed levels of a block in place and returns the rows
// (bit r for row r) that hold any. An intra block's DC is left to the caller,
// which scales it on its own; dc is its value in the mismatch sum of the
// MPEG quantiser, which makes the sum of the coefficients odd by flipping
// the last one's lowest bit.
template <BlockCoding kCoding>
inline unsigned VopDecoder::dequantise(int16_t* qf, const uint8_t* matrix, int qp, int dc) {
  constexpr bool intra = kCoding == BlockCoding::kIntra;
  unsigned rows = 0;
  if (vol_.mpeg_quant) {
    int sum = dc;
    for (int k = 0; k < nz_count_; ++k) {
      const int p = nz_pos_[k];
      if (intra && p == 0) continue;
      const int l = qf[p];
      int f;
      if constexpr (intra)
        f = clamp_coef(l * matrix[p] * qp / 8);
      else
        f = l == 0 ? 0
                   : clamp_coef(l > 0 ? ((2 * l + 1) * matrix[p] * qp) >> 4 : -(((-2 * l + 1) * matrix[p] * qp) >> 4));
      qf[p] = static_cast<int16_t>(f);
      sum += f;
      rows |= 1u << (p >> 3);
    }
    if (!(sum & 1)) {
      if (qf[63] == 0) nz_pos_[nz_count_++] = 63;
      qf[63] ^= 1;
      rows |= 0x80;
    }
  } else {
    const int add = (qp & 1) ? qp : qp - 1;
    const int mul = 2 * qp;
    for (int k = 0; k < nz_count_; ++k) {
      const int p = nz_pos_[k];
      if (intra && p == 0) continue;
      // A level that AC prediction cancelled to zero stays zero.
      qf[p] = static_cast<int16_t>(h263_dequant(qf[p], mul, add));
      rows |= 1u << (p >> 3);
    }
  }
  return rows;
}

// Adds an AC prediction to a quantised coefficient, listing its position
// when it was zero (positions are listed once).
void VopDecoder::add_prediction(int16_t* qf, int pos, int pred) {
  if (!pred) return;
  if (qf[pos] == 0) nz_pos_[nz_count_++] = static_cast<uint8_t>(pos);
  qf[pos] = static_cast<int16_t>(clamp_coef(qf[pos] + pred));
}

void VopDecoder::clear_block(int16_t* qf) {
  for (int k = 0; k < nz_count_; ++k) qf[nz_pos_[k]] = 0;
  qf[0] = 0;
  nz_count_ = 0;
}

// ---------------------------------------------------------------------------
// Prediction

void VopDecoder::luma_mc(const Plane& p, uint8_t* dst, int ds, int x, int y, Mv mv, int w, int h, int rounding) {
  if (vol_.quarter_sample)
    mc_qpel(dst, ds, p, 4 * x + mv.x, 4 * y + mv.y, w, h, rounding);
  else
    mc_halfpel(dst, ds, p, 2 * x + mv.x, 2 * y + mv.y, w, h, rounding);
}

void VopDecoder::predict_mb(const MbSyntax& m, int dir, const Frame& ref, int mb_x, int mb_y, const MbDest& d,
                            int rounding) {
  const Plane py = ref.luma(), pu = ref.chroma(1), pv = ref.chroma(2);
  const int x = 16 * mb_x, y = 16 * mb_y;
  const bool qpel = vol_.quarter_sample;
  if (m.mode == kMbInterField) {
    for (int f = 0; f < 2; ++f) {
      const int sel = m.field_select[dir][f];
      const Mv mv = m.mv[dir][f];
      const Plane fy = field_of(py, sel);
      luma_mc(fy, d.p[0] + f * d.stride[0], d.stride[0] * 2, x, y / 2, mv, 16, 8, rounding);
      int cx, cy;
      if (qpel) {
        cx = mv.x / 2;
        cy = mv.y >> 1;
      } else {
        cx = mv.x;
        cy = mv.y;
      }
      cx = (cx >> 1) | (cx & 1);
      cy = (cy >> 1) | (cy & 1);
      for (int c = 1; c < 3; ++c) {
        const Plane& pc = c == 1 ? pu : pv;
        const Plane fc = field_of(pc, sel);
        mc_halfpel(d.p[c] + f * d.stride[c], d.stride[c] * 2, fc, x + cx, y / 2 + cy, 8, 4, rounding);
      }
    }
    return;
  }
  int cx, cy;
  if (m.mode == kMbInter4v) {
    int sx = 0, sy = 0;
    for (int b = 0; b < 4; ++b) {
      const Mv mv = m.mv[dir][b];
      luma_mc(py, d.p[0] + (b >> 1) * 8 * d.stride[0] + (b & 1) * 8, d.stride[0], x + (b & 1) * 8, y + (b >> 1) * 8, mv,
              8, 8, rounding);
      sx += qpel ? mv.x / 2 : mv.x;
      sy += qpel ? mv.y / 2 : mv.y;
    }
    cx = chroma_from_sum(sx);
    cy = chroma_from_sum(sy);
  } else {
    const Mv mv = (m.mode == kMbSkipped) ? Mv{} : m.mv[dir][0];
    luma_mc(py, d.p[0], d.stride[0], x, y, mv, 16, 16, rounding);
    cx = qpel ? mv.x / 2 : mv.x;
    cy = qpel ? mv.y / 2 : mv.y;
    cx = (cx >> 1) | (cx & 1);
    cy = (cy >> 1) | (cy & 1);
  }
  mc_halfpel(d.p[1], d.stride[1], pu, x + cx, y + cy, 8, 8, rounding);
  mc_halfpel(d.p[2], d.stride[2], pv, x + cx, y + cy, 8, 8, rounding);
}

void VopDecoder::predict_b(const MbSyntax& m, int mb_x, int mb_y, const MbDest& d) {
  const Frame* past = c_.past;
  const Frame* future = c_.future;
  if (m.b_skipped) {
    predict_mb(m, 0, *past, mb_x, mb_y, d, 0);
    return;
  }
  const bool fwd = m.b_type == 0 || m.b_type == 1 || m.b_type == 3;
  const bool bwd = m.b_type == 0 || m.b_type == 1 || m.b_type == 2;
  if (fwd && bwd) {
    predict_mb(m, 0, *past, mb_x, mb_y, d, 0);
    MbDest t;
    t.p[0] = tmp_;
    t.p[1] = tmp_ + 256;
    t.p[2] = tmp_ + 256 + 64;
    t.stride[0] = 16;
    t.stride[1] = t.stride[2] = 8;
    predict_mb(m, 1, *future, mb_x, mb_y, t, 0);
    mc_average(d.p[0], d.stride[0], t.p[0], 16, 16, 16);
    mc_average(d.p[1], d.stride[1], t.p[1], 8, 8, 8);
    mc_average(d.p[2], d.stride[2], t.p[2], 8, 8, 8);
  } else if (fwd) {
    predict_mb(m, 0, *past, mb_x, mb_y, d, 0);
  } else {
    predict_mb(m, 1, *future, mb_x, mb_y, d, 0);
  }
}

// ---------------------------------------------------------------------------
// Texture

bool VopDecoder::decode_texture(MbSyntax& m, int mb_index) {
  const int mb_x = mb_index % c_.mb_w, mb_y = mb_index / c_.mb_w;
  const MbDest d = dest(mb_x, mb_y);
  failed_ = false;
  // Luma blocks: frame or field lines.
  auto luma_block = [&](int b, int* stride) {
    if (m.field_dct) {
      *stride = d.stride[0] * 2;
      return d.p[0] + (b & 1) * 8 + (b >> 1) * d.stride[0];
    }
    *stride = d.stride[0];
    return d.p[0] + (b & 1) * 8 + (b >> 1) * 8 * d.stride[0];
  };
  if (m.mode == kMbIntra) {
    for (int b = 0; b < 6; ++b) {
      int stride;
      uint8_t* dst = b < 4 ? luma_block(b, &stride) : d.p[b - 3];
      if (b >= 4) stride = d.stride[b - 3];
      intra_block(m, mb_x, mb_y, b, qf_[b], dst, stride);
      if (failed_) return false;
    }
    return !br_.overrun();
  }
  // Not intra: nothing to keep for intra prediction. Later intra blocks
  // read a neighbour's prediction data only when its macroblock of this
  // VOP is intra (intra_at), so stale data here is never read.
  if (vop_.type == CodingType::kB) {
    predict_b(m, mb_x, mb_y, d);
  } else if (m.mode == kMbGmc) {
    predict_gmc(c_, mb_x, mb_y, d.p, d.stride, vop_.rounding);
  } else {
    predict_mb(m, 0, *c_.future, mb_x, mb_y, d, vop_.rounding);
  }
  if (!m.cbp) return true;
  const uint8_t* scan = vop_.alternate_vertical_scan ? kAlternateVerticalScan : kZigzagScan;
  for (int b = 0; b < 6; ++b) {
    if (!(m.cbp & (32 >> b))) continue;
    nz_count_ = 0;
    // The H.263 quantiser's inter levels are dequantised as they are read.
    const bool h263_quant = !vol_.mpeg_quant;
    unsigned rows = 0;
    if (!read_coefs(qf_[b], scan, 0, false, h263_quant ? 2 * m.qp : 0, h263_quant ? ((m.qp & 1) ? m.qp : m.qp - 1) : 0,
                    &rows)) {
      std::memset(qf_[b], 0, sizeof qf_[b]);
      return false;
    }
    int stride;
    uint8_t* dst = b < 4 ? luma_block(b, &stride) : d.p[b - 3];
    if (b >= 4) stride = d.stride[b - 3];
    inter_block(m, qf_[b], dst, stride, h263_quant ? &rows : nullptr);
  }
  return !br_.overrun();
}

// ---------------------------------------------------------------------------
// VOP

// A video packet with data partitioning: first the macroblock types with
// the DC coefficients (I-VOPs) or the motion (P-VOPs) of every macroblock of
// the packet up to a marker, then the rest of their headers, then their
// texture in the same order.
bool VopDecoder::decode_packet_partitioned(int first_mb, int* next_mb) {
  const bool intra_vop = vop_.type == CodingType::kI;
  std::vector<MbSyntax>& mbs = c_.packet_mbs;
  mbs.clear();
  std::vector<int>& mb_types = packet_types_;
  mb_types.clear();
  // Partition 1.
  int index = first_mb;
  for (;;) {
    if (intra_vop ? br_.peek(19) == kDcMarker : br_.peek(17) == kMotionMarker) break;
    if (index >= c_.mb_count || br_.overrun()) return false;
    MbSyntax m;
    m.qp = qp_;
    if (!intra_vop && br_.get1()) {  // not_coded
      m.mode = (vop_.type == CodingType::kS) ? kMbGmc : kMbSkipped;
      c_.mb[index].mode = m.mode;
      c_.mb[index].qp = static_cast<uint8_t>(qp_);
      store_mb_vectors(index, m);
      mbs.push_back(m);
      mb_types.push_back(-1);
      ++index;
      continue;
    }
    int mcbpc;
    do {
      mcbpc = (intra_vop ? t_.mcbpc_intra : t_.mcbpc_inter).decode(br_);
      if (mcbpc == Vlc::kInvalid || br_.overrun()) return false;
    } while (mcbpc == kMcbpcStuffing);
    const int type = mcbpc >> 2;
    const bool intra = type == 3 || type == 4;
    m.cbp = mcbpc & 3;
    if (intra_vop) {
      m.use_dc_vlc = qp_ < kDcVlcLimit[vop_.intra_dc_vlc_thr];
      if (type == 4) qp_ = clamp_qp(qp_ + kDquant[br_.get(2)]);
      m.qp = qp_;
      c_.mb[index].qp = static_cast<uint8_t>(qp_);
      m.mode = kMbIntra;
      c_.mb[index].mode = kMbIntra;
      store_mb_vectors(index, m);
      if (m.use_dc_vlc) {
        for (int b = 0; b < 6; ++b)
          if (!read_intra_dc(m, b)) return false;
        m.dc_read = true;
      }
    } else {
      bool mcsel = false;
      if (vop_.type == CodingType::kS && (type == 0 || type == 1)) mcsel = br_.get1() != 0;
      if (!read_p_motion(m, type, intra, mcsel, index)) return false;
    }
    mbs.push_back(m);
    mb_types.push_back(type);
    ++index;
  }
  br_.skip(intra_vop ? 19 : 17);
  // Partition 2.
  for (size_t k = 0; k < mbs.size(); ++k) {
    MbSyntax& m = mbs[k];
    const int type = mb_types[k];
    if (type < 0) continue;  // not coded
    const int mb_index = first_mb + static_cast<int>(k);
    const bool intra = m.mode == kMbIntra;
    if (intra) m.ac_pred = br_.get1() != 0;
    int cbpy = t_.cbpy.decode(br_);
    if (cbpy == Vlc::kInvalid) return false;
    if (!intra) cbpy = 15 - cbpy;
    m.cbp |= cbpy << 2;
    if (!intra_vop) {
      if (intra) m.use_dc_vlc = qp_ < kDcVlcLimit[vop_.intra_dc_vlc_thr];
      if (type == 1 || type == 4 || type == 5) qp_ = clamp_qp(qp_ + kDquant[br_.get(2)]);
      m.qp = qp_;
      c_.mb[mb_index].qp = static_cast<uint8_t>(qp_);
      if (intra && m.use_dc_vlc) {
        for (int b = 0; b < 6; ++b)
          if (!read_intra_dc(m, b)) return false;
        m.dc_read = true;
      }
    }
    if (br_.overrun()) return false;
  }
  // Partition 3.
  for (size_t k = 0; k < mbs.size(); ++k) {
    if (!decode_texture(mbs[k], first_mb + static_cast<int>(k))) return false;
  }
  *next_mb = index;
  return true;
}

int VopDecoder::run() {
  qp_ = vop_.quant;
  start_packet(0);
  bool damaged = false;
  bool at_marker = false;  // the reader stands on a resync marker found by searching
  int index = 0;
  while (index < c_.mb_count) {
    // B-VOP macroblocks whose co-located one was not coded take no bits, so
    // a packet header may stand before them: it belongs to the first
    // macroblock it names.
    bool header = at_marker;
    if (!header && index > 0 && at_resync()) {
      const bool zero_bit_mb = vop_.type == CodingType::kB && c_.mb_ref[index].mode == kMbSkipped;
      if (!(zero_bit_mb && index < peek_packet_mb_number(true))) {
        br_.skip(8 - (br_.pos() & 7));  // the stuffing
        header = true;
      }
    }
    if (header) {
      at_marker = false;
      int mbn;
      if (!read_packet_header(&mbn) || mbn < index) {
        damaged = true;
        if (!seek_resync()) {
          conceal(index, c_.mb_count);
          break;
        }
        at_marker = true;
        continue;
      }
      if (mbn > index) {
        conceal(index, mbn);
        damaged = true;
      }
      index = mbn;
      start_packet(index);
    }
    bool ok;
    int next = index + 1;
    if (vol_.data_partitioned && vop_.type != CodingType::kB) {
      ok = decode_packet_partitioned(index, &next);
    } else {
      MbSyntax m;
      ok = vop_.type == CodingType::kB ? decode_header_b(m, index) : decode_header_ip(m, index);
      if (ok) ok = decode_texture(m, index);
    }
    if (!ok) {
      // Damaged data: conceal up to the macroblock the next video packet
      // names, and go on there.
      damaged = true;
      if (!seek_resync()) {
        conceal(index, c_.mb_count);
        break;
      }
      const int mbn = peek_packet_mb_number(false);
      const int to = mbn > index && mbn <= c_.mb_count ? mbn : index + 1;
      conceal(index, to);
      index = to;
      at_marker = true;
      continue;
    }
    index = next;
  }
  return damaged ? kBitstreamError : kOk;
}

int VopDecoder::run_short_header() {
  qp_ = vop_.quant;
  start_packet(0);
  bool damaged = false;
  const int rows = vop_.gob_rows;
  const int gobs = c_.mb_h / rows;
  for (int gob = 0; gob < gobs; ++gob) {
    const int first = gob * rows * c_.mb_w;
    if (gob > 0) {
      int skip = -1;
      if (br_.peek(17) == 1) {
        skip = 0;
      } else {
        const int n = static_cast<int>((8 - (br_.pos() & 7)) & 7);
        if (n && br_.peek(n) == 0) {
          BitReader probe = br_;
          probe.skip(n);
          if (probe.peek(17) == 1) skip = n;
        }
      }
      if (skip >= 0) {
        br_.skip(skip + 17);
        const int gn = static_cast<int>(br_.get(5));
        br_.skip(2);  // gob_frame_id
        const int q = static_cast<int>(br_.get(5));
        if (gn != gob || q == 0) {
          conceal(first, c_.mb_count);
          return kBitstreamError;
        }
        qp_ = q;
        start_packet(first);
      }
    }
    for (int i = first; i < first + rows * c_.mb_w; ++i) {
      MbSyntax m;
      if (!decode_header_ip(m, i) || !decode_texture(m, i)) {
        conceal(i, c_.mb_count);
        damaged = true;
        return kBitstreamError;
      }
    }
  }
  return damaged ? kBitstreamError : kOk;
}

}  // namespace

int decode_vop_macroblocks(Context& ctx, BitReader& br) {
  VopDecoder d(ctx, br);
  return d.run();
}

int decode_short_header_macroblocks(Context& ctx, BitReader& br) {
  VopDecoder d(ctx, br);
  return d.run_short_header();
}

}  // namespace mpeg4
