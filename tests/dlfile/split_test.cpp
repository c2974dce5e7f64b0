// The splitter: frame files and WAV files from a copied data file, the frame
// limit and its continuation, the frame numbering rules and the result.
#include <dirent.h>

#include <map>
#include <set>

#include "dl_fixture.h"
#include "reference_audio.h"
#include "zebsim/live.h"

namespace {

using velmora::testing::file_exists;
using velmora::testing::TempDir;

// The recorder packets of a data file, walked by their size fields.
struct FilePacket {
  size_t position;
  int channel;
  bool video;
  uint32_t time;
  size_t size;
};

std::vector<FilePacket> packets_of(const std::vector<uint8_t>& file) {
  std::vector<FilePacket> out;
  size_t at = dl_test::first_packet(file, 0, file.size());
  while (at + 27 <= file.size()) {
    const uint32_t size = zebsim::get_private22(&file[at + 24]);
    out.push_back({at, file[at + 3] & 15, (file[at + 3] >> 4) == 0xE, dl_test::packet_pts(file, at), size});
    at = dl_test::first_packet(file, at + size, file.size());
  }
  return out;
}

// The 2048 code bytes of an audio packet (zeros past a short packet's end)
// and the coder state in its header.
struct AudioCodes {
  std::vector<uint8_t> codes;
  int predictor, index;
};

AudioCodes audio_codes(const std::vector<uint8_t>& file, const FilePacket& p) {
  AudioCodes a{std::vector<uint8_t>(2048, 0), static_cast<int16_t>(file[p.position + 60] | file[p.position + 61] << 8),
               file[p.position + 62]};
  for (size_t i = 0; i < 2048 && 64 + i < p.size; ++i) a.codes[i] = file[p.position + 64 + i];
  return a;
}

std::map<std::string, std::vector<uint8_t>> folder_files(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      out[name] = dl_test::bytes_of(dir + "/" + name);
    }
    closedir(d);
  }
  return out;
}

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

class Split : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(decode_init(), 0); }
  void TearDown() override { decode_deinit(); }

  // A copy of two seconds (optionally with audio ending after `audio_s`).
  std::string copy(double audio_s = -1) {
    zebsim::RemoteCopyConfig config;
    config.audio_seconds = audio_s;
    dl_test::CopyServer server(config, 5);
    EXPECT_TRUE(server.ready());
    const dl_test::CopyRun r = dl_test::run_copy(5, src_.file("copy.dat"), src_.path());
    EXPECT_EQ(r.fast, 1);
    return src_.file("copy.dat");
  }

  TempDir src_, out_;
};

TEST_F(Split, FramesAndWavesOfEveryChannel) {
  const std::string path = copy();
  const std::vector<uint8_t> file = dl_test::bytes_of(path);
  const std::vector<FilePacket> packets = packets_of(file);
  ASSERT_FALSE(packets.empty());
  const uint32_t base = packets.front().time;

  std::map<int, uint32_t> last_audio;
  std::map<int, std::vector<AudioCodes>> audio;
  uint32_t last_video = 0;
  for (const FilePacket& p : packets) {
    const uint32_t frame = (p.time - base) / 3000;
    if (p.video) {
      last_video = frame;
      continue;
    }
    last_audio[p.channel] = frame;
    audio[p.channel].push_back(audio_codes(file, p));
  }
  // Each channel's sound as ffmpeg decodes its packets.
  std::map<int, std::vector<int16_t>> samples;
  for (const auto& [ch, list] : audio) {
    std::vector<velmora::testing::AdpcmBlock> blocks;
    for (const AudioCodes& a : list) blocks.push_back({a.codes.data(), a.predictor, a.index});
    samples[ch] = velmora::testing::ffmpeg_ima_adpcm(blocks, 2048);
    ASSERT_EQ(samples[ch].size(), 4096 * list.size()) << "ffmpeg decodes channel " << ch;
  }
  ASSERT_EQ(last_video, 59u);
  uint32_t want = last_video;
  for (const auto& [ch, f] : last_audio) want = std::min(want, f);

  EXPECT_EQ(Mpeg4Play(path.c_str(), out_.path().c_str(), 0), static_cast<int32_t>(want));
  for (const FilePacket& p : packets) {
    if (!p.video) continue;
    const std::string name =
        out_.file(std::to_string(p.channel) + "_" + std::to_string((p.time - base) / 3000) + ".dat");
    const std::vector<uint8_t> bytes = dl_test::bytes_of(name);
    ASSERT_EQ(bytes.size(), p.size) << name;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.begin() + static_cast<long>(p.position))) << name;
  }
  ASSERT_EQ(samples.size(), 2u);
  for (const auto& [ch, pcm] : samples) {
    const std::string wav = out_.file("wav" + std::to_string(ch) + ".wav");
    const std::vector<uint8_t> bytes = dl_test::bytes_of(wav);
    ASSERT_EQ(bytes.size(), 44 + 2 * pcm.size());
    EXPECT_EQ(dl_test::le32(&bytes[4]), bytes.size() - 8);
    EXPECT_EQ(dl_test::le32(&bytes[40]), 2 * pcm.size());
    for (size_t i = 0; i < pcm.size(); ++i)
      ASSERT_EQ(static_cast<int16_t>(bytes[44 + 2 * i] | bytes[45 + 2 * i] << 8), pcm[i]) << i;
    EXPECT_EQ(
        run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels -of csv=p=0 '" + wav + "' 2>&1"),
        "pcm_s16le,8000,1\n");
  }
  EXPECT_FALSE(file_exists(out_.file("wav2.wav")));
}

