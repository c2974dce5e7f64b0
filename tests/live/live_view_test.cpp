// The live view against the simulated recorder: the viewer's calling order
// gives picture files that match an independent decode of the cameras'
// pictures; misbehaving networks do not stop it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <thread>

#include "brinlib_internal.h"
#include "live_fixture.h"
#include "picture_compare.h"
#include "zebsim/live.h"
#include "zebsim/packets.h"

namespace {

using namespace std::chrono_literals;
using velmora::testing::wait_until;

constexpr const char* kClips[4] = {"cam0_704x480", "cam1_704x480", "cam2_704x480", "cam3_704x480"};

class LiveView : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORA_AUDIO", "none", 1);
    brin::timing().unconnect_sleep_ms = 1;
    config_.address = velmora::testing::unique_loopback();
    config_.password = "live";
    sim_ = std::make_unique<zebsim::Recorder>(config_);
    zebsim::LiveConfig lc;
    lc.clips_dir = velmora::testing::clips_dir();
    live_ = std::make_unique<zebsim::LiveStream>(*sim_, lc);
    ASSERT_TRUE(sim_->start()) << sim_->error();
    sim_->set_switch_item("cam", 183, port_);
    sim_->set_switch_item("cam", 189, 16000);
    ASSERT_GE(decode_init(), 0);
  }

  void TearDown() override {
    brin_udp_close();
    wave_play_ctrl(0);
    brin_unconnect(0, 0, 0, 0);
    live_->stop();
    sim_->stop();
    decode_deinit();
  }

  // The viewer's start: connect, start the stream, open the reception,
  // select, audio on, close the control connection.
  void start_live(const std::string& stream_address, uint32_t item182) {
    sim_->set_switch_item("cam", 182, item182);
    ASSERT_EQ(brin_connect(0, config_.address.c_str(), "live", nullptr), 0);
    ASSERT_GE(brin_udp_count(0, 0, 1, 1), 0);
    ASSERT_EQ(brin_udp_connect(stream_address.c_str(), port_, 0), 0);
    int p[4];
    std::sscanf(config_.address.c_str(), "%d.%d.%d.%d", &p[0], &p[1], &p[2], &p[3]);
    ASSERT_EQ(brin_udp_rx_start(p[0], p[1], p[2], p[3]), 0);
    ASSERT_GE(brin_udp_dispmode(0, 0, 0), 0);
    EXPECT_EQ(wave_play_ctrl(1), 1);
    ASSERT_EQ(brin_unconnect(0, 0, 0, 0), 0);
  }

  // Polls like the viewer's clock timer until every camera showed a picture
  // (or the time runs out); returns the cameras that did.
  int poll_cameras(std::chrono::milliseconds limit, std::map<int, int>* pictures = nullptr) {
    std::map<int, int> shown;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end && shown.size() < 4) {
      BrinRxTime t;
      brin_udp_rxtime(0, &t);
      brin_udp_rx_stop();
      uint8_t flags, ch;
      uint16_t st, c1, c2, c3;
      brin_udp_rxstatus(0, &flags, &ch, &st, &c1, &c2, &c3);
      for (int k = 0; k < 4; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "img/serv0%02d.jpg", k);
        if (brin_udp_rx(k, 0) == 1 && velmora::testing::file_exists(name)) ++shown[k];
        brin_udp_ptzstatus(k, &c1, &c2, &c3);
      }
      int p[4];
      std::sscanf(config_.address.c_str(), "%d.%d.%d.%d", &p[0], &p[1], &p[2], &p[3]);
      brin_udp_rx_start(p[0], p[1], p[2], p[3]);
      std::this_thread::sleep_for(50ms);
    }
    if (pictures) *pictures = shown;
    return static_cast<int>(shown.size());
  }

  // Best PSNR of camera k's picture file against the intra pictures of its
  // clip (each live frame begins with one).
  double best_match(int k) {
    static std::map<int, live_test::ClipFrames> decoded;
    if (!decoded.count(k))
      decoded[k] = live_test::ffmpeg_clip_frames(velmora::testing::clips_dir() + "/" + kClips[k] + ".m4v", 704, 480);
    live_test::Bmp bmp;
    char name[32];
    std::snprintf(name, sizeof name, "img/serv0%02d.jpg", k);
    if (!live_test::read_bmp(name, &bmp)) return 0;
    double best = 0;
    const auto& frames = decoded[k].i420;
    for (size_t i = 0; i < frames.size(); i += 15)
      best = std::max(best, live_test::psnr_against(bmp, live_test::i420_to_bgr(frames[i].data(), 704, 480), 704, 480));
    return best;
  }

  velmora::testing::TempDir dir_;
  velmora::testing::ScopedCwd cwd_{dir_.path()};
  uint16_t port_ = static_cast<uint16_t>(live_test::test_port() + 10);
  zebsim::Config config_;
  std::unique_ptr<zebsim::Recorder> sim_;
  std::unique_ptr<zebsim::LiveStream> live_;
};

