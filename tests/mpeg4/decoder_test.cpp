// Whole streams through the decoder's interface: pictures against ffmpeg's
// decoding, the stream headers, recorder packets between units, several
// streams at once, size changes and damaged input.
#include "mpeg4/decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "bit_writer.h"
#include "stream_util.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace {

using m4test::decode_stream;
using m4test::psnr;

std::vector<uint8_t> clip(const std::string& name) {
  return zebsim::read_binary_file(velmora::testing::clips_dir() + "/" + name);
}

TEST(Mpeg4Decoder, ClipMatchesFfmpegDecoding) {
  const auto es = clip("cam0_352x240.m4v");
  const auto raw = zebsim::read_binary_file(velmora::testing::build_dir() + "/tests/mpeg4/cam0_352x240.ref.yuv");
  ASSERT_FALSE(es.empty());
  ASSERT_FALSE(raw.empty());
  const auto ref = m4test::split_i420(raw, 352, 240);
  const auto run = decode_stream(es);
  EXPECT_EQ(run.errors, 0);
  ASSERT_EQ(run.frames.size(), ref.size());
  double sum = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    const double p = psnr(run.frames[i].i420, ref[i]);
    EXPECT_GE(p, 40.0) << "frame " << i;
    sum += p;
    EXPECT_EQ(run.frames[i].type, i % 15 == 0 ? mpeg4::CodingType::kI : mpeg4::CodingType::kP) << i;
  }
  EXPECT_GE(sum / static_cast<double>(ref.size()), 45.0);
}

// B-VOPs come back in display order: each reference picture is held back
// until the next one, and flush() returns the last.
TEST(Mpeg4Decoder, BidirectionalStreamComesOutInDisplayOrder) {
  const std::string dir = velmora::testing::build_dir() + "/tests/mpeg4/";
  const auto es = zebsim::read_binary_file(dir + "bframes_352x240.m4v");
  const auto ref = m4test::split_i420(zebsim::read_binary_file(dir + "bframes_352x240.ref.yuv"), 352, 240);
  ASSERT_FALSE(es.empty());
  ASSERT_EQ(ref.size(), 30u);
  const auto run = decode_stream(es);
  EXPECT_EQ(run.errors, 0);
  ASSERT_EQ(run.frames.size(), ref.size());
  int b_frames = 0;
  for (size_t i = 0; i < ref.size(); ++i) {
    EXPECT_GE(psnr(run.frames[i].i420, ref[i]), 45.0) << "frame " << i;
    if (i > 0) {
      EXPECT_GT(run.frames[i].time, run.frames[i - 1].time) << i;
    }
    b_frames += run.frames[i].type == mpeg4::CodingType::kB;
  }
  EXPECT_GE(b_frames, 15);
  // The first call decodes the intra picture and holds it back.
  EXPECT_EQ(run.results.front(), mpeg4::kOkNoPicture);

  // By default pictures come as decoded until the first B-VOP: the intra
  // and the first predicted picture, then the B-VOPs that lie between
  // them; from then on display order. Every picture comes exactly once.
  const auto plain = decode_stream(es, false);
  EXPECT_EQ(plain.errors, 0);
  ASSERT_EQ(plain.frames.size(), run.frames.size());
  EXPECT_EQ(plain.results[0], mpeg4::kOk);
  EXPECT_EQ(plain.frames[0].time, run.frames[0].time);
  EXPECT_EQ(plain.frames[1].type, mpeg4::CodingType::kP);
  EXPECT_EQ(plain.frames[2].type, mpeg4::CodingType::kB);
  for (size_t i = 4; i < run.frames.size(); ++i) EXPECT_EQ(plain.frames[i].i420, run.frames[i].i420) << i;
}

TEST(Mpeg4Decoder, StartReportsTheSizeAndStopsAtTheFirstPicture) {
  for (const auto& [name, w, h] : {std::tuple{"cam0_704x480.m4v", 704, 480}, std::tuple{"cam0_704x240.m4v", 704, 240},
                                   std::tuple{"cam0_352x240.m4v", 352, 240}}) {
    const auto es = clip(name);
    ASSERT_FALSE(es.empty()) << name;
    mpeg4::Decoder dec;
    mpeg4::StreamInfo info;
    size_t used = 0;
    ASSERT_EQ(dec.start(es.data(), es.size(), &info, &used), mpeg4::kOk) << name;
    EXPECT_EQ(info.width, w);
    EXPECT_EQ(info.height, h);
    EXPECT_TRUE(info.low_delay);
    ASSERT_LT(used + 4, es.size());
    EXPECT_EQ(es[used], 0);
    EXPECT_EQ(es[used + 1], 0);
    EXPECT_EQ(es[used + 2], 1);
    EXPECT_EQ(es[used + 3], 0xB6);
    // The rest decodes picture by picture, each returned at once.
    mpeg4::Picture pic;
    size_t consumed = 0;
    EXPECT_EQ(dec.decode(es.data() + used, es.size() - used, &consumed, &pic), mpeg4::kOk);
    EXPECT_EQ(pic.width, w);
    EXPECT_EQ(pic.height, h);
    EXPECT_EQ(pic.type, mpeg4::CodingType::kI);
    EXPECT_GT(consumed, 0u);
  }
  int w = 0, h = 0;
  const auto es = clip("cam0_704x480.m4v");
  EXPECT_TRUE(mpeg4::probe_video_object_layer(es.data(), es.size(), &w, &h));
  EXPECT_EQ(w, 704);
  EXPECT_EQ(h, 480);
}

