// The frame ring's queueing rules, through play_add_ring1 with no decode
// thread running.
#include <gtest/gtest.h>

#include <functional>

#include "ovodec_fixture.h"

namespace {

using namespace ovotest;

class RingTest : public EngineTest {
 protected:
  ovo::Engine& engine() { return lib().engine; }
  int queued() {
    int n = 0;
    for (int i = 0; i < ovo::kRingSlots; ++i) n += engine().slot_state(i) != ovo::Engine::kFree;
    return n;
  }
};

TEST_F(RingTest, TheEleventhCallFindsTheRingFull) {
  const auto rec = record(video_spec(), fake_picture(1));
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(play_add_ring1(0, rec.data(), static_cast<int32_t>(rec.size()), 0, 0), 0) << i;
  }
  EXPECT_EQ(play_add_ring1(0, rec.data(), static_cast<int32_t>(rec.size()), 0, 0), -1);
  EXPECT_EQ(queued(), 10);
}

TEST_F(RingTest, SlotsHoldPayloadKindAndDuration) {
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(40000), fake_picture(1));
  append(buffer, audio_spec(20000), std::vector<uint8_t>(168, 0xD5));
  ASSERT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(engine().slot_state(0), ovo::Engine::kVideo);
  EXPECT_EQ(engine().slot_state(1), ovo::Engine::kAudio);
  EXPECT_EQ(engine().slot_length(0), 5);
  EXPECT_EQ(engine().slot_length(1), 168);
  EXPECT_EQ(engine().slot_pacing_us(0), 40000);
  EXPECT_EQ(engine().slot_pacing_us(1), 20000);
}

TEST_F(RingTest, SingleFrameQueuesOneRecordPacedBySpeedCode) {
  const int32_t expected[] = {1000000, 500000, 250000, 125000, 62500, 31250, 15625, 33333};
  for (int32_t speed = 0; speed <= 7; ++speed) {
    SCOPED_TRACE(speed);
    engine().reset_for_test();
    std::vector<uint8_t> buffer;
    for (int i = 0; i < 3; ++i) append(buffer, video_spec(33333), fake_picture(static_cast<uint8_t>(i)));
    ASSERT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 1, speed), 0);
    EXPECT_EQ(queued(), 1);
    EXPECT_EQ(engine().slot_pacing_us(0), expected[speed]);  // code 7 keeps the record's own
  }
}

TEST_F(RingTest, NoAudioModeCarriesAudioDurationsToTheNextVideo) {
  no_audio_mode_set(1);
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(33333), fake_picture(1));
  append(buffer, audio_spec(20000), std::vector<uint8_t>(168, 0xD5));
  append(buffer, audio_spec(20001), std::vector<uint8_t>(168, 0xD5));
  append(buffer, video_spec(33334), fake_picture(2));
  ASSERT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(queued(), 2);
  EXPECT_EQ(engine().slot_state(1), ovo::Engine::kVideo);
  EXPECT_EQ(engine().slot_pacing_us(0), 33333);
  EXPECT_EQ(engine().slot_pacing_us(1), 33334 + 20000 + 20001);
  // Audio left over at the end of a buffer is charged to the next buffer.
  std::vector<uint8_t> tail;
  append(tail, audio_spec(5000), std::vector<uint8_t>(168, 0xD5));
  ASSERT_EQ(play_add_ring1(0, tail.data(), static_cast<int32_t>(tail.size()), 0, 0), 0);
  const auto next = record(video_spec(1000), fake_picture(3));
  ASSERT_EQ(play_add_ring1(0, next.data(), static_cast<int32_t>(next.size()), 0, 0), 0);
  EXPECT_EQ(engine().slot_pacing_us(2), 6000);
  no_audio_mode_set(0);
}

TEST_F(RingTest, ViewerModeDropsTheBufferAtAnotherCamera) {
  Ovo_set_viewer_mode1(0, 2);
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(33333, 1), fake_picture(1));
  append(buffer, video_spec(33333, 2), fake_picture(2));
  EXPECT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(queued(), 0);

  std::vector<uint8_t> mixed;
  append(mixed, video_spec(33333, 2), fake_picture(1));
  append(mixed, video_spec(33333, 2), fake_picture(2));
  append(mixed, video_spec(33333, 3), fake_picture(3));
  append(mixed, video_spec(33333, 2), fake_picture(4));
  EXPECT_EQ(play_add_ring1(0, mixed.data(), static_cast<int32_t>(mixed.size()), 0, 0), 0);
  EXPECT_EQ(queued(), 2);

  Ovo_set_viewer_mode1(0, 0);
  EXPECT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(queued(), 4);
}

