// The downloaded-file player on a file copied from the simulated recorder:
// opening with and without an index, the pictures of every channel against
// an independent decode, the key-picture modes, positions, time search, the
// picture files and the audio it hands to the wave output.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "brinlib_internal.h"
#include "dl_fixture.h"
#include "reference_audio.h"
#include "velmora/rectime.h"
#include "zebsim/live.h"

namespace {

using namespace std::chrono_literals;
using velmora::testing::file_exists;
using velmora::testing::TempDir;
using velmora::testing::wait_until;
namespace dlt = brin::dl::testing;

using dl_test::clear_messages;
using dl_test::messages;

bool copy_file(const std::string& from, const std::string& to) {
  return zebsim::write_binary_file(to, zebsim::read_binary_file(from));
}

const uint32_t kSpanStart = vp::rec_seconds(2026, 12, 7, 10, 0, 0);

// The clip picture a packet of the copy holds: the recording shows groups of
// 15 pictures going round the 90-picture clip.
size_t clip_picture(uint32_t time) {
  const uint64_t n = (time - static_cast<uint32_t>(dl_test::kSpanStartTicks)) / 3000;
  return static_cast<size_t>(((n / 15) % 6) * 15 + n % 15);
}

class Player : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("VELMORA_AUDIO", "none", 1);
    copy_dir_ = new TempDir;
    dl_test::CopyServer server({}, 3);
    ASSERT_TRUE(server.ready());
    const dl_test::CopyRun run = dl_test::run_copy(3, copy_dir_->file("copy.dat"), copy_dir_->path());
    ASSERT_EQ(run.fast, 1);
    ASSERT_EQ(run.results.back(), 0);
    for (int k = 0; k < 4; ++k) {
      const std::string clip = velmora::testing::clips_dir() + "/cam" + std::to_string(k) + "_704x480.m4v";
      frames_[k] = dl_test::ffmpeg_clip_frames(clip, 704, 480);
    }
  }
  static void TearDownTestSuite() {
    delete copy_dir_;
    copy_dir_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(decode_init(), 0);
    clear_messages();
  }
  void TearDown() override {
    Mpeg4DLdata_fileclose();
    wave_play_ctrl(0);
    decode_deinit();
  }
  static std::string data() { return copy_dir_->file("copy.dat"); }
  static std::string index_folder() { return copy_dir_->path(); }
  int32_t open() { return Mpeg4DLdata_fileopen(data().c_str(), bmp_.path().c_str(), index_folder().c_str(), 10); }
  std::vector<brin::dl::IndexEntry> copy_index() const {
    const std::vector<uint8_t> bytes = dl_test::bytes_of(copy_dir_->file(".index"));
    return brin::dl::parse_index(bytes.data(), bytes.size(), static_cast<int64_t>(dl_test::bytes_of(data()).size()));
  }
  std::vector<int64_t> key_positions(int channel) const {
    std::vector<int64_t> out;
    for (const auto& e : copy_index())
      if (e.kind == 0 && e.channel == channel) out.push_back(static_cast<int64_t>(e.position));
    return out;
  }
  static std::vector<dlt::Played> played_of(int channel) {
    std::vector<dlt::Played> out;
    for (const auto& p : dlt::played())
      if (p.channel == channel) out.push_back(p);
    return out;
  }
  // The channel's picture file against the clip picture that the packet at
  // time shows.
  double picture_psnr(int channel, uint32_t time) {
    if (Mpeg4DLdata_filelock(channel) != 1) return 0;
    dl_test::Bmp bmp;
    if (!dl_test::read_bmp(bmp_.file(std::to_string(channel) + ".bmp"), &bmp)) return 0;
    const dl_test::ClipFrames& f = frames_[channel];
    const size_t i = clip_picture(time);
    if (i >= f.i420.size()) return 0;
    return dl_test::psnr(bmp, dl_test::i420_to_bgr(f.i420[i].data(), f.width, f.height), f.width, f.height);
  }

  static TempDir* copy_dir_;
  static dl_test::ClipFrames frames_[4];
  TempDir bmp_;
};

TempDir* Player::copy_dir_ = nullptr;
dl_test::ClipFrames Player::frames_[4];

