// Conformance against libjpeg-turbo: pictures written by cjpeg (every
// sampling, several qualities, restart intervals, optimised Huffman tables)
// and by ffmpeg's JPEG writer decode like djpeg decodes them, and pictures
// written by bmp_to_jpeg keep the quality cjpeg reaches with the same tables.
#include <gtest/gtest.h>

#include <tuple>

#include "jpegkit.h"
#include "picture_util.h"
#include "testing.h"

namespace {

using namespace jktest;

struct Source {
  const char* name;
  const char* lavfi;
};

// ffmpeg's test sources and natural-looking gradients and noise; two sizes
// are not multiples of any MCU.
const Source kSources[] = {
    {"testsrc2_704x480", "testsrc2=s=704x480"},
    {"bars_1024x768", "smptebars=s=1024x768"},
    {"mandel_705x241", "mandelbrot=s=705x241"},
    {"gradient_640x480", "gradients=s=640x480:seed=7:n=5"},
    {"gradnoise_333x199", "gradients=s=333x199:seed=3,noise=alls=14:allf=u"},
    {"noise_352x288", "testsrc2=s=352x288,noise=alls=60:allf=u"},
};

struct Variant {
  int quality;
  const char* options;
};
const Variant kVariants[] = {
    {50, ""},
    {75, "-restart 2 -optimize"},
    {95, "-restart 7B"},
};
const char* const kSamplings[] = {"1x1", "2x1", "2x2", "4x1", "1x2"};

class DecodeLikeDjpeg : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(DecodeLikeDjpeg, MatchesWithinTolerance) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg, cjpeg or djpeg missing";
  const Source& src = kSources[std::get<0>(GetParam())];
  const char* sampling = kSamplings[std::get<1>(GetParam())];
  const Variant& v = kVariants[std::get<2>(GetParam())];
  std::string original = picture(src.name, src.lavfi);
  ASSERT_FALSE(original.empty());
  velmora::testing::TempDir dir;
  std::string jpg = dir.file("in.jpg"), ref = dir.file("ref.bmp"), ours = dir.file("ours.bmp");
  ASSERT_TRUE(run("cjpeg -quality " + std::to_string(v.quality) + " -sample " + sampling + " " + v.options +
                  " -outfile '" + jpg + "' '" + original + "'"));
  ASSERT_TRUE(run("djpeg -bmp -outfile '" + ref + "' '" + jpg + "'"));
  int32_t r = jpeg_to_bmp(jpg.c_str(), 0, 0, 0, ours.c_str());
  Bmp a = load_bmp(ref), b = load_bmp(ours);
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(r, b.width + 10000 * b.height);
  EXPECT_EQ(b.width, (a.width + 3) / 4 * 4);
  EXPECT_EQ(b.height, a.height);
  Difference d = compare(a, b);
  RecordProperty("mae", std::to_string(d.mae));
  RecordProperty("psnr", std::to_string(d.psnr));
  EXPECT_LE(d.mae, 1.0);
  EXPECT_GE(d.psnr, 45.0);
}

INSTANTIATE_TEST_SUITE_P(Cjpeg, DecodeLikeDjpeg,
                         ::testing::Combine(::testing::Range(0, 6), ::testing::Range(0, 5), ::testing::Range(0, 3)));

// ffmpeg's own JPEG writer: its own optimised Huffman tables, a comment
// segment, and chroma layouts of its own.
class DecodeFfmpegJpeg : public ::testing::TestWithParam<const char*> {};

