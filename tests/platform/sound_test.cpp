// The sound layer through its interface, on the none and WAV back-ends.
#include "velmora/sound.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "testing.h"

namespace {

using velmora::testing::TempDir;
using velmora::testing::wait_until;
using Clock = std::chrono::steady_clock;

const vp::PcmFormat kFormat{};  // 8000 Hz, mono, 16 bits

struct Wav {
  bool ok = false;
  uint16_t format_tag = 0, channels = 0, block_align = 0, bits = 0;
  uint32_t rate = 0, byte_rate = 0, riff_size = 0, data_size = 0;
  std::vector<int16_t> samples;
};

uint32_t le32(const std::string& s, size_t at) {
  return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 | static_cast<uint8_t>(s[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}
uint16_t le16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

Wav read_wav(const std::string& path) {
  const std::string s = velmora::testing::read_file(path);
  Wav w;
  if (s.size() < 44 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 8, "WAVEfmt ") != 0 ||
      s.compare(36, 4, "data") != 0)
    return w;
  w.riff_size = le32(s, 4);
  w.format_tag = le16(s, 20);
  w.channels = le16(s, 22);
  w.rate = le32(s, 24);
  w.byte_rate = le32(s, 28);
  w.block_align = le16(s, 32);
  w.bits = le16(s, 34);
  w.data_size = le32(s, 40);
  if (44 + static_cast<size_t>(w.data_size) > s.size()) return w;
  w.samples.resize(w.data_size / 2);
  std::memcpy(w.samples.data(), s.data() + 44, w.samples.size() * 2);
  w.ok = true;
  return w;
}

std::vector<int16_t> ramp(size_t n, int16_t first) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(first + static_cast<int>(i));
  return v;
}

class SoundTest : public ::testing::Test {
 protected:
  void use_wav() { ::setenv("VELMORA_AUDIO", ("wav:" + wav_path()).c_str(), 1); }
  void TearDown() override {
    ::unsetenv("VELMORA_AUDIO");
    vp::set_sound_volume(0xFFFFFFFFu);
  }
  std::string wav_path() const { return dir_.file("out.wav"); }
  TempDir dir_;
};

TEST_F(SoundTest, BackendComesFromTheEnvironment) {
  ::unsetenv("VELMORA_AUDIO");
  EXPECT_EQ(vp::sound_config().backend, vp::SoundBackend::kAlsa);
  ::setenv("VELMORA_AUDIO", "none", 1);
  EXPECT_EQ(vp::sound_config().backend, vp::SoundBackend::kNone);
  EXPECT_TRUE(vp::sound_device_present());
  ::setenv("VELMORA_AUDIO", "wav:/tmp/x y.wav", 1);
  EXPECT_EQ(vp::sound_config().backend, vp::SoundBackend::kWav);
  EXPECT_EQ(vp::sound_config().wav_path, "/tmp/x y.wav");
  ::setenv("VELMORA_AUDIO", "wav:", 1);
  EXPECT_EQ(vp::sound_config().backend, vp::SoundBackend::kNone);
  ::setenv("VELMORA_AUDIO", "pulse", 1);
  EXPECT_EQ(vp::sound_config().backend, vp::SoundBackend::kNone);
}

TEST_F(SoundTest, WavSinkWritesWhatWasPlayedWithAValidHeader) {
  use_wav();
  const auto samples = ramp(4000, -2000);
  {
    vp::SoundError error = vp::SoundError::kResources;
    auto stream = vp::open_sound_stream(kFormat, &error);
    ASSERT_TRUE(stream);
    EXPECT_EQ(error, vp::SoundError::kNone);
    ASSERT_TRUE(stream->write(samples.data(), samples.size() * 2));
    // Readable while it grows: the header always matches the data so far.
    ASSERT_TRUE(wait_until([&] { return read_wav(wav_path()).samples.size() >= 1000; }, std::chrono::seconds(10)));
    const Wav partial = read_wav(wav_path());
    ASSERT_TRUE(partial.ok);
    EXPECT_EQ(partial.riff_size, 36 + partial.data_size);
    stream->drain();
    EXPECT_EQ(stream->queued_bytes(), 0u);
  }
  const Wav w = read_wav(wav_path());
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.format_tag, 1);
  EXPECT_EQ(w.channels, 1);
  EXPECT_EQ(w.rate, 8000u);
  EXPECT_EQ(w.byte_rate, 16000u);
  EXPECT_EQ(w.block_align, 2);
  EXPECT_EQ(w.bits, 16);
  EXPECT_EQ(w.samples, samples);
}

