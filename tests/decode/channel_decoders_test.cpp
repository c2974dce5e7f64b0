// The sixteen channel decoders through their set-up exports and internal
// operations: packet scan, header scan, decoding into the channels' RGB
// pictures, the size rule, the decoder messages and the picture files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "mpeg4/colour.h"
#include "mpeg4/decoder.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace {

std::vector<std::string> g_messages;
std::vector<std::string> g_captions;

}  // namespace

extern "C" __attribute__((visibility("default"))) void velmora_message_box(const char* text, const char* caption) {
  g_messages.emplace_back(text);
  g_captions.emplace_back(caption);
}

namespace {

namespace dec = brin::decode;
using velmora::testing::clips_dir;

std::vector<uint8_t> read_bytes(const std::string& path) { return zebsim::read_binary_file(path); }

// The pictures of a clip, each wrapped in a recorder packet of a channel.
struct Packets {
  std::vector<uint8_t> es;
  std::vector<zebsim::EsPicture> pictures;
  std::vector<uint8_t> packet(size_t i, int channel, bool video = true) const {
    zebsim::PacketSpec spec;
    spec.channel = channel;
    spec.video = video;
    spec.pts = 3000 * (i + 1);
    return zebsim::recorder_packet(spec, es.data() + pictures[i].offset, pictures[i].size);
  }
};

Packets clip_packets(const std::string& path) {
  Packets p;
  p.es = read_bytes(path);
  p.pictures = zebsim::split_pictures(p.es);
  return p;
}

// What the channel's picture must hold after decoding pictures 0..n of the
// clip: the decoder core's picture converted to bottom-up BGR.
std::vector<uint8_t> expected_rgb(const Packets& p, size_t n) {
  mpeg4::Decoder d;
  mpeg4::Picture pic;
  for (size_t i = 0; i <= n; ++i) {
    size_t used;
    EXPECT_EQ(d.decode(p.es.data() + p.pictures[i].offset, p.pictures[i].size, &used, &pic), mpeg4::kOk);
  }
  std::vector<uint8_t> rgb(static_cast<size_t>(pic.width) * pic.height * 3);
  mpeg4::yuv420_to_bgr24(pic, rgb.data(), true);
  return rgb;
}

class ChannelDecoders : public ::testing::Test {
 protected:
  void SetUp() override {
    decode_deinit();
    ASSERT_EQ(decode_init(), 0);
    dec::set_strict_mode(true);
    g_messages.clear();
    g_captions.clear();
  }
  void TearDown() override { decode_deinit(); }

  static std::vector<uint8_t> picture(int ch) {
    std::vector<uint8_t> rgb;
    dec::copy_picture(ch, &rgb, nullptr, nullptr);
    return rgb;
  }
};

TEST_F(ChannelDecoders, SetUpGivesEveryChannel344By344AndBuildsNone) {
  EXPECT_TRUE(dec::is_set_up());
  for (int ch = 0; ch < 16; ++ch) {
    const auto st = dec::channel_status(ch);
    EXPECT_EQ(st.width, 344);
    EXPECT_EQ(st.height, 344);
    EXPECT_FALSE(st.active);
    int w = -1, h = -1, builds = -1;
    dec::built_size(ch, &w, &h, &builds);
    EXPECT_EQ(builds, 0) << ch;
    EXPECT_TRUE(picture(ch).empty()) << ch;  // a picture is made on first use
  }
  EXPECT_NE(dec::work_buffer(), nullptr);
  EXPECT_NE(dec::audio_side_buffer(1), nullptr);
  // A second set-up keeps the decoders.
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto pkt = clip.packet(0, 1);
  ASSERT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 1);
  EXPECT_EQ(decode_init(), 0);
  int w, h, builds;
  dec::built_size(1, &w, &h, &builds);
  EXPECT_EQ(builds, 1);
  EXPECT_EQ(picture(1), expected_rgb(clip, 0));
}

