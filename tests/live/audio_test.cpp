// Live audio: block selection, the sequence and end-marker rules, and the
// samples that reach the sound device.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "brinlib_internal.h"
#include "live_fixture.h"
#include "reference_audio.h"
#include "zebsim/live.h"
#include "zebsim/packets.h"

namespace {

using namespace std::chrono_literals;
using velmora::testing::wait_until;

struct Block {
  uint16_t channel;
  uint8_t sequence;
  uint8_t flags = 0;
};

// An audio frame of the given kind with one block per entry; byte 24 of the
// frame header holds `count` (the number of blocks the receiver walks).
std::vector<uint8_t> audio_frame(int kind, const std::vector<Block>& blocks, int count) {
  std::vector<uint8_t> frame;
  for (size_t b = 0; b < blocks.size(); ++b) {
    std::vector<uint8_t> payload(2112 - zebsim::kPacketHeaderBytes, 0x11);
    zebsim::PacketSpec spec;
    spec.video = false;
    spec.channel = blocks[b].channel;
    auto packet = zebsim::recorder_packet(spec, payload.data(), payload.size());
    std::vector<uint8_t> header(28, 0);
    live_test::put16(header, 0, blocks[b].channel);
    live_test::put32(header, 4, static_cast<uint32_t>(packet.size()));
    live_test::put32(header, 8, 100 + static_cast<uint32_t>(b));
    header[15] = static_cast<uint8_t>(kind);
    header[22] = blocks[b].flags;
    header[23] = blocks[b].sequence;
    if (b == 0) header[24] = static_cast<uint8_t>(count);
    frame.insert(frame.end(), header.begin(), header.end());
    frame.insert(frame.end(), 44, 0);
    frame.insert(frame.end(), packet.begin(), packet.end());
  }
  return frame;
}

// An audio frame of one block on audio channel 0 whose ADPCM codes are all
// 0 from step index 0: each code then changes the predictor by (1 x 7) / 8 =
// 0 and keeps the index at 0, so the block decodes to 4096 samples of the
// predictor.
std::vector<uint8_t> constant_frame(int kind, uint8_t sequence, int16_t predictor) {
  auto frame = audio_frame(kind, {{0, sequence}}, 1);
  const size_t packet = 28 + 44;
  live_test::put16(frame, packet + 60, static_cast<uint16_t>(predictor));
  frame[packet + 62] = 0;
  std::fill(frame.begin() + static_cast<long>(packet + 64), frame.begin() + static_cast<long>(packet + 2112), 0);
  return frame;
}

// Whether samples are whole or cut blocks of 4096 equal samples, each of a
// value from `sent` and no value twice.
::testing::AssertionResult constant_blocks(const int16_t* samples, size_t n, const std::set<int16_t>& sent) {
  std::set<int16_t> seen;
  for (size_t at = 0; at < n; at += 4096) {
    const size_t end = std::min(n, at + 4096);
    const int16_t v = samples[at];
    for (size_t i = at; i < end; ++i)
      if (samples[i] != v) return ::testing::AssertionFailure() << "block at sample " << at << " is not one block";
    if (!sent.count(v)) return ::testing::AssertionFailure() << "block at sample " << at << " was never sent";
    if (!seen.insert(v).second) return ::testing::AssertionFailure() << "block " << v << " played twice";
  }
  return ::testing::AssertionSuccess();
}

// A sound device that takes blocks and never plays them.
std::mutex g_held_lock;
std::vector<std::pair<const uint8_t*, size_t>> g_held;
class StalledDevice : public brin::live::WaveDevice {
 public:
  bool write(const uint8_t* data, size_t len, int) override {
    std::lock_guard<std::mutex> g(g_held_lock);
    g_held.emplace_back(data, len);
    return true;
  }
  void reset() override {
    std::lock_guard<std::mutex> g(g_held_lock);
    g_held.clear();
  }
};
std::unique_ptr<brin::live::WaveDevice> open_stalled(std::function<void(int)>) {
  return std::make_unique<StalledDevice>();
}

class AudioFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORA_AUDIO", "none", 1);
    ASSERT_EQ(brin_udp_connect("127.0.0.1", port_, 0), 0);
    int p[4];
    sender_.parts(p);
    brin_udp_rx_start(p[0], p[1], p[2], p[3]);
    brin::live::state().audio_switch.store(1);
  }
  void TearDown() override {
    wave_play_ctrl(0);
    brin_udp_rxstatus(-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    brin_udp_close();
    brin::live::state().audio_switch.store(0);
  }
  // Sends an audio frame and then a picture frame that marks the point where
  // the audio frame has certainly been handled.
  void send(const std::vector<uint8_t>& frame) {
    sender_.send_all(live_test::fragments(frame, number_++, 30000, 1), port_);
    sender_.send_all(live_test::fragments(live_test::picture_frame(15, 0), number_++, 30000, 0), port_);
    ASSERT_TRUE(live_test::poll_takes(15));
  }
  uint8_t flags() {
    uint8_t f = 0;
    brin_udp_rxstatus(1, &f, nullptr, nullptr, nullptr, nullptr, nullptr);
    return f;
  }

  velmora::testing::TempDir dir_;
  velmora::testing::ScopedCwd cwd_{dir_.path()};
  uint16_t port_ = static_cast<uint16_t>(live_test::test_port() + 30);
  live_test::Sender sender_{velmora::testing::unique_loopback()};
  uint8_t number_ = 1;
};