TEST_F(LiveView, DirectStreamShowsEveryCameraAsTheRecorderSentIt) {
  start_live("127.0.0.1", 0x7F000001);
  ASSERT_EQ(poll_cameras(30s), 4);
  for (int k = 0; k < 4; ++k) EXPECT_GE(best_match(k), 40.0) << "camera " << k;
  // The status of the stream: the recorder's camera mask and the camera
  // control values of the last camera seen.
  uint8_t flags = 0, ch = 0;
  uint16_t status = 0, c1 = 0, c2 = 0, c3 = 0;
  brin_udp_rxstatus(0, &flags, &ch, &status, &c1, &c2, &c3);
  EXPECT_EQ(status, 0x000F);
  EXPECT_EQ(c1, ch + 1);
  // Stopping: the recorder stops sending on UDPdown.
  ASSERT_EQ(brin_connect(0, config_.address.c_str(), "live", nullptr), 0);
  EXPECT_GE(brin_udp_count(0, 1, 0, 0), 0);
  EXPECT_TRUE(wait_until([&] { return !live_->running(); }, 20s));
  EXPECT_EQ(brin_udp_close(), 0);
  EXPECT_EQ(wave_play_ctrl(0), 0);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), 0);
}

// The picture in memory is the one the file would hold (compared with an
// independent decode of the clip), and no file is written for it.
TEST_F(LiveView, APictureInMemoryIsThePictureTheFileWouldHold) {
  start_live("127.0.0.1", 0x7F000001);
  std::vector<uint8_t> rgb(1920 * 1080 * 3, 0xAB);
  int32_t width = 0, height = 0;
  ASSERT_TRUE(wait_until(
      [&] { return brin_udp_rx_picture(2, 0, rgb.data(), static_cast<int32_t>(rgb.size()), &width, &height) == 1; },
      20s));
  EXPECT_EQ(width, 704);
  EXPECT_EQ(height, 472);
  live_test::Bmp bmp;
  bmp.width = width;
  bmp.height = height;
  bmp.pixels.assign(rgb.begin(), rgb.begin() + width * height * 3);
  const auto frames = live_test::ffmpeg_clip_frames(velmora::testing::clips_dir() + "/" + kClips[2] + ".m4v", 704, 480);
  double best = 0;
  for (size_t i = 0; i < frames.i420.size(); i += 15)
    best =
        std::max(best, live_test::psnr_against(bmp, live_test::i420_to_bgr(frames.i420[i].data(), 704, 480), 704, 480));
  EXPECT_GE(best, 40.0);
  EXPECT_FALSE(velmora::testing::file_exists("img/serv002.jpg"));

  // A buffer too small for the picture is refused and left alone.
  std::vector<uint8_t> small(1000, 0xCD);
  int32_t r = 0;
  ASSERT_TRUE(wait_until(
      [&] {
        r = brin_udp_rx_picture(2, 0, small.data(), static_cast<int32_t>(small.size()), &width, &height);
        return r != 0;
      },
      20s));
  EXPECT_EQ(r, -1);
  EXPECT_EQ(brin_udp_rx_picture(2, 0, nullptr, 1000, &width, &height), -1);
  EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](uint8_t b) { return b == 0xCD; }));
  EXPECT_FALSE(velmora::testing::file_exists("img/serv002.jpg"));
}

// Whether multicast sent on this machine comes back to a member socket.
bool multicast_loops(const std::string& sender_address) {
  int rx = ::socket(AF_INET, SOCK_DGRAM, 0), tx = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(0);
  ::bind(rx, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&sa), &len);
  ip_mreq m{};
  inet_pton(AF_INET, "239.255.77.1", &m.imr_multiaddr);
  const bool joined = ::setsockopt(rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, sender_address.c_str(), &from.sin_addr);
  ::bind(tx, reinterpret_cast<sockaddr*>(&from), sizeof from);
  sockaddr_in to = sa;
  to.sin_addr = m.imr_multiaddr;
  bool ok = false;
  if (joined && ::sendto(tx, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 1) {
    timeval tv{0, 300000};
    ::setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char c;
    ok = ::recv(rx, &c, 1, 0) == 1;
  }
  ::close(rx);
  ::close(tx);
  return ok;
}