TEST_F(SoundTest, PacedBackendsConsumeInRealTime) {
  for (const char* backend : {"none", "wav"}) {
    SCOPED_TRACE(backend);
    if (std::strcmp(backend, "none") == 0) {
      ::setenv("VELMORA_AUDIO", "none", 1);
    } else {
      use_wav();
    }
    auto stream = vp::open_sound_stream(kFormat);
    ASSERT_TRUE(stream);
    const std::vector<int16_t> second(8000, 100);  // one second of sound
    velmora::testing::StallMeter stalls;
    const auto start = Clock::now();
    ASSERT_TRUE(stream->write(second.data(), second.size() * 2));
    stream->drain();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    // A device cannot play one second of sound in much less than a second,
    // nor take much longer, unless the machine held the writer up.
    EXPECT_GE(ms, 950);
    EXPECT_LE(ms, 1500 + stalls.stalled().count());
  }
}

TEST_F(SoundTest, DiscardDropsWhatIsQueued) {
  use_wav();
  bool discarded_in_time = false;
  {
    auto stream = vp::open_sound_stream(kFormat);
    ASSERT_TRUE(stream);
    // Half a second: the write returns with the device queue (40 ms) full.
    const std::vector<int16_t> block(4000, 7);
    velmora::testing::StallMeter stalls;
    ASSERT_TRUE(stream->write(block.data(), block.size() * 2));
    const auto written = Clock::now();
    stream->discard();
    discarded_in_time =
        Clock::now() - written < std::chrono::milliseconds(20) && stalls.stalled() < std::chrono::milliseconds(20);
    EXPECT_EQ(stream->queued_bytes(), 0u);
  }
  const Wav w = read_wav(wav_path());
  ASSERT_TRUE(w.ok);
  // What was queued when the stream was discarded is not in the file. Only
  // a delay of 40 ms between the write and the discard could let it play,
  // which a busy machine may make.
  if (discarded_in_time) {
    EXPECT_LT(w.samples.size(), 4000u);
  }
  EXPECT_LE(w.samples.size(), 4000u);
}

TEST_F(SoundTest, AWavFileInUseIsNotShared) {
  use_wav();
  auto first = vp::open_sound_stream(kFormat);
  auto second = vp::open_sound_stream(kFormat);
  ASSERT_TRUE(first && second);
  const std::vector<int16_t> a(80, 1), b(80, 2);
  first->write(a.data(), 160);
  second->write(b.data(), 160);
  first.reset();
  second.reset();
  EXPECT_EQ(read_wav(wav_path()).samples, a);
  EXPECT_EQ(read_wav(wav_path() + ".1.wav").samples, b);
}

TEST_F(SoundTest, UnwritableWavPathIsNoDevice) {
  ::setenv("VELMORA_AUDIO", ("wav:" + dir_.file("missing/out.wav")).c_str(), 1);
  vp::SoundError error = vp::SoundError::kNone;
  EXPECT_FALSE(vp::open_sound_stream(kFormat, &error));
  EXPECT_EQ(error, vp::SoundError::kNoDevice);
  vp::PcmFormat eight_bit;
  eight_bit.bits_per_sample = 8;
  EXPECT_FALSE(vp::open_sound_stream(eight_bit, &error));
  EXPECT_EQ(error, vp::SoundError::kFormat);
}

