// Multi-picture files: the record layout, decoding picture by picture through
// the picture offset, and every refusal leaving the file as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "jpegkit.h"
#include "picture_util.h"
#include "testing.h"

namespace {

using namespace jktest;
using velmora::testing::file_exists;
using velmora::testing::TempDir;

std::string make_jpeg(const TempDir& dir, const std::string& name, int w, int h, int seed, int quality = 10) {
  Bmp b;
  b.width = w;
  b.height = h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      b.rgb.insert(b.rgb.end(), {static_cast<uint8_t>(x * 3 + seed * 50), static_cast<uint8_t>(y * 5 + seed * 20),
                                 static_cast<uint8_t>(128 + 120 * std::sin((x * y + seed) / 40.0))});
  std::string bmp = dir.file(name + ".bmp"), jpg = dir.file(name + ".jpg");
  EXPECT_TRUE(save_bmp(bmp, b));
  EXPECT_EQ(bmp_to_jpeg(bmp.c_str(), jpg.c_str(), quality), 0);
  return jpg;
}

size_t scan_marker(const std::vector<uint8_t>& j) {
  size_t pos = 2;
  while (pos + 4 <= j.size() && !(j[pos] == 0xFF && j[pos + 1] == 0xDA)) pos += 2 + (j[pos + 2] << 8 | j[pos + 3]);
  return pos;
}

// Coded data offsets of the records, read from the layout itself.
std::vector<size_t> records(const std::vector<uint8_t>& f, size_t header) {
  std::vector<size_t> out;
  size_t pos = header;
  while (pos + 24 <= f.size()) {
    EXPECT_EQ(f[pos], 0xFF);
    EXPECT_EQ(f[pos + 1], 0xFE);
    size_t words = f[pos + 8] | f[pos + 9] << 8;
    out.push_back(pos + 24);
    pos += 24 + 4 * words;
  }
  EXPECT_EQ(pos, f.size());
  return out;
}

class MultiPicture : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3; ++i) pictures_.push_back(make_jpeg(dir_, "p" + std::to_string(i), 176, 120, i));
    multi_ = dir_.file("multi.qpx");
    for (const std::string& p : pictures_) ASSERT_EQ(Append_qpx_jpeg(multi_.c_str(), p.c_str()), 0);
  }
  TempDir dir_;
  std::vector<std::string> pictures_;
  std::string multi_;
};

TEST_F(MultiPicture, RecordsFollowTheFirstPicturesHeader) {
  std::vector<uint8_t> f = read_bytes(multi_), first = read_bytes(pictures_[0]);
  size_t header = scan_marker(first);
  ASSERT_EQ(0, std::memcmp(f.data(), first.data(), header));
  std::vector<size_t> offs = records(f, header);
  ASSERT_EQ(offs.size(), 3u);
  const uint8_t scan[14] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
  for (size_t i = 0; i < offs.size(); ++i) {
    const uint8_t* rec = &f[offs[i] - 24];
    EXPECT_EQ(0, std::memcmp(rec, "\xFF\xFE\x00\x08\x00\x00\x04\x00", 8));
    EXPECT_EQ(0, std::memcmp(rec + 10, scan, 14));
    // The picture's coded data through its end marker, padded with 0xFF.
    std::vector<uint8_t> src = read_bytes(pictures_[i]);
    size_t data = scan_marker(src) + 14, len = src.size() - data;
    EXPECT_EQ(0, std::memcmp(&f[offs[i]], &src[data], len));
    size_t words = rec[8] | rec[9] << 8;
    EXPECT_EQ(words, (len + 3) / 4);
    for (size_t k = len; k < 4 * words; ++k) EXPECT_EQ(f[offs[i] + k], 0xFF);
  }
}

TEST_F(MultiPicture, DecodesPictureByPictureThroughTheOffset) {
  std::vector<uint8_t> f = read_bytes(multi_);
  std::vector<size_t> offs = records(f, scan_marker(read_bytes(pictures_[0])));
  ASSERT_EQ(offs.size(), 3u);
  for (size_t i = 0; i < offs.size(); ++i) {
    std::string from_multi = dir_.file("m" + std::to_string(i) + ".bmp");
    std::string alone = dir_.file("a" + std::to_string(i) + ".bmp");
    ASSERT_EQ(jpeg_to_bmp(multi_.c_str(), 0, static_cast<int32_t>(offs[i]), 0, from_multi.c_str()), 176 + 1200000);
    ASSERT_EQ(jpeg_to_bmp(pictures_[i].c_str(), 0, 0, 0, alone.c_str()), 176 + 1200000);
    EXPECT_EQ(read_bytes(from_multi), read_bytes(alone)) << "picture " << i;
  }
  // Without an offset the first picture is decoded.
  ASSERT_GT(jpeg_to_bmp(multi_.c_str(), 0, 0, 0, dir_.file("first.bmp").c_str()), 0);
  EXPECT_EQ(read_bytes(dir_.file("first.bmp")), read_bytes(dir_.file("a0.bmp")));
}

