// Independent pictures for comparison: the clip decoded by ffmpeg to I420 and
// turned into bottom-up BGR with the video-range conversion, and the BMP
// picture files the live view writes.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace live_test {

struct Yuv {
  int width = 0, height = 0;
  std::vector<std::vector<uint8_t>> frames;  // I420
};

inline Yuv ffmpeg_decode(const std::string& clip, int width, int height) {
  Yuv out;
  out.width = width;
  out.height = height;
  const std::string cmd = "ffmpeg -nostdin -loglevel error -i '" + clip + "' -f rawvideo -pix_fmt yuv420p -";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  const size_t frame = static_cast<size_t>(width) * height * 3 / 2;
  std::vector<uint8_t> buf(frame);
  while (std::fread(buf.data(), 1, frame, p) == frame) out.frames.push_back(buf);
  pclose(p);
  return out;
}

inline uint8_t clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Bottom-up BGR rows of the whole picture.
inline std::vector<uint8_t> to_bgr(const std::vector<uint8_t>& i420, int w, int h) {
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
  const uint8_t* Y = i420.data();
  const uint8_t* U = Y + w * h;
  const uint8_t* V = U + (w / 2) * (h / 2);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = &out[static_cast<size_t>(h - 1 - y) * w * 3];
    for (int x = 0; x < w; ++x) {
      const int yy = 9539 * (Y[y * w + x] - 16);
      const int u = U[(y / 2) * (w / 2) + x / 2] - 128, v = V[(y / 2) * (w / 2) + x / 2] - 128;
      row[x * 3 + 0] = clamp8((yy + 16525 * u + 4096) >> 13);
      row[x * 3 + 1] = clamp8((yy - 3209 * u - 6660 * v + 4096) >> 13);
      row[x * 3 + 2] = clamp8((yy + 13075 * v + 4096) >> 13);
    }
  }
  return out;
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
  if (bmp.width != w || bmp.height != h - 8) return 0;
  double se = 0;
  const size_t offset = static_cast<size_t>(8) * w * 3;
  for (size_t i = 0; i < bmp.pixels.size(); ++i) {
    const double diff = static_cast<double>(bmp.pixels[i]) - full[offset + i];
    se += diff * diff;
  }
  const double mse = se / static_cast<double>(bmp.pixels.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace live_test
