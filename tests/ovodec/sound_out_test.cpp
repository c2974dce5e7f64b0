// The sound output object: block assembly, the segment ring and the lag rule,
// driven by a scripted buffer and a test clock.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <vector>

#include "ovodec_internal.h"

namespace {

// A looping buffer whose notifications come from the test.
class ScriptedBuffer : public vp::LoopingSoundBuffer {
 public:
  std::deque<int> notifications;  // what wait_notification returns next (-1 when empty)
  std::vector<std::pair<size_t, std::vector<uint8_t>>> writes;
  int plays = 0, stops = 0, silences = 0, resets = 0;
  size_t position_ = 999;
  bool fail_writes = false;

  size_t size() const override { return ovo::kSoundBufferBytes; }
  bool set_notifications(const std::vector<size_t>&) override { return true; }
  bool play() override {
    ++plays;
    return true;
  }
  void stop() override { ++stops; }
  bool write(size_t offset, const void* data, size_t bytes) override {
    if (fail_writes) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    writes.emplace_back(offset, std::vector<uint8_t>(p, p + bytes));
    return true;
  }
  bool fill_silence() override {
    ++silences;
    return true;
  }
  void set_position(size_t offset) override { position_ = offset; }
  size_t position() const override { return position_; }
  void reset_notifications() override { ++resets; }
  int wait_notification(uint32_t) override {
    if (notifications.empty()) return -1;
    const int i = notifications.front();
    notifications.pop_front();
    return i;
  }
};

class SoundOutTest : public ::testing::Test {
 protected:
  SoundOutTest()
      : sound_(
            [this](std::string* failed_step, bool* device) -> std::unique_ptr<vp::LoopingSoundBuffer> {
              ++creations_;
              *device = device_;
              if (!failed_step_.empty()) {
                *failed_step = failed_step_;
                return nullptr;
              }
              auto b = std::make_unique<ScriptedBuffer>();
              buffer_ = b.get();
              return b;
            },
            [this] { return now_ms_; }) {}

  // A 20 ms piece whose samples all hold value.
  ovo::PieceResult put(int16_t value, size_t bytes = ovo::kSoundPieceBytes) {
    std::vector<int16_t> piece(bytes / 2, value);
    return sound_.put_piece(piece.data(), bytes);
  }
  void put_block(int16_t value) {
    for (int i = 0; i < 4; ++i) ASSERT_EQ(put(value), ovo::PieceResult::kGathered);
  }

