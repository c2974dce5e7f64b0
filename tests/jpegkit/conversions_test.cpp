// The conversions through the library's interface: sizes and results, the
// quality scaling, BMP depths and refusals, field pictures, scaled output,
// damaged and unsupported files, and the stored path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "jpegkit.h"
#include "jpegkit_internal.h"
#include "picture_util.h"
#include "testing.h"

namespace {

using namespace jktest;
using velmora::testing::file_exists;
using velmora::testing::TempDir;

// A smooth picture of its own for each seed.
Bmp synthetic(int w, int h, int seed) {
  Bmp b;
  b.width = w;
  b.height = h;
  b.rgb.resize(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &b.rgb[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>((x * 255 / std::max(1, w - 1) + seed * 40) & 255);  // blue
      p[1] = static_cast<uint8_t>(128 + 100 * std::sin((x + y + seed * 13) / 9.0));
      p[2] = static_cast<uint8_t>(y * 255 / std::max(1, h - 1));
    }
  return b;
}

std::string make_jpeg(const TempDir& dir, const std::string& name, int w, int h, int seed, int quality = 10) {
  std::string bmp = dir.file(name + ".bmp"), jpg = dir.file(name + ".jpg");
  EXPECT_TRUE(save_bmp(bmp, synthetic(w, h, seed)));
  EXPECT_EQ(bmp_to_jpeg(bmp.c_str(), jpg.c_str(), quality), 0);
  return jpg;
}

// Offset of the first start-of-scan marker, walking the segments.
size_t scan_marker(const std::vector<uint8_t>& j) {
  size_t pos = 2;
  while (pos + 4 <= j.size() && !(j[pos] == 0xFF && j[pos + 1] == 0xDA)) pos += 2 + (j[pos + 2] << 8 | j[pos + 3]);
  return pos;
}

TEST(JpegToBmp, FullPictureGivesSizeCodeAndFileLength) {
  TempDir dir;
  std::string jpg = make_jpeg(dir, "full", 704, 480, 1);
  std::string out = dir.file("out.bmp");
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 0, out.c_str()), 4800704);
  EXPECT_EQ(read_bytes(out).size(), 1013814u);
  Bmp decoded = load_bmp(out);
  ASSERT_TRUE(decoded.ok);
  EXPECT_GE(compare(decoded, synthetic(704, 480, 1)).psnr, 38.0);
}

TEST(JpegToBmp, StartOffsetFindsPictureInsideAFile) {
  TempDir dir;
  std::vector<uint8_t> j = read_bytes(make_jpeg(dir, "a", 64, 32, 2));
  std::vector<uint8_t> wrapped(1000, 0x55);
  wrapped.insert(wrapped.end(), j.begin(), j.end());
  std::string path = dir.file("wrapped.bin");
  ASSERT_TRUE(write_bytes(path, wrapped));
  EXPECT_EQ(jpeg_to_bmp(path.c_str(), 1000, 0, 0, dir.file("o.bmp").c_str()), 64 + 10000 * 32);
  EXPECT_EQ(jpeg_to_bmp(path.c_str(), 0, 0, 0, dir.file("p.bmp").c_str()), -11);
  EXPECT_EQ(jpeg_to_bmp(path.c_str(), -5, 0, 0, dir.file("p.bmp").c_str()), -19);
  EXPECT_FALSE(file_exists(dir.file("p.bmp")));
}

TEST(JpegToBmp, OddWidthIsWrittenWithRowsRoundedToFourPixels) {
  TempDir dir;
  std::string bmp = dir.file("odd.bmp"), out = dir.file("o.bmp");
  if (!have_tools()) GTEST_SKIP() << "cjpeg missing";
  ASSERT_TRUE(save_bmp(bmp, synthetic(61, 23, 3)));
  ASSERT_TRUE(run("cjpeg -outfile '" + dir.file("odd.jpg") + "' '" + bmp + "'"));
  EXPECT_EQ(jpeg_to_bmp(dir.file("odd.jpg").c_str(), 0, 0, 0, out.c_str()), 64 + 10000 * 23);
  EXPECT_EQ(read_bytes(out).size(), 54u + 64 * 23 * 3);
}