TEST_F(AudioFrames, ChannelSelectorRefusesValuesOutOfRange) {
  EXPECT_EQ(wave_play_ch(0, 2), 0);
  EXPECT_EQ(wave_play_ch(1, 3), 2);  // the previous channel
  EXPECT_EQ(wave_play_ch(2, 1), 2);
  EXPECT_EQ(wave_play_ch(0, 4), 0);
  EXPECT_EQ(wave_play_ch(-1, 0), -1);
  EXPECT_EQ(wave_play_ch(0, 0), 3);  // the refusals changed nothing
}

TEST_F(AudioFrames, TheBlockCountLimitsTheWalk) {
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 1);
  const int start = brin::live::audio_receive_index(2);
  // Byte 24 of 0 counts as one block: channel 1 in block 1 is not reached.
  send(audio_frame(2, {{0, 1}, {1, 1}}, 0));
  EXPECT_EQ(brin::live::audio_receive_index(2), start);
  // Byte 24 of 9 counts as four: channel 3 in block 3 is played.
  wave_play_ch(0, 3);
  send(audio_frame(2, {{0, 2}, {1, 2}, {2, 2}, {3, 2}}, 9));
  EXPECT_EQ(brin::live::audio_receive_index(2), (start + 1) % 6);
}

TEST_F(AudioFrames, ABlockWithARepeatedSequenceNumberIsPlayedOnce) {
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  const int start = brin::live::audio_receive_index(2);
  send(audio_frame(2, {{0, 7}}, 1));
  send(audio_frame(2, {{0, 7}}, 1));
  EXPECT_EQ(brin::live::audio_receive_index(2), (start + 1) % 6);
  send(audio_frame(2, {{0, 8}}, 1));
  EXPECT_EQ(brin::live::audio_receive_index(2), (start + 2) % 6);
  // Without the audio switch nothing is played.
  brin::live::state().audio_switch.store(0);
  send(audio_frame(2, {{0, 9}}, 1));
  EXPECT_EQ(brin::live::audio_receive_index(2), (start + 2) % 6);
}

TEST_F(AudioFrames, ANewConnectionPlaysABlockNumberedLikeTheLastOfTheStreamBefore) {
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  const int start = brin::live::audio_receive_index(2);
  send(audio_frame(2, {{0, 42}}, 1));
  ASSERT_EQ(brin::live::audio_receive_index(2), (start + 1) % 6);
  // Another connection (another recorder, or the same one again): its
  // first block happens to carry the number the last one did.
  TearDown();
  SetUp();
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  const int again = brin::live::audio_receive_index(2);
  send(audio_frame(2, {{0, 42}}, 1));
  EXPECT_EQ(brin::live::audio_receive_index(2), (again + 1) % 6);
}