TEST_F(ChannelDecoders, ASizeBuildsOnlyTheChannelItArrivesOn) {
  const auto clip = clip_packets(clips_dir() + "/cam0_704x480.m4v");
  ASSERT_GT(clip.pictures.size(), 2u);
  int channel = -1;
  const auto pkt = clip.packet(0, 2);
  EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size(), &channel), 1);
  EXPECT_EQ(channel, 2);
  int w, h, builds;
  dec::built_size(2, &w, &h, &builds);
  EXPECT_EQ(w, 704);
  EXPECT_EQ(h, 480);
  EXPECT_EQ(builds, 1);
  for (int ch = 0; ch < 16; ++ch) {
    if (ch == 2) continue;
    EXPECT_EQ(dec::channel_status(ch).width, 344) << ch;
    dec::built_size(ch, &w, &h, &builds);
    EXPECT_EQ(builds, 0) << ch;
  }
  const auto st = dec::channel_status(2);
  EXPECT_TRUE(st.active);
  EXPECT_TRUE(st.decoded);
  EXPECT_EQ(st.last_length, pkt.size());
  EXPECT_EQ(picture(2), expected_rgb(clip, 0));
  // A second channel builds its own; the first is left as it was.
  const auto other = clip_packets(clips_dir() + "/cam1_704x480.m4v");
  const auto pkt5 = other.packet(0, 5);
  EXPECT_EQ(dec::decode_packet(pkt5.data(), pkt5.size()), 1);
  dec::built_size(5, &w, &h, &builds);
  EXPECT_EQ(builds, 1);
  EXPECT_EQ(picture(5), expected_rgb(other, 0));
  EXPECT_EQ(picture(2), expected_rgb(clip, 0));
  // Later pictures of channel 2 carry no stream header and decode at the
  // channel's size with its state.
  for (size_t i = 1; i < 4; ++i) {
    const auto p = clip.packet(i, 2);
    EXPECT_EQ(dec::decode_packet(p.data(), p.size()), 1) << i;
  }
  EXPECT_EQ(picture(2), expected_rgb(clip, 3));
  // Channel 5 changes size: only channel 5 is rebuilt, and channel 2 goes
  // on with its stream.
  const auto small = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto pkt5s = small.packet(0, 5);
  EXPECT_EQ(dec::decode_packet(pkt5s.data(), pkt5s.size()), 1);
  dec::built_size(5, &w, &h, &builds);
  EXPECT_EQ(w, 352);
  EXPECT_EQ(h, 240);
  EXPECT_EQ(builds, 2);
  EXPECT_EQ(picture(5), expected_rgb(small, 0));
  dec::built_size(2, &w, &h, &builds);
  EXPECT_EQ(builds, 1);
  const auto p4 = clip.packet(4, 2);
  EXPECT_EQ(dec::decode_packet(p4.data(), p4.size()), 1);
  EXPECT_EQ(picture(2), expected_rgb(clip, 4));
  EXPECT_TRUE(g_messages.empty());
}

// A channel flipping between sizes keeps its decoder's memory: after each
// flip, its stream's pictures (the first one and the predicted ones after
// it) are what a decoder that never saw another size gives, whether the
// held memory is larger than the new size or must grow.
TEST_F(ChannelDecoders, SizeFlipsDecodeAsAFreshDecoderWould) {
  const Packets clips[] = {clip_packets(clips_dir() + "/cam0_352x240.m4v"),
                           clip_packets(clips_dir() + "/cam1_704x480.m4v"),
                           clip_packets(clips_dir() + "/cam0_704x240.m4v")};
  std::vector<std::vector<uint8_t>> expected[3];
  for (int k = 0; k < 3; ++k) {
    ASSERT_GT(clips[k].pictures.size(), 3u);
    for (size_t i = 0; i < 3; ++i) expected[k].push_back(expected_rgb(clips[k], i));
  }
  const int order[] = {0, 1, 0, 2, 1, 2, 0};
  for (int k : order) {
    for (size_t i = 0; i < 3; ++i) {
      const auto pkt = clips[k].packet(i, 4);
      EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 1) << k << " " << i;
      EXPECT_TRUE(picture(4) == expected[k][i]) << k << " " << i;
    }
  }
  int w, h, builds;
  dec::built_size(4, &w, &h, &builds);
  EXPECT_EQ(builds, 7);
  EXPECT_EQ(w, 352);
}

