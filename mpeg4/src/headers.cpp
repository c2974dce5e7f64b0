#include "headers.h"

#include <cstring>

#include "vlc.h"

namespace mpeg4 {

const uint8_t kDefaultIntraMatrix[64] = {
    8,  17, 18, 19, 21, 23, 25, 27, 17, 18, 19, 21, 23, 25, 27, 28, 20, 21, 22, 23, 24, 26,
    28, 30, 21, 22, 23, 24, 26, 28, 30, 32, 22, 23, 24, 26, 28, 30, 32, 35, 23, 24, 26, 28,
    30, 32, 35, 38, 25, 26, 28, 30, 32, 35, 38, 41, 27, 28, 30, 32, 35, 38, 41, 45,
};

const uint8_t kDefaultInterMatrix[64] = {
    16, 17, 18, 19, 20, 21, 22, 23, 17, 18, 19, 20, 21, 22, 23, 24, 18, 19, 20, 21, 22, 23,
    24, 25, 19, 20, 21, 22, 23, 24, 26, 27, 20, 21, 22, 23, 25, 26, 27, 28, 21, 22, 23, 24,
    26, 27, 28, 30, 22, 23, 24, 26, 27, 28, 30, 31, 23, 24, 25, 27, 28, 30, 31, 33,
};

const uint8_t kZigzagScan[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

const uint8_t kAlternateHorizontalScan[64] = {
    0,  1,  2,  3,  8,  9,  16, 17, 10, 11, 4,  5,  6,  7,  15, 14, 13, 12, 19, 18, 24, 25,
    32, 33, 26, 27, 20, 21, 22, 23, 28, 29, 30, 31, 34, 35, 40, 41, 48, 49, 42, 43, 36, 37,
    38, 39, 44, 45, 46, 47, 50, 51, 56, 57, 58, 59, 52, 53, 54, 55, 60, 61, 62, 63,
};

const uint8_t kAlternateVerticalScan[64] = {
    0,  8,  16, 24, 1,  9,  2,  10, 17, 25, 32, 40, 48, 56, 57, 49, 41, 33, 26, 18, 3,  11,
    4,  12, 19, 27, 34, 42, 50, 58, 35, 43, 51, 59, 20, 28, 5,  13, 6,  14, 21, 29, 36, 44,
    52, 60, 37, 45, 53, 61, 22, 30, 7,  15, 23, 31, 38, 46, 54, 62, 39, 47, 55, 63,
};

namespace {

bool marker(BitReader& br) { return br.get1() == 1; }

// A matrix sent in zigzag order; a 0 ends it and the last value repeats.
bool read_matrix(BitReader& br, uint8_t* m) {
  int last = 0;
  int i = 0;
  for (; i < 64; ++i) {
    const int v = static_cast<int>(br.get(8));
    if (v == 0) break;
    last = v;
    m[kZigzagScan[i]] = static_cast<uint8_t>(v);
  }
  if (i == 0) return false;  // the first value may not be 0
  for (; i < 64; ++i) m[kZigzagScan[i]] = static_cast<uint8_t>(last);
  return true;
}

int bits_for(int n) {  // bits to code values 0 .. n - 1, at least 1
  int b = 1;
  while ((1 << b) < n) ++b;
  return b;
}

}  // namespace

int macroblock_number_bits(int mb_count) { return bits_for(mb_count); }

int resync_prefix_zeros(const VopHeader& vop) {
  switch (vop.type) {
    case CodingType::kI: return 16;
    case CodingType::kB: {
      int f = vop.fcode_forward > vop.fcode_backward ? vop.fcode_forward : vop.fcode_backward;
      if (f < 2) f = 2;
      return f + 15;
    }
    default: return vop.fcode_forward + 15;
  }
}

int parse_video_object_layer(BitReader& br, VolHeader* out, const char** unsupported_tool) {
  VolHeader vol;
  auto refuse = [&](const char* tool) {
    if (unsupported_tool) *unsupported_tool = tool;
    return kUnsupported;
  };
  br.skip(1);  // random_accessible_vol
  const int object_type = static_cast<int>(br.get(8));
  if (object_type == 2) return refuse("binary-only shape object type");
  if (br.get1()) {  // is_object_layer_identifier
    vol.verid = static_cast<int>(br.get(4));
    br.skip(3);  // video_object_layer_priority
  }
  if (br.get(4) == 0xF) br.skip(16);  // aspect_ratio_info, extended PAR
  if (br.get1()) {                    // vol_control_parameters
    br.skip(2);                       // chroma_format
    vol.low_delay = br.get1() != 0;
    vol.low_delay_present = true;
    if (br.get1()) {  // vbv_parameters
      br.skip(15 + 1 + 15 + 1 + 15 + 1 + 3 + 11 + 1 + 15 + 1);
    }
  }
  const int shape = static_cast<int>(br.get(2));
  if (shape != 0) return refuse("arbitrary shape (only rectangular video objects are decoded)");
  if (!marker(br)) return kBitstreamError;
  vol.time_increment_resolution = static_cast<int>(br.get(16));
  if (vol.time_increment_resolution == 0) return kBitstreamError;
  vol.time_increment_bits = bits_for(vol.time_increment_resolution);
  if (!marker(br)) return kBitstreamError;
  if (br.get1()) br.skip(vol.time_increment_bits);  // fixed_vop_rate, fixed_vop_time_increment
  if (!marker(br)) return kBitstreamError;
  vol.width = static_cast<int>(br.get(13));
  if (!marker(br)) return kBitstreamError;
  vol.height = static_cast<int>(br.get(13));
  if (!marker(br)) return kBitstreamError;
  if (vol.width <= 0 || vol.height <= 0) return kBitstreamError;
  if (vol.width > 4095 || vol.height > 4095) return kTooLarge;
  vol.interlaced = br.get1() != 0;
  br.skip(1);  // obmc_disable (overlapped motion compensation is not in any visual profile)
  vol.sprite_enable = static_cast<int>(vol.verid == 1 ? br.get(1) : br.get(2));
  if (vol.sprite_enable == kSpriteStatic || vol.sprite_enable == 3) return refuse("static sprites");
  if (vol.sprite_enable == kSpriteGmc) {
    vol.sprite_warping_points = static_cast<int>(br.get(6));
    vol.sprite_warping_accuracy = static_cast<int>(br.get(2));
    vol.sprite_brightness_change = br.get1() != 0;
    if (vol.sprite_warping_points > 3) return refuse("GMC with more than three warping points");
    // Pictures of such a layer cannot be decoded: the layer is refused as
    // a whole rather than picture by picture.
    if (vol.sprite_brightness_change) return refuse("GMC brightness change (sprite_brightness_change)");
  }
  if (br.get1()) {  // not_8_bit
    vol.quant_precision = static_cast<int>(br.get(4));
    const int bits_per_pixel = static_cast<int>(br.get(4));
    if (bits_per_pixel != 8) return refuse("samples of other than 8 bits");
    if (vol.quant_precision < 3 || vol.quant_precision > 9) return kBitstreamError;
  }
  std::memcpy(vol.intra_matrix, kDefaultIntraMatrix, 64);
  std::memcpy(vol.inter_matrix, kDefaultInterMatrix, 64);
  vol.mpeg_quant = br.get1() != 0;
  if (vol.mpeg_quant) {
    if (br.get1() && !read_matrix(br, vol.intra_matrix)) return kBitstreamError;
    if (br.get1() && !read_matrix(br, vol.inter_matrix)) return kBitstreamError;
  }
  if (vol.verid != 1) vol.quarter_sample = br.get1() != 0;
  if (!br.get1()) return refuse("complexity estimation headers");
  vol.resync_marker_disable = br.get1() != 0;
  vol.data_partitioned = br.get1() != 0;
  if (vol.data_partitioned) vol.reversible_vlc = br.get1() != 0;
  if (vol.verid != 1) {
    if (br.get1()) return refuse("NEWPRED");
    if (br.get1()) return refuse("reduced resolution VOPs");
  }
  if (br.get1()) return refuse("scalability");
  if (br.overrun()) return kBitstreamError;
  *out = vol;
  return kOk;
}

void parse_group_of_vop(BitReader& br, TimeBase* tb) {
  const int hours = static_cast<int>(br.get(5));
  const int minutes = static_cast<int>(br.get(6));
  br.skip(1);
  const int seconds = static_cast<int>(br.get(6));
  if (br.overrun()) return;
  tb->seconds = hours * 3600 + minutes * 60 + seconds;
}

bool parse_sprite_trajectory(BitReader& br, const VolHeader& vol, VopHeader* vop) {
  const VlcTables& t = vlc_tables();
  for (int i = 0; i < vol.sprite_warping_points; ++i) {
    for (int c = 0; c < 2; ++c) {
      const int len = t.sprite_dmv_length.decode(br);
      if (len == Vlc::kInvalid) return false;
      int v = 0;
      if (len > 0) {
        v = static_cast<int>(br.get(len));
        if (!(v >> (len - 1))) v -= (1 << len) - 1;
      }
      if (!marker(br)) return false;
      (c == 0 ? vop->warp_du : vop->warp_dv)[i] = v;
    }
  }
  return true;
}

int parse_vop(BitReader& br, const VolHeader& vol, TimeBase* tb, VopHeader* out) {
  VopHeader vop;
  vop.type = static_cast<CodingType>(br.get(2) + 1);
  int modulo = 0;
  while (br.get1()) {
    if (++modulo > 3600 || br.overrun()) return kBitstreamError;
  }
  if (!marker(br)) return kBitstreamError;
  const int increment = static_cast<int>(br.get(vol.time_increment_bits));
  if (!marker(br)) return kBitstreamError;
  const int64_t res = vol.time_increment_resolution;
  if (vop.type != CodingType::kB) {
    tb->last_seconds = tb->seconds;
    tb->seconds += modulo;
    vop.time = tb->seconds * res + increment;
    tb->ref_distance = vop.time - tb->last_ref_time;
    tb->last_ref_time = vop.time;
  } else {
    vop.time = (tb->last_seconds + modulo) * res + increment;
  }
  vop.coded = br.get1() != 0;
  if (!vop.coded) {
    *out = vop;
    return br.overrun() ? kBitstreamError : kOk;
  }
  if (vop.type == CodingType::kS && vol.sprite_enable != kSpriteGmc) return kUnsupported;
  if (vop.type == CodingType::kP || vop.type == CodingType::kS) vop.rounding = br.get1();
  vop.intra_dc_vlc_thr = static_cast<int>(br.get(3));
  if (vol.interlaced) {
    vop.top_field_first = br.get1() != 0;
    vop.alternate_vertical_scan = br.get1() != 0;
  }
  if (vop.type == CodingType::kS) {
    if (vol.sprite_warping_points > 0 && !parse_sprite_trajectory(br, vol, &vop)) return kBitstreamError;
    if (vol.sprite_brightness_change) return kUnsupported;
  }
  vop.quant = static_cast<int>(br.get(vol.quant_precision));
  if (vop.quant == 0) return kBitstreamError;
  if (vop.type != CodingType::kI) {
    vop.fcode_forward = static_cast<int>(br.get(3));
    if (vop.fcode_forward == 0) return kBitstreamError;
  }
  if (vop.type == CodingType::kB) {
    vop.fcode_backward = static_cast<int>(br.get(3));
    if (vop.fcode_backward == 0) return kBitstreamError;
  }
  if (br.overrun()) return kBitstreamError;
  *out = vop;
  return kOk;
}

int parse_short_header_picture(BitReader& br, VolHeader* vol, TimeBase* tb, VopHeader* out) {
  if (br.get(22) != 0x20) return kBitstreamError;  // picture_start_code
  const int tr = static_cast<int>(br.get(8));      // temporal_reference
  if (!marker(br) || br.get1() != 0) return kBitstreamError;
  br.skip(3);  // split screen, document camera, freeze release
  static constexpr int kWidths[8] = {0, 128, 176, 352, 704, 1408, 0, 0};
  static constexpr int kHeights[8] = {0, 96, 144, 288, 576, 1152, 0, 0};
  static constexpr int kGobRows[8] = {0, 1, 1, 1, 2, 4, 0, 0};
  const int format = static_cast<int>(br.get(3));
  if (kWidths[format] == 0) return kUnsupported;  // extended picture types
  VopHeader vop;
  vop.type = br.get1() ? CodingType::kP : CodingType::kI;
  if (br.get(4) != 0) return kUnsupported;  // optional H.263 modes
  vop.quant = static_cast<int>(br.get(5));
  if (vop.quant == 0) return kBitstreamError;
  if (br.get1() != 0) return kUnsupported;  // continuous presence multipoint
  while (br.get1()) {                       // pei, psupp
    br.skip(8);
    if (br.overrun()) return kBitstreamError;
  }
  vop.gob_rows = kGobRows[format];
  vop.fcode_forward = 1;
  if (br.overrun()) return kBitstreamError;

  VolHeader v;
  v.short_header = true;
  v.width = kWidths[format];
  v.height = kHeights[format];
  v.time_increment_resolution = 30000;
  v.time_increment_bits = 15;
  std::memcpy(v.intra_matrix, kDefaultIntraMatrix, 64);
  std::memcpy(v.inter_matrix, kDefaultInterMatrix, 64);
  *vol = v;
  // Temporal reference counts pictures at 29.97 Hz modulo 256.
  if (tb->short_header_tr >= 0) tb->short_header_time += ((tr - tb->short_header_tr) & 255) * 1001;
  tb->short_header_tr = tr;
  vop.time = tb->short_header_time;
  *out = vop;
  return kOk;
}

}  // namespace mpeg4
