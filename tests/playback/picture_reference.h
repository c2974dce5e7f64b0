// Pictures to compare the exported BMP files with: the test clips decoded by
// ffmpeg and turned into bottom-up BGR with the video-range BT.601
// conversion, recorder frames built from the clips' pictures, and a BMP
// reader.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "reference_pictures.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace pbtest {

struct Clip {
  int width = 0, height = 0;
  std::vector<uint8_t> es;
  std::vector<zebsim::EsPicture> pictures;
  std::vector<std::vector<uint8_t>> bgr;  // ffmpeg's pictures, bottom-up BGR

  std::vector<uint8_t> picture(size_t k) const {
    const auto& p = pictures[k];
    return std::vector<uint8_t>(es.begin() + static_cast<long>(p.offset),
                                es.begin() + static_cast<long>(p.offset + p.size));
  }
  // The indexes of the intra pictures.
  std::vector<size_t> intra() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < pictures.size(); ++i)
      if (pictures[i].coding_type == 1) out.push_back(i);
    return out;
  }
};

inline Clip load_clip(const std::string& name, int width, int height) {
  Clip c;
  c.width = width;
  c.height = height;
  const std::string path = velmora::testing::clips_dir() + "/" + name + ".m4v";
  c.es = zebsim::read_binary_file(path);
  c.pictures = zebsim::split_pictures(c.es);
  for (const auto& frame : velmora::testing::ffmpeg_i420_frames(path, width, height))
    c.bgr.push_back(velmora::testing::i420_to_bgr(frame.data(), width, height));
  return c;
}

// Picture k of the clip as the recorder stores it: a recorder packet in a
// frame record; picture 0 carries the stream headers.
inline std::vector<uint8_t> clip_frame(const Clip& c, size_t k, uint8_t camera_set, bool with_headers = false) {
  std::vector<uint8_t> bytes;
  if (with_headers && k != 0) {
    const auto first = c.picture(0);
    for (size_t i = 0; i + 3 < first.size(); ++i) {
      if (first[i] == 0 && first[i + 1] == 0 && first[i + 2] == 1 && first[i + 3] == 0xB6) {
        bytes.assign(first.begin(), first.begin() + static_cast<long>(i));
        break;
      }
    }
  }
  const auto pic = c.picture(k);
  bytes.insert(bytes.end(), pic.begin(), pic.end());
  zebsim::PacketSpec packet;
  packet.pts = 3003 * k;
  zebsim::FrameSpec spec;
  spec.camera_set = camera_set;
  spec.time = 1714557600;
  const auto payload = zebsim::recorder_packet(packet, bytes.data(), bytes.size());
  return zebsim::frame_record(spec, payload.data(), payload.size());
}

using velmora::testing::Bmp;
using velmora::testing::read_bmp;

// PSNR of a BMP against the part of a full bottom-up picture (of full_width
// pixels) whose bottom-left corner is at (column, row).
inline double psnr(const Bmp& bmp, const std::vector<uint8_t>& full, int full_width, int column, int row) {
  double se = 0;
  size_t n = 0;
  for (int y = 0; y < bmp.height; ++y) {
    for (int x = 0; x < bmp.width * 3; ++x) {
      const size_t at = (static_cast<size_t>(row + y) * full_width + column) * 3 + static_cast<size_t>(x);
      if (at >= full.size()) return 0;
      const double diff = static_cast<double>(bmp.pixels[static_cast<size_t>(y) * bmp.width * 3 + x]) - full[at];
      se += diff * diff;
      ++n;
    }
  }
  if (n == 0) return 0;
  const double mse = se / static_cast<double>(n);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace pbtest