TEST_F(LiveView, MulticastStreamShowsEveryCamera) {
  if (!multicast_loops(config_.address))
    GTEST_SKIP() << "multicast sent on this machine does not come back to its own members (no multicast route)";
  start_live("239.255.77.1", 0xEFFF4D01);
  ASSERT_EQ(poll_cameras(30s), 4);
  for (int k = 0; k < 4; ++k) EXPECT_GE(best_match(k), 40.0) << "camera " << k;
}

TEST_F(LiveView, LossAndReorderingOnlyCostTheFramesTheyHit) {
  zebsim::LiveFaults faults;
  faults.loss_percent = 5;
  faults.reorder_percent = 5;
  faults.duplicate_percent = 2;
  live_->set_faults(faults);
  start_live("127.0.0.1", 0x7F000001);
  std::map<int, int> shown;
  EXPECT_EQ(poll_cameras(30s, &shown), 4);
  for (int k = 0; k < 4; ++k) {
    if (shown.count(k)) {
      EXPECT_GE(best_match(k), 40.0) << "camera " << k;
    }
  }
}

TEST_F(LiveView, DatagramsFromAnotherAddressAreNotShown) {
  zebsim::LiveFaults faults;
  faults.wrong_sender = true;
  live_->set_faults(faults);
  start_live("127.0.0.1", 0x7F000001);
  EXPECT_TRUE(wait_until([&] { return live_->frames_sent(0) >= 8; }, 30s));
  EXPECT_EQ(poll_cameras(1500ms), 0);
}

// The channel shown alone plays its sub-frames out at their own times.
uint32_t g_fake_now = 0;
uint32_t fake_clock() { return g_fake_now; }

// A live frame of a channel holding the first n pictures of a clip, one
// sub-frame each, time-stamped 3000 ticks (33 ms) apart; ends, when given,
// receives the frame offset where each sub-frame ends. Empty when the clip
// has fewer pictures.
std::vector<uint8_t> clip_frame(const std::string& clip, int channel, int n, std::vector<size_t>* ends = nullptr) {
  const auto es = zebsim::read_binary_file(clip);
  const auto pics = zebsim::split_pictures(es);
  if (pics.size() < static_cast<size_t>(n)) return {};
  std::vector<uint8_t> frame(128, 0);
  for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
    zebsim::PacketSpec spec;
    spec.channel = channel;
    spec.pts = 3000u * i;
    auto pkt = zebsim::recorder_packet(spec, &es[pics[i].offset], pics[i].size);
    pkt.resize((pkt.size() + 31) / 32 * 32, 0);
    std::vector<uint8_t> sub(6, 0);
    sub[2] = static_cast<uint8_t>(pkt.size() / 32);
    sub[3] = static_cast<uint8_t>((pkt.size() / 32) >> 8);
    frame.insert(frame.end(), sub.begin(), sub.end());
    frame.insert(frame.end(), pkt.begin(), pkt.end());
    if (ends) ends->push_back(frame.size());
  }
  live_test::put16(frame, 0, static_cast<uint16_t>(channel << 12));
  live_test::put32(frame, 4, static_cast<uint32_t>(frame.size() - 28));
  return frame;
}

// Hand-made frames of the 352 x 240 clip's pictures sent straight to the
// receive threads, with the play-out clock in the test's hands.
class SubframePlayOut : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(decode_init(), 0);
    ASSERT_EQ(brin_udp_connect("127.0.0.1", port_, 0), 0);
    int p[4];
    sender_.parts(p);
    brin_udp_rx_start(p[0], p[1], p[2], p[3]);
    brin::live::set_clock_for_testing(fake_clock);
    reference_ = live_test::ffmpeg_clip_frames(clip_, 352, 240);
    ASSERT_GE(reference_.i420.size(), 5u);
  }
  void TearDown() override {
    brin::live::set_clock_for_testing(nullptr);
    brin::live::state().selected.store(0);
    EXPECT_EQ(brin_udp_close(), 0);
    decode_deinit();
  }
  // Whether channel 3's picture file shows the clip's picture.
  bool shows(int picture) {
    live_test::Bmp bmp;
    return live_test::read_bmp("img/serv003.jpg", &bmp) &&
           live_test::psnr_against(
               bmp, live_test::i420_to_bgr(reference_.i420[static_cast<size_t>(picture)].data(), 352, 240), 352, 240) >=
               40.0;
  }

  velmora::testing::TempDir dir_;
  velmora::testing::ScopedCwd cwd_{dir_.path()};
  const uint16_t port_ = static_cast<uint16_t>(live_test::test_port() + 20);
  live_test::Sender sender_{velmora::testing::unique_loopback()};
  const std::string clip_ = velmora::testing::clips_dir() + "/cam0_352x240.m4v";
  live_test::ClipFrames reference_;
};

