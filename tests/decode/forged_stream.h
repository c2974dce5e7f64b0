// Forged video: a stream header declaring any picture size, written bit by
// bit from the MPEG-4 Visual syntax (simple object, rectangular,
// progressive), followed by an intra VOP without macroblock data, wrapped in
// a recorder packet. What a broken recorder or a host on the LAN can send.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "bit_writer.h"
#include "zebsim/packets.h"

namespace forged {

// Video object start (00 00 01 00) and video object layer header.
inline std::vector<uint8_t> stream_header(int width, int height) {
  velmora::testing::BitWriter bits({0, 0, 1, 0x00, 0, 0, 1, 0x20});
  auto put = [&](uint32_t v, int n) { bits.put(v, n); };
  put(0, 1);    // random_accessible_vol
  put(1, 8);    // video_object_type_indication: simple
  put(0, 1);    // is_object_layer_identifier
  put(1, 4);    // aspect_ratio_info: square
  put(0, 1);    // vol_control_parameters
  put(0, 2);    // video_object_layer_shape: rectangular
  put(1, 1);    // marker
  put(30, 16);  // vop_time_increment_resolution
  put(1, 1);    // marker
  put(0, 1);    // fixed_vop_rate
  put(1, 1);    // marker
  put(static_cast<uint32_t>(width), 13);
  put(1, 1);  // marker
  put(static_cast<uint32_t>(height), 13);
  put(1, 1);     // marker
  put(0, 1);     // interlaced
  put(1, 1);     // obmc_disable
  put(0, 1);     // sprite_enable
  put(0, 1);     // not_8_bit
  put(0, 1);     // quant_type
  put(1, 1);     // complexity_estimation_disable
  put(1, 1);     // resync_marker_disable
  put(0, 1);     // data_partitioned
  put(0, 1);     // scalability
  bits.stuff();  // next_start_code
  return bits.bytes();
}

// An intra VOP (vop_coding_type 0, time 0, coded, quantiser 3) whose
// macroblocks are missing.
inline std::vector<uint8_t> empty_intra_vop() { return {0, 0, 1, 0xB6, 0x10, 0x60, 0x80}; }

// A recorder video packet of the channel declaring width x height.
inline std::vector<uint8_t> packet(int channel, int width, int height, uint64_t pts = 3000) {
  std::vector<uint8_t> es = stream_header(width, height);
  const std::vector<uint8_t> vop = empty_intra_vop();
  es.insert(es.end(), vop.begin(), vop.end());
  zebsim::PacketSpec spec;
  spec.channel = channel;
  spec.pts = pts;
  return zebsim::recorder_packet(spec, es.data(), es.size());
}

// Resident memory of this process in bytes (VmRSS).
inline size_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long total = 0, resident = 0;
  const int n = std::fscanf(f, "%lu %lu", &total, &resident);
  std::fclose(f);
  return n == 2 ? resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace forged
