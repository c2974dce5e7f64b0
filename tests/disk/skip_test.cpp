// Skips between recording runs, the continuation flag, the ends of the list,
// and finding the run of the position once the rings have wrapped.
#include <gtest/gtest.h>

#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

using SkipTest = DiskTest;

zebdisk::DiskSpec four_runs() {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 8)));
  s.runs.push_back(run(T(2024, 5, 1, 10, 10, 0), T(2024, 5, 1, 10, 10, 8)));
  s.runs.push_back(run(T(2024, 5, 1, 10, 20, 0), T(2024, 5, 1, 10, 20, 8)));
  s.runs.push_back(run(T(2024, 5, 1, 10, 30, 0), T(2024, 5, 1, 10, 30, 8)));
  return s;
}

// The run whose first GOP the position is on, -1 when it is on none.
int run_at_start(const zebdisk::Manifest& m) {
  const Cursor& c = cursor();
  if (play_gop_index() != 0) return -1;
  for (size_t i = 0; i < m.runs.size(); ++i)
    if (m.runs[i].start_block == c.block && m.runs[i].start_record == c.record) return static_cast<int>(i);
  return -1;
}

void play_a_little() {
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(read_data(buffer.data(), &len), 0);
}

TEST_F(SkipTest, ForwardAndBackBetweenRunsUntilTheEnds) {
  attach(four_runs());
  ASSERT_EQ(run_at_start(manifest_), 0);
  for (int r = 1; r <= 3; ++r) {
    ASSERT_EQ(skip_foward(), 0);
    EXPECT_EQ(run_at_start(manifest_), r);
    EXPECT_EQ(cursor().list_index, r);
  }
  play_a_little();
  const Cursor before = cursor();
  const int play_before = play_gop_index();
  EXPECT_EQ(skip_foward(), kNoFurtherRun);
  EXPECT_EQ(cursor().block, before.block);
  EXPECT_EQ(cursor().record, before.record);
  EXPECT_EQ(play_gop_index(), play_before);

  // Back: inside a run to its start, at a start to the run before.
  ASSERT_EQ(skip_back(), 0);
  EXPECT_EQ(run_at_start(manifest_), 3);
  for (int r = 2; r >= 0; --r) {
    ASSERT_EQ(skip_back(), 0);
    EXPECT_EQ(run_at_start(manifest_), r);
  }
  EXPECT_EQ(skip_back(), kNoFurtherRun);
  EXPECT_EQ(run_at_start(manifest_), 0);

  // After a skip, playing starts with the run's first GOP.
  ASSERT_EQ(skip_foward(), 0);
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  ASSERT_EQ(read_data(buffer.data(), &len), 0);
  const zebdisk::RunInfo& second = manifest_.runs[1];
  EXPECT_TRUE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + len) ==
              manifest_.records[static_cast<size_t>(second.first_record_info)].gops[0].frame_bytes);
}

TEST_F(SkipTest, BackInTheOldestRunsFirstRecordReturnsToItsFirstGop) {
  attach(four_runs());
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  auto read = [&] {
    EXPECT_EQ(read_data(buffer.data(), &len), 0);
    return std::vector<uint8_t>(buffer.begin(), buffer.begin() + std::max(len, 0));
  };
  const std::vector<uint8_t> first = read();
  const std::vector<uint8_t> second = read();
  ASSERT_FALSE(first.empty());
  ASSERT_NE(first, second);
  const zebdisk::RunInfo& oldest = manifest_.runs[0];
  ASSERT_EQ(cursor().block, oldest.start_block);
  ASSERT_EQ(cursor().record, oldest.start_record);  // still in the run's first record

  // No older run, but playback goes back to the run's first GOP.
  EXPECT_EQ(skip_back(), kNoFurtherRun);
  EXPECT_EQ(run_at_start(manifest_), 0);
  EXPECT_EQ(read(), first);
  EXPECT_TRUE(first == manifest_.records[static_cast<size_t>(oldest.first_record_info)].gops[0].frame_bytes);
}

TEST_F(SkipTest, FromAGapBetweenRunsSkipsRelativeToTheRunBefore) {
  attach(four_runs());
  // A time between runs 1 and 2 lands on run 2's start.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 15, 0))), 1);
  ASSERT_EQ(run_at_start(manifest_), 2);
  ASSERT_EQ(skip_foward(), 0);
  EXPECT_EQ(run_at_start(manifest_), 3);
  ASSERT_EQ(skip_back(), 0);
  EXPECT_EQ(run_at_start(manifest_), 2);
}

