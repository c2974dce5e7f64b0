// Which recordings a copy takes and where it ends, over recording lists of
// the test's own.
#include "copy_span.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace velmora::viewer;

struct Span {
  uint32_t start, end;
};

// A recording list whose entries start at ring index oldest.
RecordingList list_of(std::vector<Span> spans, int32_t oldest = 0, std::map<int32_t, bool> unreadable = {}) {
  RecordingList list;
  list.count = static_cast<int32_t>(spans.size());
  list.oldest = oldest;
  list.read = [spans, oldest, unreadable](int32_t index, uint32_t* s, uint32_t* e) {
    if (unreadable.count(index)) return false;
    const int32_t k = ((index - oldest) % 1000 + 1000) % 1000;
    if (k >= static_cast<int32_t>(spans.size())) {
      // What lies behind the newest entry of a ring that has not wrapped.
      *s = *e = 0;
      return true;
    }
    *s = spans[static_cast<size_t>(k)].start;
    *e = spans[static_cast<size_t>(k)].end;
    return true;
  };
  return list;
}

const std::vector<Span> kRuns{{1000, 2000}, {3000, 4000}, {5000, 6000}};

TEST(CopySpan, TheEntryHoldingTheStartOrTheEndOrInsideTheSpanIsTaken) {
  const RecordingList list = list_of(kRuns, 998);
  EXPECT_EQ(find_copy_entry(list, 1500, 1600, std::nullopt), 998);
  // The start in a gap, the end in a recording.
  EXPECT_EQ(find_copy_entry(list, 2500, 3500, std::nullopt), 999);
  // A span around a whole recording; ring indexes wrap at 1000.
  EXPECT_EQ(find_copy_entry(list, 4500, 6500, std::nullopt), 0);
  EXPECT_EQ(find_copy_entry(list, 2900, 4100, std::nullopt), 999);
  // Nothing recorded in the span.
  EXPECT_EQ(find_copy_entry(list, 2100, 2900, std::nullopt), std::nullopt);
  EXPECT_EQ(find_copy_entry(list, 6100, 7000, std::nullopt), std::nullopt);
}

TEST(CopySpan, DataBeforeTheOldestListedRecordingCountsWhenTheDiskHoldsIt) {
  const RecordingList list = list_of(kRuns);
  // Not in the list, but on the disk and before its oldest entry.
  EXPECT_EQ(find_copy_entry(list, 500, 800, std::make_pair(400u, 6000u)), 0);
  EXPECT_EQ(find_copy_entry(list, 300, 800, std::make_pair(400u, 6000u)), std::nullopt);
  EXPECT_EQ(find_copy_entry(list, 2100, 2900, std::make_pair(400u, 6000u)), std::nullopt);
  EXPECT_EQ(find_copy_entry(list_of({}), 500, 800, std::make_pair(400u, 6000u)), std::nullopt);
}

TEST(CopySpan, TheEndStaysWhereARecordingReachesIt) {
  const RecordingList list = list_of(kRuns);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 1800), 1800u);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 3500), 3500u);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 5001), 5001u);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 6000), 6000u);
  // An end on the first second of a recording takes nothing of it.
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 5000), 4000u);
}

TEST(CopySpan, AnEndInAGapOrAfterTheDataBecomesTheEndOfTheRecordingBefore) {
  const RecordingList list = list_of(kRuns);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 2500), 2000u);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 4500), 4000u);
  EXPECT_EQ(clamp_copy_end(list, 0, 1500, 9000), 6000u);
  EXPECT_EQ(clamp_copy_end(list, 1, 3500, 9000), 6000u);
}

TEST(CopySpan, TheWalkStopsAtOlderOrUnreadableEntries) {
  // A full ring: after the newest entry come the oldest again.
  std::vector<Span> full;
  for (uint32_t i = 0; i < 1000; ++i) full.push_back({10000 + i * 10, 10000 + i * 10 + 5});
  const RecordingList ring = list_of(full, 500);
  EXPECT_EQ(clamp_copy_end(ring, (500 + 998) % 1000, 10000 + 998 * 10, 99999), 10000u + 999 * 10 + 5);
  const RecordingList damaged = list_of(kRuns, 0, {{1, true}});
  EXPECT_EQ(clamp_copy_end(damaged, 0, 1500, 5500), 2000u);
}

}  // namespace
