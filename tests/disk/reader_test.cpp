// The frame readers and record stepping, checked against the frames the image
// writer put on the disk.
#include <gtest/gtest.h>

#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

auto next = [](uint8_t* b, int32_t* l) { return read_next(b, l); };
auto previous = [](uint8_t* b, int32_t* l) { return read_previous(b, l); };

zebdisk::DiskSpec two_runs() {
  zebdisk::DiskSpec s = small_spec();
  s.cameras = 2;
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 9)));
  s.runs.push_back(run(T(2024, 5, 1, 10, 30, 0), T(2024, 5, 1, 10, 30, 5)));
  return s;
}

using ReaderTest = DiskTest;

TEST_F(ReaderTest, ReadsEveryGopForwardThenReportsTheEnd) {
  attach(two_runs());
  const auto want = expected_gops(manifest_);
  ASSERT_EQ(want.size(), 16u);
  expect_same(read_all(read_data), want);
  EXPECT_EQ(last_result_, kNoFurtherData);
  // At the end it stays at the end.
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = -1;
  EXPECT_EQ(read_data(buffer.data(), &len), kNoFurtherData);
  EXPECT_EQ(len, 0);
}

TEST_F(ReaderTest, ReadsEveryGopBackwardFromTheNewest) {
  attach(two_runs());
  // A time after all data puts the position on the newest record's last GOP.
  ASSERT_EQ(search_play(S(T(2024, 6, 1, 0, 0, 0))), 2);
  auto want = expected_gops(manifest_);
  std::reverse(want.begin(), want.end());
  expect_same(read_all(previous), want);
  EXPECT_EQ(last_result_, kNoFurtherData);
  // Turning round at the oldest GOP plays forward again from there.
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  ASSERT_EQ(read_next(buffer.data(), &len), 0);
  EXPECT_TRUE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + len) == want.back()->frame_bytes);
}

TEST_F(ReaderTest, ReadersByNThinOutGops) {
  attach(two_runs());
  const auto all = expected_gops(manifest_);
  // Every second GOP inside a record; a new record starts at its first GOP.
  const auto got = read_all([](uint8_t* b, int32_t* l) { return read_next_by(2, b, l); });
  std::vector<const zebdisk::GopInfo*> want;
  for (const zebdisk::RecordInfo& r : manifest_.records)
    for (size_t g = 0; g < r.gops.size(); g += 2) want.push_back(&r.gops[g]);
  expect_same(got, want);

  ASSERT_EQ(search_play(S(T(2024, 6, 1, 0, 0, 0))), 2);
  const auto back = read_all([](uint8_t* b, int32_t* l) { return read_previous_by(2, b, l); });
  std::vector<const zebdisk::GopInfo*> want_back;
  for (auto r = manifest_.records.rbegin(); r != manifest_.records.rend(); ++r)
    for (int g = static_cast<int>(r->gops.size()) - 1; g >= 0; g -= 2)
      want_back.push_back(&r->gops[static_cast<size_t>(g)]);
  expect_same(back, want_back);
  EXPECT_LT(back.size(), all.size());
}

TEST_F(ReaderTest, NextWithInfoGivesTheGopTimeAndItsBytes) {
  attach(two_runs());
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  for (const zebdisk::GopInfo* g : expected_gops(manifest_)) {
    int32_t len = 0;
    vp::RecTime t;
    uint8_t info[3] = {};
    ASSERT_EQ(read_next_with_info(buffer.data(), &len, &t, info), 0);
    EXPECT_EQ(vp::compare_rec_time(t, g->time), 0);
    EXPECT_EQ(info[0], g->byte2);
    EXPECT_EQ(info[1], g->byte0);
    EXPECT_EQ(info[2], g->byte27);
    EXPECT_EQ(static_cast<size_t>(len), g->frame_bytes.size());
  }
  int32_t len = 0;
  EXPECT_EQ(read_next_with_info(buffer.data(), &len, nullptr, nullptr), kNoFurtherData);
}

TEST_F(ReaderTest, FramesCarryRealVideoAndAudioPayloads) {
  const std::string clips = velmora::testing::clips_dir();
  zebdisk::DiskSpec s = small_spec();
  s.clips = {clips + "/cam2_704x480.m4v"};
  s.audio = clips + "/tone_440.alaw";
  s.audio_per_gop = 3;
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 2)));
  attach(s);
  const std::vector<uint8_t> alaw = zebsim::read_binary_file(clips + "/tone_440.alaw");
  ASSERT_FALSE(alaw.empty());
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int audio = 0;
  for (int gop = 0; gop < 3; ++gop) {
    int32_t len = 0;
    ASSERT_EQ(read_data(buffer.data(), &len), 0);
    int video = 0;
    for (int32_t pos = 0; pos < len;) {
      ASSERT_LE(pos + 48, len);
      const uint8_t* h = buffer.data() + pos;
      const uint32_t payload = h[16] | (h[17] << 8) | (h[18] << 16) | (static_cast<uint32_t>(h[19]) << 24);
      const uint8_t* p = h + 48;
      if (h[0] == 0xFF && h[1] == 0xFB) {
        // A recorder packet of channel 0 carrying one MPEG-4 picture; every
        // GOP starts with an intra picture behind the stream headers, so
        // that playing can begin at any GOP.
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[2], 1);
        EXPECT_EQ(p[3], 0xE0);
        const std::vector<uint8_t> es(p + zebsim::kPacketHeaderBytes, p + payload);
        const auto pictures = zebsim::split_pictures(es);
        ASSERT_EQ(pictures.size(), 1u);
        if (video == 0) {
          EXPECT_TRUE(pictures[0].has_headers) << "GOP " << gop;
          EXPECT_EQ(pictures[0].coding_type, 1) << "GOP " << gop;
        }
        ++video;
      } else {
        ASSERT_EQ(h[1], 0xFC);
        // Eight bytes, then 160 A-law samples taken from the tone.
        ASSERT_EQ(payload, 168u);
        EXPECT_TRUE(std::equal(p + 8, p + 168, alaw.begin() + 160 * audio));
        ++audio;
      }
      pos += 48 + static_cast<int32_t>(payload);
    }
    EXPECT_EQ(video, 2);
  }
  EXPECT_EQ(audio, 9);
}