TEST(JpegToBmp, ScaleShiftDividesTheSize) {
  TempDir dir;
  std::string jpg = make_jpeg(dir, "s", 704, 480, 4);
  std::string out = dir.file("o.bmp");
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 1, out.c_str()), 352 + 10000 * 240);
  Bmp half = load_bmp(out);
  // The halved picture looks like the original halved.
  Bmp full = synthetic(704, 480, 4), expect;
  expect.width = 352;
  expect.height = 240;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 352; ++x)
      for (int c = 0; c < 3; ++c) {
        int s = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) s += full.rgb[((2 * y + dy) * 704 + 2 * x + dx) * 3 + c];
        expect.rgb.push_back(static_cast<uint8_t>((s + 2) / 4));
      }
  EXPECT_GE(compare(half, expect).psnr, 38.0);
  // Rounded up: 704 / 8 = 88, 480 / 8 = 60; 705 / 8 would be 89.
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 3, out.c_str()), 88 + 10000 * 60);
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 8, out.c_str()), -19);
}

TEST(JpegToBmp, LargestPictureFitsAndLargerIsRefused) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg or cjpeg missing";
  TempDir dir;
  std::string big = picture("plain_1024x2559", "testsrc=s=1024x2559");
  ASSERT_FALSE(big.empty());
  std::string jpg = dir.file("big.jpg"), out = dir.file("o.bmp");
  ASSERT_TRUE(run("cjpeg -quality 90 -outfile '" + jpg + "' '" + big + "'"));
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 0, out.c_str()), 1024 + 10000 * 2559);
  EXPECT_EQ(read_bytes(out).size(), 54u + 1024u * 2559 * 3);
  // Patch the frame size to 1025 wide, then to 2560 high.
  std::vector<uint8_t> j = read_bytes(jpg);
  size_t sof = 2;
  while (!(j[sof] == 0xFF && j[sof + 1] == 0xC0)) sof += 2 + (j[sof + 2] << 8 | j[sof + 3]);
  std::vector<uint8_t> wide = j, tall = j;
  wide[sof + 7] = 0x04, wide[sof + 8] = 0x01;  // 1025
  tall[sof + 5] = 0x0A, tall[sof + 6] = 0x00;  // 2560
  ASSERT_TRUE(write_bytes(dir.file("wide.jpg"), wide));
  ASSERT_TRUE(write_bytes(dir.file("tall.jpg"), tall));
  EXPECT_EQ(jpeg_to_bmp(dir.file("wide.jpg").c_str(), 0, 0, 0, dir.file("w.bmp").c_str()), -3);
  EXPECT_EQ(jpeg_to_bmp(dir.file("tall.jpg").c_str(), 0, 0, 0, dir.file("t.bmp").c_str()), -3);
  EXPECT_FALSE(file_exists(dir.file("w.bmp")));
}

// Two scans, each behind a comment segment of length 8 whose third data byte
// is the field mode: rows of the first go to the even rows, of the second to
// the odd rows, of a picture twice as high.
std::vector<uint8_t> field_pair(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int mode_a, int mode_b) {
  size_t sa = scan_marker(a), sb = scan_marker(b);
  auto comment = [](int mode) {
    return std::vector<uint8_t>{0xFF, 0xFE, 0x00, 0x08, 0x00, 0x00, static_cast<uint8_t>(mode), 0x00, 0x00, 0x00};
  };
  std::vector<uint8_t> out(a.begin(), a.begin() + sa);
  auto ca = comment(mode_a), cb = comment(mode_b);
  out.insert(out.end(), ca.begin(), ca.end());
  out.insert(out.end(), a.begin() + sa, a.end() - 2);  // scan A without its end marker
  out.insert(out.end(), cb.begin(), cb.end());
  out.insert(out.end(), b.begin() + sb, b.end());
  return out;
}