TEST_F(MultiPicture, RefusalsLeaveTheFileUnchanged) {
  std::vector<uint8_t> before = read_bytes(multi_);
  std::string other_size = make_jpeg(dir_, "big", 192, 120, 1);
  std::string other_tables = make_jpeg(dir_, "q50", 176, 120, 1, 50);
  EXPECT_EQ(Append_qpx_jpeg(multi_.c_str(), other_size.c_str()), -4);
  EXPECT_EQ(Append_qpx_jpeg(multi_.c_str(), other_tables.c_str()), -3);
  EXPECT_EQ(Append_qpx_jpeg(multi_.c_str(), dir_.file("missing.jpg").c_str()), -2);
  // A source without an end marker.
  std::vector<uint8_t> cut = read_bytes(pictures_[1]);
  cut.resize(cut.size() - 2);
  ASSERT_TRUE(write_bytes(dir_.file("cut.jpg"), cut));
  EXPECT_EQ(Append_qpx_jpeg(multi_.c_str(), dir_.file("cut.jpg").c_str()), -7);
  // A source that is no JPEG at all.
  ASSERT_TRUE(write_bytes(dir_.file("junk.jpg"), std::vector<uint8_t>(100, 0x42)));
  EXPECT_EQ(Append_qpx_jpeg(multi_.c_str(), dir_.file("junk.jpg").c_str()), -11);
  EXPECT_EQ(read_bytes(multi_), before);
}

TEST(MultiPictureNew, LongHeaderIsRefusedAndNoFileIsLeft) {
  TempDir dir;
  std::vector<uint8_t> j = read_bytes(make_jpeg(dir, "a", 64, 32, 1));
  // A comment segment of 1,500 bytes pushes the header past 2,000 bytes.
  std::vector<uint8_t> big(j.begin(), j.begin() + 2);
  big.insert(big.end(), {0xFF, 0xFE, 0x05, 0xDC});
  big.insert(big.end(), 1498, 'c');
  big.insert(big.end(), j.begin() + 2, j.end());
  ASSERT_TRUE(write_bytes(dir.file("long.jpg"), big));
  std::string target = dir.file("multi.qpx");
  EXPECT_EQ(Append_qpx_jpeg(target.c_str(), dir.file("long.jpg").c_str()), -6);
  EXPECT_FALSE(file_exists(target));
  EXPECT_EQ(Append_qpx_jpeg(target.c_str(), dir.file("missing.jpg").c_str()), -2);
  EXPECT_FALSE(file_exists(target));
}

TEST(MultiPictureNew, SourcesThatCannotBeStoredAreRefused) {
  if (!have_tools()) GTEST_SKIP() << "ffmpeg, cjpeg or djpeg missing";
  TempDir dir;
  std::string src = picture("testsrc2_704x480", "testsrc2=s=704x480");
  ASSERT_TRUE(run("cjpeg -grayscale -outfile '" + dir.file("g.jpg") + "' '" + src + "'"));
  EXPECT_EQ(Append_qpx_jpeg(dir.file("m1").c_str(), dir.file("g.jpg").c_str()), -21);
  // Components numbered 0, 1, 2 do not fit the records' scan header.
  ASSERT_TRUE(run("ffmpeg -nostdin -loglevel error -y -i '" + src + "' -frames:v 1 -pix_fmt yuvj422p -q:v 3 '" +
                  dir.file("ff.jpg") + "'"));
  std::vector<uint8_t> ff = read_bytes(dir.file("ff.jpg"));
  int32_t r = Append_qpx_jpeg(dir.file("m2").c_str(), dir.file("ff.jpg").c_str());
  // ffmpeg numbers components 1, 2, 3 but codes with its own table numbers;
  // whichever it uses, the file is either stored so that it decodes or refused.
  if (r == 0) {
    std::vector<uint8_t> m = read_bytes(dir.file("m2"));
    size_t header = scan_marker(ff);
    std::vector<size_t> offs = records(m, header);
    ASSERT_EQ(offs.size(), 1u);
    ASSERT_GT(jpeg_to_bmp(dir.file("m2").c_str(), 0, static_cast<int32_t>(offs[0]), 0, dir.file("a.bmp").c_str()), 0);
    ASSERT_GT(jpeg_to_bmp(dir.file("ff.jpg").c_str(), 0, 0, 0, dir.file("b.bmp").c_str()), 0);
    EXPECT_EQ(read_bytes(dir.file("a.bmp")), read_bytes(dir.file("b.bmp")));
  } else {
    EXPECT_EQ(r, -3);
    EXPECT_FALSE(file_exists(dir.file("m2")));
  }
  // A restart interval the stored file does not have.
  ASSERT_TRUE(run("cjpeg -quality 75 -outfile '" + dir.file("plain.jpg") + "' '" + src + "'"));
  ASSERT_TRUE(run("cjpeg -quality 75 -restart 2 -outfile '" + dir.file("rst.jpg") + "' '" + src + "'"));
  ASSERT_EQ(Append_qpx_jpeg(dir.file("m3").c_str(), dir.file("plain.jpg").c_str()), 0);
  EXPECT_EQ(Append_qpx_jpeg(dir.file("m3").c_str(), dir.file("rst.jpg").c_str()), -3);
}

}  // namespace
