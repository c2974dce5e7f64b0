// Time search: landing on the GOP that holds a time, times between runs and
// outside the data, clocks set back (several time attributes) and wrapped
// rings.
#include <gtest/gtest.h>

#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

using SearchTest = DiskTest;

// The first GOP of the given attribute's runs whose time is t.
const zebdisk::GopInfo* gop_with_time(const zebdisk::Manifest& m, const RecTime& t, int attribute) {
  for (const zebdisk::RecordInfo& r : m.records) {
    if (m.runs[static_cast<size_t>(r.run)].attribute != attribute) continue;
    for (const zebdisk::GopInfo& g : r.gops)
      if (vp::compare_rec_time(g.time, t) == 0) return &g;
  }
  return nullptr;
}

TEST_F(SearchTest, LandsOnTheGopOfEveryRecordedSecond) {
  zebdisk::DiskSpec s = small_spec();
  s.gops_per_record = 4;
  s.runs.push_back(run(T(2024, 5, 1, 23, 59, 50), T(2024, 5, 2, 0, 0, 13)));  // over midnight
  s.runs.push_back(run(T(2024, 5, 2, 8, 0, 0), T(2024, 5, 2, 8, 0, 6)));
  attach(s);
  for (const zebdisk::RecordInfo& r : manifest_.records) {
    for (const zebdisk::GopInfo& g : r.gops) {
      ASSERT_EQ(search_play(S(g.time)), 1) << zebdisk::format_time(g.time);
      EXPECT_EQ(gop_at_cursor(), &g) << zebdisk::format_time(g.time);
      // Playing starts with that GOP.
      std::vector<uint8_t> buffer(kFrameBufferBytes);
      int32_t len = 0;
      ASSERT_EQ(read_data(buffer.data(), &len), 0);
      EXPECT_TRUE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + len) == g.frame_bytes);
    }
  }
}

TEST_F(SearchTest, TwoGopsASecondLandOnTheFirstOfThem) {
  zebdisk::DiskSpec s = small_spec();
  s.gop_ms = 500;
  s.gops_per_record = 5;
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 9)));
  attach(s);
  for (int sec = 0; sec <= 9; ++sec) {
    const RecTime t = T(2024, 5, 1, 10, 0, sec);
    ASSERT_EQ(search_play(S(t)), 1);
    EXPECT_EQ(gop_at_cursor(), gop_with_time(manifest_, t, 0)) << sec;
  }
}

TEST_F(SearchTest, TimesBetweenBeforeAndAfterTheRecordings) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 10)));
  s.runs.push_back(run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 10)));
  attach(s);
  const zebdisk::RunInfo& second = manifest_.runs[1];
  const zebdisk::RecordInfo& newest = manifest_.records.back();

  // Between two runs: the start of the later one.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 30, 0))), 1);
  EXPECT_EQ(gop_at_cursor(), &manifest_.records[static_cast<size_t>(second.first_record_info)].gops[0]);
  EXPECT_EQ(cursor().record, second.start_record);

  // Before everything: the first position of the (only, newest) attribute.
  ASSERT_EQ(search_play(S(T(2024, 4, 1, 0, 0, 0))), 1);
  EXPECT_EQ(gop_at_cursor(), &manifest_.records[0].gops[0]);

  // After everything: result 2 and the newest record's last GOP.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 11, 0, 11))), 2);
  EXPECT_EQ(gop_at_cursor(), &newest.gops.back());
  EXPECT_EQ(cursor().gop_index, static_cast<int>(newest.gops.size()) - 1);
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  ASSERT_EQ(read_data(buffer.data(), &len), 0);
  EXPECT_TRUE(std::vector<uint8_t>(buffer.begin(), buffer.begin() + len) == newest.gops.back().frame_bytes);
  EXPECT_EQ(read_data(buffer.data(), &len), kNoFurtherData);
}

TEST_F(SearchTest, ClockSetBackKeepsRepeatedTimesApart) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 29), 0));
  // The clock was set back by 20 s: attribute 1 repeats 09:59:50 to 10:00:09.
  s.runs.push_back(run(T(2024, 5, 1, 9, 59, 50), T(2024, 5, 1, 10, 0, 20), 1));
  attach(s);
  // A time both attributes hold is found in the newer one.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 5))), 1);
  EXPECT_EQ(gop_at_cursor(), gop_with_time(manifest_, T(2024, 5, 1, 10, 0, 5), 1));
  // A time only the older attribute holds.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 25))), 1);
  EXPECT_EQ(gop_at_cursor(), gop_with_time(manifest_, T(2024, 5, 1, 10, 0, 25), 0));
  // Before the newest attribute's first time, and no older one holds it.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 9, 0, 0))), 1);
  EXPECT_EQ(gop_at_cursor(), gop_with_time(manifest_, T(2024, 5, 1, 9, 59, 50), 1));
  // After all of both.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 40))), 2);
  EXPECT_EQ(gop_at_cursor(), &manifest_.records.back().gops.back());
}