TEST(JpegToBmp, FieldScansInterleaveIntoDoubleHeight) {
  TempDir dir;
  std::vector<uint8_t> a = read_bytes(make_jpeg(dir, "a", 64, 40, 1));
  std::vector<uint8_t> b = read_bytes(make_jpeg(dir, "b", 64, 40, 5));
  ASSERT_TRUE(write_bytes(dir.file("fields.jpg"), field_pair(a, b, 0, 1)));
  ASSERT_EQ(jpeg_to_bmp(dir.file("a.jpg").c_str(), 0, 0, 0, dir.file("a.bmp").c_str()), 64 + 400000);
  ASSERT_EQ(jpeg_to_bmp(dir.file("b.jpg").c_str(), 0, 0, 0, dir.file("b.bmp").c_str()), 64 + 400000);
  EXPECT_EQ(jpeg_to_bmp(dir.file("fields.jpg").c_str(), 0, 0, 0, dir.file("f.bmp").c_str()), 64 + 800000);
  Bmp fa = load_bmp(dir.file("a.bmp")), fb = load_bmp(dir.file("b.bmp")), f = load_bmp(dir.file("f.bmp"));
  ASSERT_TRUE(f.ok);
  const size_t row = 64 * 3;
  for (int y = 0; y < 40; ++y) {
    EXPECT_EQ(0, std::memcmp(&f.rgb[2 * y * row], &fa.rgb[y * row], row)) << "even row " << 2 * y;
    EXPECT_EQ(0, std::memcmp(&f.rgb[(2 * y + 1) * row], &fb.rgb[y * row], row)) << "odd row " << 2 * y + 1;
  }
  // Field order given by the marks, not by the order of the scans.
  ASSERT_TRUE(write_bytes(dir.file("swapped.jpg"), field_pair(a, b, 1, 0)));
  EXPECT_EQ(jpeg_to_bmp(dir.file("swapped.jpg").c_str(), 0, 0, 0, dir.file("s.bmp").c_str()), 64 + 800000);
  Bmp s = load_bmp(dir.file("s.bmp"));
  EXPECT_EQ(0, std::memcmp(&s.rgb[0], &fb.rgb[0], row));
  EXPECT_EQ(0, std::memcmp(&s.rgb[row], &fa.rgb[0], row));
  // Without its second field the picture is incomplete.
  std::vector<uint8_t> one = field_pair(a, b, 0, 1);
  size_t cut = one.size() - (b.size() - scan_marker(b)) - 10;
  one.resize(cut);
  one.insert(one.end(), {0xFF, 0xD9});
  ASSERT_TRUE(write_bytes(dir.file("one.jpg"), one));
  EXPECT_EQ(jpeg_to_bmp(dir.file("one.jpg").c_str(), 0, 0, 0, dir.file("one.bmp").c_str()), -18);
  EXPECT_FALSE(file_exists(dir.file("one.bmp")));
}

TEST(JpegToBmp, LargestFieldPairFitsItsBuffer) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg or cjpeg missing";
  TempDir dir;
  std::string big = picture("plain_1024x2559", "testsrc=s=1024x2559");
  ASSERT_TRUE(run("cjpeg -quality 60 -outfile '" + dir.file("big.jpg") + "' '" + big + "'"));
  std::vector<uint8_t> j = read_bytes(dir.file("big.jpg"));
  ASSERT_TRUE(write_bytes(dir.file("pair.jpg"), field_pair(j, j, 0, 1)));
  EXPECT_EQ(jpeg_to_bmp(dir.file("pair.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), 1024 + 10000 * 5118);
  EXPECT_EQ(read_bytes(dir.file("o.bmp")).size(), 54u + 1024u * 5118 * 3);
}

class Unsupported : public ::testing::TestWithParam<std::pair<const char*, int>> {};

TEST_P(Unsupported, IsRefusedWithItsCode) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg or cjpeg missing";
  TempDir dir;
  std::string src = picture("testsrc2_704x480", "testsrc2=s=704x480");
  std::string jpg = dir.file("u.jpg");
  ASSERT_TRUE(run(std::string("cjpeg ") + GetParam().first + " -outfile '" + jpg + "' '" + src + "'"));
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), GetParam().second);
  EXPECT_FALSE(file_exists(dir.file("o.bmp")));
  EXPECT_EQ(jpeg_to_jpeg(jpg.c_str(), 0, 0, 0, dir.file("o.jpg").c_str()), -1);
}