TEST(Mpeg4Decoder, ReportsMissingHeadersAndStaysUsable) {
  mpeg4::Decoder dec;
  mpeg4::Picture pic;
  size_t used = 0;
  const uint8_t noise[] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(dec.decode(noise, sizeof noise, &used, &pic), mpeg4::kNoPictureHeader);
  EXPECT_EQ(used, sizeof noise);
  mpeg4::StreamInfo info;
  EXPECT_EQ(dec.start(noise, sizeof noise, &info, &used), mpeg4::kNoSequenceHeader);
  EXPECT_EQ(dec.decode(nullptr, 0, &used, &pic), mpeg4::kInvalidState);

  // A picture before any stream header.
  const auto es = clip("cam0_352x240.m4v");
  const auto pictures = zebsim::split_pictures(es);
  ASSERT_GT(pictures.size(), 2u);
  const auto& second = pictures[1];
  EXPECT_EQ(dec.decode(es.data() + second.offset, second.size, &used, &pic), mpeg4::kNoSequenceHeader);
  EXPECT_EQ(used, second.size);
  // The stream from its start then decodes normally.
  EXPECT_EQ(dec.decode(es.data(), es.size(), &used, &pic), mpeg4::kOk);
  EXPECT_EQ(pic.width, 352);
}

TEST(Mpeg4Decoder, SkipsRecorderPacketHeadersBetweenUnits) {
  const auto es = clip("cam0_352x240.m4v");
  const auto plain = decode_stream(es);
  std::vector<uint8_t> packets;
  uint64_t pts = 90000;
  for (const auto& p : zebsim::split_pictures(es)) {
    zebsim::PacketSpec spec;
    spec.channel = 3;
    spec.pts = pts += 3000;
    zebsim::append_recorder_packet(packets, spec, es.data() + p.offset, p.size);
  }
  const auto wrapped = decode_stream(packets);
  EXPECT_EQ(wrapped.errors, 0);
  ASSERT_EQ(wrapped.frames.size(), plain.frames.size());
  for (size_t i = 0; i < plain.frames.size(); ++i) ASSERT_EQ(wrapped.frames[i].i420, plain.frames[i].i420) << i;
}

TEST(Mpeg4Decoder, StreamsDecodedSideBySideStaySeparate) {
  const auto a = clip("cam0_352x240.m4v"), b = clip("cam1_704x480.m4v");
  const auto ra = decode_stream(a), rb = decode_stream(b);
  const auto pa = zebsim::split_pictures(a), pb = zebsim::split_pictures(b);
  mpeg4::Decoder da, db;
  size_t n = std::min(pa.size(), pb.size());
  ASSERT_GT(n, 20u);
  for (size_t i = 0; i < n; ++i) {
    mpeg4::Picture pic;
    size_t used;
    ASSERT_EQ(da.decode(a.data() + pa[i].offset, pa[i].size, &used, &pic), mpeg4::kOk);
    ASSERT_EQ(m4test::copy_picture(pic).i420, ra.frames[i].i420) << i;
    ASSERT_EQ(db.decode(b.data() + pb[i].offset, pb[i].size, &used, &pic), mpeg4::kOk);
    ASSERT_EQ(m4test::copy_picture(pic).i420, rb.frames[i].i420) << i;
  }
}

TEST(Mpeg4Decoder, NewStreamHeaderChangesTheSize) {
  auto a = clip("cam0_352x240.m4v");
  const auto b = clip("cam0_704x240.m4v");
  const size_t a_frames = decode_stream(a).frames.size();
  a.insert(a.end(), b.begin(), b.end());
  const auto run = decode_stream(a);
  EXPECT_EQ(run.errors, 0);
  ASSERT_EQ(run.frames.size(), a_frames + decode_stream(b).frames.size());
  EXPECT_EQ(run.frames.front().width, 352);
  EXPECT_EQ(run.frames.back().width, 704);
  EXPECT_EQ(run.frames.back().height, 240);
}