TEST_F(ChannelDecoders, StrictModeNeedsTheStartCodeAtTheBeginning) {
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  auto pkt = clip.packet(0, 1);
  pkt.insert(pkt.begin(), {0xFF, 0x12, 0x00, 0x00, 0x07});
  const auto before = picture(1);
  EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 0);
  EXPECT_EQ(picture(1), before);
  EXPECT_FALSE(dec::channel_status(1).active);
  dec::set_strict_mode(false);
  EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 1);
  EXPECT_EQ(picture(1), expected_rgb(clip, 0));
}

TEST_F(ChannelDecoders, AudioPacketsChangeNoPicture) {
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto video = clip.packet(0, 4);
  ASSERT_EQ(dec::decode_packet(video.data(), video.size()), 1);
  std::vector<std::vector<uint8_t>> before;
  for (int ch = 0; ch < 16; ++ch) before.push_back(picture(ch));
  // An audio packet of the same channel, even one whose payload is video.
  const auto audio = clip.packet(1, 4, false);
  EXPECT_EQ(dec::decode_packet(audio.data(), audio.size()), 0);
  const std::vector<uint8_t> tone(800, 0x55);
  zebsim::PacketSpec spec;
  spec.video = false;
  spec.channel = 9;
  const auto audio2 = zebsim::recorder_packet(spec, tone.data(), tone.size());
  EXPECT_EQ(dec::decode_packet(audio2.data(), audio2.size()), 0);
  for (int ch = 0; ch < 16; ++ch) EXPECT_EQ(picture(ch), before[ch]) << ch;
  EXPECT_FALSE(dec::channel_status(9).active);
}

TEST_F(ChannelDecoders, NoPictureYetCountsAsSuccess) {
  const auto clip = clip_packets(velmora::testing::build_dir() + "/tests/decode/bframes_352x240.m4v");
  ASSERT_GE(clip.pictures.size(), 5u);
  // Pictures I, P, B, B, P: once B-VOPs have been seen, the second P is
  // held back for display order, and the decoder answers "no picture yet"
  // (10), which counts as a success.
  mpeg4::Decoder probe;
  mpeg4::Picture pic;
  size_t used;
  std::vector<int> results;
  for (size_t i = 0; i < 5; ++i)
    results.push_back(probe.decode(clip.es.data() + clip.pictures[i].offset, clip.pictures[i].size, &used, &pic));
  ASSERT_EQ(results, (std::vector<int>{0, 0, 0, 0, mpeg4::kOkNoPicture}));
  for (size_t i = 0; i < 5; ++i) {
    const auto pkt = clip.packet(i, 6);
    EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 1) << i;
    EXPECT_TRUE(dec::channel_status(6).decoded) << i;
  }
  EXPECT_TRUE(g_messages.empty());
}

TEST_F(ChannelDecoders, DecoderStatesBecomeMessages) {
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  // A predicted picture before any stream header of its channel: as a
  // packet it has no size and yields nothing; as a further piece of the
  // channel's stream it reaches the decoder, which has no stream header.
  const auto p = clip.packet(1, 7);
  EXPECT_EQ(dec::decode_packet(p.data(), p.size()), 0);
  EXPECT_TRUE(g_messages.empty());
  EXPECT_EQ(dec::decode_next_piece(7, p.data(), p.size()), 0);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0],
            "To Developer:\nNo sequence header. You should put a picture\nwith sequence header at first");
  EXPECT_FALSE(dec::channel_status(7).decoded);
  // Stream headers without a picture.
  std::vector<uint8_t> es(clip.es.begin(), clip.es.begin() + static_cast<long>(clip.pictures[0].size));
  size_t vop = 0;
  for (size_t i = 0; i + 3 < es.size() && !vop; ++i)
    if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == 0xB6) vop = i;
  ASSERT_GT(vop, 0u);
  es.resize(vop);
  zebsim::PacketSpec spec;
  spec.channel = 8;
  const auto hdr = zebsim::recorder_packet(spec, es.data(), es.size());
  EXPECT_EQ(dec::decode_packet(hdr.data(), hdr.size()), 0);
  ASSERT_EQ(g_messages.size(), 2u);
  EXPECT_EQ(g_messages[1], "No picture header in picture buffer\n");
  // The channel then decodes normally.
  const auto good = clip.packet(0, 7);
  EXPECT_EQ(dec::decode_packet(good.data(), good.size()), 1);
  EXPECT_EQ(g_messages.size(), 2u);
}

