#include "picture_util.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "testing.h"

namespace jktest {

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(f);
}

static uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

Bmp load_bmp(const std::string& path) {
  Bmp out;
  std::vector<uint8_t> b = read_bytes(path);
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || (b[28] | b[29] << 8) != 24) return out;
  uint32_t off = le32(&b[10]);
  int w = static_cast<int32_t>(le32(&b[18])), h = static_cast<int32_t>(le32(&b[22]));
  if (w <= 0 || h <= 0) return out;
  size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
  if (off + stride * h > b.size()) return out;
  out.width = w;
  out.height = h;
  out.rgb.resize(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y) {
    const uint8_t* row = &b[off + stride * (h - 1 - y)];
    std::copy(row, row + 3 * w, out.rgb.begin() + static_cast<ptrdiff_t>(y) * w * 3);
  }
  out.ok = true;
  return out;
}

bool save_bmp(const std::string& path, const Bmp& bmp) {
  size_t stride = (static_cast<size_t>(bmp.width) * 3 + 3) & ~size_t{3};
  std::vector<uint8_t> b(54 + stride * bmp.height, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, static_cast<uint32_t>(b.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<uint32_t>(bmp.width));
  put32(22, static_cast<uint32_t>(bmp.height));
  b[26] = 1;
  b[28] = 24;
  for (int y = 0; y < bmp.height; ++y)
    std::copy(bmp.rgb.begin() + static_cast<ptrdiff_t>(y) * bmp.width * 3,
              bmp.rgb.begin() + static_cast<ptrdiff_t>(y + 1) * bmp.width * 3,
              b.begin() + 54 + static_cast<ptrdiff_t>(stride * (bmp.height - 1 - y)));
  return write_bytes(path, b);
}

Difference compare(const Bmp& a, const Bmp& b) {
  int w = std::min(a.width, b.width), h = std::min(a.height, b.height);
  double se = 0, ae = 0;
  size_t n = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < 3 * w; ++x) {
      int d = a.rgb[static_cast<size_t>(y) * a.width * 3 + x] - b.rgb[static_cast<size_t>(y) * b.width * 3 + x];
      se += d * d;
      ae += std::abs(d);
      ++n;
    }
  Difference r;
  if (n == 0) return r;
  r.mae = ae / n;
  double mse = se / n;
  r.psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
  return r;
}

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

bool have_tools() {
  static const bool ok =
      run("command -v ffmpeg >/dev/null && command -v cjpeg >/dev/null && "
          "command -v djpeg >/dev/null");
  return ok;
}

std::string picture_dir() {
  std::string dir = velmora::testing::build_dir() + "/tests/jpegkit/pictures";
  run("mkdir -p '" + dir + "'");
  return dir;
}

std::string picture(const std::string& name, const std::string& lavfi) {
  std::string path = picture_dir() + "/" + name + ".bmp";
  if (velmora::testing::file_exists(path)) return path;
  // Made under a name of its own and renamed, so tests running side by side
  // never see half a file.
  std::string tmp = path + "." + std::to_string(getpid()) + ".bmp";
  if (!run("ffmpeg -nostdin -loglevel error -y -f lavfi -i '" + lavfi + "' -frames:v 1 -pix_fmt bgr24 '" + tmp + "'"))
    return "";
  std::rename(tmp.c_str(), path.c_str());
  return path;
}

std::vector<std::vector<int>> jpeg_quant_tables(const std::vector<uint8_t>& j) {
  std::vector<std::vector<int>> tables(4);
  size_t pos = 2;
  while (pos + 4 <= j.size() && j[pos] == 0xFF && j[pos + 1] != 0xDA) {
    size_t len = static_cast<size_t>(j[pos + 2] << 8 | j[pos + 3]);
    if (j[pos + 1] == 0xDB) {
      size_t p = pos + 4;
      while (p < pos + 2 + len && p < j.size()) {
        int pq = j[p] >> 4, tq = j[p] & 3;
        std::vector<int> t;
        for (int k = 0; k < 64; ++k) t.push_back(pq ? j[p + 1 + 2 * k] << 8 | j[p + 2 + 2 * k] : j[p + 1 + k]);
        tables[tq] = t;
        p += 1 + 64 * (pq + 1);
      }
    }
    pos += 2 + len;
  }
  return tables;
}

std::pair<int, int> jpeg_size(const std::vector<uint8_t>& j) {
  size_t pos = 2;
  while (pos + 9 <= j.size() && j[pos] == 0xFF) {
    size_t len = static_cast<size_t>(j[pos + 2] << 8 | j[pos + 3]);
    if (j[pos + 1] == 0xC0 || j[pos + 1] == 0xC1) return {j[pos + 7] << 8 | j[pos + 8], j[pos + 5] << 8 | j[pos + 6]};
    pos += 2 + len;
  }
  return {0, 0};
}

}  // namespace jktest