// Damaged streams: bytes flipped inside pictures, pictures cut short and
// pictures dropped. Nothing may fail hard, every damaged picture must be
// reported, and from the next intra picture on the output equals the
// undamaged decoding again.
TEST(Mpeg4Decoder, ResumesAtTheNextIntraPictureAfterDamage) {
  const auto es = clip("cam0_352x240.m4v");
  const auto clean = decode_stream(es);
  const auto pictures = zebsim::split_pictures(es);
  ASSERT_EQ(pictures.size(), clean.frames.size());
  std::mt19937 rng(11);
  for (int kind = 0; kind < 3; ++kind) {
    std::vector<uint8_t> damaged;
    // Damage pictures 3 to 5 (P pictures of the first group).
    for (size_t i = 0; i < pictures.size(); ++i) {
      const auto& p = pictures[i];
      std::vector<uint8_t> unit(es.begin() + p.offset, es.begin() + p.offset + p.size);
      if (i >= 3 && i <= 5) {
        if (kind == 0) {
          for (int k = 0; k < 8; ++k) unit[8 + rng() % (unit.size() - 8)] ^= static_cast<uint8_t>(1 + rng() % 255);
        } else if (kind == 1) {
          unit.resize(unit.size() / 3);
        } else {
          unit.clear();
        }
      }
      damaged.insert(damaged.end(), unit.begin(), unit.end());
    }
    const auto run = decode_stream(damaged);
    // Pictures from the second intra picture (15) on are identical.
    ASSERT_GE(run.frames.size(), 75u) << kind;
    const size_t offset = clean.frames.size() - run.frames.size();
    for (size_t i = 15; i < clean.frames.size(); ++i)
      ASSERT_EQ(run.frames[i - offset].i420, clean.frames[i].i420) << "kind " << kind << " picture " << i;
  }
}

// With video packets, damage is held to the packets it hits: the picture
// comes back concealed with an error, its packets before the damage are
// intact, and the next intra picture is exact again.
TEST(Mpeg4Decoder, VideoPacketsHoldDamageToTheirPart) {
  const auto es = zebsim::read_binary_file(velmora::testing::build_dir() + "/tests/mpeg4/packets_352x240.m4v");
  ASSERT_FALSE(es.empty());
  const auto clean = decode_stream(es);
  ASSERT_EQ(clean.errors, 0);
  const auto pictures = zebsim::split_pictures(es);
  ASSERT_EQ(pictures.size(), clean.frames.size());
  auto damaged = es;
  const auto& p = pictures[4];
  for (size_t k = 0; k < 6; ++k) damaged[p.offset + p.size * 2 / 3 + 7 * k] ^= 0x5A;
  const auto run = decode_stream(damaged);
  ASSERT_EQ(run.frames.size(), clean.frames.size());
  ASSERT_FALSE(run.damaged.empty());
  EXPECT_EQ(run.damaged.front(), 4u);
  // The first two macroblock rows lie in packets before the damage.
  const auto& a = run.frames[4].i420;
  const auto& b = clean.frames[4].i420;
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 352 * 32, b.begin()));
  EXPECT_NE(a, b);
  for (size_t i = 15; i < clean.frames.size(); ++i) ASSERT_EQ(run.frames[i].i420, clean.frames[i].i420) << i;
}

// A video object layer header written bit by bit (simple object, 30 ticks
// per second, rectangular, progressive). gmc_brightness: a version 2 layer
// with GMC (one warping point) announcing brightness change.
std::vector<uint8_t> vol_header(int width, int height, bool gmc_brightness = false) {
  velmora::testing::BitWriter bits({0, 0, 1, 0x20});
  auto put = [&](uint32_t v, int n) { bits.put(v, n); };
  put(0, 1);                       // random_accessible_vol
  put(1, 8);                       // video_object_type_indication
  put(gmc_brightness ? 1 : 0, 1);  // is_object_layer_identifier
  if (gmc_brightness) {
    put(2, 4);  // video_object_layer_verid
    put(1, 3);  // video_object_layer_priority
  }
  put(1, 4);  // aspect_ratio_info
  put(0, 1);  // vol_control_parameters
  put(0, 2);  // rectangular
  put(1, 1);
  put(30, 16);  // vop_time_increment_resolution
  put(1, 1);
  put(0, 1);  // fixed_vop_rate
  put(1, 1);
  put(static_cast<uint32_t>(width), 13);
  put(1, 1);
  put(static_cast<uint32_t>(height), 13);
  put(1, 1);
  put(0, 1);  // interlaced
  put(1, 1);  // obmc_disable
  if (gmc_brightness) {
    put(2, 2);  // sprite_enable: GMC
    put(1, 6);  // no_of_sprite_warping_points
    put(0, 2);  // sprite_warping_accuracy
    put(1, 1);  // sprite_brightness_change
  } else {
    put(0, 1);  // sprite_enable
  }
  put(0, 1);                      // not_8_bit
  put(0, 1);                      // quant_type
  if (gmc_brightness) put(0, 1);  // quarter_sample
  put(1, 1);                      // complexity_estimation_disable
  put(1, 1);                      // resync_marker_disable
  put(0, 1);                      // data_partitioned
  if (gmc_brightness) {
    put(0, 1);  // newpred_enable
    put(0, 1);  // reduced_resolution_vop_enable
  }
  put(0, 1);     // scalability
  bits.stuff();  // next_start_code
  return bits.bytes();
}