TEST_F(ChannelDecoders, NextPiecesContinueTheChannelsStream) {
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto first = clip.packet(0, 3);
  ASSERT_EQ(dec::decode_packet(first.data(), first.size()), 1);
  for (size_t i = 1; i <= 5; ++i) {
    const auto p = clip.packet(i, 3);
    EXPECT_EQ(dec::decode_next_piece(3, p.data(), p.size()), 1) << i;
  }
  EXPECT_EQ(picture(3), expected_rgb(clip, 5));
  EXPECT_EQ(dec::decode_next_piece(16, first.data(), first.size()), 0);
  EXPECT_EQ(dec::decode_next_piece(-1, first.data(), first.size()), 0);
}

TEST_F(ChannelDecoders, PictureFileDropsTheFirstEightRows) {
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto pkt = clip.packet(0, 0);
  ASSERT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 1);
  velmora::testing::TempDir dir;
  const std::string path = dir.file("serv000.jpg");
  ASSERT_TRUE(dec::write_picture_file(path.c_str(), 0));
  const auto file = read_bytes(path);
  const size_t bytes = 352u * 232 * 3;
  ASSERT_EQ(file.size(), 54 + bytes);
  auto le32 = [&](size_t at) {
    return static_cast<uint32_t>(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24);
  };
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(le32(2), 54 + bytes);
  EXPECT_EQ(le32(10), 54u);
  EXPECT_EQ(le32(14), 40u);
  EXPECT_EQ(le32(18), 352u);
  EXPECT_EQ(le32(22), 232u);
  EXPECT_EQ(file[26], 1);
  EXPECT_EQ(file[28], 24);
  EXPECT_EQ(le32(30), 0u);
  EXPECT_EQ(le32(34), bytes);
  const auto rgb = picture(0);
  EXPECT_TRUE(std::equal(file.begin() + 54, file.end(), rgb.begin() + 352 * 3 * 8));
  EXPECT_FALSE(dec::write_picture_file(path.c_str(), 16));
  EXPECT_FALSE(dec::write_picture_file(dir.file("no/such/folder.bmp").c_str(), 0));
}

// Picture files are replaced on every write: a symlink planted at the name
// is replaced, never written through, and an earlier picture is replaced
// whole.
TEST_F(ChannelDecoders, PictureFilesReplaceASymlinkInsteadOfFollowingIt) {
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto pkt = clip.packet(0, 0);
  ASSERT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 1);
  velmora::testing::TempDir dir;
  const std::string victim = dir.file("victim.txt"), absent = dir.file("absent.txt");
  ASSERT_TRUE(velmora::testing::write_file(victim, "keep me"));
  const std::string path = dir.file("serv000.jpg"), dangling = dir.file("serv001.jpg");
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
  ASSERT_EQ(::symlink(absent.c_str(), dangling.c_str()), 0);
  ASSERT_TRUE(dec::write_picture_file(path.c_str(), 0));
  ASSERT_TRUE(dec::write_picture_file(dangling.c_str(), 0));
  EXPECT_EQ(velmora::testing::read_file(victim), "keep me");
  EXPECT_FALSE(velmora::testing::file_exists(absent));
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_bytes(path).size(), 54 + 352u * 232 * 3);
  // The still pictures' writer does the same.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0);
  const std::vector<uint8_t> rows(4 * 3 * 2, 0x7F);
  ASSERT_TRUE(brin::bmp::write_bmp(path.c_str(), rows.data(), 4, 2, 12));
  EXPECT_EQ(velmora::testing::read_file(victim), "keep me");
  EXPECT_EQ(read_bytes(path).size(), 54u + 2 * 12);
  // Nothing is left beside the picture.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3u);
}

