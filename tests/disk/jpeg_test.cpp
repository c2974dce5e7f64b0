// The JPEG picture area: pictures stored with their 16-bit words exchanged,
// their file names, the search for the next picture, and saved pictures.
#include <gtest/gtest.h>
#include <unistd.h>

#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

constexpr size_t kPictureBuffer = 262656;

class JpegTest : public DiskTest {
 protected:
  void SetUp() override { buffer_.assign(kPictureBuffer, 0); }

  // A disk whose picture area starts at sector 1000.
  void attach_pictures(const std::vector<zebdisk::PictureAt>& pictures, uint64_t cylinders = 3010) {
    zebdisk::DiskSpec s = small_spec();
    s.cylinders = cylinders;
    s.pictures = pictures;
    attach(s, false);
  }

  static zebdisk::PictureAt picture(uint32_t sector, size_t body_bytes, int number = 5, uint16_t camera = 0x1A2B) {
    zebdisk::PictureAt p;
    p.sector = sector;
    p.picture.time = T(2024, 3, 9, 14, 7, 55);
    p.picture.number = number;
    p.picture.camera_word = camera;
    for (size_t i = 0; i + 2 < body_bytes; ++i) p.picture.body.push_back(static_cast<uint8_t>(i * 31 + 7));
    p.picture.body.push_back(0xFF);
    p.picture.body.push_back(0xD9);
    return p;
  }

  std::vector<uint8_t> buffer_;
  char name_[64] = {};
};

TEST_F(JpegTest, ReadsAPictureAndNamesIt) {
  const zebdisk::PictureAt p = picture(1000, 1000 - 64);  // 1000 bytes in all
  attach_pictures({p});
  const std::vector<uint8_t> stream = zebdisk::picture_stream(p.picture);
  ASSERT_EQ(stream.size(), 1000u);

  int32_t cursor = 1000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 1000, 5000, 3, buffer_.data(), name_), 1000);
  EXPECT_EQ(cursor, 1002);
  EXPECT_STREQ(name_, "3_240309_1407555_1a2b.jpg");
  // Two sectors were read: the first and one more.
  const std::vector<uint8_t> disk = zebdisk::to_disk_order(stream);
  EXPECT_TRUE(std::equal(disk.begin(), disk.end(), buffer_.begin()));

  // Header only.
  std::fill(buffer_.begin(), buffer_.end(), 0);
  cursor = 1000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 1000, 5000, 0, buffer_.data(), name_), 1000);
  EXPECT_EQ(cursor, 1002);
  EXPECT_EQ(buffer_[600], 0);

  // Saving exchanges the bytes back into a JPEG file.
  cursor = 1000;
  ASSERT_EQ(hdd_read_jpeg(&cursor, 1000, 5000, 1, buffer_.data(), name_), 1000);
  const std::string out = dir_.file(name_);
  EXPECT_EQ(hdd_write_jpeg_file(out.c_str(), 1000, buffer_.data(), 500), 1500);
  EXPECT_EQ(velmora::testing::read_file(out), std::string(stream.begin(), stream.end()));
  EXPECT_EQ(hdd_write_jpeg_file(dir_.file("no/such/folder.jpg").c_str(), 1000, buffer_.data(), 0), -1);

  // A saved picture is created new: neither a file already at the name nor
  // the target of a symlink planted there is written.
  EXPECT_EQ(hdd_write_jpeg_file(out.c_str(), 1000, buffer_.data(), 0), -1);
  EXPECT_EQ(velmora::testing::read_file(out), std::string(stream.begin(), stream.end()));
  ASSERT_TRUE(velmora::testing::write_file(dir_.file("kept"), "kept"));
  ASSERT_EQ(::symlink(dir_.file("kept").c_str(), dir_.file("planted.jpg").c_str()), 0);
  EXPECT_EQ(hdd_write_jpeg_file(dir_.file("planted.jpg").c_str(), 1000, buffer_.data(), 0), -1);
  EXPECT_EQ(velmora::testing::read_file(dir_.file("kept")), "kept");
}

TEST_F(JpegTest, LargestPictureFitsTheBuffer) {
  const size_t bytes = 0x3FFFF;
  attach_pictures({picture(2000, bytes - 64)});
  int32_t cursor = 2000;
  std::vector<uint8_t> guarded(kPictureBuffer + 64, 0xA5);
  EXPECT_EQ(hdd_read_jpeg(&cursor, 2000, 5000, 1, guarded.data(), name_), static_cast<int32_t>(bytes));
  EXPECT_EQ(cursor, 2000 + 512);
  for (size_t i = kPictureBuffer; i < guarded.size(); ++i) ASSERT_EQ(guarded[i], 0xA5);
}