INSTANTIATE_TEST_SUITE_P(Processes, Unsupported,
                         ::testing::Values(std::make_pair("-progressive", -13), std::make_pair("-arithmetic", -13),
                                           std::make_pair("-grayscale", 0)),
                         [](const auto& info) { return std::string(info.param.first + 1); });

TEST(JpegToBmp, PatchedFrameTypesAreRefused) {
  TempDir dir;
  std::vector<uint8_t> j = read_bytes(make_jpeg(dir, "a", 32, 16, 1));
  size_t sof = 2;
  while (!(j[sof] == 0xFF && j[sof + 1] == 0xC0)) sof += 2 + (j[sof + 2] << 8 | j[sof + 3]);
  std::vector<uint8_t> twelve = j, lossless = j, zero = j;
  twelve[sof + 4] = 12;
  lossless[sof + 1] = 0xC3;
  zero[sof + 5] = zero[sof + 6] = 0;  // height 0 (would need a DNL marker)
  ASSERT_TRUE(write_bytes(dir.file("12.jpg"), twelve));
  ASSERT_TRUE(write_bytes(dir.file("ll.jpg"), lossless));
  ASSERT_TRUE(write_bytes(dir.file("z.jpg"), zero));
  EXPECT_EQ(jpeg_to_bmp(dir.file("12.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), -13);
  EXPECT_EQ(jpeg_to_bmp(dir.file("ll.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), -13);
  EXPECT_EQ(jpeg_to_bmp(dir.file("z.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), -14);
  EXPECT_EQ(jpeg_to_bmp(dir.file("none.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), -10);
}

TEST(JpegToBmp, TruncatedAndDamagedFilesGiveCodes) {
  TempDir dir;
  std::vector<uint8_t> j = read_bytes(make_jpeg(dir, "a", 352, 240, 3));
  size_t data = scan_marker(j) + 14;
  // Cut inside the headers and inside the coded data.
  for (size_t len : {size_t{1}, size_t{2}, size_t{30}, data - 5, data + 10, (data + j.size()) / 2, j.size() - 3}) {
    std::vector<uint8_t> cut(j.begin(), j.begin() + len);
    ASSERT_TRUE(write_bytes(dir.file("cut.jpg"), cut));
    int32_t r = jpeg_to_bmp(dir.file("cut.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str());
    EXPECT_LT(r, 0) << "length " << len;
    EXPECT_FALSE(file_exists(dir.file("o.bmp")));
  }
  // A long run of 1 bits, which no code of the standard tables starts with.
  std::vector<uint8_t> bad = j;
  for (size_t i = data + 20; i < data + 36; i += 2) bad[i] = 0xFF, bad[i + 1] = 0x00;
  ASSERT_TRUE(write_bytes(dir.file("bad.jpg"), bad));
  EXPECT_EQ(jpeg_to_bmp(dir.file("bad.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), -17);
}

TEST(JpegToBmp, WrongRestartMarkerIsDamage) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg or cjpeg missing";
  TempDir dir;
  std::string src = picture("testsrc2_704x480", "testsrc2=s=704x480");
  ASSERT_TRUE(run("cjpeg -restart 1 -outfile '" + dir.file("r.jpg") + "' '" + src + "'"));
  std::vector<uint8_t> j = read_bytes(dir.file("r.jpg"));
  ASSERT_GT(jpeg_to_bmp(dir.file("r.jpg").c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), 0);
  size_t data = scan_marker(j) + 14;
  size_t rst = data;
  while (!(j[rst] == 0xFF && j[rst + 1] == 0xD2)) ++rst;  // the third marker
  j[rst + 1] = 0xD5;
  ASSERT_TRUE(write_bytes(dir.file("w.jpg"), j));
  EXPECT_EQ(jpeg_to_bmp(dir.file("w.jpg").c_str(), 0, 0, 0, dir.file("w.bmp").c_str()), -17);
}

TEST(JpegToBmp, UnwritableDestinationGivesMinusOne) {
  TempDir dir;
  std::string jpg = make_jpeg(dir, "a", 32, 16, 1);
  EXPECT_EQ(jpeg_to_bmp(jpg.c_str(), 0, 0, 0, dir.file("missing/o.bmp").c_str()), -1);
}

TEST(BmpToJpeg, SizeIsRoundedDownToTheMcu) {
  TempDir dir;
  std::string jpg = make_jpeg(dir, "odd", 705, 241, 2);
  EXPECT_EQ(jpeg_size(read_bytes(jpg)), std::make_pair(704, 240));
  Bmp small = synthetic(15, 40, 1);
  ASSERT_TRUE(save_bmp(dir.file("small.bmp"), small));
  EXPECT_EQ(bmp_to_jpeg(dir.file("small.bmp").c_str(), dir.file("s.jpg").c_str(), 10), -21);
  EXPECT_EQ(bmp_to_jpeg(dir.file("odd.bmp").c_str(), dir.file("no/s.jpg").c_str(), 10), -20);
}

TEST(BmpToJpeg, QualityScalesTheStandardTables) {
  static const int kLumaZigzag[64] = {16, 11, 12,  14,  12,  10, 16, 14,  13,  14,  18,  17,  16, 19,  24,  40,
                                      26, 24, 22,  22,  24,  49, 35, 37,  29,  40,  58,  51,  61, 60,  57,  51,
                                      56, 55, 64,  72,  92,  78, 64, 68,  87,  69,  55,  56,  80, 109, 81,  87,
                                      95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
  TempDir dir;
  ASSERT_TRUE(save_bmp(dir.file("p.bmp"), synthetic(32, 16, 1)));
  auto tables = [&](int q) {
    EXPECT_EQ(bmp_to_jpeg(dir.file("p.bmp").c_str(), dir.file("p.jpg").c_str(), q), 0);
    return jpeg_quant_tables(read_bytes(dir.file("p.jpg")));
  };
  auto t50 = tables(50);
  EXPECT_EQ(t50[0], std::vector<int>(std::begin(kLumaZigzag), std::end(kLumaZigzag)));
  EXPECT_EQ(t50[1][0], 17);
  EXPECT_EQ(t50[1][63], 99);
  auto t100 = tables(100);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(t100[0][k], 2 * kLumaZigzag[k]);
  EXPECT_EQ(t100[1][63], 198);
  auto t10 = tables(10);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(t10[0][k], std::max(1, (kLumaZigzag[k] * 10 + 25) / 50));
  EXPECT_EQ(t10[0][0], 3);    // 3.2
  EXPECT_EQ(t10[1][63], 20);  // 19.8
  auto t300 = tables(300);
  EXPECT_EQ(t300[0][0], 96);
  EXPECT_EQ(t300[0][63], 255);  // 594, capped
  auto t0 = tables(0);
  EXPECT_EQ(t0[0][0], 1);
  EXPECT_EQ(t0[1][63], 1);
}

// A BMP file of the given depth with a palette, written by hand.
std::vector<uint8_t> palette_bmp(int bpp, int w, int h, uint16_t compression = 0) {
  int colours = bpp <= 8 ? 1 << bpp : 0;
  int stride = (w * bpp + 31) / 32 * 4;
  int offset = 54 + 4 * colours;
  std::vector<uint8_t> b(offset + stride * h, 0);
  auto put32 = [&](int at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  b[0] = 'B', b[1] = 'M';
  put32(2, static_cast<uint32_t>(b.size()));
  put32(10, offset);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  b[26] = 1;
  b[28] = static_cast<uint8_t>(bpp);
  b[30] = static_cast<uint8_t>(compression);
  for (int i = 0; i < colours; ++i) {  // entry i: blue i, green 255 - i, red 7 i
    b[54 + 4 * i] = static_cast<uint8_t>(i);
    b[55 + 4 * i] = static_cast<uint8_t>(255 - i);
    b[56 + 4 * i] = static_cast<uint8_t>(7 * i);
  }
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < stride; ++i) b[offset + y * stride + i] = static_cast<uint8_t>(y * 3 + i);
  return b;
}

TEST(BmpToJpeg, DepthsAndRefusals) {
  TempDir dir;
  auto code = [&](const std::vector<uint8_t>& bmp) {
    EXPECT_TRUE(write_bytes(dir.file("in.bmp"), bmp));
    return bmp_to_jpeg(dir.file("in.bmp").c_str(), dir.file("out.jpg").c_str(), 10);
  };
  for (int bpp : {1, 4, 8, 24}) EXPECT_EQ(code(palette_bmp(bpp, 48, 24)), 0) << bpp << " bits";
  EXPECT_EQ(code(palette_bmp(16, 48, 24)), -3);
  EXPECT_EQ(code(palette_bmp(32, 48, 24)), -3);
  EXPECT_EQ(code(palette_bmp(8, 48, 24, 1)), -3);  // run-length compressed
  // 1,048,576 pixels are taken; one more row of 32-pixel words is not.
  std::vector<uint8_t> limit = palette_bmp(1, 1024, 1024);
  EXPECT_EQ(code(limit), 0);
  EXPECT_EQ(code(palette_bmp(1, 1025, 1024)), -4);
  EXPECT_EQ(code(palette_bmp(24, 1025, 1024)), -4);
  std::vector<uint8_t> cut = palette_bmp(24, 48, 24);
  cut.resize(cut.size() - 10);
  EXPECT_EQ(code(cut), -5);
  EXPECT_EQ(code(std::vector<uint8_t>{'B', 'M', 0}), -5);
  EXPECT_EQ(bmp_to_jpeg(dir.file("missing.bmp").c_str(), dir.file("o.jpg").c_str(), 10), -1);
}

TEST(BmpToJpeg, PaletteIndicesBecomeTheirColours) {
  TempDir dir;
  // 8-bit picture whose every pixel is palette entry 200.
  std::vector<uint8_t> b = palette_bmp(8, 64, 32);
  std::fill(b.begin() + 54 + 4 * 256, b.end(), 200);
  ASSERT_TRUE(write_bytes(dir.file("p.bmp"), b));
  ASSERT_EQ(bmp_to_jpeg(dir.file("p.bmp").c_str(), dir.file("p.jpg").c_str(), 10), 0);
  ASSERT_GT(jpeg_to_bmp(dir.file("p.jpg").c_str(), 0, 0, 0, dir.file("back.bmp").c_str()), 0);
  Bmp back = load_bmp(dir.file("back.bmp"));
  ASSERT_TRUE(back.ok);
  // Blue 200, green 55, red 7 * 200 = 1400 & 255 = 120.
  EXPECT_NEAR(back.rgb[(10 * 64 + 10) * 3 + 0], 200, 3);
  EXPECT_NEAR(back.rgb[(10 * 64 + 10) * 3 + 1], 55, 3);
  EXPECT_NEAR(back.rgb[(10 * 64 + 10) * 3 + 2], 120, 3);
}

TEST(JpegToJpeg, ReencodesAndDoublesRows) {
  TempDir dir;
  std::string jpg = make_jpeg(dir, "half", 704, 240, 6);
  EXPECT_EQ(jpeg_to_jpeg(jpg.c_str(), 0, 0, 0, dir.file("same.jpg").c_str()), 0);
  EXPECT_EQ(jpeg_size(read_bytes(dir.file("same.jpg"))), std::make_pair(704, 240));
  EXPECT_EQ(jpeg_to_Vjpeg(jpg.c_str(), 0, 0, 0, dir.file("tall.jpg").c_str()), 0);
  EXPECT_EQ(jpeg_size(read_bytes(dir.file("tall.jpg"))), std::make_pair(704, 480));
  ASSERT_EQ(jpeg_to_bmp(dir.file("tall.jpg").c_str(), 0, 0, 0, dir.file("tall.bmp").c_str()), 704 + 4800000);
  Bmp tall = load_bmp(dir.file("tall.bmp")), half = synthetic(704, 240, 6), doubled;
  doubled.width = 704;
  doubled.height = 480;
  for (int y = 0; y < 480; ++y)
    doubled.rgb.insert(doubled.rgb.end(), half.rgb.begin() + (y / 2) * 704 * 3,
                       half.rgb.begin() + (y / 2 + 1) * 704 * 3);
  EXPECT_GE(compare(tall, doubled).psnr, 36.0);
  EXPECT_EQ(jpeg_to_Vjpeg(dir.file("missing.jpg").c_str(), 0, 0, 0, dir.file("x.jpg").c_str()), -1);
  EXPECT_EQ(jpeg_to_jpeg(jpg.c_str(), 0, 0, 0, dir.file("no/x.jpg").c_str()), -20);
}

TEST(BmpToBmp, ScalesToOneBitWithExtras) {
  TempDir dir;
  // Left half dark, right half bright (green decides).
  Bmp b;
  b.width = 64;
  b.height = 32;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) b.rgb.insert(b.rgb.end(), {0, static_cast<uint8_t>(x < 32 ? 20 : 230), 0});
  ASSERT_TRUE(save_bmp(dir.file("in.bmp"), b));
  ASSERT_EQ(bmp_to_bmp(dir.file("in.bmp").c_str(), dir.file("o.bmp").c_str(), 2.0f, 0, 10, 5), 0);
  std::vector<uint8_t> o = read_bytes(dir.file("o.bmp"));
  ASSERT_GE(o.size(), 62u);
  auto le32 = [&](size_t at) { return o[at] | o[at + 1] << 8 | o[at + 2] << 16 | o[at + 3] << 24; };
  const int w = 138, h = 69, stride = (w + 31) / 32 * 4;
  EXPECT_EQ(le32(18), w);
  EXPECT_EQ(le32(22), h);
  EXPECT_EQ(le32(10), 62);
  EXPECT_EQ(o[28], 1);
  EXPECT_EQ(static_cast<size_t>(le32(2)), o.size());
  EXPECT_EQ(o.size(), 62u + stride * h);
  EXPECT_EQ(std::vector<uint8_t>(o.begin() + 54, o.begin() + 62), (std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 0}));
  auto bit = [&](int col, int row) { return (o[62 + row * stride + col / 8] >> (7 - col % 8)) & 1; };
  EXPECT_EQ(bit(10 + 2 * 5, 5 + 2 * 3), 0);      // dark source pixel (5, 3)
  EXPECT_EQ(bit(10 + 2 * 40, 5 + 2 * 3), 1);     // bright source pixel (40, 3)
  EXPECT_EQ(bit(10 + 2 * 5 + 1, 5 + 2 * 3), 1);  // no source pixel reaches it
  EXPECT_EQ(bit(0, 0), 1);
}

TEST(BmpToBmp, RefusesSizesItsBuffersCannotHold) {
  TempDir dir;
  ASSERT_TRUE(save_bmp(dir.file("in.bmp"), synthetic(64, 32, 1)));
  std::string in_path = dir.file("in.bmp"), out = dir.file("o.bmp");
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), 1e6f, 0, 0, 0), -4);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), 3e38f, 0, 0, 0), -4);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), NAN, 0, 0, 0), -4);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), INFINITY, 0, 0, 0), -4);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), -1.0f, 0, 0, 0), -4);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), 1.0f, 0, 0, -32), -4);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), 1.0f, 0, INT32_MAX, 0), -4);
  EXPECT_FALSE(file_exists(out));
  // Large but within the 40 MiB of pixel data.
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), out.c_str(), 100.0f, 0, 0, 0), 0);
  EXPECT_EQ(bmp_to_bmp(in_path.c_str(), dir.file("no/o.bmp").c_str(), 1.0f, 0, 0, 0), -1);
  EXPECT_EQ(bmp_to_bmp(dir.file("missing.bmp").c_str(), out.c_str(), 1.0f, 0, 0, 0), -5);
  ASSERT_TRUE(write_bytes(dir.file("16.bmp"), palette_bmp(16, 8, 8)));
  EXPECT_EQ(bmp_to_bmp(dir.file("16.bmp").c_str(), out.c_str(), 1.0f, 0, 0, 0), -3);
}

