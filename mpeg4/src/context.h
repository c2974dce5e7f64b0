// State of one stream's decoder shared by its stages: the stream headers,
// the pictures, and the per-macroblock data that prediction reads.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "bitreader.h"
#include "headers.h"
#include "mc.h"
#include "mpeg4/decoder.h"

namespace mpeg4 {

struct Mv {
  int16_t x = 0;
  int16_t y = 0;
};

// A picture with its planes sized to whole macroblocks.
struct Frame {
  std::vector<uint8_t> mem;
  uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};
  int coded_width = 0;  // whole macroblocks
  int coded_height = 0;
  CodingType type = CodingType::kNone;
  int64_t time = 0;
  bool not_coded = false;

  bool allocate(int mb_w, int mb_h);
  Plane luma() const { return {plane[0], stride[0], coded_width, coded_height}; }
  Plane chroma(int c) const { return {plane[c], stride[c], coded_width / 2, coded_height / 2}; }
};

enum MbMode : uint8_t {
  kMbNotDecoded = 0,
  kMbIntra,
  kMbInter,       // one vector
  kMbInter4v,     // four vectors
  kMbInterField,  // two field vectors
  kMbSkipped,     // not coded: zero vector, no residual
  kMbGmc,         // global motion compensation
};

struct MbInfo {
  uint8_t mode = kMbNotDecoded;
  uint8_t qp = 0;
  uint8_t field_select[2] = {0, 0};  // field prediction: reference field per field
};

// What intra prediction keeps of a decoded block: its DC and the first row
// and column of its quantised coefficients.
struct BlockPred {
  int16_t dc = 1024;
  int16_t row[7] = {0, 0, 0, 0, 0, 0, 0};
  int16_t col[7] = {0, 0, 0, 0, 0, 0, 0};
};

// One macroblock's syntax, kept between the partitions of a video packet.
struct MbSyntax {
  uint8_t mode = kMbNotDecoded;
  bool ac_pred = false;
  bool field_dct = false;
  bool use_dc_vlc = false;
  int cbp = 0;  // bit 5: block 0 ... bit 0: block 5
  int qp = 1;
  int16_t dc_diff[6] = {0, 0, 0, 0, 0, 0};
  bool dc_read = false;  // dc_diff already read (data partitioning)
  // B-VOP prediction: 0 direct, 1 interpolate, 2 backward, 3 forward.
  int b_type = -1;
  bool b_skipped = false;  // co-located macroblock skipped: copy forward
  Mv mv[2][4];             // [direction][block or field]
  uint8_t field_select[2][2] = {{0, 0}, {0, 0}};
  bool field_pred = false;
};

struct Context {
  VolHeader vol;
  bool have_vol = false;
  VopHeader vop;
  TimeBase time_base;

  int mb_w = 0, mb_h = 0, mb_count = 0;

  // Per macroblock of the VOP being decoded, and of the latest reference
  // VOP (direct mode of B-VOPs reads its vectors and skips).
  std::vector<MbInfo> mb, mb_ref;
  std::vector<Mv> mv, mv_ref;                // 8x8 grid: (2 mb_w) x (2 mb_h)
  std::vector<Mv> field_mv, field_mv_ref;    // two per macroblock
  std::vector<BlockPred> pred_y, pred_c[2];  // luma on the 8x8 grid, chroma per macroblock
  std::vector<MbSyntax> packet_mbs;          // data partitioning

  // Pictures: the one being decoded, and the two references.
  Frame* cur = nullptr;
  Frame* past = nullptr;    // older reference (forward prediction of B-VOPs)
  Frame* future = nullptr;  // newest reference (prediction of P-VOPs)

  // GMC: the warp of the current S-VOP. A luminance sample (x, y) of the
  // VOP comes from position ((ox + dxx x + dxy y) >> shift,
  // (oy + dyx x + dyy y) >> shift) of the reference, in 1/accuracy samples;
  // chrominance likewise with the c* terms.
  struct Gmc {
    int accuracy = 2;  // sub-sample steps per sample: 2, 4, 8 or 16
    int accuracy_bits = 1;
    int64_t ox = 0, oy = 0, dxx = 0, dxy = 0, dyx = 0, dyy = 0;
    int shift = 0;
    int64_t cox = 0, coy = 0, cdxx = 0, cdxy = 0, cdyx = 0, cdyy = 0;
    int cshift = 0;
  } gmc;

  // Direct mode of B-VOPs: time from the past reference to the B-VOP and
  // between the two references.
  int64_t trb = 0;
  int64_t trd = 1;
  // Field direct mode counts in fields: the distances between the
  // references and from the past one to the B-VOP, in fields. The frame
  // period they are counted in is taken from the first B-VOP's distance to
  // its past reference (the time base need not count frames).
  int64_t frame_ticks = 0;
  int64_t field_trd = 2;
  int64_t field_trb = 1;

  bool resize(int width, int height);
};

// Decodes the macroblocks of the VOP in br into ctx.cur. Returns kOk or
// kBitstreamError (the damaged part concealed).
int decode_vop_macroblocks(Context& ctx, BitReader& br);

// Short video header: the GOBs of an H.263 picture.
int decode_short_header_macroblocks(Context& ctx, BitReader& br);

// Sets up ctx.gmc from the warping points of the current S-VOP.
void setup_gmc(Context& ctx);
// The global motion prediction of one macroblock from ctx.future into the
// three planes at dst.
void predict_gmc(const Context& ctx, int mb_x, int mb_y, uint8_t* const dst[3], const int stride[3], int rounding);
// The vector that stands for a GMC macroblock when later vectors are
// predicted: the mean displacement of its luminance samples, in the VOP's
// vector units, limited to the range of vop_fcode_forward.
Mv gmc_average_vector(const Context& ctx, int mb_x, int mb_y);

}  // namespace mpeg4