TEST_F(Player, OpensTheCopyWithItsIndex) {
  const int64_t size = static_cast<int64_t>(dl_test::bytes_of(data()).size());
  EXPECT_EQ(open(), size);
  EXPECT_EQ(Mpeg4DLdata_get_m_nPlayMode(), 2);  // a newly opened file waits
  EXPECT_EQ(Mpeg4DLdata_frame_index(index_folder().c_str(), 0), 1);
  EXPECT_EQ(Mpeg4DLdata_frame_index(index_folder().c_str(), 10), 10);
  EXPECT_EQ(dlt::data_start(), 292);
  EXPECT_EQ(dlt::first_time(), static_cast<uint32_t>(dl_test::kSpanStartTicks));
  EXPECT_EQ(dlt::base_time(), 15);  // the pack header's clock reference: the first chunk's frame count
  // The last intra picture lies 1.5 s in (the fourth group).
  EXPECT_EQ(dlt::last_time() - dlt::first_time(), 135000u);
  EXPECT_EQ(dlt::key_interval().class_ms, 500);  // audio present

  int32_t video = -1, audio = -1;
  // The index was there: the audio mask is the result; without the audio
  // output on it holds no channels.
  EXPECT_EQ(Mpeg4DLdata_get_enable_ch(&video, &audio, index_folder().c_str(), 10), 0);
  EXPECT_EQ(video, 0xF);
  EXPECT_EQ(audio, 0);
  EXPECT_TRUE(messages().empty());

  // Only one file at a time.
  EXPECT_EQ(open(), 0);
  EXPECT_EQ(Mpeg4DLdata_fileclose(), 0);
  EXPECT_EQ(Mpeg4DLdata_get_m_nPlayMode(), 9);

  wave_play_ctrl(3);
  ASSERT_EQ(open(), size);
  EXPECT_EQ(Mpeg4DLdata_get_enable_ch(&video, &audio, index_folder().c_str(), 10), 0x3);
  EXPECT_EQ(audio, 0x3);
}

TEST_F(Player, RefusesWhatItCannotOpen) {
  EXPECT_EQ(Mpeg4DLdata_fileopen((bmp_.path() + "/missing.dat").c_str(), bmp_.path().c_str(), bmp_.path().c_str(), 10),
            0);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].first, "error: file open error ");
  EXPECT_EQ(messages()[0].second, bmp_.path() + "/missing.dat");
  // A picture folder longer than the player keeps.
  const std::string long_folder(200, 'x');
  EXPECT_EQ(Mpeg4DLdata_fileopen(data().c_str(), long_folder.c_str(), index_folder().c_str(), 10), 0);
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(100), -1);
  EXPECT_EQ(Mpeg4DLdata_set_PlayPos(100, 50), -1);
  EXPECT_EQ(Mpeg4DLdata_search(kSpanStart, 100), 0);
  decode_deinit();
  EXPECT_EQ(open(), 0);  // not initialised
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(0), -1);
  ASSERT_EQ(decode_init(), 0);
}

TEST_F(Player, PlaysEveryChannelAsDecodedIndependently) {
  ASSERT_GT(open(), 0);
  for (int ch = 0; ch < 4; ++ch) {
    SCOPED_TRACE(ch);
    Mpeg4DLdata_set_disptype(ch);
    Mpeg4DLdata_set_PlayPos(100, 0);
    dlt::clear_played();
    Mpeg4DLdata_fileunlock(ch);
    Mpeg4DLdata_set_m_nPlayMode(0);
    // Two seconds of thirty pictures, played at their own pace.
    ASSERT_TRUE(wait_until([&] { return played_of(ch).size() >= 60; }, 60s));
    ASSERT_TRUE(wait_until([] { return Mpeg4DLdata_get_PlayPos(100) == 100; }, 10s));
    Mpeg4DLdata_set_m_nPlayMode(2);
    const std::vector<dlt::Played> played = played_of(ch);
    ASSERT_EQ(played.size(), 60u);
    for (size_t i = 0; i < played.size(); ++i) {
      EXPECT_TRUE(played[i].picture) << i;
      EXPECT_EQ(played[i].time, dl_test::kSpanStartTicks + 3000 * i) << i;
    }
    EXPECT_GE(picture_psnr(ch, played.back().time), 40.0);
    // The other channels were not decoded.
    EXPECT_EQ(dlt::played().size(), played.size());
  }
}