TEST_F(AudioFrames, EndMarkersAreReportedUntilCleared) {
  ASSERT_EQ(wave_play_ctrl(2), 2);
  wave_play_ch(0, 0);
  send(audio_frame(3, {{0, 1, 0x20}}, 1));
  EXPECT_EQ(flags() & 0x30, 0x20);
  // A kind-3 block that is played clears the kind-3 marker.
  send(audio_frame(3, {{0, 2}}, 1));
  EXPECT_EQ(flags() & 0x30, 0);
  send(audio_frame(2, {{0, 3, 0x10}}, 1));
  EXPECT_EQ(flags() & 0x30, 0x10);
  send(audio_frame(2, {{0, 4}}, 1));
  EXPECT_EQ(flags() & 0x30, 0x10);  // the kind-2 marker stays
  brin_udp_rxstatus(-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(flags() & 0x30, 0);
}

TEST_F(AudioFrames, SwitchingKindsWaitsForThreeBuffersOfTheNewKind) {
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  for (uint8_t seq = 1; seq <= 3; ++seq) send(audio_frame(2, {{0, seq}}, 1));
  ASSERT_TRUE(wait_until([] { return brin::live::audio_play_index(2) == 3; }, 30s));
  ASSERT_EQ(brin::live::audio_device_state(), 1);
  ASSERT_EQ(wave_play_ctrl(2), 2);
  send(audio_frame(3, {{0, 1}}, 1));
  send(audio_frame(3, {{0, 2}}, 1));
  EXPECT_EQ(brin::live::audio_receive_index(3), 2);
  EXPECT_EQ(brin::live::audio_play_index(3), 0);  // two waiting are not enough
  send(audio_frame(3, {{0, 3}}, 1));
  EXPECT_TRUE(wait_until([] { return brin::live::audio_play_index(3) == 3; }, 30s));
  EXPECT_EQ(brin::live::audio_device_state(), 1);  // the device stayed open
}

TEST_F(AudioFrames, ABurstOfBlocksStillStartsThePlayOut) {
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  // Five blocks handed over faster than the playback thread looks: more
  // than three wait when it first does.
  for (uint8_t seq = 1; seq <= 5; ++seq) {
    const auto ds = live_test::fragments(constant_frame(2, seq, 100), seq, 30000, 1);
    brin::live::testing::feed_datagram(0, ds[0].bytes.data(), ds[0].bytes.size());
  }
  EXPECT_TRUE(wait_until([] { return brin::live::audio_play_index(2) != 0; }, 5s));
}

TEST_F(AudioFrames, TwoReceiveThreadsNeverMixTheirBuffers) {
  const std::string wav = dir_.file("race.wav");
  setenv("VELMORA_AUDIO", ("wav:" + wav).c_str(), 1);
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  std::set<int16_t> sent;
  for (int t = 0; t < 2; ++t)
    for (int n = 0; n < 60; ++n) sent.insert(static_cast<int16_t>(1000 * (t + 1) + n));
  // Both threads get the same audio kind, each frame in two fragments.
  auto feed = [](int t) {
    for (int n = 0; n < 60; ++n) {
      const auto frame = constant_frame(2, static_cast<uint8_t>(n + 1), static_cast<int16_t>(1000 * (t + 1) + n));
      for (const auto& d : live_test::fragments(frame, static_cast<uint8_t>(n), 1200, 1))
        brin::live::testing::feed_datagram(t, d.bytes.data(), d.bytes.size());
    }
  };
  std::thread a(feed, 0), b(feed, 1);
  a.join();
  b.join();
  // Two blocks played out into the file.
  ASSERT_TRUE(wait_until([&] { return velmora::testing::read_file(wav).size() >= 44 + 2 * 8192; }, 30s));
  ASSERT_EQ(wave_play_ctrl(0), 0);
  const std::string data = velmora::testing::read_file(wav);
  const size_t at = data.find("data");
  ASSERT_NE(at, std::string::npos);
  std::vector<int16_t> samples((data.size() - at - 8) / 2);
  std::memcpy(samples.data(), data.data() + at + 8, samples.size() * 2);
  ASSERT_GE(samples.size(), 2u * 4096);
  EXPECT_TRUE(constant_blocks(samples.data(), samples.size(), sent));
}

TEST_F(AudioFrames, BlocksTheSoundQueueStillHoldsOutliveClose) {
  brin::live::set_wave_device_for_testing(open_stalled);
  brin::live::set_release_wait_for_testing(20);
  ASSERT_EQ(wave_play_ctrl(1), 1);
  wave_play_ch(0, 0);
  std::set<int16_t> sent;
  for (uint8_t seq = 1; seq <= 4; ++seq) {
    send(constant_frame(2, seq, static_cast<int16_t>(500 + seq)));
    sent.insert(static_cast<int16_t>(500 + seq));
  }
  ASSERT_TRUE(wait_until(
      [] {
        std::lock_guard<std::mutex> g(g_held_lock);
        return g_held.size() >= 3;
      },
      20s));
  EXPECT_EQ(brin_udp_close(), 0);
  {
    // The device may still read every block it was given.
    std::lock_guard<std::mutex> g(g_held_lock);
    for (const auto& [data, len] : g_held) {
      ASSERT_EQ(len, 8192u);
      std::vector<int16_t> samples(len / 2);
      std::memcpy(samples.data(), data, len);
      EXPECT_TRUE(constant_blocks(samples.data(), samples.size(), sent));
    }
  }
  wave_play_ctrl(0);
  brin::live::set_wave_device_for_testing(nullptr);
  brin::live::set_release_wait_for_testing(10000);
}

// The WAV sink gets exactly the decoded samples of the selected channel.
TEST(LiveAudio, TheSelectedChannelReachesTheDeviceSampleForSample) {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedCwd cwd(dir.path());
  const std::string wav = dir.file("out.wav");
  setenv("VELMORA_AUDIO", ("wav:" + wav).c_str(), 1);
  const uint16_t port = static_cast<uint16_t>(live_test::test_port() + 40);
  zebsim::Config config;
  config.address = velmora::testing::unique_loopback();
  zebsim::Recorder sim(config);
  zebsim::LiveConfig lc;
  lc.clips_dir = velmora::testing::clips_dir();
  lc.cameras = 1;
  lc.audio_channels = 3;
  zebsim::LiveStream live(sim, lc);
  ASSERT_TRUE(sim.start());
  ASSERT_EQ(brin_udp_connect("127.0.0.1", port, 0), 0);
  int p[4];
  std::sscanf(config.address.c_str(), "%d.%d.%d.%d", &p[0], &p[1], &p[2], &p[3]);
  brin_udp_rx_start(p[0], p[1], p[2], p[3]);
  brin::live::state().audio_switch.store(1);
  wave_play_ch(0, 2);
  ASSERT_EQ(wave_play_ctrl(1), 1);
  uint32_t loopback;
  inet_pton(AF_INET, "127.0.0.1", &loopback);
  live.start(loopback, port);
  ASSERT_TRUE(wait_until([&] { return live.frames_sent(2) >= 9; }, 10s));
  wave_play_ctrl(0);
  live.stop();
  brin_udp_close();
  brin::live::state().audio_switch.store(0);

  const std::string data = velmora::testing::read_file(wav);
  ASSERT_GT(data.size(), 44u);
  const size_t at = data.find("data");
  ASSERT_NE(at, std::string::npos);
  std::vector<int16_t> samples((data.size() - at - 8) / 2);
  std::memcpy(samples.data(), data.data() + at + 8, samples.size() * 2);
  ASSERT_GE(samples.size(), 2u * 4096) << "at least two blocks were played";
  // What the recorder sent on channel 2, blocks 0 on, decoded by ffmpeg.
  const size_t played = (samples.size() + 4095) / 4096;
  std::vector<zebsim::LiveStream::AudioBlock> sent;
  std::vector<velmora::testing::AdpcmBlock> blocks;
  for (uint32_t n = 0; n < 20 + played; ++n) sent.push_back(zebsim::LiveStream::audio_block(2, n));
  for (const auto& block : sent) blocks.push_back({block.codes.data(), block.start.predictor, block.start.index});
  const std::vector<int16_t> reference = velmora::testing::ffmpeg_ima_adpcm(blocks, 2048);
  ASSERT_EQ(reference.size(), 4096 * sent.size()) << "ffmpeg decodes the blocks sent";
  auto block_start = [&](size_t n) { return reference.begin() + static_cast<long>(4096 * n); };
  // Find which block came first, then every block follows in order.
  size_t first = 0;
  bool found = false;
  for (size_t n = 0; n < 20 && !found; ++n) {
    if (std::equal(block_start(n), block_start(n + 1), samples.begin())) {
      first = n;
      found = true;
    }
  }
  ASSERT_TRUE(found) << "the first block played is one the recorder sent on channel 2";
  for (size_t b = 0; b * 4096 < samples.size(); ++b) {
    const size_t n = std::min<size_t>(4096, samples.size() - b * 4096);
    EXPECT_TRUE(std::equal(block_start(first + b), block_start(first + b) + static_cast<long>(n),
                           samples.begin() + static_cast<long>(b * 4096)))
        << "block " << b;
  }
}

}  // namespace