TEST_F(SkipTest, ContinuedRunsAreSteppedOver) {
  zebdisk::DiskSpec s = four_runs();
  s.runs[1].continuation = true;  // run 1 continues run 0
  attach(s);
  ASSERT_EQ(skip_foward(), 0);
  EXPECT_EQ(run_at_start(manifest_), 2);
  ASSERT_EQ(skip_back(), 0);
  EXPECT_EQ(run_at_start(manifest_), 0);  // over run 1 to where it really began
}

TEST_F(SkipTest, ForwardFromBeforeAContinuedNewestRunEndsAtItsRealStart) {
  zebdisk::DiskSpec s = four_runs();
  s.runs[3].continuation = true;  // the newest run continues run 2
  attach(s);
  ASSERT_EQ(skip_foward(), 0);
  ASSERT_EQ(skip_foward(), 0);
  ASSERT_EQ(run_at_start(manifest_), 2);
  // Run 3 only continues run 2: nothing follows, and the position goes back
  // to where the continued run began.
  play_a_little();
  EXPECT_EQ(skip_foward(), kNoFurtherRun);
  EXPECT_EQ(run_at_start(manifest_), 2);
}

TEST_F(SkipTest, RunsStartingOnNoSkipTargetArePassedOver) {
  zebdisk::DiskSpec s = four_runs();
  s.runs[2].flags = 0;
  attach(s);
  ASSERT_EQ(skip_foward(), 0);
  EXPECT_EQ(run_at_start(manifest_), 1);
  ASSERT_EQ(skip_foward(), 0);
  EXPECT_EQ(run_at_start(manifest_), 3);
  ASSERT_EQ(skip_back(), 0);
  EXPECT_EQ(run_at_start(manifest_), 1);
}

TEST_F(SkipTest, TheListRingWrapsFrom999ToZero) {
  zebdisk::DiskSpec s = four_runs();
  s.first_list_index = 998;
  attach(s);
  EXPECT_EQ(cursor().list_index, 998);
  const int want[] = {999, 0, 1};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(skip_foward(), 0);
    EXPECT_EQ(cursor().list_index, want[i]);
    EXPECT_EQ(run_at_start(manifest_), i + 1);
  }
  EXPECT_EQ(skip_foward(), kNoFurtherRun);
  for (int i = 2; i >= 0; --i) {
    ASSERT_EQ(skip_back(), 0);
    EXPECT_EQ(run_at_start(manifest_), i);
  }
  EXPECT_EQ(cursor().list_index, 998);
  EXPECT_EQ(skip_back(), kNoFurtherRun);
}

TEST_F(SkipTest, RunsAreFoundAfterTheBlockRingWrapped) {
  // The oldest block is 249, the newest 0: positions in block 0 lie after
  // those in block 249.
  zebdisk::DiskSpec s = four_runs();
  s.start_block = 249;
  s.start_record = 24994;
  attach(s);
  ASSERT_EQ(manifest_.runs[1].start_block, 249);
  ASSERT_EQ(manifest_.runs[2].start_block, 0);
  // Inside run 2 (block 0): its start, then run 1 (block 249).
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 20, 4))), 1);
  ASSERT_EQ(cursor().block, 0);
  ASSERT_EQ(skip_back(), 0);
  EXPECT_EQ(run_at_start(manifest_), 2);
  ASSERT_EQ(skip_back(), 0);
  EXPECT_EQ(run_at_start(manifest_), 1);
  // And from inside run 2 forward to run 3.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 20, 4))), 1);
  ASSERT_EQ(skip_foward(), 0);
  EXPECT_EQ(run_at_start(manifest_), 3);
  find_list_entry();
  EXPECT_EQ(cursor().list_index, 3);
}

TEST_F(SkipTest, PositionAfterEveryRunBelongsToTheNewest) {
  attach(four_runs());
  // Past the newest run's end (a position no run holds).
  cursor().record = manifest_.runs[3].end_record + 5;
  cursor().list_index = 0;
  find_list_entry();
  EXPECT_EQ(cursor().list_index, 3);
  // Before the oldest run's start nothing is older.
  cursor().record = 0;
  cursor().list_index = 2;
  find_list_entry();
  EXPECT_EQ(cursor().list_index, 0);
}

TEST_F(SkipTest, NoDirectoryAndNoRuns) {
  attach(small_spec());
  EXPECT_EQ(skip_foward(), kNoBlockDirectory);
  EXPECT_EQ(skip_back(), kNoBlockDirectory);
}

}  // namespace
}  // namespace disktest