TEST_F(ChannelDecoders, ColourConversionIsVideoRangeBt601) {
  // Flat pictures of known YUV values through the converter.
  const struct {
    uint8_t y, u, v, b, g, r;
  } cases[] = {
      {16, 128, 128, 0, 0, 0},  {235, 128, 128, 255, 255, 255}, {126, 128, 128, 128, 128, 128},
      {81, 90, 240, 0, 0, 255}, {145, 54, 34, 0, 255, 0},       {41, 240, 110, 255, 0, 0},
  };
  for (const auto& c : cases) {
    uint8_t y[4] = {c.y, c.y, c.y, c.y}, u = c.u, v = c.v;
    mpeg4::Picture pic;
    pic.y = y;
    pic.u = &u;
    pic.v = &v;
    pic.stride_y = 2;
    pic.stride_uv = 1;
    pic.width = pic.height = 2;
    uint8_t out[12];
    mpeg4::yuv420_to_bgr24(pic, out, true);
    EXPECT_NEAR(out[0], c.b, 2) << int(c.y);
    EXPECT_NEAR(out[1], c.g, 2) << int(c.y);
    EXPECT_NEAR(out[2], c.r, 2) << int(c.y);
  }
  // One sample worked by hand, video range, rounded: Y 100, Cb 150, Cr 140
  // give luma (100 - 16) x 255 / 219 = 97.808, Cb' = 22 x 255 / 224 = 25.045,
  // Cr' = 12 x 255 / 224 = 13.661; B = 97.808 + 1.772 x 25.045 = 142.19,
  // R = 97.808 + 1.402 x 13.661 = 116.96,
  // G = 97.808 - (0.299 x 1.402 x 13.661 + 0.114 x 1.772 x 25.045) / 0.587 = 79.43.
  uint8_t y = 100, u = 150, v = 140;
  mpeg4::Picture pic;
  pic.y = &y;
  pic.u = &u;
  pic.v = &v;
  pic.stride_y = pic.stride_uv = 1;
  pic.width = pic.height = 1;
  uint8_t out[3];
  mpeg4::yuv420_to_bgr24(pic, out, false);
  EXPECT_EQ(out[0], 142);
  EXPECT_EQ(out[1], 79);
  EXPECT_EQ(out[2], 117);
}

TEST_F(ChannelDecoders, ColourConversionOfRandomPicturesFollowsTheFixedPointFormulaToTheByte) {
  // Widths of whole groups of sixteen pixels, with a few left over, and
  // fewer than sixteen: the processor's vector rows and the plain rest must
  // give the bytes of the formula (BT.601 video range with 13 fractional
  // bits), worked here pixel by pixel. Random samples reach the limits of
  // 0 and 255 in every channel.
  std::mt19937 random(2026);
  for (const int w : {704, 352, 48, 40, 17, 6}) {
    const int h = 6, cw = (w + 1) / 2;
    std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(static_cast<size_t>(cw) * h / 2),
        v(static_cast<size_t>(cw) * h / 2);
    for (auto* plane : {&y, &u, &v})
      for (uint8_t& b : *plane) b = static_cast<uint8_t>(random());
    mpeg4::Picture pic;
    pic.y = y.data();
    pic.u = u.data();
    pic.v = v.data();
    pic.stride_y = w;
    pic.stride_uv = cw;
    pic.width = w;
    pic.height = h;
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    mpeg4::yuv420_to_bgr24(pic, out.data(), false);
    auto limit = [](int sum) { return std::clamp((sum + 4096) >> 13, 0, 255); };
    int wrong = 0;
    for (int row = 0; row < h; ++row)
      for (int x = 0; x < w; ++x) {
        const int l = 9539 * (y[static_cast<size_t>(row * w + x)] - 16);
        const int cb = u[static_cast<size_t>(row / 2 * cw + x / 2)] - 128;
        const int cr = v[static_cast<size_t>(row / 2 * cw + x / 2)] - 128;
        const uint8_t* px = &out[(static_cast<size_t>(row) * w + x) * 3];
        const int want[3] = {limit(l + 16525 * cb), limit(l - 3209 * cb - 6660 * cr), limit(l + 13075 * cr)};
        for (int c = 0; c < 3; ++c)
          if (px[c] != want[c] && ++wrong <= 5)
            ADD_FAILURE() << "width " << w << " row " << row << " x " << x << " channel " << c << ": " << int(px[c])
                          << " instead of " << want[c];
      }
    EXPECT_EQ(wrong, 0) << "width " << w;
  }
}