TEST_F(Player, KeyPictureModesJumpFromIntraToIntra) {
  ASSERT_GT(open(), 0);
  const std::vector<int64_t> keys = key_positions(1);
  ASSERT_EQ(keys.size(), 4u);
  Mpeg4DLdata_set_disptype(1);

  for (int mode : {6, 7}) {
    SCOPED_TRACE(mode);
    Mpeg4DLdata_set_PlayPos(100, 0);
    dlt::clear_played();
    Mpeg4DLdata_set_m_nPlayMode(mode);
    ASSERT_TRUE(wait_until([&] { return played_of(1).size() >= keys.size(); }, 20s));
    Mpeg4DLdata_set_m_nPlayMode(2);
    std::vector<int64_t> seen;
    for (const auto& p : played_of(1)) seen.push_back(p.position);
    EXPECT_EQ(seen, keys);
    EXPECT_GE(picture_psnr(1, played_of(1).back().time), 40.0);
  }

  std::vector<int64_t> backward(keys.rbegin(), keys.rend());
  for (int mode : {5, 4, 3}) {
    SCOPED_TRACE(mode);
    Mpeg4DLdata_set_PlayPos(100, 100);
    dlt::clear_played();
    Mpeg4DLdata_set_m_nPlayMode(mode);
    ASSERT_TRUE(wait_until([&] { return played_of(1).size() >= keys.size(); }, 20s));
    Mpeg4DLdata_set_m_nPlayMode(2);
    std::vector<int64_t> seen;
    for (const auto& p : played_of(1)) seen.push_back(p.position);
    EXPECT_EQ(seen, backward);
    // Back at the first picture of the copy.
    EXPECT_GE(picture_psnr(1, played_of(1).back().time), 40.0);
    EXPECT_EQ(clip_picture(played_of(1).back().time), 0u);
  }
}

TEST_F(Player, PositionsAndTheirScale) {
  ASSERT_GT(open(), 0);
  const std::vector<brin::dl::IndexEntry> index = copy_index();
  ASSERT_GT(index.size(), 4u);
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(0), 0);
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(100), 0);  // at the data start
  EXPECT_EQ(Mpeg4DLdata_set_PlayPos(0, 3), index[3].channel);
  ASSERT_TRUE(wait_until([] { return Mpeg4DLdata_get_PlayPos(0) == 3; }, 30s));
  EXPECT_EQ(Mpeg4DLdata_set_PlayPos(100, 0), 0);     // the first packet is camera 0's
  EXPECT_EQ(Mpeg4DLdata_set_PlayPos(100, 100), -1);  // the end: no packet there
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(100), 100);
  // Half way: the player goes on from the next packet there.
  const std::vector<uint8_t> file = dl_test::bytes_of(data());
  const size_t half = file.size() / 100 * 50;
  const size_t next = dl_test::first_packet(file, half, file.size());
  ASSERT_LT(next, file.size());
  EXPECT_EQ(Mpeg4DLdata_set_PlayPos(100, 50), file[next + 3] & 15);
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(100), static_cast<int32_t>((next - 292) / (file.size() / 100)));

  // Played to the end, the position is the whole scale.
  Mpeg4DLdata_set_disptype(2);
  Mpeg4DLdata_set_PlayPos(100, 90);
  Mpeg4DLdata_set_m_nPlayMode(0);
  ASSERT_TRUE(wait_until([] { return Mpeg4DLdata_get_PlayPos(100) == 100; }, 30s));
  EXPECT_EQ(Mpeg4DLdata_get_PlayPos(0), static_cast<int32_t>(index.size()) - 1);
}

TEST_F(Player, SearchesByTime) {
  ASSERT_GT(open(), 0);
  const std::vector<uint8_t> file = dl_test::bytes_of(data());
  const int32_t base = make_base_tm(static_cast<int32_t>(kSpanStart));
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 7;
  tm.tm_hour = 10;
  EXPECT_EQ(base, static_cast<int32_t>(std::mktime(&tm)));

  // Before the base: the start.
  EXPECT_EQ(Mpeg4DLdata_search(static_cast<int32_t>(kSpanStart - 5), 100), 0);
  EXPECT_EQ(Mpeg4DLdata_search(static_cast<int32_t>(kSpanStart - 5), 0), 292);
  // After the recording: the end, or the last intra picture.
  EXPECT_EQ(Mpeg4DLdata_search(static_cast<int32_t>(kSpanStart + 60), 100), 100);
  int64_t last_key = 0;
  for (const auto& e : copy_index())
    if (e.kind == 0) last_key = static_cast<int64_t>(e.position);
  EXPECT_EQ(Mpeg4DLdata_search(static_cast<int32_t>(kSpanStart + 60), 0), last_key);

  // One second in: a packet within a group of pictures of that time.
  const int32_t pos = Mpeg4DLdata_search(static_cast<int32_t>(kSpanStart + 1), 0);
  ASSERT_GT(pos, 292);
  ASSERT_LT(static_cast<size_t>(pos) + 27, file.size());
  ASSERT_EQ(file[static_cast<size_t>(pos) + 2], 1);
  const uint32_t pts = dl_test::packet_pts(file, static_cast<size_t>(pos));
  const int64_t off = static_cast<int64_t>(pts) - static_cast<int64_t>(dl_test::kSpanStartTicks + 90000);
  EXPECT_LE(std::llabs(off), 45000) << off;
  // calc_time gives the time of that packet.
  uint8_t record[16] = {};
  EXPECT_EQ(calc_time(0, record), 0);
  const std::time_t expected = base + static_cast<std::time_t>((pts - dl_test::kSpanStartTicks) / 90000);
  std::tm want{};
  localtime_r(&expected, &want);
  EXPECT_EQ(record[8], want.tm_year - 100);
  EXPECT_EQ(record[9], want.tm_mon + 1);
  EXPECT_EQ(record[10], want.tm_mday);
  EXPECT_EQ(record[11], want.tm_hour);
  EXPECT_EQ(record[12], want.tm_min);
  EXPECT_EQ(record[13], want.tm_sec);
  EXPECT_EQ(calc_time(0, nullptr), -1);
  // Scaled, the same position.
  const int32_t scaled = Mpeg4DLdata_search(static_cast<int32_t>(kSpanStart + 1), 1000);
  EXPECT_GT(scaled, 0);
  EXPECT_LT(scaled, 1000);
}

