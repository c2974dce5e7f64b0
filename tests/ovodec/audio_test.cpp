// The sound of a played stream, heard through the WAV-file back-end.
#include <gtest/gtest.h>

#include "alaw.h"
#include "ovodec_fixture.h"
#include "reference_tools.h"

namespace {

using namespace ovotest;
using velmora::testing::TempDir;
using velmora::testing::wait_until;

std::vector<int16_t> wav_samples(const std::string& path) {
  const std::string s = velmora::testing::read_file(path);
  if (s.size() < 44) return {};
  uint32_t data_size;
  std::memcpy(&data_size, s.data() + 40, 4);
  data_size = std::min<uint32_t>(data_size, static_cast<uint32_t>(s.size() - 44));
  std::vector<int16_t> samples(data_size / 2);
  std::memcpy(samples.data(), s.data() + 44, samples.size() * 2);
  return samples;
}

// Runs of sound between silences (A-law never expands to 0).
std::vector<std::vector<int16_t>> sound_runs(const std::vector<int16_t>& samples) {
  std::vector<std::vector<int16_t>> runs;
  bool in_run = false;
  for (int16_t s : samples) {
    if (s == 0) {
      in_run = false;
      continue;
    }
    if (!in_run) runs.emplace_back();
    in_run = true;
    runs.back().push_back(s);
  }
  return runs;
}

class AudioTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    wav_ = dir_.file("heard.wav");
    ::setenv("VELMORA_AUDIO", ("wav:" + wav_).c_str(), 1);
    lib().replace_sound_for_test(nullptr);
  }
  TempDir dir_;
  std::string wav_;
};

TEST_F(AudioTest, ALawAudioIsHeardExactlyInWholeBlocks) {
  if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
  const std::string clip = velmora::testing::clips_dir() + "/tone_440.alaw";
  const auto alaw = zebsim::read_binary_file(clip);
  const auto reference = ffmpeg_alaw(clip, dir_.path());
  ASSERT_GE(alaw.size(), 12000u);
  ASSERT_EQ(reference.size(), alaw.size());
  // 1.5 s: 75 audio records of 160 samples (20 ms) with 45 pictures among them.
  constexpr int kPieces = 75;
  std::vector<uint8_t> stream;
  std::vector<int16_t> expected;
  append(stream, video_spec(33333), fake_headers(16, 8, 30));
  for (int piece = 0; piece < kPieces; ++piece) {
    std::vector<uint8_t> payload = {1, 2, 3, 4, 5, 6, 7, 8};  // not sound
    payload.insert(payload.end(), alaw.begin() + piece * 160, alaw.begin() + (piece + 1) * 160);
    append(stream, audio_spec(20000), payload);
    expected.insert(expected.end(), reference.begin() + piece * 160, reference.begin() + (piece + 1) * 160);
    if (piece % 5 != 4 && piece % 5 != 1) append(stream, video_spec(33333), fake_picture(static_cast<uint8_t>(40 + piece)));
  }
  // Pictures keep coming while the last blocks play out.
  for (int i = 0; i < 30; ++i) append(stream, video_spec(33333), fake_picture(static_cast<uint8_t>(200 + i)));
  ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
  ASSERT_TRUE(hand_over(stream));
  // Heard: everything, or under the sanitizers what the pace allowed.
  const bool all = wait_until([&] {
    size_t n = 0;
    for (int16_t s : wav_samples(wav_)) n += s != 0;
    return n >= expected.size();
  }, std::chrono::seconds(sanitizer_run() ? 30 : 15));
  stop_play_thread();
  ASSERT_TRUE(lib().worker.wait_ended(10000));

  const auto runs = sound_runs(wav_samples(wav_));
  ASSERT_FALSE(runs.empty());
  // Each run is a stretch of the stream starting at a 100 ms block, and the
  // runs follow the stream's order. Runs are whole blocks, unless a stop
  // cut one short: under the sanitizers the ring may run dry for a moment,
  // which stops the sound at once.
  size_t at = 0;
  for (const auto& run : runs) {
    if (!sanitizer_run()) {
      ASSERT_EQ(run.size() % 800, 0u) << "a run of " << run.size() << " samples";
    }
    auto it = std::search(expected.begin() + at, expected.end(), run.begin(), run.end());
    ASSERT_NE(it, expected.end()) << "a run that is not the stream's next sound";
    ASSERT_EQ((it - expected.begin()) % 800, 0);
    at = static_cast<size_t>(it - expected.begin()) + run.size();
  }
  if (sanitizer_run()) return;
  ASSERT_TRUE(all);
  std::vector<int16_t> heard;
  for (const auto& run : runs) heard.insert(heard.end(), run.begin(), run.end());
  EXPECT_EQ(heard, expected);
}

TEST_F(AudioTest, LongAudioPayloadsAreDroppedAndNoAudioModeHearsNothing) {
  std::vector<uint8_t> stream;
  append(stream, video_spec(1000), fake_headers(16, 8, 30));
  for (int i = 0; i < 10; ++i) append(stream, audio_spec(1000), std::vector<uint8_t>(300, 0xD5));  // longer than 256
  no_audio_mode_set(1);
  for (int i = 0; i < 10; ++i) append(stream, audio_spec(1000), std::vector<uint8_t>(168, 0xD5));
  for (int i = 0; i < 5; ++i) append(stream, video_spec(20000), fake_picture(static_cast<uint8_t>(40 + i)));
  ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
  ASSERT_TRUE(hand_over(stream));
  ASSERT_TRUE(wait_pictures(6));
  stop_play_thread();
  ASSERT_TRUE(lib().worker.wait_ended(10000));
  for (int16_t s : wav_samples(wav_)) ASSERT_EQ(s, 0);
}

TEST(Alaw, EveryCodeExpandsAsFfmpegDoes) {
  if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is the reference";
  TempDir dir;
  std::vector<uint8_t> codes(256);
  for (int i = 0; i < 256; ++i) codes[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(zebsim::write_binary_file(dir.file("codes.alaw"), codes));
  const auto reference = ffmpeg_alaw(dir.file("codes.alaw"), dir.path());
  ASSERT_EQ(reference.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(ovo::alaw_to_linear(static_cast<uint8_t>(i)), reference[i]) << i;
}

}  // namespace