TEST(Record, PathIsCutAt250CharactersAndReadmemIsBounded) {
  std::string long_path = "/nonexistent/" + std::string(400, 'x') + ".jpg";
  EXPECT_EQ(jpeg_to_bmp(long_path.c_str(), 0, 0, 0, "/nonexistent/o.bmp"), -10);
  std::vector<uint8_t> copy(sizeof(jk::CodecRecord) + 100, 0xAA);
  readmem(copy.data(), static_cast<int32_t>(copy.size()));
  const char* path = reinterpret_cast<const char*>(copy.data() + offsetof(jk::CodecRecord, path));
  EXPECT_EQ(std::strlen(path), 250u);
  EXPECT_EQ(std::string(path), long_path.substr(0, 250));
  for (size_t i = sizeof(jk::CodecRecord); i < copy.size(); ++i) ASSERT_EQ(copy[i], 0) << i;
  int32_t last;
  std::memcpy(&last, copy.data() + offsetof(jk::CodecRecord, last_result), 4);
  EXPECT_EQ(last, -10);
  // A count of zero or below copies nothing.
  uint8_t untouched[4] = {1, 2, 3, 4};
  readmem(untouched, 0);
  readmem(untouched, -8);
  EXPECT_EQ(untouched[0], 1);
  // The record describes the last decoded picture.
  TempDir dir;
  std::string jpg = make_jpeg(dir, "r", 96, 48, 1);
  ASSERT_GT(jpeg_to_bmp(jpg.c_str(), 0, 0, 0, dir.file("o.bmp").c_str()), 0);
  jk::CodecRecord rec;
  readmem(&rec, sizeof rec);
  EXPECT_EQ(rec.width, 96);
  EXPECT_EQ(rec.height, 48);
  EXPECT_EQ(rec.components, 3);
  EXPECT_EQ(rec.sampling[0], 0x21);
  EXPECT_EQ(rec.field_mode, 4);
}

}  // namespace