TEST_F(SoundTest, VolumeScalesEachChannel) {
  std::vector<int16_t> mono = {1000, -1000, 32767, -32768};
  vp::apply_sound_volume(mono.data(), mono.size(), 1);
  EXPECT_EQ(mono, (std::vector<int16_t>{1000, -1000, 32767, -32768}));  // full volume leaves samples alone
  vp::set_sound_volume(0xFFFF0000u | 0x8000u);                          // left about half, right full
  EXPECT_EQ(vp::sound_volume(), 0xFFFF8000u);
  std::vector<int16_t> stereo = {1000, 1000, -32768, -32768};
  vp::apply_sound_volume(stereo.data(), stereo.size(), 2);
  EXPECT_EQ(stereo, (std::vector<int16_t>{500, 1000, -16384, -32768}));
  vp::set_sound_volume(0);
  vp::apply_sound_volume(mono.data(), mono.size(), 1);
  EXPECT_EQ(mono, (std::vector<int16_t>{0, 0, 0, 0}));
}

TEST_F(SoundTest, VolumeReachesTheWavFile) {
  use_wav();
  vp::set_sound_volume(0x00000000u);
  {
    auto stream = vp::open_sound_stream(kFormat);
    ASSERT_TRUE(stream);
    const std::vector<int16_t> loud(160, 20000);
    stream->write(loud.data(), loud.size() * 2);
    stream->drain();
  }
  EXPECT_EQ(read_wav(wav_path()).samples, std::vector<int16_t>(160, 0));
}

// The looping buffer as the channel engine uses it: three 100 ms segments
// with a notification at the end of each.
class LoopingBufferTest : public SoundTest {
 protected:
  static constexpr size_t kSegment = 1600;
  void open() {
    use_wav();
    buffer_ = vp::create_looping_sound_buffer(vp::open_sound_stream(kFormat), 3 * kSegment);
    ASSERT_TRUE(buffer_);
    ASSERT_TRUE(buffer_->set_notifications({kSegment - 1, 2 * kSegment - 1, 3 * kSegment - 1}));
  }
  std::unique_ptr<vp::LoopingSoundBuffer> buffer_;
};

TEST_F(LoopingBufferTest, NotificationsFollowTheSegmentsInOrder) {
  open();
  EXPECT_EQ(buffer_->wait_notification(0), -1);
  velmora::testing::StallMeter stalls;
  ASSERT_TRUE(buffer_->play());
  std::vector<int> seen;
  for (int i = 0; i < 5; ++i) seen.push_back(buffer_->wait_notification(5000));
  buffer_->stop();
  for (int i : seen) EXPECT_GE(i, 0);
  // A waiter held up for a segment's time (100 ms) finds two signalled and
  // takes the lower one first.
  if (stalls.stalled() < std::chrono::milliseconds(50)) {
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0, 1}));
  }
}

TEST_F(LoopingBufferTest, RefilledSegmentsPlayOnceInOrderAndStaleOnesAsSilence) {
  open();
  velmora::testing::StallMeter stalls;
  ASSERT_TRUE(buffer_->play());
  // Refill each segment just played with the next block, as the engine does.
  std::vector<int16_t> expected;
  for (int block = 0; block < 4; ++block) {
    const int i = buffer_->wait_notification(5000);
    ASSERT_GE(i, 0);
    const auto samples = ramp(kSegment / 2, static_cast<int16_t>(1 + block * 1000));
    ASSERT_TRUE(buffer_->write(static_cast<size_t>(i) * kSegment, samples.data(), kSegment));
    expected.insert(expected.end(), samples.begin(), samples.end());
  }
  // Let everything play out, and a round more.
  for (int i = 0; i < 6; ++i) ASSERT_GE(buffer_->wait_notification(5000), 0);
  buffer_->stop();
  buffer_.reset();
  const Wav w = read_wav(wav_path());
  ASSERT_TRUE(w.ok);
  std::vector<int16_t> heard;
  for (int16_t s : w.samples) {
    if (s != 0) heard.push_back(s);
  }
  // A writer held up for a segment's time refills a segment late, so part
  // of a block may be lost or come after the next; held up less, it keeps
  // pace and everything is heard once, in order.
  if (stalls.stalled() < std::chrono::milliseconds(50)) {
    EXPECT_EQ(heard, expected);
  } else {
    EXPECT_LE(heard.size(), expected.size());
  }
}

