// Stream headers of MPEG-4 Visual: video object layer, group of VOPs, VOP,
// video packet, and the H.263 picture header of the short video header.
#pragma once
#include <cstdint>

#include "bitreader.h"
#include "mpeg4/decoder.h"

namespace mpeg4 {

// Start code values (the byte after 00 00 01).
constexpr int kVisualObjectSequenceStart = 0xB0;
constexpr int kVisualObjectSequenceEnd = 0xB1;
constexpr int kUserDataStart = 0xB2;
constexpr int kGroupOfVopStart = 0xB3;
constexpr int kVisualObjectStart = 0xB5;
constexpr int kVopStart = 0xB6;

enum SpriteMode { kSpriteNone = 0, kSpriteStatic = 1, kSpriteGmc = 2 };

struct VolHeader {
  int verid = 1;
  int width = 0;
  int height = 0;
  int time_increment_resolution = 1;
  int time_increment_bits = 1;
  bool low_delay = true;
  bool low_delay_present = false;
  bool interlaced = false;
  int sprite_enable = kSpriteNone;
  int sprite_warping_points = 0;
  int sprite_warping_accuracy = 0;
  bool sprite_brightness_change = false;
  int quant_precision = 5;
  bool mpeg_quant = false;
  uint8_t intra_matrix[64];  // natural order
  uint8_t inter_matrix[64];
  bool quarter_sample = false;
  bool resync_marker_disable = true;
  bool data_partitioned = false;
  bool reversible_vlc = false;
  bool short_header = false;
};

struct VopHeader {
  CodingType type = CodingType::kNone;
  bool coded = true;
  int64_t time = 0;  // ticks of 1 / time_increment_resolution
  int rounding = 0;
  int intra_dc_vlc_thr = 0;
  bool top_field_first = false;
  bool alternate_vertical_scan = false;
  int quant = 1;
  int fcode_forward = 1;
  int fcode_backward = 1;
  // S-VOP: the global motion warping points (du, dv in sprite accuracy).
  int warp_du[4] = {0, 0, 0, 0};
  int warp_dv[4] = {0, 0, 0, 0};
  int brightness_change = 0;
  // Short video header: GOBs and their macroblock rows.
  int gob_rows = 1;
};

// Time base of the VOPs: the seconds of the last I/P VOP and of the one
// before it (B-VOPs count from the earlier one).
struct TimeBase {
  int64_t seconds = 0;        // of the latest non-B VOP
  int64_t last_seconds = 0;   // of the non-B VOP before it
  int64_t last_ref_time = 0;  // time of the latest non-B VOP
  int64_t ref_distance = 0;   // time between the two latest non-B VOPs
  int short_header_tr = -1;   // last temporal reference
  int64_t short_header_time = 0;
};

// Each returns a Result: kOk, kBitstreamError, kUnsupported or kTooLarge.
// The reader stands after the start code.
// For kUnsupported, *unsupported_tool (when given) names the coding tool.
int parse_video_object_layer(BitReader& br, VolHeader* vol, const char** unsupported_tool = nullptr);
void parse_group_of_vop(BitReader& br, TimeBase* tb);
int parse_vop(BitReader& br, const VolHeader& vol, TimeBase* tb, VopHeader* vop);
// The reader stands at the 22-bit picture start code; vol gets the size.
int parse_short_header_picture(BitReader& br, VolHeader* vol, TimeBase* tb, VopHeader* vop);
// The sprite trajectory of an S-VOP (also repeated in video packet headers).
bool parse_sprite_trajectory(BitReader& br, const VolHeader& vol, VopHeader* vop);

// Bits of macroblock_number in a video packet header.
int macroblock_number_bits(int mb_count);
// Zero bits before the 1 of a resync marker.
int resync_prefix_zeros(const VopHeader& vop);

// Default quantiser matrices (natural order) and the scans.
extern const uint8_t kDefaultIntraMatrix[64];
extern const uint8_t kDefaultInterMatrix[64];
extern const uint8_t kZigzagScan[64];
extern const uint8_t kAlternateHorizontalScan[64];
extern const uint8_t kAlternateVerticalScan[64];

}  // namespace mpeg4