TEST_F(ReaderTest, DamagedRecordsAndGopEntriesArePassedOver) {
  zebdisk::DiskSpec s = small_spec();
  zebdisk::RunSpec r = run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 20));
  r.bad_records = {2};
  r.hidden_records = {4};
  r.bad_gops = {{1, 1}, {3, 0}};
  r.lost_chunks = {{5, 2}};
  s.runs.push_back(r);
  attach(s);
  const auto want = expected_gops(manifest_);
  ASSERT_EQ(want.size(), 21u - 3 - 3 - 2);
  const auto got = read_all(read_data);
  expect_same(got, want);
  // The chunk past the end of the disk is reported, not followed.
  EXPECT_TRUE(std::any_of(got.begin(), got.end(), [](const ReadGop& g) { return g.result == -1 && g.bytes.empty(); }));

  ASSERT_EQ(search_play(S(T(2024, 6, 1, 0, 0, 0))), 2);
  auto back = want;
  std::reverse(back.begin(), back.end());
  expect_same(read_all(previous), back);
}

TEST_F(ReaderTest, ChunkRefusalsAndTheEndMarker) {
  zebdisk::DiskSpec s = small_spec();
  s.end_marker = true;
  zebdisk::RunSpec r = run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 8));
  r.huge_chunks = {{0, 1}};
  r.lost_tables = {1};
  r.gop_counts = {{2, 200}};
  s.runs.push_back(r);
  attach(s);
  const auto got = read_all(read_data);
  // Record 0: GOP 0, the over-large GOP 1 (refused), GOP 2; record 1 has no
  // readable GOP table; record 2 claims 200 GOPs, taken as 40: its three real
  // GOPs (the last ending on the end marker), then 37 empty entries.
  ASSERT_EQ(got.size(), 3u + 40u);
  EXPECT_EQ(got[0].result, 0);
  EXPECT_EQ(got[1].result, -1);
  EXPECT_TRUE(got[1].bytes.empty());
  EXPECT_TRUE(got[3].bytes == manifest_.records[2].gops[0].frame_bytes);
  EXPECT_EQ(got[5].result, 1);
  EXPECT_TRUE(got[5].bytes == manifest_.records[2].gops[2].frame_bytes);
  for (size_t i = 6; i < got.size(); ++i) EXPECT_EQ(got[i].result, -1);
}

TEST_F(ReaderTest, StepsAcrossBlockAndRingEnds) {
  zebdisk::DiskSpec s = small_spec();
  // Block 249 from record 24997, then block 0: 249 + 1 = 0, 24999 + 1 = 0.
  s.start_block = 249;
  s.start_record = 24997;
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 17)));
  attach(s);
  ASSERT_EQ(manifest_.records.size(), 6u);
  EXPECT_EQ(manifest_.records[2].block, 249);
  EXPECT_EQ(manifest_.records[2].record, 24999);
  EXPECT_EQ(manifest_.records[3].block, 0);
  EXPECT_EQ(manifest_.records[3].record, 0);

  EXPECT_EQ(cursor().block, 249);
  EXPECT_EQ(cursor().record, 24997);
  std::vector<std::pair<int, int>> visited;
  for (int i = 0; i < 8; ++i) {
    visited.emplace_back(cursor().block, cursor().record);
    ASSERT_EQ(step_forward(1), 1);
  }
  const std::vector<std::pair<int, int>> want = {{249, 24997}, {249, 24998}, {249, 24999}, {0, 0},
                                                 {0, 1},       {0, 2},       {0, 2},       {0, 2}};
  EXPECT_EQ(visited, want);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(step_back(1), 1);
  EXPECT_EQ(cursor().block, 249);
  EXPECT_EQ(cursor().record, 24997);
  ASSERT_EQ(step_back(1), 1);
  EXPECT_EQ(cursor().record, 24997);  // the oldest record stays

  // Several records at once, across the block end.
  ASSERT_EQ(step_forward(4), 1);
  EXPECT_EQ(cursor().block, 0);
  EXPECT_EQ(cursor().record, 1);
  ASSERT_EQ(step_forward(0), 1);
  EXPECT_EQ(cursor().record, 1);

  expect_same(read_all(next), [&] {
    auto all = expected_gops(manifest_);
    return std::vector<const zebdisk::GopInfo*>(all.begin() + 12, all.end());
  }());
}

