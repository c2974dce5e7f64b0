// yuv_compare OURS.yuv REF.yuv WIDTH HEIGHT MIN_DB MAX_DIFF [REF_NAME]
//
// Compares two raw I420 files frame by frame and plane by plane: the PSNR
// and the largest absolute difference of every plane of every frame. Exits 0
// when both files hold the same number of frames, every plane of every frame
// reaches MIN_DB (0: no PSNR limit) and no sample differs by more than
// MAX_DIFF; else 1. Each failing plane is named with its frame and the
// macroblock (column, row) holding its largest difference, so a fault can be
// found in the stream. Identical planes count as 99 dB.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct PlaneStats {
  double psnr = 99.0;
  int max_diff = 0;
  int mb_x = 0, mb_y = 0;  // macroblock of the largest difference
  int64_t mb_se = 0;       // squared error within that macroblock
};

// mb: samples per macroblock side in this plane (16 luma, 8 chroma).
PlaneStats compare_plane(const unsigned char* a, const unsigned char* b, int w, int h, int mb) {
  PlaneStats s;
  const int mbw = (w + mb - 1) / mb, mbh = (h + mb - 1) / mb;
  std::vector<int64_t> mb_se(static_cast<size_t>(mbw) * mbh, 0);
  int64_t se = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int d = a[static_cast<size_t>(y) * w + x] - b[static_cast<size_t>(y) * w + x];
      const int ad = d < 0 ? -d : d;
      se += d * d;
      mb_se[static_cast<size_t>(y / mb) * mbw + x / mb] += d * d;
      if (ad > s.max_diff) {
        s.max_diff = ad;
        s.mb_x = x / mb;
        s.mb_y = y / mb;
      }
    }
  }
  s.mb_se = mb_se[static_cast<size_t>(s.mb_y) * mbw + s.mb_x];
  if (se != 0) {
    const double mse = static_cast<double>(se) / (static_cast<double>(w) * h);
    s.psnr = std::fmin(99.0, 10.0 * std::log10(255.0 * 255.0 / mse));
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: yuv_compare OURS.yuv REF.yuv WIDTH HEIGHT MIN_DB MAX_DIFF [REF_NAME]\n");
    return 2;
  }
  const int w = std::atoi(argv[3]), h = std::atoi(argv[4]);
  const double min_db = std::atof(argv[5]);
  const int max_diff = std::atoi(argv[6]);
  const char* ref_name = argc > 7 ? argv[7] : "reference";
  if (w <= 0 || h <= 0) return 2;
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  const size_t ys = static_cast<size_t>(w) * h, cs = static_cast<size_t>(cw) * ch;
  const size_t fs = ys + 2 * cs;
  FILE* fa = std::fopen(argv[1], "rb");
  FILE* fb = std::fopen(argv[2], "rb");
  if (!fa || !fb) {
    std::fprintf(stderr, "yuv_compare: cannot open the inputs\n");
    return 2;
  }
  static const char* const kPlane[3] = {"Y", "U", "V"};
  std::vector<unsigned char> a(fs), b(fs);
  int frames = 0, failures = 0;
  bool count_differs = false;
  double lowest[3] = {99.0, 99.0, 99.0}, sum[3] = {0, 0, 0};
  int largest[3] = {0, 0, 0};
  for (;;) {
    const size_t ra = std::fread(a.data(), 1, fs, fa), rb = std::fread(b.data(), 1, fs, fb);
    if (ra != fs || rb != fs) {
      count_differs = (ra == fs) != (rb == fs) || (ra != 0) != (rb != 0);
      if (count_differs)
        std::printf("FAIL frame counts differ after %d frames (%s is longer)\n", frames, ra == fs ? argv[1] : argv[2]);
      break;
    }
    for (int p = 0; p < 3; ++p) {
      const size_t off = p == 0 ? 0 : ys + (p - 1) * cs;
      const PlaneStats s = p == 0 ? compare_plane(a.data(), b.data(), w, h, 16)
                                  : compare_plane(a.data() + off, b.data() + off, cw, ch, 8);
      sum[p] += s.psnr;
      if (s.psnr < lowest[p]) lowest[p] = s.psnr;
      if (s.max_diff > largest[p]) largest[p] = s.max_diff;
      if (s.psnr < min_db || s.max_diff > max_diff) {
        if (++failures <= 20)
          std::printf(
              "FAIL vs %s: frame %d plane %s: PSNR %.2f dB (limit %.1f), max |diff| %d (limit %d) "
              "at macroblock (%d,%d), squared error there %lld\n",
              ref_name, frames, kPlane[p], s.psnr, min_db, s.max_diff, max_diff, s.mb_x, s.mb_y,
              static_cast<long long>(s.mb_se));
      }
    }
    ++frames;
  }
  std::fclose(fa);
  std::fclose(fb);
  if (frames == 0) {
    std::printf("FAIL no frames\n");
    return 1;
  }
  if (failures > 20) std::printf("... %d failing planes in all\n", failures);
  std::printf(
      "vs %s: frames %d  mean PSNR Y %.2f U %.2f V %.2f  lowest Y %.2f U %.2f V %.2f  "
      "max |diff| Y %d U %d V %d\n",
      ref_name, frames, sum[0] / frames, sum[1] / frames, sum[2] / frames, lowest[0], lowest[1], lowest[2], largest[0],
      largest[1], largest[2]);
  return (count_differs || failures) ? 1 : 0;
}