TEST(Mpeg4Decoder, HeadersCannotAskForMoreThan4095) {
  for (const auto& [w, h, expected] :
       {std::tuple{8191, 8191, int{mpeg4::kTooLarge}}, std::tuple{4096, 16, int{mpeg4::kTooLarge}},
        std::tuple{0, 16, int{mpeg4::kBitstreamError}}, std::tuple{4095, 4095, int{mpeg4::kOk}},
        std::tuple{17, 9, int{mpeg4::kOk}}}) {
    auto data = vol_header(w, h);
    // An intra VOP with no macroblock data follows.
    const uint8_t vop[] = {0, 0, 1, 0xB6, 0x10, 0x60, 0x80};
    data.insert(data.end(), vop, vop + sizeof vop);
    mpeg4::Decoder dec;
    mpeg4::StreamInfo info;
    size_t used = 0;
    EXPECT_EQ(dec.start(data.data(), data.size(), &info, &used), expected) << w << "x" << h;
    int pw = 0, ph = 0;
    EXPECT_EQ(mpeg4::probe_video_object_layer(data.data(), data.size(), &pw, &ph), expected == mpeg4::kOk);
    mpeg4::Picture pic;
    const int r = dec.decode(data.data(), data.size(), &used, &pic);
    if (expected == mpeg4::kOk) {
      EXPECT_EQ(info.width, w);
      EXPECT_EQ(info.height, h);
      // The picture's data are missing: concealed, and reported.
      EXPECT_EQ(r, mpeg4::kBitstreamError);
      ASSERT_NE(pic.y, nullptr);
      EXPECT_EQ(pic.width, w);
      EXPECT_EQ(pic.height, h);
    } else {
      EXPECT_EQ(r, expected);
    }
  }
}

// A layer announcing a tool that is not decoded (GMC brightness change) is
// refused as a whole at its header, naming the tool, and its pictures are
// not decoded, also when it follows a layer that was.
TEST(Mpeg4Decoder, LayerWithAToolNotHandledIsRefusedAtItsHeader) {
  const uint8_t vop[] = {0, 0, 1, 0xB6, 0x10, 0x60, 0x80};
  auto bad = vol_header(352, 240, true);
  bad.insert(bad.end(), vop, vop + sizeof vop);
  {
    mpeg4::Decoder dec;
    mpeg4::StreamInfo info;
    size_t used = 0;
    EXPECT_EQ(dec.start(bad.data(), bad.size(), &info, &used), mpeg4::kUnsupported);
    ASSERT_NE(dec.unsupported_tool(), nullptr);
    EXPECT_NE(std::string(dec.unsupported_tool()).find("brightness"), std::string::npos);
  }
  // A good stream, then the refused layer with pictures of its own.
  auto data = clip("cam0_352x240.m4v");
  data.resize(std::min<size_t>(data.size(), 20000));
  const size_t good_size = data.size();
  data.insert(data.end(), bad.begin(), bad.end());
  for (int k = 0; k < 3; ++k) data.insert(data.end(), vop, vop + sizeof vop);
  const auto run = decode_stream(data);
  const auto good = decode_stream(std::vector<uint8_t>(data.begin(), data.begin() + good_size));
  ASSERT_FALSE(good.frames.empty());
  // Nothing after the refused header comes out: the good layer's pictures
  // (its last one flushed) and no more.
  EXPECT_EQ(run.frames.size(), good.frames.size());
  EXPECT_EQ(std::count(run.results.begin(), run.results.end(), int{mpeg4::kUnsupported}), 5);
}

TEST(Mpeg4Decoder, RandomGarbageNeverFailsHard) {
  std::mt19937 rng(5);
  const auto es = clip("cam0_352x240.m4v");
  for (int n = 0; n < 40; ++n) {
    std::vector<uint8_t> data(es.begin(), es.begin() + std::min<size_t>(es.size(), 30000));
    for (int k = 0; k < 50; ++k) data[rng() % data.size()] = static_cast<uint8_t>(rng());
    const auto run = decode_stream(data);
    for (const auto& f : run.frames) {
      EXPECT_EQ(f.width, 352);
      EXPECT_EQ(f.height, 240);
    }
  }
}

}  // namespace
