// The AVI writer's file structure.
#include <gtest/gtest.h>

#include <cstring>

#include "ovodec_internal.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace {

using velmora::testing::TempDir;

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
bool is(const std::vector<uint8_t>& b, size_t at, const char* fourcc) { return std::memcmp(&b[at], fourcc, 4) == 0; }

TEST(AviWriter, WritesAConsistentRiffFileWithAnIndex) {
  TempDir dir;
  const std::string path = dir.file("out.avi");
  ovo::AviWriter avi;
  ASSERT_EQ(avi.open(path, 352, 240), 1);
  const std::vector<uint8_t> a(101, 1), b(50, 2), c(7, 3);
  EXPECT_EQ(avi.write(a.data(), 101, true, 40000), 1);
  EXPECT_EQ(avi.write(b.data(), 0, false, 40000), 0);  // an empty frame adds nothing
  EXPECT_EQ(avi.write(b.data(), 50, false, 40000), 1);
  EXPECT_EQ(avi.write(c.data(), 7, false, 0), 1);  // no duration: not counted in the rate
  EXPECT_EQ(avi.frames(), 3);
  EXPECT_EQ(avi.frame_duration_us(), 40000u);
  avi.close();
  EXPECT_EQ(avi.write(a.data(), 101, true, 1), 0);  // closed

  const auto f = zebsim::read_binary_file(path);
  ASSERT_GE(f.size(), 224u);
  EXPECT_TRUE(is(f, 0, "RIFF"));
  EXPECT_EQ(le32(f, 4), f.size() - 8);
  EXPECT_TRUE(is(f, 8, "AVI "));
  EXPECT_TRUE(is(f, 12, "LIST") && is(f, 20, "hdrl") && is(f, 24, "avih"));
  EXPECT_EQ(le32(f, 32), 40000u);      // microseconds per frame
  EXPECT_EQ(le32(f, 32 + 12), 0x10u);  // has an index
  EXPECT_EQ(le32(f, 32 + 16), 3u);     // frames
  EXPECT_EQ(le32(f, 32 + 24), 1u);     // streams
  EXPECT_EQ(le32(f, 32 + 32), 352u);
  EXPECT_EQ(le32(f, 32 + 36), 240u);
  EXPECT_TRUE(is(f, 88, "LIST") && is(f, 96, "strl") && is(f, 100, "strh"));
  EXPECT_TRUE(is(f, 108, "vids") && is(f, 112, "xvid"));
  EXPECT_EQ(le32(f, 108 + 20), 40000u);    // scale
  EXPECT_EQ(le32(f, 108 + 24), 1000000u);  // rate
  EXPECT_EQ(le32(f, 108 + 32), 3u);        // length
  EXPECT_EQ(le32(f, 108 + 40), 10000u);    // quality
  EXPECT_EQ(le16(f, 108 + 52), 352);
  EXPECT_EQ(le16(f, 108 + 54), 240);
  EXPECT_TRUE(is(f, 164, "strf"));
  EXPECT_EQ(le32(f, 172), 40u);
  EXPECT_EQ(le16(f, 172 + 12), 1);
  EXPECT_EQ(le16(f, 172 + 14), 12);
  EXPECT_TRUE(is(f, 172 + 16, "XVID"));
  EXPECT_EQ(le32(f, 172 + 20), 352u * 240 * 6);
  EXPECT_TRUE(is(f, 212, "LIST") && is(f, 220, "movi"));
  const size_t movi_end = 220 + le32(f, 216);
  ASSERT_LE(movi_end + 8, f.size());
  ASSERT_TRUE(is(f, movi_end, "idx1"));
  ASSERT_EQ(le32(f, movi_end + 4), 3u * 16);
  ASSERT_EQ(movi_end + 8 + 48, f.size());
  const uint32_t sizes[] = {101, 50, 7};
  const uint8_t fill[] = {1, 2, 3};
  for (int i = 0; i < 3; ++i) {
    const size_t e = movi_end + 8 + 16 * i;
    EXPECT_TRUE(is(f, e, "00dc"));
    EXPECT_EQ(le32(f, e + 4), i == 0 ? 0x10u : 0u);  // only the key frame is flagged
    const size_t chunk = 220 + le32(f, e + 8);
    ASSERT_TRUE(is(f, chunk, "00dc")) << i;
    EXPECT_EQ(le32(f, chunk + 4), sizes[i]);
    EXPECT_EQ(le32(f, e + 12), sizes[i]);
    EXPECT_EQ(f[chunk + 8], fill[i]);
    EXPECT_EQ(chunk % 2, 0u);  // chunks start on even offsets
  }
}

TEST(AviWriter, WithoutDurationsThirtyFramesASecond) {
  TempDir dir;
  ovo::AviWriter avi;
  ASSERT_EQ(avi.open(dir.file("a.avi"), 16, 16), 1);
  const uint8_t x[4] = {};
  avi.write(x, 4, true, 0);
  EXPECT_EQ(avi.frame_duration_us(), 33333u);
}

TEST(AviWriter, APathThatCannotBeCreatedFailsQuietly) {
  TempDir dir;
  ovo::AviWriter avi;
  testing::internal::CaptureStdout();
  EXPECT_EQ(avi.open(dir.file("missing/a.avi"), 16, 16), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(avi.is_open());
  const uint8_t x[4] = {};
  EXPECT_EQ(avi.write(x, 4, true, 0), 0);
  // Refused sizes fail quietly too: the reason goes to the debug output only.
  testing::internal::CaptureStdout();
  EXPECT_EQ(avi.open(dir.file("b.avi"), 0, 16), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