TEST_F(ChannelDecoders, TearDownAndFailedSetUp) {
  decode_deinit();
  EXPECT_FALSE(dec::is_set_up());
  const auto clip = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  const auto pkt = clip.packet(0, 0);
  EXPECT_EQ(dec::decode_packet(pkt.data(), pkt.size()), 0);
  EXPECT_FALSE(dec::write_picture_file("x.bmp", 0));
  dec::testing::fail_next_work_buffer(true);
  EXPECT_EQ(decode_init(), 1);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], "error: GlobalAlloc");
  EXPECT_EQ(g_captions[0], "decode_init error");
  EXPECT_FALSE(dec::is_set_up());
  EXPECT_EQ(decode_init(), 0);
  EXPECT_TRUE(dec::is_set_up());
}

// Two threads decode and write channels of different sizes at once, as the
// live polls of two cameras do: the decoders must come out of it whole (the
// thread sanitizer run checks the locking), and each channel's stream
// decodes as it would alone, every picture resting on the one before.
TEST_F(ChannelDecoders, SizeChangesMeetDecodesOnAnotherThread) {
  const auto big = clip_packets(clips_dir() + "/cam0_704x480.m4v");
  const auto small = clip_packets(clips_dir() + "/cam0_352x240.m4v");
  constexpr size_t kPictures = 20;
  ASSERT_GE(big.pictures.size(), kPictures);
  ASSERT_GE(small.pictures.size(), kPictures);
  velmora::testing::TempDir dir;
  std::atomic<int> pictures{0};
  auto worker = [&](const Packets& clip, int channel, const std::string& file) {
    for (size_t i = 0; i < kPictures; ++i) {
      const auto pkt = clip.packet(i, channel);
      pictures += dec::decode_packet(pkt.data(), pkt.size());
      dec::write_picture_file(file.c_str(), channel);
    }
  };
  std::thread a(worker, std::cref(big), 1, dir.file("a.bmp"));
  std::thread b(worker, std::cref(small), 2, dir.file("b.bmp"));
  a.join();
  b.join();
  EXPECT_EQ(pictures.load(), 2 * static_cast<int>(kPictures));
  EXPECT_EQ(picture(1), expected_rgb(big, kPictures - 1));
  EXPECT_EQ(picture(2), expected_rgb(small, kPictures - 1));
}

