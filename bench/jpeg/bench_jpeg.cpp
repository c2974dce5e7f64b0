// bench_jpeg: decode and encode of 704 x 480 and 1024 x 768 pictures by the
// image library and by libjpeg-turbo's library, in memory, on the same
// pictures and files, in turns. Prints the best processor time of each, the
// ratio libjpeg-turbo time / our time (1.0 = as fast, 0.5 = half its speed)
// and the median of that ratio over the rounds.
//
//   bench_jpeg [rounds]     (default 40)
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "jpegkit_internal.h"

namespace {

// A picture with what camera pictures have: smooth gradients, fine texture,
// sharp edges and some sensor noise. BGR, bottom row first, no row padding
// (both widths are multiples of 4).
std::vector<uint8_t> make_picture(int w, int h) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 3);
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      int noise = static_cast<int>(seed >> 28) - 8;
      double fx = static_cast<double>(x) / w, fy = static_cast<double>(y) / h;
      int edge = ((x / 48 + y / 40) % 5 == 0) ? 60 : 0;
      int r = static_cast<int>(90 + 80 * fx + 40 * std::sin(fy * 9 + fx * 3)) + edge + noise;
      int g = static_cast<int>(70 + 120 * fy + 25 * std::sin(x * 0.21) * std::cos(y * 0.17)) + noise;
      int b = static_cast<int>(160 - 90 * fx * fy + 30 * std::cos((x + y) * 0.05)) - edge / 2 + noise;
      uint8_t* p = &px[(static_cast<size_t>(h - 1 - y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(std::clamp(b, 0, 255));
      p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
      p[2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
    }
  return px;
}

// Processor time of this thread in milliseconds: time the thread spends
// waiting for a processor on a busy machine does not count.
double thread_ms() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Times {
  double best_a, best_b;  // fastest run of each side
  double median_ratio;    // median over the rounds of b's time / a's time
};

// Runs the two bodies in turns and keeps the fastest run of each: on a
// shared machine the fastest run is the one least disturbed. The side that
// goes first changes every round, so that neither always runs with the
// caches as the other left them, and load from other work falls on both
// alike. The median of the per-round ratios is printed beside the ratio of
// the best runs: when the two disagree much, the machine was too busy.
Times time_both(int rounds, const std::function<void()>& a, const std::function<void()>& b) {
  a();  // warm up
  b();
  double best_a = 1e30, best_b = 1e30;
  std::vector<double> ratios;
  for (int i = 0; i < rounds; ++i) {
    double ms[2];
    for (int turn = 0; turn < 2; ++turn) {
      const int which = (turn + i) & 1;
      double start = thread_ms();
      (which ? b : a)();
      ms[which] = thread_ms() - start;
    }
    best_a = std::min(best_a, ms[0]);
    best_b = std::min(best_b, ms[1]);
    ratios.push_back(ms[1] / ms[0]);
  }
  std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
  return {best_a, best_b, ratios[ratios.size() / 2]};
}

// libjpeg-turbo: encode with given quantisation tables (natural order) and
// luma sampling, from bottom-up BGR rows. The file is copied out only when
// asked for (not while timed: our encoder writes into a kept vector).
void turbo_encode(const std::vector<uint8_t>& px, int w, int h, int hy, int vy, const uint8_t* luma,
                  const uint8_t* chroma, std::vector<uint8_t>* file) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  jpeg_mem_dest(&c, &out, &out_size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&c);
  unsigned int l[64], ch[64];
  for (int i = 0; i < 64; ++i) l[i] = luma[i], ch[i] = chroma[i];
  jpeg_add_quant_table(&c, 0, l, 100, TRUE);
  jpeg_add_quant_table(&c, 1, ch, 100, TRUE);
  c.comp_info[0].h_samp_factor = hy;
  c.comp_info[0].v_samp_factor = vy;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&px[static_cast<size_t>(h - 1 - c.next_scanline) * w * 3]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  if (file) file->assign(out, out + out_size);
  std::free(out);
}

// libjpeg-turbo: decode to bottom-up BGR rows (as the library writes them).
void turbo_decode(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>& px) {
  jpeg_decompress_struct d;
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), jpeg.size());
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&d);
  size_t stride = (d.output_width + 3) / 4 * 4 * 3;
  px.resize(stride * d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = &px[(d.output_height - 1 - d.output_scanline) * stride];
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
}

bool our_decode(const std::vector<uint8_t>& jpeg, jk::DecodedPicture& pic) {
  jk::Source src;
  src.open_memory(jpeg.data(), jpeg.size());
  jk::DecodeOptions opt;
  jk::Header hdr;
  return jk::decode_jpeg(src, opt, hdr, pic) > 0;
}

void print_row(const char* label, const Times& t) {
  std::printf("%-34s %10.3f %14.3f %8.2f %8.2f\n", label, t.best_a, t.best_b, t.best_b / t.best_a, t.median_ratio);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 40;
  std::printf("%-34s %10s %14s %8s %8s\n", "", "ours (ms)", "turbo (ms)", "ratio", "median");
  double worst = 1e9;
  for (auto [w, h] : {std::pair{704, 480}, std::pair{1024, 768}}) {
    std::vector<uint8_t> px = make_picture(w, h);
    // The viewer's pictures: quality factor 10, 4:2:2. A camera's: the
    // standard tables at about libjpeg quality 75 (factor 25), 4:2:0.
    struct Kind {
      const char* name;
      int quality, hy, vy;
      jk::Sampling sampling;
    } kinds[] = {{"4:2:2 factor 10", 10, 2, 1, jk::Sampling::k422}, {"4:2:0 factor 25", 25, 2, 2, jk::Sampling::k420}};
    for (const Kind& k : kinds) {
      uint8_t luma[64], chroma[64];
      jk::scaled_quant_tables(k.quality, luma, chroma);
      jk::EncodeInput in;
      in.pixels = px.data();
      in.row_bytes = w * 3;
      in.width = w;
      in.height = h;
      in.sampling = k.sampling;
      in.quality = k.quality;
      std::vector<uint8_t> ours_jpeg, turbo_jpeg;
      turbo_encode(px, w, h, k.hy, k.vy, luma, chroma, &turbo_jpeg);
      const Times enc = time_both(
          rounds, [&] { jk::encode_jpeg(in, ours_jpeg); },
          [&] { turbo_encode(px, w, h, k.hy, k.vy, luma, chroma, nullptr); });
      // Both decoders read the same file (libjpeg-turbo's).
      jk::DecodedPicture pic;
      std::vector<uint8_t> turbo_px;
      if (!our_decode(turbo_jpeg, pic)) {
        std::fprintf(stderr, "bench_jpeg: decoding failed\n");
        return 1;
      }
      const Times dec = time_both(
          rounds, [&] { our_decode(turbo_jpeg, pic); }, [&] { turbo_decode(turbo_jpeg, turbo_px); });
      char label[64];
      std::snprintf(label, sizeof label, "encode %dx%d %s", w, h, k.name);
      print_row(label, enc);
      std::snprintf(label, sizeof label, "decode %dx%d %s", w, h, k.name);
      print_row(label, dec);
      worst = std::min({worst, enc.best_b / enc.best_a, dec.best_b / dec.best_a});
    }
  }
  std::printf("lowest ratio (libjpeg-turbo time / ours): %.2f\n", worst);
  return 0;
}