TEST_F(RingTest, BadRecordsEndTheBuffer) {
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;  // applied to the second record's header at 0
    int32_t length_cut;
  };
  const auto good = record(video_spec(), fake_picture(1));
  const size_t second = good.size();
  const Case cases[] = {
      {"unknown marker", [](std::vector<uint8_t>& b) { b[1] = 0xFD; }, 0},
      {"payload past the end", [](std::vector<uint8_t>& b) { b[16] = 200; }, 0},
      {"header cut short", [](std::vector<uint8_t>&) {}, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine().reset_for_test();
    std::vector<uint8_t> buffer = good;
    std::vector<uint8_t> bad = good;
    c.damage(bad);
    buffer.insert(buffer.end(), bad.begin(), bad.end());
    buffer.insert(buffer.end(), good.begin(), good.end());
    const int32_t length =
        c.length_cut ? static_cast<int32_t>(second + c.length_cut) : static_cast<int32_t>(buffer.size());
    EXPECT_EQ(play_add_ring1(0, buffer.data(), length, 0, 0), 0);
    EXPECT_EQ(queued(), 1);
  }
}

TEST_F(RingTest, APayloadLargerThanASlotIsRefusedWithTheRest) {
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(), std::vector<uint8_t>(ovo::kSlotBytes, 7));
  append(buffer, video_spec(), std::vector<uint8_t>(ovo::kSlotBytes + 1, 8));
  append(buffer, video_spec(), fake_picture(1));
  EXPECT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(queued(), 1);
  EXPECT_EQ(engine().slot_length(0), static_cast<int32_t>(ovo::kSlotBytes));  // exactly a slot fits
}

TEST_F(RingTest, NothingOrNullQueuesNothing) {
  EXPECT_EQ(play_add_ring1(0, nullptr, 100, 0, 0), 0);
  const auto rec = record(video_spec(), fake_picture(1));
  EXPECT_EQ(play_add_ring1(0, rec.data(), 0, 0, 0), 0);
  EXPECT_EQ(play_add_ring1(0, rec.data(), -5, 0, 0), 0);
  EXPECT_EQ(queued(), 0);
}

TEST_F(RingTest, AFullRingWithoutADecodeThreadDropsTheRestInsteadOfWaiting) {
  std::vector<uint8_t> buffer;
  for (int i = 0; i < 14; ++i) append(buffer, video_spec(), fake_picture(static_cast<uint8_t>(i)));
  EXPECT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  EXPECT_EQ(queued(), 10);
}

TEST_F(RingTest, BeforeTheFirstPictureGetBmpdataRefusesButFillsTheSummary) {
  int32_t count = -7, first = -7, second = -7;
  uint32_t time = 99;
  std::vector<uint8_t> rgb(ovo::kMaxRgbBytes + 1, 0x5A);
  EXPECT_EQ(get_bmpdata(&count, &first, &second, rgb.data(), &time), -1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(time, 0u);
  EXPECT_EQ(rgb[0], 0x5A);
}

TEST_F(RingTest, EntryPointsWithoutEffectReturnZero) {
  EXPECT_EQ(Ovo_play_close1(0), 0);
  EXPECT_EQ(Ovo_play_seek1(0, 1, 2), 0);
  EXPECT_EQ(Ovo_play_status1(0, 1, 2), 0);
  EXPECT_EQ(Ovo_play_view1(0, 1, 2), 0);
  EXPECT_EQ(Ovo_record_status1(0, 1, 2), 0);
  EXPECT_EQ(show_picture1(0, 1, 2), 0);
  EXPECT_EQ(Ovo_use_deinterlace1(0, 1), 0);
  EXPECT_TRUE(lib().presentation.deinterlace());
  EXPECT_EQ(Ovo_use_deinterlace1(0, 2), 0);
  EXPECT_FALSE(lib().presentation.deinterlace());
}

}  // namespace
