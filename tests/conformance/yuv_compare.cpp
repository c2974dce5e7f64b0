// yuv_compare A.yuv B.yuv WIDTH HEIGHT [MIN_MEAN_DB MIN_FRAME_DB]
//
// Compares two raw I420 files frame by frame: the PSNR of Y, U and V per
// frame, their means, and the lowest frame. Exits 0 when both files hold the
// same number of frames, the mean PSNR of each plane reaches MIN_MEAN_DB and
// no frame's plane falls below MIN_FRAME_DB; else 1. Identical planes count
// as 99 dB.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double psnr(const unsigned char* a, const unsigned char* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 99.0;
  const double mse = se / static_cast<double>(n);
  const double v = 10.0 * std::log10(255.0 * 255.0 / mse);
  return v > 99.0 ? 99.0 : v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: yuv_compare A.yuv B.yuv WIDTH HEIGHT [MIN_MEAN_DB MIN_FRAME_DB]\n");
    return 2;
  }
  const int w = std::atoi(argv[3]), h = std::atoi(argv[4]);
  const double min_mean = argc > 5 ? std::atof(argv[5]) : 45.0;
  const double min_frame = argc > 6 ? std::atof(argv[6]) : 40.0;
  if (w <= 0 || h <= 0) return 2;
  const size_t ys = static_cast<size_t>(w) * h, cs = static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2);
  const size_t fs = ys + 2 * cs;
  FILE* fa = std::fopen(argv[1], "rb");
  FILE* fb = std::fopen(argv[2], "rb");
  if (!fa || !fb) {
    std::fprintf(stderr, "yuv_compare: cannot open the inputs\n");
    return 2;
  }
  std::vector<unsigned char> a(fs), b(fs);
  int frames = 0;
  double sum[3] = {0, 0, 0}, worst = 99.0;
  int worst_frame = -1;
  bool count_differs = false;
  for (;;) {
    const size_t ra = std::fread(a.data(), 1, fs, fa), rb = std::fread(b.data(), 1, fs, fb);
    if (ra != fs || rb != fs) {
      count_differs = (ra == fs) != (rb == fs);
      if (count_differs) {
        // Count the rest of the longer file for the message.
        std::fprintf(stderr, "yuv_compare: frame counts differ after %d frames (%s is longer)\n", frames,
                     ra == fs ? argv[1] : argv[2]);
      }
      break;
    }
    const double p[3] = {psnr(a.data(), b.data(), ys), psnr(a.data() + ys, b.data() + ys, cs),
                         psnr(a.data() + ys + cs, b.data() + ys + cs, cs)};
    for (int i = 0; i < 3; ++i) {
      sum[i] += p[i];
      if (p[i] < worst) {
        worst = p[i];
        worst_frame = frames;
      }
    }
    ++frames;
  }
  std::fclose(fa);
  std::fclose(fb);
  if (frames == 0) {
    std::fprintf(stderr, "yuv_compare: no frames\n");
    return 1;
  }
  const double mean[3] = {sum[0] / frames, sum[1] / frames, sum[2] / frames};
  std::printf("frames %d  mean PSNR Y %.2f U %.2f V %.2f  lowest %.2f (frame %d)\n", frames, mean[0], mean[1],
              mean[2], worst, worst_frame);
  const bool ok = !count_differs && mean[0] >= min_mean && mean[1] >= min_mean && mean[2] >= min_mean &&
                  worst >= min_frame;
  return ok ? 0 : 1;
}