  int creations_ = 0;
  bool device_ = true;
  std::string failed_step_;
  uint32_t now_ms_ = 1000;
  ScriptedBuffer* buffer_ = nullptr;
  ovo::SoundOut sound_;
};

TEST_F(SoundOutTest, BlocksGoToTheSegmentJustPlayed) {
  sound_.open(8000, 16, 1);
  ASSERT_TRUE(buffer_);
  EXPECT_EQ(buffer_->plays, 1);  // creating the device starts it
  buffer_->notifications = {0, 1, 2, 0};
  for (int block = 0; block < 4; ++block) {
    put_block(static_cast<int16_t>(100 + block));
    ASSERT_EQ(put(static_cast<int16_t>(100 + block)), ovo::PieceResult::kWritten);
  }
  ASSERT_EQ(buffer_->writes.size(), 4u);
  const size_t offsets[] = {0, 1600, 3200, 0};
  for (int block = 0; block < 4; ++block) {
    EXPECT_EQ(buffer_->writes[block].first, offsets[block]);
    ASSERT_EQ(buffer_->writes[block].second.size(), 1600u);
    int16_t first;
    std::memcpy(&first, buffer_->writes[block].second.data(), 2);
    EXPECT_EQ(first, 100 + block);
  }
  EXPECT_EQ(sound_.lag_counter(), 0);
  EXPECT_EQ(sound_.last_segment(), 0);
}

TEST_F(SoundOutTest, PiecesKeepTheirOrderInsideTheBlock) {
  sound_.open(8000, 16, 1);
  buffer_->notifications = {0};
  for (int i = 0; i < 5; ++i) put(static_cast<int16_t>(i + 1));
  ASSERT_EQ(buffer_->writes.size(), 1u);
  const auto& block = buffer_->writes[0].second;
  for (int i = 0; i < 5; ++i) {
    int16_t s;
    std::memcpy(&s, block.data() + i * 320 + 318, 2);
    EXPECT_EQ(s, i + 1);
  }
}

TEST_F(SoundOutTest, AMissedNotificationHoldsTheNextBlocksForUpTo90ms) {
  sound_.open(8000, 16, 1);
  buffer_->notifications = {0, 2};
  put_block(1);
  put(1);
  put_block(2);
  ASSERT_EQ(put(2), ovo::PieceResult::kWritten);  // segment 2 after 0: one missed
  EXPECT_EQ(sound_.lag_counter(), 5);
  EXPECT_EQ(buffer_->writes.back().first, 3200u);

  // The next block is complete but held; while the lag lasts, each further
  // piece within 90 ms is dropped and counts the lag down.
  buffer_->notifications = {0, 1};
  now_ms_ += 10;
  put_block(3);
  EXPECT_EQ(put(3), ovo::PieceResult::kSkipped);
  EXPECT_EQ(sound_.lag_counter(), 4);
  EXPECT_EQ(sound_.pieces_filled(), 5);
  now_ms_ += 79;  // 89 ms after the miss
  EXPECT_EQ(put(9), ovo::PieceResult::kSkipped);
  EXPECT_EQ(sound_.lag_counter(), 3);
  now_ms_ += 1;  // 90 ms: the held block is written
  EXPECT_EQ(put(9), ovo::PieceResult::kWritten);
  EXPECT_EQ(sound_.lag_counter(), 3);
  EXPECT_EQ(sound_.pieces_filled(), 0);
  ASSERT_EQ(buffer_->writes.size(), 3u);
  int16_t s;
  std::memcpy(&s, buffer_->writes.back().second.data() + 1598, 2);
  EXPECT_EQ(s, 3);  // the held block, not the dropped pieces
}

TEST_F(SoundOutTest, TheLagCountsDownToZeroThenBlocksAreWrittenAgain) {
  sound_.open(8000, 16, 1);
  buffer_->notifications = {1, 0};
  put_block(1);
  put(1);
  put_block(1);
  put(1);
  EXPECT_EQ(sound_.lag_counter(), 5);  // 1 then 0: a jump
  buffer_->notifications = {1};
  put_block(1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(put(1), ovo::PieceResult::kSkipped);
  EXPECT_EQ(sound_.lag_counter(), 0);
  EXPECT_EQ(put(1), ovo::PieceResult::kWritten);
}

TEST_F(SoundOutTest, APieceLongerThan320BytesIsIgnored) {
  sound_.open(8000, 16, 1);
  EXPECT_EQ(put(5, 400), ovo::PieceResult::kIgnored);
  EXPECT_EQ(sound_.pieces_filled(), 0);
  EXPECT_EQ(put(5, 320), ovo::PieceResult::kGathered);
  EXPECT_EQ(sound_.pieces_filled(), 1);
}

TEST_F(SoundOutTest, ASecondOpenOnlyEmptiesTheBlock) {
  sound_.open(8000, 16, 1);
  put(1);
  put(1);
  EXPECT_EQ(sound_.pieces_filled(), 2);
  sound_.open(8000, 16, 1);
  EXPECT_EQ(creations_, 1);
  EXPECT_EQ(sound_.pieces_filled(), 0);
  EXPECT_EQ(buffer_->plays, 1);
}

TEST_F(SoundOutTest, StopSilencesAndRewinds) {
  sound_.open(8000, 16, 1);
  sound_.stop();
  EXPECT_EQ(buffer_->stops, 1);
  EXPECT_EQ(buffer_->silences, 1);
  EXPECT_EQ(buffer_->position_, 0u);
  EXPECT_EQ(buffer_->resets, 1);
  EXPECT_FALSE(sound_.playing());
  // Nothing is heard while stopped: pieces are not gathered.
  EXPECT_EQ(put(1), ovo::PieceResult::kNoSound);
  sound_.start();
  EXPECT_TRUE(sound_.playing());
  EXPECT_EQ(put(1), ovo::PieceResult::kGathered);
}

TEST_F(SoundOutTest, AfterARestartTheFirstNotificationIsNotAMiss) {
  // Blocks at segments 0 and 1, then the stream pauses: the stop rewinds the
  // buffer, so the next notification is segment 0 again.
  sound_.open(8000, 16, 1);
  buffer_->notifications = {0, 1};
  for (int block = 0; block < 2; ++block) {
    put_block(1);
    ASSERT_EQ(put(1), ovo::PieceResult::kWritten);
  }
  sound_.stop();
  sound_.start();
  buffer_->notifications = {0, 1, 2};
  for (int block = 0; block < 3; ++block) {
    put_block(static_cast<int16_t>(2 + block));
    ASSERT_EQ(put(static_cast<int16_t>(2 + block)), ovo::PieceResult::kWritten) << block;
  }
  EXPECT_EQ(sound_.lag_counter(), 0);
  ASSERT_EQ(buffer_->writes.size(), 5u);
  EXPECT_EQ(buffer_->writes[2].first, 0u);
  EXPECT_EQ(buffer_->writes[4].first, 3200u);
}

TEST_F(SoundOutTest, AFailedSetUpNeverPlays) {
  failed_step_ = "Set NotificationPosition Failed!";
  sound_.open(8000, 16, 1);
  EXPECT_EQ(sound_.status_text(), ovo::kStatusSetFormatFailed);
  sound_.start();
  EXPECT_FALSE(sound_.playing());
  EXPECT_EQ(put(1), ovo::PieceResult::kNoSound);
}

TEST_F(SoundOutTest, WithoutADeviceStartReportsIt) {
  device_ = false;
  failed_step_ = "Create DirectSound Failed!";
  sound_.open(8000, 16, 1);
  EXPECT_EQ(sound_.status_text(), ovo::kStatusNotCreated);
  EXPECT_FALSE(sound_.created());
  EXPECT_EQ(put(1), ovo::PieceResult::kNoSound);
}

TEST_F(SoundOutTest, ADeviceThatStopsNotifyingDropsTheBlockInsteadOfHanging) {
  sound_.open(8000, 16, 1);
  put_block(1);
  EXPECT_EQ(put(1), ovo::PieceResult::kNoSound);  // the scripted buffer never notifies
  EXPECT_EQ(sound_.pieces_filled(), 0);
  buffer_->fail_writes = true;
  buffer_->notifications = {0};
  put_block(1);
  EXPECT_EQ(put(1), ovo::PieceResult::kNoSound);
  EXPECT_EQ(sound_.status_text(), ovo::kStatusLockFailed);
}

// The sound clock, over a scripted device: a block written at segment i
// plays when the pump next reaches that segment, and what is heard is what
// was handed to the device less what it still holds (16 bytes a millisecond).
class ScriptedCounter : public ovo::PlayedCounter {
 public:
  uint64_t handed = 0, queued = 0;
  uint64_t handed_bytes() override { return handed; }
  uint64_t device_queued_bytes() override { return queued; }
};

// A device that takes what it is given only as its queue has room, as
// ALSA's blocking write does: while it takes the last part of a write, the
// counter already holds the parts it took before, so the clock (handed less
// held) moves on as the device plays rather than standing still until the
// whole write returns.
class TakingDevice : public vp::SoundStream {
 public:
  std::vector<size_t> sizes;               // of each write the device got
  std::vector<uint64_t> counted_at_write;  // the counter as each began
  ovo::PlayedCounter* counter = nullptr;
  bool fail_third = false;
  bool write(const void*, size_t bytes) override {
    sizes.push_back(bytes);
    counted_at_write.push_back(counter ? counter->handed_bytes() : 0);
    return !(fail_third && sizes.size() == 3);
  }
  void discard() override {}
  void drain() override {}
  size_t queued_bytes() override { return 0; }
  const vp::PcmFormat& format() const override { return format_; }

 private:
  vp::PcmFormat format_;  // 8,000 Hz, mono, 16 bits: 16 bytes a millisecond
};

TEST(SoundClock, TheDeviceIsHandedAWriteInCountedPiecesOfFiveMilliseconds) {
  auto device = std::make_unique<TakingDevice>();
  TakingDevice* d = device.get();
  ovo::CountedStream counted = ovo::count_handed_bytes(std::move(device));
  d->counter = counted.counter;
  // One 20 ms piece of the pump (320 bytes) and a last odd byte, which is
  // no whole sample and is not passed on.
  std::vector<uint8_t> bytes(321, 0);
  ASSERT_TRUE(counted.stream->write(bytes.data(), bytes.size()));
  EXPECT_EQ(d->sizes, (std::vector<size_t>{80, 80, 80, 80}));
  EXPECT_EQ(d->counted_at_write, (std::vector<uint64_t>{0, 80, 160, 240}));
  EXPECT_EQ(counted.counter->handed_bytes(), 320u);
  // A device that fails takes no more, and what it refused is not counted.
  d->fail_third = true;
  d->sizes.clear();
  d->counted_at_write.clear();
  EXPECT_FALSE(counted.stream->write(bytes.data(), 320));
  EXPECT_EQ(d->sizes.size(), 3u);
  EXPECT_EQ(counted.counter->handed_bytes(), 320u + 160u);
}

TEST(SoundClock, FollowsThePlayedBytesOfEachWrittenBlock) {
  ScriptedBuffer* buffer = nullptr;
  ScriptedCounter counter;
  ovo::SoundOut sound(
      ovo::SoundOut::CountingCreator(
          [&](std::string*, bool* device, ovo::PlayedCounter** c) -> std::unique_ptr<vp::LoopingSoundBuffer> {
            *device = true;
            *c = &counter;
            auto b = std::make_unique<ScriptedBuffer>();
            buffer = b.get();
            return b;
          }),
      [] { return 0u; });
  sound.open(8000, 16, 1);
  ASSERT_TRUE(buffer);
  std::vector<int16_t> piece(160, 7);
  auto put_block = [&](int64_t media_us) {
    for (int i = 0; i < 5; ++i) sound.put_piece(piece.data(), 320, media_us + 20000 * i);
  };
  int64_t heard = 0;
  EXPECT_FALSE(sound.heard_media_us(&heard));  // nothing written yet

  // The pump has handed over segment 0 (1,600 bytes) and the device holds
  // 40 ms of it; the block for segment 0 starts 3,200 bytes on, at 4,800.
  counter.handed = 1600;
  counter.queued = 640;
  buffer->notifications = {0};
  put_block(2000000);
  ASSERT_EQ(buffer->writes.size(), 1u);
  // Heard: 960 bytes, 3,840 (240 ms) before the block's start.
  ASSERT_TRUE(sound.heard_media_us(&heard));
  EXPECT_EQ(heard, 1760000);
  // The next block, written as the pump passes segment 1, plays right after
  // the first.
  counter.handed = 3200;
  buffer->notifications = {1};
  put_block(2100000);
  ASSERT_EQ(buffer->writes.size(), 2u);
  counter.handed = 4800 + 640;
  ASSERT_TRUE(sound.heard_media_us(&heard));
  EXPECT_EQ(heard, 2000000);
  counter.handed = 4800 + 800 + 640;
  ASSERT_TRUE(sound.heard_media_us(&heard));
  EXPECT_EQ(heard, 2050000);
  counter.handed = 6400 + 640 + 160;
  ASSERT_TRUE(sound.heard_media_us(&heard));
  EXPECT_EQ(heard, 2110000);

  // Past the last block and 20 ms of slack the device plays silence.
  counter.handed = 6400 + 1600 + 320 + 640;
  ASSERT_TRUE(sound.heard_media_us(&heard));
  EXPECT_EQ(heard, 2200000 + 20000);
  counter.handed += 2;
  EXPECT_FALSE(sound.heard_media_us(&heard));

  // A stop forgets the blocks; the buffer plays again from its first byte.
  sound.stop();
  EXPECT_FALSE(sound.heard_media_us(&heard));
  sound.start();
  counter.handed += 1600;  // segment 0 handed over since
  counter.queued = 0;
  buffer->notifications = {0};
  put_block(500000);
  ASSERT_TRUE(sound.heard_media_us(&heard));
  EXPECT_EQ(heard, 500000 - 200000);
}

TEST(Alaw, ExpansionFollowsG711) {
  EXPECT_EQ(ovo::alaw_to_linear(0x00), -5504);
  EXPECT_EQ(ovo::alaw_to_linear(0x80), 5504);
  EXPECT_EQ(ovo::alaw_to_linear(0xD5), 8);
  EXPECT_EQ(ovo::alaw_to_linear(0x55), -8);
  EXPECT_EQ(ovo::alaw_to_linear(0xAA), 32256);  // largest magnitude
  EXPECT_EQ(ovo::alaw_to_linear(0x2A), -32256);
  for (int code = 0; code < 128; ++code) {
    // The sign bit mirrors the value; no code expands to 0.
    EXPECT_EQ(ovo::alaw_to_linear(static_cast<uint8_t>(code)), -ovo::alaw_to_linear(static_cast<uint8_t>(code | 0x80)));
    EXPECT_NE(ovo::alaw_to_linear(static_cast<uint8_t>(code)), 0);
  }
  const uint8_t payload[] = {1, 2, 3, 4, 5, 6, 7, 8, 0xD5, 0x55};
  int16_t out[2];
  ASSERT_EQ(ovo::expand_audio_payload(payload, sizeof payload, out), 2u);
  EXPECT_EQ(out[0], 8);
  EXPECT_EQ(out[1], -8);
  EXPECT_EQ(ovo::expand_audio_payload(payload, 8, out), 0u);
}

}  // namespace