TEST(PacketScan, LocatesPacketsInMemoryAndFiles) {
  zebsim::PacketSpec spec;
  spec.channel = 11;
  spec.back_distance = 123456;
  const uint8_t payload[] = {0, 0, 1, 0xB6, 0x50};
  auto pkt = zebsim::recorder_packet(spec, payload, sizeof payload);
  const std::vector<uint8_t> junk = {0x00, 0x00, 0x01, 0xB6, 0x00, 0x00, 0x01, 0x20, 0x47};
  std::vector<uint8_t> buf(junk.size() + pkt.size());
  std::copy(junk.begin(), junk.end(), buf.begin());
  std::copy(pkt.begin(), pkt.end(), buf.begin() + static_cast<long>(junk.size()));
  dec::PacketInfo info;
  size_t start = 99;
  EXPECT_EQ(dec::locate_packet(buf.data(), buf.size(), true, &info, &start), 0);
  ASSERT_EQ(dec::locate_packet(buf.data(), buf.size(), false, &info, &start), 1);
  EXPECT_EQ(start, junk.size());
  EXPECT_EQ(info.channel, 11);
  EXPECT_EQ(info.kind, dec::kVideo);
  EXPECT_EQ(info.back_distance, 123456u);
  EXPECT_EQ(info.total_size, pkt.size());
  // A header cut short is no packet.
  EXPECT_EQ(dec::locate_packet(buf.data(), buf.size() - sizeof payload - 1, false, &info, &start), 0);

  velmora::testing::TempDir dir;
  const std::string path = dir.file("data.bin");
  ASSERT_TRUE(zebsim::write_binary_file(path, buf));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 2, SEEK_SET);
  EXPECT_EQ(dec::locate_packet(f, true, &info), -1);
  EXPECT_EQ(std::ftell(f), 2);  // four bytes read, four set back
  EXPECT_EQ(dec::locate_packet(f, false, &info), static_cast<int64_t>(junk.size()));
  EXPECT_EQ(std::ftell(f), static_cast<long>(junk.size()));
  EXPECT_EQ(info.channel, 11);
  // At the packet, a strict scan succeeds; a packet at the start of a file
  // is found at position 0.
  EXPECT_EQ(dec::locate_packet(f, true, &info), static_cast<int64_t>(junk.size()));
  std::fclose(f);
  ASSERT_TRUE(zebsim::write_binary_file(path, pkt));
  f = std::fopen(path.c_str(), "rb");
  EXPECT_EQ(dec::locate_packet(f, true, &info), 0);
  std::fclose(f);
}

TEST(PacketScan, HeaderScanReportsStampsSizeTimeCodeAndType) {
  const auto es = read_bytes(clips_dir() + "/cam0_704x240.m4v");
  const auto pictures = zebsim::split_pictures(es);
  ASSERT_GT(pictures.size(), 2u);
  zebsim::PacketSpec spec;
  spec.pts = 0x1FFFFFFFFull;
  auto pkt = zebsim::recorder_packet(spec, es.data() + pictures[0].offset, pictures[0].size);
  dec::HeaderScan scan;
  int flags = dec::scan_headers(pkt.data(), pkt.size(), &scan);
  EXPECT_EQ(flags & (dec::kScanTime | dec::kScanSize | dec::kScanCodingType),
            dec::kScanTime | dec::kScanSize | dec::kScanCodingType);
  EXPECT_EQ(scan.time, 0xFFFFFFFFu);
  EXPECT_EQ(scan.width, 704);
  EXPECT_EQ(scan.height, 240);
  EXPECT_EQ(scan.coding_type, 1);
  spec.has_dts = true;
  spec.pts = 5000;
  spec.dts = 4000;
  pkt = zebsim::recorder_packet(spec, es.data() + pictures[1].offset, pictures[1].size);
  flags = dec::scan_headers(pkt.data(), pkt.size(), &scan);
  EXPECT_EQ(flags, dec::kScanTime | dec::kScanCodingType);
  EXPECT_EQ(scan.time, 4000u);
  EXPECT_EQ(scan.coding_type, 2);
  // A group of VOPs with time code 01:02:03.
  const uint8_t gov[] = {0,
                         0,
                         1,
                         0xB3,
                         static_cast<uint8_t>((1 << 3) | (2 >> 3)),
                         static_cast<uint8_t>(((2 & 7) << 5) | (1 << 4) | (3 >> 2)),
                         static_cast<uint8_t>((3 & 3) << 6),
                         0,
                         0,
                         1,
                         0xB6,
                         0x40};
  flags = dec::scan_headers(gov, sizeof gov, &scan);
  EXPECT_EQ(flags, dec::kScanTimeCode | dec::kScanCodingType);
  EXPECT_EQ(scan.time_code, (1u << 13) | (2u << 7) | (1u << 6) | 3u);
  EXPECT_EQ(scan.coding_type, 2);
  // Cut anywhere, a scan never reads beyond what it is given.
  for (size_t n = 0; n < 64; ++n) dec::scan_headers(pkt.data(), n, &scan);
}

}  // namespace
