// Test clips as frame records, and their pictures as an independent decoder
// (ffmpeg) gives them, converted to RGB by this library's conversion.
#pragma once
#include <cmath>
#include <string>
#include <vector>

#include "ovodec_fixture.h"
#include "ovodec_internal.h"
#include "reference_tools.h"

namespace ovotest {

struct Clip {
  int width = 0, height = 0;
  std::vector<uint8_t> es;
  std::vector<zebsim::EsPicture> pictures;
  std::vector<std::vector<uint8_t>> i420;  // ffmpeg's pictures
};

inline std::string clip_path(const std::string& name) { return velmora::testing::clips_dir() + "/" + name + ".m4v"; }

// Loads a clip and, when with_reference, ffmpeg's decode of it.
inline Clip load_clip(const std::string& name, int width, int height, const std::string& work_dir,
                      bool with_reference = true) {
  Clip c;
  c.width = width;
  c.height = height;
  c.es = zebsim::read_binary_file(clip_path(name));
  c.pictures = zebsim::split_pictures(c.es);
  if (!with_reference) return c;
  const std::string raw = work_dir + "/" + name + ".yuv";
  if (!run("ffmpeg -nostdin -loglevel error -y -i " + shell_quoted(clip_path(name)) + " -f rawvideo -pix_fmt yuv420p " +
           shell_quoted(raw))) {
    return c;
  }
  const auto bytes = zebsim::read_binary_file(raw);
  const size_t frame = static_cast<size_t>(width) * height * 3 / 2;
  for (size_t at = 0; at + frame <= bytes.size(); at += frame) {
    c.i420.emplace_back(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.begin() + static_cast<ptrdiff_t>(at + frame));
  }
  return c;
}

inline std::vector<uint8_t> picture_bytes(const Clip& c, size_t k) {
  const auto& p = c.pictures[k];
  return std::vector<uint8_t>(c.es.begin() + static_cast<ptrdiff_t>(p.offset),
                              c.es.begin() + static_cast<ptrdiff_t>(p.offset + p.size));
}

// Picture k as the recorder stores it: a recorder packet in a frame record.
inline std::vector<uint8_t> clip_record(const Clip& c, size_t k, zebsim::FrameSpec spec = video_spec()) {
  const auto bytes = picture_bytes(c, k);
  zebsim::PacketSpec packet;
  packet.video = true;
  packet.pts = 3003 * k;
  return record(spec, zebsim::recorder_packet(packet, bytes.data(), bytes.size()));
}

// ffmpeg's picture k through this library's conversion.
inline std::vector<uint8_t> reference_rgb(const Clip& c, size_t k, bool deinterlace = false) {
  const auto& f = c.i420[k];
  const int w = c.width, h = c.height;
  const uint8_t* y = f.data();
  const uint8_t* u = y + static_cast<size_t>(w) * h;
  const uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
  ovo::ConvertScratch scratch;
  ovo::yuv420_to_bgr(ovo::YuvView{y, u, v, w, w / 2, w, h}, rgb.data(), deinterlace, scratch);
  return rgb;
}

inline double psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * n / sum);
}

}  // namespace ovotest
