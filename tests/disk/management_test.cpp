// The management region: the choice of copy by write generation, the copy
// fallback of damaged headers, tables and index blocks, and the lists the
// viewer reads.
#include <gtest/gtest.h>

#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

using ManagementTest = DiskTest;

int first_copy(int g0, int g1, int g2) {
  const int generations[3] = {g0, g1, g2};
  return choose_generation(generations).copy[0];
}

TEST(CopyChoice, NewestGenerationWithWrapAround) {
  EXPECT_EQ(first_copy(0, 4, 5), 0);
  EXPECT_EQ(first_copy(0, 1, 5), 1);
  EXPECT_EQ(first_copy(3, 4, 5), 2);
  EXPECT_EQ(first_copy(0, 1, 2), 2);
  EXPECT_EQ(first_copy(3, 1, 2), 0);
  EXPECT_EQ(first_copy(-1, -1, -1), 0);
  // The other copies follow as g + 2, then g + 1.
  const int generations[3] = {3, 4, 5};
  const CopyOrder o = choose_generation(generations);
  EXPECT_EQ(o.generation, 5);
  EXPECT_EQ(o.copy[1], 1);
  EXPECT_EQ(o.copy[2], 0);
  const int third[3] = {3, 1, 2};
  const CopyOrder p = choose_generation(third);
  EXPECT_EQ(p.copy[1], 2);
  EXPECT_EQ(p.copy[2], 1);
}

// Marks each copy's oldest list entry with its own kind (10 + copy), so that
// the kind read back tells which copy was used.
void mark_copies(const std::string& path, const zebdisk::Manifest& m) {
  zebdisk::ImageFile f;
  ASSERT_TRUE(f.open(path));
  const zebdisk::RunInfo& r = m.runs.front();
  for (int c = 0; c < 3; ++c) {
    const std::vector<uint8_t> e = zebdisk::encode_list({r.attribute, r.start, r.end, r.start_block, r.end_block,
                                                         static_cast<uint32_t>(r.start_record),
                                                         static_cast<uint32_t>(r.end_record), 10 + c, false});
    const uint64_t sector = uint64_t{zebdisk::kCopySectors} * c + zebdisk::kListHeaderOffset + 1;
    ASSERT_TRUE(f.write(sector * 512 + static_cast<uint64_t>(r.list_index) * 28, e.data(), e.size()));
  }
}

int kind_read(int list_index) {
  int32_t kind = -1;
  uint32_t start = 0, end = 0;
  EXPECT_EQ(get_list_start_end_sec(list_index, &start, &end, &kind), 0);
  return kind;
}

struct CopyCase {
  int generations[3];
  std::vector<int> damaged;  // copies whose newest list entry fails
  int copy_read;
};

class CopyFallback : public DiskTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyFallback, ReadsTheChosenCopyOrTheNextGoodOne) {
  const CopyCase& k = GetParam();
  zebdisk::DiskSpec s = small_spec();
  std::copy(k.generations, k.generations + 3, s.generations);
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5)));
  s.runs.push_back(run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 5)));
  for (int c : k.damaged) {
    zebdisk::DamageSpec d;
    d.kind = zebdisk::DamageSpec::kEntry;
    d.copy = c;
    d.area = zebdisk::Area::kList;
    s.damage.push_back(d);
  }
  attach(s, false);
  mark_copies(path_, manifest_);
  ASSERT_EQ(first_section_play(), 0);
  EXPECT_EQ(kind_read(manifest_.runs.front().list_index), 10 + k.copy_read);
  // The newest entry, damaged in the copies tried first, still comes from a
  // good copy with its times.
  uint32_t start = 0, end = 0;
  int32_t kind = -1;
  ASSERT_EQ(get_list_start_end_sec(manifest_.runs[1].list_index, &start, &end, &kind), 0);
  EXPECT_EQ(start, S(manifest_.runs[1].start));
}

INSTANTIATE_TEST_SUITE_P(Generations, CopyFallback,
                         ::testing::Values(CopyCase{{0, 4, 5}, {}, 0}, CopyCase{{0, 1, 5}, {}, 1},
                                           CopyCase{{3, 4, 5}, {}, 2}, CopyCase{{3, 4, 5}, {2}, 1},
                                           CopyCase{{3, 4, 5}, {2, 1}, 0}, CopyCase{{3, 1, 2}, {0}, 2},
                                           CopyCase{{3, 1, 2}, {0, 2}, 1}, CopyCase{{-1, -1, -1}, {}, 0},
                                           CopyCase{{-1, -1, -1}, {0}, 2}));

