// Independent pictures to compare the libraries' picture files with: a clip
// decoded by ffmpeg to I420, turned into bottom-up BGR rows with the
// video-range BT.601 conversion, and the PSNR of a picture file that holds
// such a picture from its ninth bottom row up.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "testing.h"

namespace velmora::testing {

// Every frame of the clip as ffmpeg decodes it (I420, width x height).
inline std::vector<std::vector<uint8_t>> ffmpeg_i420_frames(const std::string& clip, int width, int height) {
  std::vector<std::vector<uint8_t>> frames;
  const std::string cmd = "ffmpeg -nostdin -loglevel error -i '" + clip + "' -f rawvideo -pix_fmt yuv420p -";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return frames;
  const size_t frame = static_cast<size_t>(width) * height * 3 / 2;
  std::vector<uint8_t> buf(frame);
  while (std::fread(buf.data(), 1, frame, p) == frame) frames.push_back(buf);
  pclose(p);
  return frames;
}

// A clip's frames as ffmpeg decodes them, with their size.
struct ClipFrames {
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> i420;
};
inline ClipFrames ffmpeg_clip_frames(const std::string& clip, int width, int height) {
  return ClipFrames{width, height, ffmpeg_i420_frames(clip, width, height)};
}

// The BT.601 conversion from Y, Cb and Cr to blue, green and red, worked out
// in double precision from its definition: with Kr = 0.299, Kb = 0.114 and
// Kg = 1 - Kr - Kb, R = Y + 2 (1 - Kr) Cr, B = Y + 2 (1 - Kb) Cb and
// G = (Y - Kr R - Kb B) / Kg, Cb and Cr taken less 128. The video range
// first stretches Y - 16 by 255 / 219 and the chroma by 255 / 224; the full
// range (JFIF) takes them as they are. Nothing is clamped.
enum class YccRange { kVideo, kFull };
inline void ycbcr_to_bgr(int y, int cb, int cr, YccRange range, double bgr[3]) {
  constexpr double kr = 0.299, kb = 0.114, kg = 1 - kr - kb;
  const bool video = range == YccRange::kVideo;
  const double luma = video ? (y - 16) * 255.0 / 219 : y;
  const double u = (cb - 128) * (video ? 255.0 / 224 : 1.0), v = (cr - 128) * (video ? 255.0 / 224 : 1.0);
  const double r = luma + 2 * (1 - kr) * v, b = luma + 2 * (1 - kb) * u;
  bgr[0] = b;
  bgr[1] = (luma - kr * r - kb * b) / kg;
  bgr[2] = r;
}

// Bottom-up BGR rows of a whole I420 picture (video range, rounded).
inline std::vector<uint8_t> i420_to_bgr(const uint8_t* i420, int w, int h) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
  const uint8_t* Y = i420;
  const uint8_t* U = Y + w * h;
  const uint8_t* V = U + (w / 2) * (h / 2);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = &out[static_cast<size_t>(h - 1 - y) * w * 3];
    for (int x = 0; x < w; ++x) {
      double bgr[3];
      ycbcr_to_bgr(Y[y * w + x], U[(y / 2) * (w / 2) + x / 2], V[(y / 2) * (w / 2) + x / 2], YccRange::kVideo, bgr);
      for (int c = 0; c < 3; ++c) row[x * 3 + c] = static_cast<uint8_t>(std::lround(std::clamp(bgr[c], 0.0, 255.0)));
    }
  }
  return out;
}

// A 24-bit BMP picture file as read back: the size its header gives, and the
// pixels as bottom-up rows of width x 3 bytes, the padding left out.
struct Bmp {
  int width = 0, height = 0;
  uint32_t file_size = 0;
  std::vector<uint8_t> pixels;
};

// False unless the file is one whole 24-bit BMP picture: pixels right behind
// the 54 header bytes, rows padded to four bytes, and the size the header
// gives the size of the file.
inline bool read_bmp(const std::string& path, Bmp* bmp) {
  const std::string d = read_file(path);
  const auto le = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(d[at + static_cast<size_t>(i)]);
    return v;
  };
  if (d.size() < 54 || d[0] != 'B' || d[1] != 'M' || le(10, 4) != 54 || le(28, 2) != 24) return false;
  bmp->file_size = le(2, 4);
  bmp->width = static_cast<int>(le(18, 4));
  bmp->height = static_cast<int>(le(22, 4));
  if (bmp->width <= 0 || bmp->height <= 0) return false;
  const size_t row = static_cast<size_t>(bmp->width) * 3, padded = (row + 3) / 4 * 4;
  if (bmp->file_size != d.size() || d.size() != 54 + padded * static_cast<size_t>(bmp->height)) return false;
  bmp->pixels.clear();
  for (size_t y = 0; y < static_cast<size_t>(bmp->height); ++y)
    bmp->pixels.insert(bmp->pixels.end(), d.begin() + static_cast<long>(54 + padded * y),
                       d.begin() + static_cast<long>(54 + padded * y + row));
  return true;
}

// PSNR of a picture file's pixels (bmp_width x bmp_height, bottom-up rows)
// against a full bottom-up picture of w x h: the file holds the rows from the
// ninth bottom row up. 0 when the sizes do not fit together.
inline double psnr_from_ninth_row(const std::vector<uint8_t>& pixels, int bmp_width, int bmp_height,
                                  const std::vector<uint8_t>& full, int w, int h) {
  if (bmp_width != w || bmp_height != h - 8 || pixels.empty()) return 0;
  const size_t offset = static_cast<size_t>(8) * w * 3;
  if (offset + pixels.size() > full.size()) return 0;
  double se = 0;
  for (size_t i = 0; i < pixels.size(); ++i) {
    const double diff = static_cast<double>(pixels[i]) - full[offset + i];
    se += diff * diff;
  }
  const double mse = se / static_cast<double>(pixels.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace velmora::testing