TEST_F(JpegTest, FindsTheNextPictureAfterABadHeader) {
  attach_pictures({picture(1000, 600), picture(1000 + 300, 600)});
  int32_t cursor = 999;  // not a picture start
  EXPECT_EQ(hdd_read_jpeg(&cursor, 900, 5000, 1, buffer_.data(), name_), -6);
  EXPECT_EQ(cursor, 1000);
  cursor = 1001;  // inside the first picture
  EXPECT_EQ(hdd_read_jpeg(&cursor, 900, 5000, 1, buffer_.data(), name_), -6);
  EXPECT_EQ(cursor, 1300);
  EXPECT_EQ(hdd_read_jpeg(&cursor, 900, 5000, 1, buffer_.data(), name_), 664);
  EXPECT_EQ(cursor, 1302);
  // Nothing more before the end of the area.
  EXPECT_EQ(hdd_read_jpeg(&cursor, 900, 500, 1, buffer_.data(), name_), -7);
  EXPECT_EQ(cursor, 1303 + 128);
  EXPECT_GE(cursor, 900 + 500);
}

TEST_F(JpegTest, GivesUpAfter32768Sectors) {
  attach_pictures({picture(50000, 600)});
  int32_t cursor = 10000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 1, buffer_.data(), name_), -2);
  EXPECT_EQ(cursor, 10001 + 32768);
  cursor = 40000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 1, buffer_.data(), name_), -6);
  EXPECT_EQ(cursor, 50000);
}

TEST_F(JpegTest, OverlongLengthsAndUnreadableSectors) {
  zebdisk::PictureAt p = picture(3000, 600);
  attach_pictures({p, picture(3010, 600)});
  // A length of 0x40000 makes the header invalid.
  {
    zebdisk::ImageFile f;
    ASSERT_TRUE(f.open(path_));
    const uint8_t four[1] = {0x04};  // disk byte 40: length bits 23-16
    ASSERT_TRUE(f.write(3000ull * 512 + 40, four, 1));
    const uint8_t zero[2] = {0, 0};
    ASSERT_TRUE(f.write(3000ull * 512 + 42, zero, 2));
  }
  int32_t cursor = 3000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 1, buffer_.data(), name_), -6);
  EXPECT_EQ(cursor, 3010);

  const int32_t past = static_cast<int32_t>(3010ull * 255 * 63);
  cursor = past;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, INT32_MAX, 1, buffer_.data(), name_), -3);
  EXPECT_EQ(cursor, past + 129);
  // After the failure the reads go sector by sector, and a good read ends that.
  cursor = 3010;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 1, buffer_.data(), name_), 664);
  EXPECT_EQ(hdd_read_jpeg(nullptr, 0, 100000, 1, buffer_.data(), name_), -3);
}

TEST_F(JpegTest, PictureRunningPastTheDiskEnd) {
  // The image ends 300 bytes into the picture's second sector.
  zebdisk::DiskSpec s = small_spec();
  s.pictures = {picture(4000, 2000)};
  s.truncate_sectors = 4002;
  attach(s, false);
  int32_t cursor = 4000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 1, buffer_.data(), name_), -5);
  EXPECT_EQ(cursor, 4000 + 5);  // 2064 bytes
  cursor = 4000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 0, buffer_.data(), name_), 2064);
}

TEST_F(JpegTest, EmptyPictureStillMovesOn) {
  attach_pictures({picture(5000, 600)});
  {
    zebdisk::ImageFile f;
    ASSERT_TRUE(f.open(path_));
    const uint8_t zero[4] = {0, 0, 0, 0};
    ASSERT_TRUE(f.write(5000ull * 512 + 40, zero, 4));
  }
  int32_t cursor = 5000;
  EXPECT_EQ(hdd_read_jpeg(&cursor, 0, 100000, 1, buffer_.data(), name_), 0);
  EXPECT_EQ(cursor, 5001);
}

TEST_F(JpegTest, CameraValueOfASavedPicture) {
  for (const auto& [byte7, want] :
       std::vector<std::pair<uint8_t, int>>{{0x00, 0}, {0x1F, 2}, {0x90, 3}, {0xF0, 15}, {0x70, 14}, {0x80, 1}}) {
    std::string head(16, '\0');
    head[7] = static_cast<char>(byte7);
    const std::string p = dir_.file("pic.jpg");
    ASSERT_TRUE(velmora::testing::write_file(p, head + "rest of the picture"));
    uint8_t got[16];
    EXPECT_EQ(read_jpeg_head_com(p.c_str(), got), want) << int{byte7};
    EXPECT_EQ(got[7], byte7);
  }
  const std::string short_file = dir_.file("short.jpg");
  ASSERT_TRUE(velmora::testing::write_file(short_file, "12345"));
  uint8_t got[16];
  EXPECT_EQ(read_jpeg_head_com(short_file.c_str(), got), 5);
  EXPECT_EQ(read_jpeg_head_com(dir_.file("missing.jpg").c_str(), got), 0);
}

}  // namespace
}  // namespace disktest
