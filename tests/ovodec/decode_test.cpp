// Playback of real MPEG-4 streams: the pictures get_bmpdata returns against
// an independent decode, the error flag, and the pace.
#include <gtest/gtest.h>

#include <thread>

#include "clip_tools.h"

namespace {

using namespace ovotest;
using velmora::testing::TempDir;
using velmora::testing::wait_until;

class DecodeTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ovo::decoder_factory() = ovo::make_mpeg4_decoder;
    if (!ovo::make_mpeg4_decoder()) GTEST_SKIP() << "built without the decoder core";
    if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
  }
  // The current picture against ffmpeg's picture k.
  double current_psnr(const Clip& c, size_t k, bool deinterlace = false) {
    std::vector<uint8_t> rgb(ovo::kMaxRgbBytes + 1);
    int32_t count, first, second;
    uint32_t time;
    if (get_bmpdata(&count, &first, &second, rgb.data(), &time) != 0) return -1;
    const auto ref = reference_rgb(c, k, deinterlace);
    return psnr(rgb.data(), ref.data(), ref.size());
  }
  TempDir dir_;
};

TEST_F(DecodeTest, EachSteppedPictureMatchesAnIndependentDecode) {
  for (const auto& [name, w, h] : {std::tuple{"cam0_704x480", 704, 480}, std::tuple{"cam0_352x240", 352, 240}}) {
    SCOPED_TRACE(name);
    lib().engine.reset_for_test();
    const Clip clip = load_clip(name, w, h, dir_.path());
    ASSERT_EQ(clip.pictures.size(), 90u);
    ASSERT_EQ(clip.i420.size(), 90u);
    ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
    double worst = 99;
    for (size_t k = 0; k < clip.pictures.size(); ++k) {
      ASSERT_TRUE(hand_over(clip_record(clip, k), 1, 6));
      ASSERT_TRUE(wait_pictures(k + 1)) << k;
      const double db = current_psnr(clip, k);
      ASSERT_GE(db, 45.0) << "picture " << k;
      worst = std::min(worst, db);
    }
    EXPECT_EQ(err_flag_status(), 0);
    RecordProperty(std::string("worst_psnr_") + name, std::to_string(worst));
  }
}

TEST_F(DecodeTest, AGopHandedOverAtOnceEndsOnItsLastPicture) {
  const Clip clip = load_clip("cam0_352x240", 352, 240, dir_.path());
  ASSERT_EQ(clip.i420.size(), 90u);
  std::vector<uint8_t> gop;
  for (size_t k = 0; k < 15; ++k) {
    const auto rec = clip_record(clip, k, video_spec(1000));
    gop.insert(gop.end(), rec.begin(), rec.end());
  }
  ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
  ASSERT_TRUE(hand_over(gop));
  ASSERT_TRUE(wait_pictures(15));
  EXPECT_GE(current_psnr(clip, 14), 45.0);
  // Deinterlaced, it matches the filtered reference.
  Ovo_use_deinterlace1(0, 1);
  EXPECT_GE(current_psnr(clip, 14, true), 45.0);
}

TEST_F(DecodeTest, AStreamWithoutADecodableHeaderSetsTheErrorFlag) {
  const Clip clip = load_clip("cam0_352x240", 352, 240, dir_.path());
  ASSERT_EQ(clip.i420.size(), 90u);
  ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
  // P pictures without the stream headers before them.
  for (size_t k = 1; k < 4; ++k) ASSERT_TRUE(hand_over(clip_record(clip, k), 1, 6));
  ASSERT_TRUE(wait_until([] { return err_flag_status() == 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(lib().engine.pictures_decoded(), 0u);
  // The next intra picture carries them: the stream starts there.
  ASSERT_TRUE(clip.pictures[15].has_headers);
  ASSERT_TRUE(hand_over(clip_record(clip, 15), 1, 6));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(err_flag_status(), 0);
  EXPECT_GE(current_psnr(clip, 15), 45.0);
}

TEST_F(DecodeTest, PicturesOfARealStreamComeAt30PerSecond) {
  const Clip clip = load_clip("cam0_352x240", 352, 240, dir_.path(), false);
  ASSERT_EQ(clip.pictures.size(), 90u);
  std::vector<std::vector<uint8_t>> records;
  for (size_t k = 0; k < clip.pictures.size(); ++k) records.push_back(clip_record(clip, k));
  ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
  std::atomic<bool> done{false};
  std::thread feeder([&] {
    // The clip round and round, the ring kept full.
    for (size_t k = 0; !done.load(); k = (k + 1) % records.size()) {
      const auto& rec = records[k];
      while (!done.load() && play_add_ring1(0, rec.data(), static_cast<int32_t>(rec.size()), 0, 0) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  });
  ASSERT_TRUE(wait_pictures(1));
  expect_pace(std::chrono::milliseconds(3000), 33);
  done.store(true);
  feeder.join();
}

}  // namespace