TEST_F(SearchTest, AttributesWrapFromZeroBackToNinetyNine) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 9), 98));
  s.runs.push_back(run(T(2024, 5, 1, 12, 0, 0), T(2024, 5, 1, 12, 0, 9), 99));
  s.runs.push_back(run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 9), 0));
  s.runs.push_back(run(T(2024, 5, 1, 9, 0, 0), T(2024, 5, 1, 9, 0, 9), 1));
  attach(s);
  EXPECT_EQ(attr_header().count, 4);
  EXPECT_EQ(attr_header().oldest, 98);
  EXPECT_EQ(attr_header().newest, 1);
  // Searched newest first: 1, 0, then 0 - 1 = 99, then 98.
  for (const auto& [t, attr] : std::vector<std::pair<RecTime, int>>{{T(2024, 5, 1, 12, 0, 3), 99},
                                                                    {T(2024, 5, 1, 10, 0, 7), 98},
                                                                    {T(2024, 5, 1, 11, 0, 0), 0},
                                                                    {T(2024, 5, 1, 9, 0, 9), 1}}) {
    ASSERT_EQ(search_play(S(t)), 1) << zebdisk::format_time(t);
    EXPECT_EQ(gop_at_cursor(), gop_with_time(manifest_, t, attr)) << zebdisk::format_time(t);
  }
}

TEST_F(SearchTest, WrappedBlockRingIsSearchedAcrossItsEnd) {
  zebdisk::DiskSpec s = small_spec();
  s.start_block = 248;
  s.start_record = 24995;
  s.gops_per_record = 2;
  // 8 records in block 248, 25000 would be too many to write: the run
  // continues into block 249 only when 248 is full, so start near its end.
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 19)));
  s.runs.push_back(run(T(2024, 5, 1, 10, 1, 0), T(2024, 5, 1, 10, 1, 9)));
  attach(s);
  ASSERT_EQ(manifest_.records.front().block, 248);
  ASSERT_EQ(manifest_.records.back().block, 249);
  for (const zebdisk::RecordInfo& r : manifest_.records) {
    for (const zebdisk::GopInfo& g : r.gops) {
      ASSERT_EQ(search_play(S(g.time)), 1) << zebdisk::format_time(g.time);
      EXPECT_EQ(gop_at_cursor(), &g) << zebdisk::format_time(g.time);
    }
  }
}

TEST_F(SearchTest, RunEndingOnTheLastRecordOfABlockLeadsIntoTheNextBlock) {
  zebdisk::DiskSpec s = small_spec();
  s.start_block = 249;
  s.start_record = 24997;
  s.gops_per_record = 2;
  zebdisk::RunSpec first = run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5));
  // The run's last record (249/24999) has no readable GOP, so a search for
  // its time ends on that record, the end of the run.
  first.bad_gops = {{2, 0}, {2, 1}};
  s.runs.push_back(first);
  s.runs.push_back(run(T(2024, 5, 1, 10, 5, 0), T(2024, 5, 1, 10, 5, 5)));
  attach(s);
  ASSERT_EQ(manifest_.records[2].block, 249);
  ASSERT_EQ(manifest_.records[2].record, 24999);
  ASSERT_EQ(manifest_.records[2].status, 1);
  ASSERT_EQ(manifest_.records[3].block, 0);
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 4))), 1);
  EXPECT_EQ(cursor().block, 0);
  EXPECT_EQ(cursor().record, 0);
  EXPECT_EQ(gop_at_cursor(), &manifest_.records[3].gops[0]);
}

TEST_F(SearchTest, NothingFoundAtTheNewestRecordStaysAtTheNewestData) {
  zebdisk::DiskSpec s = small_spec();
  s.gops_per_record = 2;
  zebdisk::RunSpec r = run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5));
  r.bad_gops = {{2, 0}, {2, 1}};  // the newest record has no readable GOP
  s.runs.push_back(r);
  attach(s);
  // The search ends on the run's (and the disk's) last record: there is no
  // next record to land on, so the time counts as not found.
  ASSERT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 4))), 2);
  EXPECT_EQ(cursor().record, 2);
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  EXPECT_EQ(read_data(buffer.data(), &len), kNoFurtherData);
}

TEST_F(SearchTest, SearchWithinAnAttributeReportsWhereTheTimeLies) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 9), 3));
  attach(s);
  ASSERT_EQ(load_index_state(Positioning::kKeep), 1);
  EXPECT_EQ(search_in_attribute(T(2024, 5, 1, 9, 0, 0), 3), -1);
  EXPECT_EQ(cursor().record, 0);
  EXPECT_EQ(search_in_attribute(T(2024, 5, 1, 11, 0, 0), 3), -2);
  EXPECT_EQ(cursor().record, manifest_.records.back().record);
  EXPECT_EQ(search_in_attribute(T(2024, 5, 1, 10, 0, 4), 4), kNotFound);
  EXPECT_EQ(search_with_retry(T(2024, 5, 1, 10, 0, 4), 4), 0);
  EXPECT_EQ(search_in_attribute(T(2024, 5, 1, 10, 0, 4), 3), 1);
  EXPECT_EQ(cursor().record, 1);
  EXPECT_EQ(cursor().gop_index, 1);
}

TEST_F(SearchTest, EmptyDiskSearchEndsAtTheNewestPosition) {
  attach(small_spec());
  EXPECT_EQ(search_play(S(T(2024, 5, 1, 10, 0, 0))), 2);
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  EXPECT_EQ(read_data(buffer.data(), &len), kNoFurtherData);
}

}  // namespace
}  // namespace disktest
