// Picture sizes beyond what recorders send, from a packet, a further piece
// of a stream and a live datagram: refused before anything is allocated for
// them, while the channels around them carry on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "forged_stream.h"
#include "live_fixture.h"
#include "mpeg4/colour.h"
#include "mpeg4/decoder.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace {

namespace dec = brin::decode;
using namespace std::chrono_literals;

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kGrowthBound = 20 * kMiB;

// The pictures of a clip as recorder packets of one channel.
struct Clip {
  std::vector<uint8_t> es;
  std::vector<zebsim::EsPicture> pictures;
  explicit Clip(const std::string& name) {
    es = zebsim::read_binary_file(velmora::testing::clips_dir() + "/" + name);
    pictures = zebsim::split_pictures(es);
  }
  std::vector<uint8_t> packet(size_t i, int channel) const {
    zebsim::PacketSpec spec;
    spec.channel = channel;
    spec.pts = 3000 * (i + 1);
    return zebsim::recorder_packet(spec, es.data() + pictures[i].offset, pictures[i].size);
  }
  // The decoder core's picture after pictures 0..n, as bottom-up BGR.
  std::vector<uint8_t> expected(size_t n) const {
    mpeg4::Decoder d;
    mpeg4::Picture pic;
    for (size_t i = 0; i <= n; ++i) {
      size_t used;
      d.decode(es.data() + pictures[i].offset, pictures[i].size, &used, &pic);
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(pic.width) * pic.height * 3);
    mpeg4::yuv420_to_bgr24(pic, rgb.data(), true);
    return rgb;
  }
};

std::vector<uint8_t> picture(int channel) {
  std::vector<uint8_t> rgb;
  dec::copy_picture(channel, &rgb, nullptr, nullptr);
  return rgb;
}

class Oversize : public ::testing::Test {
 protected:
  void SetUp() override {
    decode_deinit();
    ASSERT_EQ(decode_init(), 0);
    dec::set_strict_mode(true);
  }
  void TearDown() override { decode_deinit(); }
};

TEST_F(Oversize, A4095By4095HeaderAllocatesNothing) {
  const auto forged = forged::packet(4, 4095, 4095);
  const size_t before = forged::resident_bytes();
  ASSERT_GT(before, 0u);
  EXPECT_EQ(dec::decode_packet(forged.data(), forged.size()), 0);
  const size_t after = forged::resident_bytes();
  std::printf("resident memory: %.1f MB before, %.1f MB after one 4095 x 4095 packet\n",
              static_cast<double>(before) / kMiB, static_cast<double>(after) / kMiB);
  EXPECT_LT(after, before + kGrowthBound);
  const auto st = dec::channel_status(4);
  EXPECT_EQ(st.refused, 1);
  EXPECT_EQ(st.refused_width, 4095);
  EXPECT_EQ(st.refused_height, 4095);
  EXPECT_EQ(st.width, 344);  // the refused size never became the channel's
  for (int ch = 0; ch < dec::kChannels; ++ch) {
    int w = -1, h = -1, builds = -1;
    dec::built_size(ch, &w, &h, &builds);
    EXPECT_EQ(builds, 0) << ch;
  }
  // The channel then decodes a real stream.
  const Clip clip("cam0_352x240.m4v");
  const auto good = clip.packet(0, 4);
  EXPECT_EQ(dec::decode_packet(good.data(), good.size()), 1);
  EXPECT_EQ(picture(4), clip.expected(0));
}

TEST_F(Oversize, TheBoundIsTheLargestRecorderPicture) {
  struct Row {
    int width, height;
    bool accepted;
  };
  const Row rows[] = {{1920, 1088, true}, {1921, 1088, false}, {1920, 1089, false},
                      {16, 4095, false},  {4095, 16, false},   {176, 144, true}};
  int channel = 0;
  for (const Row& r : rows) {
    const auto pkt = forged::packet(channel, r.width, r.height);
    dec::decode_packet(pkt.data(), pkt.size());
    int w = 0, h = 0, builds = 0;
    dec::built_size(channel, &w, &h, &builds);
    const auto st = dec::channel_status(channel);
    if (r.accepted) {
      EXPECT_EQ(w, r.width) << r.width << "x" << r.height;
      EXPECT_EQ(h, r.height) << r.width << "x" << r.height;
      EXPECT_EQ(st.refused, 0) << r.width << "x" << r.height;
    } else {
      EXPECT_EQ(builds, 0) << r.width << "x" << r.height;
      EXPECT_EQ(st.refused, 1) << r.width << "x" << r.height;
    }
    ++channel;
  }
}