TEST_F(ReaderTest, StepForwardStopsAtStopPointsAndRunEnds) {
  zebdisk::DiskSpec s = small_spec();
  s.gops_per_record = 1;
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 3)));
  zebdisk::RunSpec second = run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 9));
  second.hidden_records = {1};
  s.runs.push_back(second);
  zebdisk::RunSpec third = run(T(2024, 5, 1, 12, 0, 0), T(2024, 5, 1, 12, 0, 9));
  third.stop_point = true;
  s.runs.push_back(third);
  attach(s);
  // Records 0-3 run 0 (3 ends it), 4-13 run 1, 14-23 run 2 with a stop at 14.
  ASSERT_EQ(step_forward(10), 1);
  EXPECT_EQ(cursor().record, 3);  // the run's last record
  ASSERT_EQ(step_forward(1), 1);
  EXPECT_EQ(cursor().record, 4);  // over the gap in time
  ASSERT_EQ(step_forward(1), 1);
  EXPECT_EQ(cursor().record, 6);  // record 5 has flags 0
  ASSERT_EQ(step_forward(20), 1);
  EXPECT_EQ(cursor().record, 13);
  ASSERT_EQ(step_forward(1), 1);
  EXPECT_EQ(cursor().record, 14);
  ASSERT_EQ(step_forward(100), 1);
  EXPECT_EQ(cursor().record, 23);  // never past the newest record
  ASSERT_EQ(step_back(3), 1);
  EXPECT_EQ(cursor().record, 20);
  ASSERT_EQ(step_back(100), 1);
  EXPECT_EQ(cursor().record, 14);  // a run's first record
}

TEST_F(ReaderTest, StepRefusesWithoutDirectoryOrOutsideTheRange) {
  zebdisk::DiskSpec s = small_spec();
  attach(s);  // no runs: an empty block directory
  EXPECT_EQ(step_forward(1), kNoBlockDirectory);
  EXPECT_EQ(step_back(1), kNoBlockDirectory);
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  EXPECT_EQ(read_data(buffer.data(), &len), kNoFurtherData);

  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 8)));
  hdd_close();
  attach(s);
  cursor().record = 200;
  EXPECT_EQ(step_forward(1), kOutsideRange);
  EXPECT_EQ(step_back(1), kOutsideRange);
}

TEST(FrameChunk, WalkTakesFramesUpToTheirCount) {
  std::vector<uint8_t> chunk(kChunkHeaderBytes, 0);
  zebsim::FrameSpec video;
  const uint8_t payload[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  zebsim::append_frame_record(chunk, video, payload, sizeof payload);
  zebsim::FrameSpec audio;
  audio.video = false;
  zebsim::append_frame_record(chunk, audio, payload, 4);
  std::vector<uint8_t> out(4096, 0xEE);
  int32_t len = -1;

  chunk[27] = 0;
  EXPECT_EQ(walk_frame_chunk(chunk.data(), chunk.size(), out.data(), out.size(), &len), 0);
  EXPECT_EQ(len, 0);

  chunk[27] = 2;
  EXPECT_EQ(walk_frame_chunk(chunk.data(), chunk.size(), out.data(), out.size(), &len), 0);
  EXPECT_EQ(len, 48 + 10 + 48 + 4);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + len, chunk.begin() + kChunkHeaderBytes));

  // More frames announced than present: the end marker, another marker, or
  // the end of the chunk.
  chunk[27] = 3;
  std::vector<uint8_t> ended = chunk;
  ended.push_back(0xFF);
  ended.push_back(0xFF);
  EXPECT_EQ(walk_frame_chunk(ended.data(), ended.size(), out.data(), out.size(), &len), 1);
  EXPECT_EQ(len, 48 + 10 + 48 + 4);
  ended[ended.size() - 1] = 0x12;
  EXPECT_EQ(walk_frame_chunk(ended.data(), ended.size(), out.data(), out.size(), &len), -1);
  EXPECT_EQ(walk_frame_chunk(chunk.data(), chunk.size(), out.data(), out.size(), &len), -1);
  EXPECT_EQ(len, 48 + 10 + 48 + 4);

  // A payload length reaching past the chunk, or past the caller's buffer.
  chunk[27] = 2;
  std::vector<uint8_t> lying = chunk;
  lying[kChunkHeaderBytes + 48 + 10 + 16] = 5;  // audio payload 5 bytes, 4 present
  EXPECT_EQ(walk_frame_chunk(lying.data(), lying.size(), out.data(), out.size(), &len), -1);
  EXPECT_EQ(len, 48 + 10);
  EXPECT_EQ(walk_frame_chunk(chunk.data(), chunk.size(), out.data(), 100, &len), -1);
  EXPECT_EQ(len, 58);
}

}  // namespace
}  // namespace disktest