namespace {

// The writer's three sampling modes, on a height that leaves the 4:2:0
// picture a half MCU row: djpeg and our reader both get the picture back.
class SamplingModes : public ::testing::TestWithParam<int> {};

TEST_P(SamplingModes, DecodeBackToThePicture) {
  const int mode = GetParam();
  Bmp pic = synthetic(80, 40, 0);
  std::vector<uint8_t> bgr(pic.rgb.size());
  for (int y = 0; y < 40; ++y)  // bottom row first
    std::copy(pic.rgb.begin() + y * 240, pic.rgb.begin() + (y + 1) * 240, bgr.begin() + (39 - y) * 240);
  jk::EncodeInput in;
  in.pixels = bgr.data();
  in.row_bytes = 240;
  in.width = 80;
  in.height = 40;
  in.sampling = jk::sampling_from_mode(mode);
  in.quality = 10;
  std::vector<uint8_t> jpeg;
  ASSERT_EQ(jk::encode_jpeg(in, jpeg), 0);
  size_t sof = 2;
  while (!(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) sof += 2 + (jpeg[sof + 2] << 8 | jpeg[sof + 3]);
  const int expect_sampling = mode == 1 ? 0x21 : mode == 2 ? 0x22 : 0x11;
  EXPECT_EQ(jpeg[sof + 11], expect_sampling);

  jk::Source src;
  src.open_memory(jpeg.data(), jpeg.size());
  jk::DecodeOptions opt;
  jk::Header hdr;
  jk::DecodedPicture out;
  ASSERT_EQ(jk::decode_jpeg(src, opt, hdr, out), expect_sampling);
  Bmp back;
  back.width = 80;
  back.height = 40;
  for (int y = 0; y < 40; ++y)
    back.rgb.insert(back.rgb.end(), out.pixels() + (39 - y) * out.row_bytes,
                    out.pixels() + (39 - y) * out.row_bytes + 240);
  EXPECT_GE(compare(back, pic).psnr, 36.0);

  if (!have_tools()) return;
  TempDir dir;
  ASSERT_TRUE(write_bytes(dir.file("m.jpg"), jpeg));
  ASSERT_TRUE(run("djpeg -bmp -outfile '" + dir.file("d.bmp") + "' '" + dir.file("m.jpg") + "'"));
  Difference d = compare(load_bmp(dir.file("d.bmp")), back);
  EXPECT_LE(d.mae, 1.0);
  EXPECT_GE(d.psnr, 45.0);
}

INSTANTIATE_TEST_SUITE_P(Modes, SamplingModes, ::testing::Values(0, 1, 2));

}  // namespace