// The decoder reads every stream header of a piece, not only the one the
// header scan reports: a large one behind a small one is refused too.
TEST_F(Oversize, EveryStreamHeaderOfAPieceIsChecked) {
  auto es = forged::stream_header(352, 240);
  const auto big = forged::stream_header(4095, 4095);
  es.insert(es.end(), big.begin() + 4, big.end());  // a second layer header, without a second object start
  const auto vop = forged::empty_intra_vop();
  es.insert(es.end(), vop.begin(), vop.end());
  zebsim::PacketSpec spec;
  spec.channel = 9;
  const auto pkt = zebsim::recorder_packet(spec, es.data(), es.size());
  int w = 0, h = 0;
  EXPECT_TRUE(dec::declares_oversize_picture(pkt.data(), pkt.size(), &w, &h));
  EXPECT_EQ(w, 4095);
  const size_t before = forged::resident_bytes();
  EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 0);
  EXPECT_LT(forged::resident_bytes(), before + kGrowthBound);
  EXPECT_EQ(dec::channel_status(9).refused, 1);

  // A further piece of a running stream: refused, and the stream goes on
  // from where it was.
  const Clip clip("cam0_352x240.m4v");
  const auto first = clip.packet(0, 3);
  ASSERT_EQ(dec::decode_packet(first.data(), first.size()), 1);
  const auto hostile = forged::packet(3, 4095, 4095);
  EXPECT_EQ(dec::decode_next_piece(3, hostile.data(), hostile.size()), 0);
  EXPECT_EQ(dec::channel_status(3).refused, 1);
  EXPECT_EQ(picture(3), clip.expected(0));
  for (size_t i = 1; i <= 3; ++i) {
    const auto p = clip.packet(i, 3);
    EXPECT_EQ(dec::decode_next_piece(3, p.data(), p.size()), 1) << i;
  }
  EXPECT_EQ(picture(3), clip.expected(3));
}

// One live datagram declaring 4095 x 4095 on every channel, then size flips
// on one channel: the receive threads and the viewer's polls carry them to
// the channel decoders, which refuse them. The longest poll is reported,
// not asserted (it depends on the machine); memory is.
TEST(OversizeLive, ForgedDatagramsCostNoMemory) {
  velmora::testing::TempDir dir;
  velmora::testing::ScopedCwd cwd(dir.path());
  decode_deinit();
  ASSERT_EQ(decode_init(), 0);
  const uint16_t port = static_cast<uint16_t>(live_test::test_port() + 28);
  live_test::Sender sender(velmora::testing::unique_loopback());
  ASSERT_EQ(brin_udp_connect("127.0.0.1", port, 0), 0);
  int p[4];
  sender.parts(p);
  ASSERT_EQ(brin_udp_rx_start(p[0], p[1], p[2], p[3]), 0);

  auto frame_with = [](int channel, std::vector<uint8_t> pkt) {
    pkt.resize((pkt.size() + 31) / 32 * 32, 0);
    std::vector<uint8_t> frame(128, 0);
    std::vector<uint8_t> sub(6, 0);
    sub[2] = static_cast<uint8_t>(pkt.size() / 32);
    sub[3] = static_cast<uint8_t>((pkt.size() / 32) >> 8);
    frame.insert(frame.end(), sub.begin(), sub.end());
    frame.insert(frame.end(), pkt.begin(), pkt.end());
    live_test::put16(frame, 0, static_cast<uint16_t>(channel << 12));
    live_test::put32(frame, 4, static_cast<uint32_t>(frame.size() - 28));
    return frame;
  };
  double longest_ms = 0;
  auto taken = [&](int channel) {
    return velmora::testing::wait_until(
        [&] {
          const auto t0 = std::chrono::steady_clock::now();
          const bool took_frame = live_test::takes_now(channel);
          const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - t0;
          longest_ms = std::max(longest_ms, took.count());
          return took_frame;
        },
        5s);
  };
  // A frame of each channel first, so that the receive side holds what it
  // holds for every channel before the measurement.
  uint8_t number = 1;
  for (int ch = 0; ch < dec::kChannels; ++ch) {
    sender.send_all(live_test::fragments(live_test::picture_frame(ch, 0), number++, 4000), port);
    ASSERT_TRUE(taken(ch)) << ch;
  }
  longest_ms = 0;
  const size_t before = forged::resident_bytes();
  size_t datagram_bytes = 0;
  for (int ch = 0; ch < dec::kChannels; ++ch) {
    const auto datagrams = live_test::fragments(frame_with(ch, forged::packet(ch, 4095, 4095)), number++, 4000);
    ASSERT_EQ(datagrams.size(), 1u);
    datagram_bytes = datagrams[0].bytes.size();
    sender.send_all(datagrams, port);
    ASSERT_TRUE(taken(ch)) << ch;
  }
  for (int i = 0; i < 40; ++i) {
    sender.send_all(live_test::fragments(frame_with(5, forged::packet(5, 4095 - i % 2, 4095)), number++, 4000), port);
    ASSERT_TRUE(taken(5)) << i;
  }
  const size_t after = forged::resident_bytes();
  std::printf(
      "%zu-byte datagrams declaring 4095 x 4095: resident memory %.1f MB before, %.1f MB after; "
      "longest poll %.2f ms\n",
      datagram_bytes, static_cast<double>(before) / kMiB, static_cast<double>(after) / kMiB, longest_ms);
  EXPECT_LT(after, before + kGrowthBound);
  for (int ch = 0; ch < dec::kChannels; ++ch) EXPECT_GE(dec::channel_status(ch).refused, 1) << ch;
  EXPECT_EQ(dec::channel_status(5).refused, 41);
  EXPECT_EQ(brin_udp_close(), 0);
  decode_deinit();
}

}  // namespace