TEST_F(Player, BuildsAMissingIndexInStepsAndKeepsIt) {
  TempDir dir;
  ASSERT_TRUE(copy_file(data(), dir.file("copy.dat")));
  ASSERT_GT(Mpeg4DLdata_fileopen(dir.file("copy.dat").c_str(), bmp_.path().c_str(), dir.path().c_str(), 10), 0);
  EXPECT_FALSE(dlt::index_complete());
  EXPECT_EQ(Mpeg4DLdata_frame_index(dir.path().c_str(), 0), 0);
  std::vector<int32_t> progress;
  for (int i = 0; i < 100; ++i) {
    const int32_t r = Mpeg4DLdata_frame_index(dir.path().c_str(), 10);
    progress.push_back(r);
    if (r == 10) break;
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 10);
  EXPECT_GE(progress.size(), 5u);  // in several steps
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(Mpeg4DLdata_frame_index(dir.path().c_str(), 0), 1);
  // The built index is written whole and holds what the copy's holds: each
  // group's intra picture and every audio packet.
  const std::vector<uint8_t> written = dl_test::bytes_of(dir.file(".index"));
  EXPECT_EQ(written.size(), 6912000u);
  const std::vector<brin::dl::IndexEntry> built = dlt::index_entries();
  const std::vector<brin::dl::IndexEntry> copied = copy_index();
  ASSERT_EQ(built.size(), copied.size());
  for (size_t i = 0; i < built.size(); ++i) {
    EXPECT_EQ(built[i].kind, copied[i].kind) << i;
    EXPECT_EQ(built[i].channel, copied[i].channel) << i;
    EXPECT_EQ(built[i].position, copied[i].position) << i;
    EXPECT_EQ(built[i].time, copied[i].time) << i;
  }
  Mpeg4DLdata_fileclose();

  // Opened again, the index is read, not built.
  ASSERT_GT(Mpeg4DLdata_fileopen(dir.file("copy.dat").c_str(), bmp_.path().c_str(), dir.path().c_str(), 10), 0);
  EXPECT_EQ(Mpeg4DLdata_frame_index(dir.path().c_str(), 0), 1);
  EXPECT_EQ(dlt::index_entries().size(), copied.size());
}

TEST_F(Player, EnableChannelsBuildsAMissingIndexWhole) {
  TempDir dir;
  ASSERT_TRUE(copy_file(data(), dir.file("copy.dat")));
  ASSERT_GT(Mpeg4DLdata_fileopen(dir.file("copy.dat").c_str(), bmp_.path().c_str(), dir.path().c_str(), 10), 0);
  int32_t video = -1, audio = -1;
  EXPECT_EQ(Mpeg4DLdata_get_enable_ch(&video, &audio, dir.path().c_str(), 10), 0xF);
  EXPECT_EQ(video, 0xF);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0].first, "frame index is none.");
  EXPECT_EQ(messages()[0].second, std::string(50, ' '));
  EXPECT_TRUE(file_exists(dir.file(".index")));
  EXPECT_EQ(Mpeg4DLdata_frame_index(dir.path().c_str(), 0), 1);
}