TEST_P(DecodeFfmpegJpeg, MatchesDjpeg) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg, cjpeg or djpeg missing";
  velmora::testing::TempDir dir;
  std::string jpg = dir.file("ff.jpg"), ref = dir.file("ref.bmp"), ours = dir.file("ours.bmp");
  ASSERT_TRUE(run(std::string("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                              "'testsrc2=s=705x241,noise=alls=8:allf=u' -frames:v 1 -pix_fmt ") +
                  GetParam() + " -q:v 3 '" + jpg + "'"));
  ASSERT_TRUE(run("djpeg -bmp -outfile '" + ref + "' '" + jpg + "'"));
  ASSERT_GT(jpeg_to_bmp(jpg.c_str(), 0, 0, 0, ours.c_str()), 0);
  Difference d = compare(load_bmp(ref), load_bmp(ours));
  RecordProperty("mae", std::to_string(d.mae));
  RecordProperty("psnr", std::to_string(d.psnr));
  EXPECT_LE(d.mae, 1.0);
  EXPECT_GE(d.psnr, 45.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, DecodeFfmpegJpeg, ::testing::Values("yuvj420p", "yuvj422p", "yuvj444p"));

// The writer against cjpeg given the same quantisation tables and 4:2:2.
class EncodeLikeCjpeg : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(EncodeLikeCjpeg, ReachesCjpegQuality) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg, cjpeg or djpeg missing";
  const Source& src = kSources[std::get<0>(GetParam())];
  const int quality = std::get<1>(GetParam());
  std::string original = picture(src.name, src.lavfi);
  ASSERT_FALSE(original.empty());
  velmora::testing::TempDir dir;
  std::string ours = dir.file("ours.jpg"), theirs = dir.file("cjpeg.jpg");
  ASSERT_EQ(bmp_to_jpeg(original.c_str(), ours.c_str(), quality), 0);
  std::vector<uint8_t> ours_bytes = read_bytes(ours);
  auto tables = jpeg_quant_tables(ours_bytes);
  ASSERT_EQ(tables[0].size(), 64u);
  ASSERT_EQ(tables[1].size(), 64u);

  // cjpeg reads tables in natural order; quality 50 leaves them unscaled.
  static const int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                  35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                  58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
  std::string text;
  for (int t = 0; t < 2; ++t) {
    int natural[64];
    for (int k = 0; k < 64; ++k) natural[kZigzag[k]] = tables[t][k];
    for (int i = 0; i < 64; ++i) text += std::to_string(natural[i]) + (i % 8 == 7 ? "\n" : " ");
  }
  std::string qfile = dir.file("tables.txt");
  ASSERT_TRUE(velmora::testing::write_file(qfile, text));
  // The same width and height: cjpeg gets the part the writer keeps.
  Bmp full = load_bmp(original);
  ASSERT_TRUE(full.ok);
  auto [w, h] = jpeg_size(ours_bytes);
  Bmp cut;
  cut.width = w;
  cut.height = h;
  for (int y = 0; y < h; ++y)
    cut.rgb.insert(cut.rgb.end(), full.rgb.begin() + static_cast<ptrdiff_t>(y) * full.width * 3,
                   full.rgb.begin() + static_cast<ptrdiff_t>(y) * full.width * 3 + 3 * w);
  std::string cut_path = dir.file("cut.bmp");
  ASSERT_TRUE(save_bmp(cut_path, cut));
  ASSERT_TRUE(run("cjpeg -quality 50 -qtables '" + qfile + "' -qslots 0,1,1 -sample 2x1 -outfile '" + theirs + "' '" +
                  cut_path + "'"));
  EXPECT_EQ(jpeg_quant_tables(read_bytes(theirs))[0], tables[0]);
  EXPECT_EQ(jpeg_quant_tables(read_bytes(theirs))[1], tables[1]);

  ASSERT_TRUE(run("djpeg -bmp -outfile '" + dir.file("ours.bmp") + "' '" + ours + "'"));
  ASSERT_TRUE(run("djpeg -bmp -outfile '" + dir.file("cjpeg.bmp") + "' '" + theirs + "'"));
  double ours_psnr = compare(cut, load_bmp(dir.file("ours.bmp"))).psnr;
  double cjpeg_psnr = compare(cut, load_bmp(dir.file("cjpeg.bmp"))).psnr;
  RecordProperty("psnr_ours", std::to_string(ours_psnr));
  RecordProperty("psnr_cjpeg", std::to_string(cjpeg_psnr));
  EXPECT_GE(ours_psnr, cjpeg_psnr - 0.5) << "ours " << ours_psnr << " dB, cjpeg " << cjpeg_psnr;
}

INSTANTIATE_TEST_SUITE_P(Qualities, EncodeLikeCjpeg,
                         ::testing::Combine(::testing::Range(0, 6), ::testing::Values(10, 25, 50, 100)));

}  // namespace