TEST_F(LoopingBufferTest, StopKeepsThePositionAndSetPositionMovesIt) {
  open();
  ASSERT_TRUE(buffer_->play());
  ASSERT_EQ(buffer_->wait_notification(5000), 0);
  buffer_->stop();
  const size_t at = buffer_->position();
  EXPECT_GE(at, kSegment);
  EXPECT_EQ(at % 320, 0u);
  buffer_->reset_notifications();
  EXPECT_EQ(buffer_->wait_notification(0), -1);
  buffer_->set_position(2 * kSegment);
  EXPECT_EQ(buffer_->position(), 2 * kSegment);
  ASSERT_TRUE(buffer_->play());
  EXPECT_EQ(buffer_->wait_notification(5000), 2);
  buffer_->stop();
}

TEST_F(LoopingBufferTest, RefusesWhatDoesNotFit) {
  open();
  const std::vector<uint8_t> big(3 * kSegment + 2, 1);
  EXPECT_FALSE(buffer_->write(0, big.data(), big.size()));
  EXPECT_FALSE(buffer_->write(3 * kSegment, big.data(), 2));
  EXPECT_TRUE(buffer_->write(3 * kSegment - 2, big.data(), 4));  // wraps round
  EXPECT_FALSE(buffer_->set_notifications({}));
  EXPECT_FALSE(buffer_->set_notifications({3 * kSegment}));
  ASSERT_TRUE(buffer_->play());
  EXPECT_FALSE(buffer_->set_notifications({0}));
  buffer_->stop();
  EXPECT_FALSE(vp::create_looping_sound_buffer(vp::open_sound_stream(kFormat), 3));  // not whole samples
  EXPECT_FALSE(vp::create_looping_sound_buffer(nullptr, 3200));
}

TEST_F(SoundTest, BlockQueuePlaysBlocksInOrderAndReportsEachOnce) {
  use_wav();
  std::mutex lock;
  std::vector<uintptr_t> done;
  auto queue = vp::open_sound_block_queue(kFormat, [&](uintptr_t user) {
    std::lock_guard<std::mutex> g(lock);
    done.push_back(user);
  });
  ASSERT_TRUE(queue);
  std::vector<std::vector<int16_t>> blocks;
  for (int i = 0; i < 3; ++i) blocks.push_back(ramp(400, static_cast<int16_t>(1 + 1000 * i)));
  for (size_t i = 0; i < blocks.size(); ++i) ASSERT_TRUE(queue->write(blocks[i].data(), 800, 10 + i));
  EXPECT_FALSE(queue->write(blocks[0].data(), 0, 99));
  ASSERT_TRUE(wait_until([&] { return queue->pending() == 0; }, std::chrono::seconds(10)));
  {
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(done, (std::vector<uintptr_t>{10, 11, 12}));
  }
  queue.reset();
  std::vector<int16_t> expected;
  for (const auto& b : blocks) expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(read_wav(wav_path()).samples, expected);
}

TEST_F(SoundTest, BlockQueueResetReportsDroppedBlocks) {
  ::setenv("VELMORA_AUDIO", "none", 1);
  std::atomic<int> done{0};
  auto queue = vp::open_sound_block_queue(kFormat, [&](uintptr_t) { done.fetch_add(1); });
  ASSERT_TRUE(queue);
  const std::vector<int16_t> long_block(8000, 5);  // a second each
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(queue->write(long_block.data(), 16000, i));
  velmora::testing::StallMeter stalls;
  const auto start = Clock::now();
  queue->reset();
  const auto took = Clock::now() - start;
  EXPECT_EQ(done.load(), 4);
  EXPECT_EQ(queue->pending(), 0u);
  // Far less than the four seconds the blocks would have played, unless the
  // machine held the threads up.
  EXPECT_LT(took, std::chrono::milliseconds(2000) + stalls.stalled());
  ASSERT_TRUE(queue->write(long_block.data(), 320, 7));
  ASSERT_TRUE(wait_until([&] { return done.load() == 5; }, std::chrono::seconds(10)));
}

}  // namespace
