// Independent pictures for comparison: the clip decoded by ffmpeg to I420 and
// turned into bottom-up BGR with the video-range conversion, and the BMP
// picture files the live view writes.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "reference_pictures.h"

namespace live_test {

struct Yuv {
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> frames;  // I420
};

inline Yuv ffmpeg_decode(const std::string& clip, int width, int height) {
  Yuv out;
  out.width = width;
  out.height = height;
  out.frames = velmora::testing::ffmpeg_i420_frames(clip, width, height);
  return out;
}

// Bottom-up BGR rows of the whole picture.
inline std::vector<uint8_t> to_bgr(const std::vector<uint8_t>& i420, int w, int h) {
  return velmora::testing::i420_to_bgr(i420.data(), w, h);
}

struct Bmp {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;  // bottom-up rows of width * 3 bytes
};

inline bool read_bmp(const std::string& path, Bmp* bmp) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> d;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) d.insert(d.end(), buf, buf + n);
  std::fclose(f);
  if (d.size() < 54 || d[0] != 'B' || d[1] != 'M') return false;
  auto le32 = [&](size_t at) { return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | d[at + 3] << 24; };
  bmp->width = le32(18);
  bmp->height = le32(22);
  const size_t bytes = static_cast<size_t>(bmp->width) * bmp->height * 3;
  if (bmp->width <= 0 || bmp->height <= 0 || d.size() < 54 + bytes) return false;
  bmp->pixels.assign(d.begin() + 54, d.begin() + 54 + static_cast<long>(bytes));
  return true;
}

// PSNR of a picture file against a full bottom-up picture of height h: the
// file holds the picture's rows from the ninth bottom row up.
inline double psnr_against(const Bmp& bmp, const std::vector<uint8_t>& full, int w, int h) {
  return velmora::testing::psnr_from_ninth_row(bmp.pixels, bmp.width, bmp.height, full, w, h);
}

}  // namespace live_test