TEST_F(Player, SingleChannelFile) {
  TempDir dir;
  zebsim::RemoteCopyConfig config;
  config.cameras = 1;
  config.audio_channels = 0;
  {
    dl_test::CopyServer server(config, 4);
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(dl_test::run_copy(4, dir.file("one.dat"), bmp_.path()).fast, 1);  // its index goes elsewhere
  }
  ASSERT_GT(Mpeg4DLdata_fileopen(dir.file("one.dat").c_str(), bmp_.path().c_str(), dir.path().c_str(), 0), 0);
  ASSERT_TRUE(dlt::index_complete());  // built whole at opening
  int32_t video = -1, audio = -1;
  EXPECT_EQ(Mpeg4DLdata_get_enable_ch(&video, &audio, dir.path().c_str(), 0), 0);
  EXPECT_EQ(video, 1);
  const std::vector<brin::dl::IndexEntry> index = dlt::index_entries();
  ASSERT_EQ(index.size(), 4u);
  for (const auto& e : index) {
    EXPECT_EQ(e.kind, 0);
    EXPECT_EQ(e.channel, 0);
  }
  // No audio: the groups' half-second spacing makes channel 0 the reference.
  EXPECT_EQ(dlt::key_interval().class_ms, 500);
  EXPECT_EQ(dlt::key_interval().reference_channel, 0);
}

TEST_F(Player, PictureFilesAndTheirFlags) {
  // A symlink planted at the picture's name is replaced, never written
  // through.
  TempDir elsewhere;
  ASSERT_TRUE(velmora::testing::write_file(elsewhere.file("kept"), "kept"));
  ASSERT_EQ(::symlink(elsewhere.file("kept").c_str(), bmp_.file("0.bmp").c_str()), 0);
  ASSERT_GT(open(), 0);
  EXPECT_EQ(Mpeg4DLdata_filelock(0), 0);  // nothing decoded yet
  EXPECT_EQ(Mpeg4DLdata_filelock(16), 0);
  Mpeg4DLdata_set_disptype(0);
  Mpeg4DLdata_set_m_nPlayMode(6);
  ASSERT_TRUE(wait_until([] { return !played_of(0).empty(); }, 10s));
  Mpeg4DLdata_set_m_nPlayMode(2);
  EXPECT_EQ(Mpeg4DLdata_filelock(0), 1);
  dl_test::Bmp bmp;
  ASSERT_TRUE(dl_test::read_bmp(bmp_.file("0.bmp"), &bmp));
  EXPECT_EQ(bmp.width, 704);
  EXPECT_EQ(bmp.height, 472);
  EXPECT_EQ(bmp.file_size, 704u * 472 * 3 + 54);
  struct stat st;
  ASSERT_EQ(::lstat(bmp_.file("0.bmp").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(velmora::testing::read_file(elsewhere.file("kept")), "kept");
  EXPECT_EQ(Mpeg4DLdata_fileunlock(0), 1);
  EXPECT_EQ(Mpeg4DLdata_fileunlock(0), 0);
  EXPECT_EQ(Mpeg4DLdata_filelock(0), 0);
}

TEST_F(Player, PlaysTheShownChannelsAudio) {
  TempDir out;
  setenv("VELMORA_AUDIO", ("wav:" + out.file("out.wav")).c_str(), 1);
  wave_play_ctrl(3);
  ASSERT_GT(open(), 0);
  Mpeg4DLdata_set_disptype(0);
  Mpeg4DLdata_set_m_nPlayMode(0);
  // Two blocks of 4096 samples reach the output.
  ASSERT_TRUE(wait_until([&] { return dl_test::bytes_of(out.file("out.wav")).size() >= 44 + 2 * 8192; }, 30s));
  Mpeg4DLdata_set_m_nPlayMode(2);
  wave_play_ctrl(0);
  setenv("VELMORA_AUDIO", "none", 1);
  const std::vector<uint8_t> wav = dl_test::bytes_of(out.file("out.wav"));
  ASSERT_GE(wav.size(), 44u + 2 * 8192);

  // The channel-0 audio packets of the copy, decoded independently.
  const std::vector<uint8_t> file = dl_test::bytes_of(data());
  std::vector<int16_t> want;
  for (const auto& e : copy_index()) {
    if (e.kind != 1 || e.channel != 0) continue;
    const size_t p = static_cast<size_t>(e.position);
    const auto block = velmora::testing::ffmpeg_ima_adpcm(
        {{&file[p + 64], static_cast<int16_t>(file[p + 60] | file[p + 61] << 8), file[p + 62]}}, 2048);
    ASSERT_EQ(block.size(), 4096u) << "ffmpeg decodes the block at " << p;
    want.insert(want.end(), block.begin(), block.end());
    if (want.size() >= 8192) break;
  }
  ASSERT_EQ(want.size(), 8192u);
  for (size_t i = 0; i < 8192; ++i) {
    const int16_t got = static_cast<int16_t>(wav[44 + 2 * i] | wav[45 + 2 * i] << 8);
    ASSERT_EQ(got, want[i]) << i;
  }
}

}  // namespace