TEST_F(ManagementTest, ListsEveryRunAndAlarmWithExactTimes) {
  zebdisk::DiskSpec s = small_spec();
  s.first_list_index = 997;
  s.first_alarm_index = 48;
  for (int i = 0; i < 6; ++i) {
    zebdisk::RunSpec r = run(T(2024, 12, 31, 23, 50 + i, 0), T(2024, 12, 31, 23, 50 + i, 10 + i));
    r.kind = i % 3;
    s.runs.push_back(r);
  }
  s.runs.push_back(run(T(2025, 1, 1, 0, 0, 0), T(2025, 1, 1, 0, 0, 4)));
  s.alarms.push_back({T(2024, 12, 31, 23, 50, 1), T(2024, 12, 31, 23, 50, 5)});
  s.alarms.push_back({T(2024, 12, 31, 23, 53, 0), T(2024, 12, 31, 23, 54, 0)});
  s.alarms.push_back({T(2025, 1, 1, 0, 0, 1), T(2025, 1, 1, 0, 0, 2)});
  attach(s);

  int32_t count = -1, oldest = -1;
  ASSERT_EQ(get_rec_list(&count, &oldest), 0);
  EXPECT_EQ(count, 7);
  EXPECT_EQ(oldest, 997);
  for (int k = 0; k < count; ++k) {
    const zebdisk::RunInfo& r = manifest_.runs[static_cast<size_t>(k)];
    ASSERT_EQ(r.list_index, (oldest + k) % 1000);
    uint32_t start = 0, end = 0;
    int32_t kind = -1;
    ASSERT_EQ(get_list_start_end_sec((oldest + k) % 1000, &start, &end, &kind), 0);
    EXPECT_EQ(start, S(r.start));
    EXPECT_EQ(end, S(r.end));
    EXPECT_EQ(kind, r.kind);
  }
  // The run over new year: ((((25 x 12 + 1) x 31 + 1 - 32) x 24) x 60) x 60.
  uint32_t start = 0, end = 0;
  int32_t kind = 0;
  ASSERT_EQ(get_list_start_end_sec(3, &start, &end, &kind), 0);
  EXPECT_EQ(start, ((((25u * 12 + 1) * 31 + 1 - 32) * 24) * 60) * 60);

  ASSERT_EQ(get_alarm_list(&count, &oldest), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(oldest, 48);
  for (int k = 0; k < count; ++k) {
    ASSERT_EQ(get_alarm_info((oldest + k) % 50, &start, &end), 0);
    EXPECT_EQ(start, S(s.alarms[static_cast<size_t>(k)].start));
    EXPECT_EQ(end, S(s.alarms[static_cast<size_t>(k)].end));
  }

  ASSERT_EQ(read_start_end_sec(&start, &end), 0);
  EXPECT_EQ(start, S(T(2024, 12, 31, 23, 50, 0)));
  EXPECT_EQ(end, S(T(2025, 1, 1, 0, 0, 4)));
}

TEST_F(ManagementTest, ListIndexesOutsideTheRingsAreRefused) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5)));
  attach(s);
  uint32_t start = 7, end = 7;
  int32_t kind = 7;
  EXPECT_EQ(get_list_start_end_sec(1000, &start, &end, &kind), -1);
  EXPECT_EQ(get_list_start_end_sec(-1, &start, &end, &kind), -1);
  EXPECT_EQ(get_alarm_info(50, &start, &end), -1);
  EXPECT_EQ(start, 7u);
  EXPECT_EQ(kind, 7);
  EXPECT_EQ(get_list_start_end_sec(0, nullptr, nullptr, nullptr), 0);
}

TEST_F(ManagementTest, DamagedHeadersFallBackAndEmptyWhenNoCopyHolds) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5)));
  s.alarms.push_back({T(2024, 5, 1, 10, 0, 1), T(2024, 5, 1, 10, 0, 2)});
  for (int c : {2, 1}) {
    zebdisk::DamageSpec d;
    d.kind = zebdisk::DamageSpec::kHeader;
    d.copy = c;
    d.area = zebdisk::Area::kList;
    s.damage.push_back(d);
  }
  for (int c : {0, 1, 2}) {
    zebdisk::DamageSpec d;
    d.kind = zebdisk::DamageSpec::kHeader;
    d.copy = c;
    d.area = zebdisk::Area::kAlarm;
    s.damage.push_back(d);
  }
  attach(s);
  int32_t count = -1, oldest = -1;
  ASSERT_EQ(get_rec_list(&count, &oldest), 0);
  EXPECT_EQ(count, 1);  // from copy 0, the last one tried
  ASSERT_EQ(get_alarm_list(&count, &oldest), 0);
  EXPECT_EQ(count, 0);  // no copy holds a good alarm header
  EXPECT_EQ(load_index_state(Positioning::kKeep), 0);
  uint32_t start = 0, end = 0;
  EXPECT_EQ(read_start_end_sec(&start, &end), -1);
  // Playback does not depend on the alarm list.
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int32_t len = 0;
  EXPECT_EQ(read_data(buffer.data(), &len), 0);
}