TEST_F(Split, AudioThatStopsEarlyGivesItsLastFrame) {
  const std::string path = copy(1.0);  // two blocks: frames 0 and 15
  EXPECT_EQ(Mpeg4Play(path.c_str(), out_.path().c_str(), 0), 15);
  EXPECT_TRUE(file_exists(out_.file("3_59.dat")));
}

TEST_F(Split, FrameLimitAndContinuation) {
  const std::string path = copy();
  TempDir whole;
  const int32_t all = Mpeg4Play(path.c_str(), whole.path().c_str(), 0);
  ASSERT_GT(all, 0);

  EXPECT_EQ(Mpeg4Play(path.c_str(), out_.path().c_str(), 20), 0);
  EXPECT_TRUE(file_exists(out_.file("0_20.dat")));
  EXPECT_FALSE(file_exists(out_.file("0_21.dat")));
  int32_t r = 0;
  int calls = 1;
  while (r == 0 && calls < 50) {
    r = Mpeg4Play2(path.c_str(), out_.path().c_str(), 20);
    ++calls;
  }
  EXPECT_EQ(r, all);
  EXPECT_GE(calls, 3);
  // Piece by piece, the same files as in one go.
  const auto pieces = folder_files(out_.path());
  const auto once = folder_files(whole.path());
  EXPECT_EQ(pieces.size(), once.size());
  EXPECT_TRUE(pieces == once);
}

TEST_F(Split, TimeGoingBackALittleIsFrameZero) {
  // Three pictures of camera 0: at t, t + 1/30 s and t - 1/30 s.
  const std::vector<uint8_t> es = zebsim::read_binary_file(velmora::testing::clips_dir() + "/cam0_704x480.m4v");
  const auto pictures = zebsim::split_pictures(es);
  ASSERT_GE(pictures.size(), 3u);
  std::vector<uint8_t> file = dl_test::predict({}).file;
  std::vector<std::vector<uint8_t>> packets;
  const uint64_t t = 5000000;
  for (int i = 0; i < 3; ++i) {
    zebsim::PacketSpec spec;
    spec.pts = i == 2 ? t - 3000 : t + 3000 * static_cast<uint64_t>(i);
    packets.push_back(zebsim::recorder_packet(spec, es.data() + pictures[static_cast<size_t>(i)].offset,
                                              pictures[static_cast<size_t>(i)].size));
    file.insert(file.end(), packets.back().begin(), packets.back().end());
  }
  ASSERT_TRUE(zebsim::write_binary_file(src_.file("back.dat"), file));
  // The last packet is the last frame: frame 0.
  EXPECT_EQ(Mpeg4Play(src_.file("back.dat").c_str(), out_.path().c_str(), 0), 0);
  EXPECT_TRUE(dl_test::bytes_of(out_.file("0_0.dat")) == packets[2]);
  EXPECT_TRUE(dl_test::bytes_of(out_.file("0_1.dat")) == packets[1]);
}

TEST_F(Split, NeedsTheDecoderAndAFile) {
  std::string path = copy();
  dl_test::clear_messages();
  EXPECT_EQ(Mpeg4Play((out_.path() + "/none.dat").c_str(), out_.path().c_str(), 0), -1);
  decode_deinit();
  EXPECT_EQ(Mpeg4Play(path.c_str(), out_.path().c_str(), 0), -1);
  EXPECT_EQ(Mpeg4Play2(path.c_str(), out_.path().c_str(), 0), -1);
  const auto shown = dl_test::messages();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].first, "error: file open error ");
  EXPECT_EQ(shown[1].first, "error: not initialized ");
  EXPECT_EQ(shown[2].first, "error: not initialized ");
  EXPECT_TRUE(folder_files(out_.path()).empty());
  ASSERT_EQ(decode_init(), 0);
}

}  // namespace
