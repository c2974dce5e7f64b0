// The writers of recorder packets and frame records, and the picture splitter.
#include "zebsim/packets.h"

#include <gtest/gtest.h>

#include "testing.h"

namespace {

TEST(RecorderPacket, PrivateFieldsCarryMarkersAndRoundTrip) {
  uint8_t p[3];
  for (uint32_t v : {0u, 1u, 204799u, 204800u, 0x3FFFFFu, 0x12345u}) {
    zebsim::put_private22(p, v);
    EXPECT_EQ(p[0] & 0x80, 0x80);
    EXPECT_EQ(p[1] & 0x08, 0x08);
    EXPECT_EQ(zebsim::get_private22(p), v);
  }
  // 0x12345 worked by hand: a marker, then the value's bits 21-15 (2) fill
  // 0x82; bits 14-11 (4), a marker and bits 10-8 (3) fill 0x4B; bits 7-0 0x45.
  zebsim::put_private22(p, 0x12345);
  EXPECT_EQ(p[0], 0x82);
  EXPECT_EQ(p[1], 0x4B);
  EXPECT_EQ(p[2], 0x45);
}

TEST(RecorderPacket, HeaderLayout) {
  const uint8_t payload[] = {0, 0, 1, 0xB6, 0x10, 0x20};
  zebsim::PacketSpec spec;
  spec.channel = 5;
  spec.pts = 0x1ABCDEF01ull;
  spec.has_dts = true;
  spec.dts = 0x12345678;
  spec.back_distance = 4096;
  const auto pkt = zebsim::recorder_packet(spec, payload, sizeof payload);
  ASSERT_EQ(pkt.size(), zebsim::kPacketHeaderBytes + sizeof payload);
  EXPECT_EQ(pkt[3], 0xE5);
  EXPECT_EQ(pkt[7] >> 6, 3);
  EXPECT_EQ(zebsim::get_timestamp(&pkt[9]), 0x1ABCDEF01ull);
  EXPECT_EQ(zebsim::get_timestamp(&pkt[14]), 0x12345678ull);
  EXPECT_EQ(zebsim::get_private22(&pkt[21]), 4096u);
  EXPECT_EQ(zebsim::get_private22(&pkt[24]), pkt.size());
  EXPECT_EQ((pkt[4] << 8 | pkt[5]) + 6, static_cast<int>(pkt.size()));
  EXPECT_EQ(pkt[27 + 3], 0xB6);

  spec.video = false;
  spec.has_dts = false;
  const auto audio = zebsim::recorder_packet(spec, payload, 2);
  EXPECT_EQ(audio[3], 0xC5);
  EXPECT_EQ(audio[7] >> 6, 2);
}

TEST(FrameRecord, HeaderFieldsAreLittleEndian) {
  zebsim::FrameSpec spec;
  spec.sequence = -2;
  spec.camera_set = 0x5;
  spec.time = 0x11223344;
  spec.duration_us = 33333;
  spec.camera = 3;
  const uint8_t payload[] = {9, 8, 7};
  const auto rec = zebsim::frame_record(spec, payload, 3);
  ASSERT_EQ(rec.size(), 51u);
  EXPECT_EQ(rec[0], 0xFF);
  EXPECT_EQ(rec[1], 0xFB);
  EXPECT_EQ(rec[2], 11);
  EXPECT_EQ(rec[8], 0xFE);
  EXPECT_EQ(rec[9], 0xFF);
  EXPECT_EQ(rec[11], 5);
  EXPECT_EQ(rec[12], 0x44);
  EXPECT_EQ(rec[15], 0x11);
  EXPECT_EQ(rec[16], 3);
  EXPECT_EQ(rec[20] | rec[21] << 8, 33333);
  EXPECT_EQ(rec[34], 3);
  EXPECT_EQ(rec[48], 9);
}

TEST(SplitPictures, FindsEveryPictureOfAClipWithItsType) {
  const auto es = zebsim::read_binary_file(velmora::testing::clips_dir() + "/cam0_352x240.m4v");
  ASSERT_FALSE(es.empty());
  const auto pictures = zebsim::split_pictures(es);
  ASSERT_EQ(pictures.size(), 90u);
  EXPECT_TRUE(pictures[0].has_headers);
  EXPECT_EQ(pictures[0].offset, 0u);
  size_t covered = 0;
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i].coding_type, i % 15 == 0 ? 1 : 2) << i;
    EXPECT_EQ(pictures[i].offset, covered);
    covered += pictures[i].size;
  }
  EXPECT_EQ(covered, es.size());
}

}  // namespace