TEST_F(ManagementTest, HeadersWithIndexesOutsideTheRingAreRefused) {
  zebdisk::DiskSpec s = small_spec();  // copy 2 first, then 1, then 0
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5)));
  s.runs.push_back(run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 5)));
  attach(s, false);
  auto put_list_header = [&](int copy, const zebdisk::RingHeaderSpec& h) {
    zebdisk::ImageFile f;
    ASSERT_TRUE(f.open(path_));
    ASSERT_TRUE(f.write_sector(uint64_t{zebdisk::kCopySectors} * copy + zebdisk::kListHeaderOffset,
                               zebdisk::encode_ring_header(h)));
  };
  // Checksums that hold over a count and an index no ring of 1000 has.
  put_list_header(2, {1200, 0, 1});
  put_list_header(1, {2, 1000, 1});
  ASSERT_EQ(first_section_play(), 0);
  int32_t count = -1, oldest = -1;
  ASSERT_EQ(get_rec_list(&count, &oldest), 0);
  EXPECT_EQ(count, 2);  // from copy 0
  EXPECT_EQ(oldest, 0);
  put_list_header(0, {2, 0, 5000});
  ASSERT_EQ(load_index_state(Positioning::kKeep), 0);
  ASSERT_EQ(get_rec_list(&count, &oldest), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(skip_foward(), kNoFurtherRun);
}

TEST_F(ManagementTest, DamagedIndexBlocksAreReadFromTheOtherCopies) {
  zebdisk::DiskSpec s = small_spec();
  s.generations[0] = 0;
  s.generations[1] = 1;
  s.generations[2] = 2;  // copy 2 first, then 1, then 0
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 20)));
  for (int c : {2, 1}) {
    zebdisk::DamageSpec d;
    d.kind = zebdisk::DamageSpec::kIndexBlock;
    d.copy = c;
    d.index = 0;
    s.damage.push_back(d);
  }
  attach(s);
  expect_same(read_all(read_data), expected_gops(manifest_));
}

TEST_F(ManagementTest, SearchReadsARecordDamagedInOneCopyFromAnother) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 29)));
  attach(s, false);
  // Record 5 of block 0 (not one the block check samples) fails in copy 2,
  // the copy read first.
  {
    zebdisk::ImageFile f;
    ASSERT_TRUE(f.open(path_));
    const uint64_t offset = (uint64_t{zebdisk::kCopySectors} * 2 + zebdisk::kIndexBlockOffset) * 512 + 5 * 20 + 19;
    const uint8_t junk = 0xEE;
    ASSERT_TRUE(f.write(offset, &junk, 1));
  }
  ASSERT_EQ(first_section_play(), 0);
  const zebdisk::RecordInfo& r5 = manifest_.records[5];
  ASSERT_EQ(search_play(S(r5.gops[1].time)), 1);
  EXPECT_EQ(cursor().record, 5);
  EXPECT_EQ(gop_at_cursor(), &r5.gops[1]);
}

TEST_F(ManagementTest, DamagedVolumeRecordsLeaveTheOrderToTheOthers) {
  zebdisk::DiskSpec s = small_spec();
  s.generations[0] = 3;
  s.generations[1] = 4;
  s.generations[2] = -1;  // would be 5
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 5)));
  attach(s, false);
  mark_copies(path_, manifest_);
  ASSERT_EQ(first_section_play(), 0);
  EXPECT_EQ(kind_read(0), 11);  // generation 4 in copy 1
}

TEST_F(ManagementTest, SettingsSectorAsValuesAndRaw) {
  zebdisk::DiskSpec s = small_spec();
  s.settings = {zebdisk::kRecorderDiskMark, 0x12345678, 0xFFFF0001};
  attach(s, false);
  uint32_t values[128] = {};
  ASSERT_EQ(hdd_read_hdsw(values), 0);
  EXPECT_EQ(values[0], 0x015C0000u);
  EXPECT_EQ(values[1], 0x12345678u);
  EXPECT_EQ(values[2], 0xFFFF0001u);
  EXPECT_EQ(values[3], 0u);
  uint32_t raw[128] = {};
  ASSERT_EQ(get_start_time(raw), 0);
  const uint8_t* b = reinterpret_cast<const uint8_t*>(raw);
  EXPECT_EQ(b[0], 0x5C);
  EXPECT_EQ(b[1], 0x01);
  EXPECT_EQ(b[4], 0x34);
  EXPECT_EQ(b[6], 0x78);
  // Without a disk nothing is read, and get_start_time leaves the buffer.
  hdd_close();
  EXPECT_EQ(hdd_read_hdsw(values), -1);
  raw[0] = 0xABCD;
  EXPECT_EQ(get_start_time(raw), 0);
  EXPECT_EQ(raw[0], 0xABCDu);
}

}  // namespace
}  // namespace disktest