TEST_F(SubframePlayOut, PicturesFollowTheirTimeStamps) {
  brin::live::state().selected.store(4);  // channel 3 shown alone

  // Five pictures of the 352 x 240 clip, 3000 ticks (33 ms) apart.
  const auto frame = clip_frame(clip_, 3, 5);
  ASSERT_FALSE(frame.empty());
  sender_.send_all(live_test::fragments(frame, 1, 16000), port_);

  g_fake_now = 5000;
  ASSERT_TRUE(wait_until([] { return brin_udp_rx(3, 0) == 1; }, 20s));
  EXPECT_TRUE(shows(0));
  const int due[] = {33, 66, 100, 133};
  for (int i = 0; i < 4; ++i) {
    if (i == 2) {
      // A frame of another channel meanwhile leaves the play-out alone.
      sender_.send_all(live_test::fragments(live_test::picture_frame(5, 0), 2, 16000), port_);
      ASSERT_TRUE(live_test::poll_takes(5));
    }
    g_fake_now = 5000 + static_cast<uint32_t>(due[i]) - 1;
    EXPECT_EQ(brin_udp_rx(3, 0), 0) << "before picture " << i + 1;
    g_fake_now = 5000 + static_cast<uint32_t>(due[i]);
    EXPECT_EQ(brin_udp_rx(3, 0), 1) << "picture " << i + 1;
    EXPECT_TRUE(shows(i + 1)) << "picture " << i + 1;
  }
  g_fake_now = 6000;
  EXPECT_EQ(brin_udp_rx(3, 0), 0);  // all shown
}

// A frame that loses a fragment shows the pictures wholly before the gap,
// in the quad view and in the play-out of the channel shown alone, and never
// one from the part after it; a poll that writes no picture returns 0.
TEST_F(SubframePlayOut, OnlyPicturesBeforeTheFirstGapOfALossyFrameAreShown) {
  std::vector<size_t> ends;
  const auto frame = clip_frame(clip_, 3, 5, &ends);
  ASSERT_FALSE(frame.empty());
  constexpr size_t kStride = 500;
  const auto whole = live_test::fragments(frame, 0, kStride);
  uint8_t number = 1;
  // Sends the frame without the fragment that holds the last byte of
  // sub-frame `lost`, then a frame of another channel that abandons it.
  // Returns the last picture wholly before the gap (-1: none).
  auto send_without = [&](size_t lost) {
    const size_t gap = (ends[lost] - 1) / kStride;
    for (size_t i = 0; i < whole.size(); ++i) {
      if (i == gap) continue;
      live_test::Datagram d = whole[i];
      d.bytes[0] = number;
      sender_.send(d, port_);
    }
    ++number;
    sender_.send_all(live_test::fragments(live_test::picture_frame(15, 0), number++, 4000), port_);
    EXPECT_TRUE(live_test::poll_takes(15));
    int last = -1;
    while (last + 1 < 5 && ends[static_cast<size_t>(last + 1)] <= gap * kStride) ++last;
    return last;
  };

  // The quad view: the first picture, when it arrived whole.
  ASSERT_EQ(send_without(2), 1);
  EXPECT_EQ(brin_udp_rx(3, 0), 1);
  EXPECT_TRUE(shows(0));
  ASSERT_EQ(send_without(0), -1);
  EXPECT_FALSE(live_test::takes_now(3));
  // A whole frame that yields no picture is taken, and the poll says 0.
  sender_.send_all(live_test::fragments(live_test::picture_frame(3, 0), number++, 4000), port_);
  const uint64_t taken = brin::live::state().frames_taken[0][3].load();
  ASSERT_TRUE(velmora::testing::wait_until([] { return brin::live::state().channels[0][3].ready.load() == 1; }, 20s));
  EXPECT_EQ(brin_udp_rx(3, 0), 0);
  EXPECT_EQ(brin::live::state().frames_taken[0][3].load(), taken + 1);

  // The channel shown alone: the pictures up to the gap at their times,
  // then nothing more.
  brin::live::state().selected.store(4);
  const int last = send_without(3);
  ASSERT_GE(last, 1);
  g_fake_now = 1000;
  EXPECT_EQ(brin_udp_rx(3, 0), 1);
  EXPECT_TRUE(shows(0));
  for (int i = 1; i < 5; ++i) {
    g_fake_now = 1000 + 34u * static_cast<uint32_t>(i);
    EXPECT_EQ(brin_udp_rx(3, 0), i <= last ? 1 : 0) << "picture " << i;
    EXPECT_TRUE(shows(std::min(i, last))) << "picture " << i;
  }
}

}  // namespace
