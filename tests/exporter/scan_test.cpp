// The scan finds every GOP the disk writer wrote by its own structure and
// tells apart what the index names, what it no longer names, and what is
// damaged; the unindexed GOPs come out as runs.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include "brinlib.h"
#include "disk_specs.h"
#include "exporter/scan.h"
#include "testing.h"
#include "zebdisk/disk_image.h"

namespace {

using velmora::testing::T;
using velmora::testing::TempDir;

TEST(Scan, FindsEveryGopAndTellsListedFromUnindexedAndDamaged) {
  TempDir dir;
  zebdisk::DiskSpec spec = velmora::testing::small_spec();
  // The first five records at the end of index block 0, the rest in block 1.
  spec.start_block = 0;
  spec.start_record = 24995;
  zebdisk::RunSpec run = velmora::testing::run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 29));
  run.bad_records = {8};          // its record's checksum is wrong in every copy
  run.lost_tables = {9};          // its record names a sector past the disk's end
  run.bad_gops = {{5, 1}};        // a GOP entry whose checksum is wrong
  run.lost_chunks = {{6, 0}};     // an entry naming a chunk past the end
  run.huge_chunks = {{7, 2}};     // an entry with a chunk over 2 MiB
  spec.runs.push_back(run);
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 8)));
  // Index block 0 overwritten in all three copies: the index has lost its
  // records.
  for (int copy = 0; copy < 3; ++copy) {
    zebdisk::DamageSpec d;
    d.kind = zebdisk::DamageSpec::kIndexBlock;
    d.copy = copy;
    d.index = 0;
    spec.damage.push_back(d);
  }
  zebdisk::Manifest manifest;
  std::string error;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(zebdisk::write_disk(spec, image, &manifest, &error)) << error;
  ASSERT_EQ(setenv("VELMORA_DRIVE0", image.c_str(), 1), 0);
  ASSERT_EQ(hdd_open(0), 0);
  const exporter::ScanResult r = exporter::scan_disk();
  hdd_close();
  ASSERT_TRUE(r.ok) << r.error;

  // What each GOP should be, from what the writer wrote: by its time.
  std::map<std::pair<int, int>, exporter::GopState> want;  // (record, GOP) -> state
  std::map<std::string, std::pair<int, int>> by_time;
  size_t damaged = 0, unindexed = 0;
  for (size_t i = 0; i < manifest.records.size(); ++i) {
    const zebdisk::RecordInfo& rec = manifest.records[i];
    const bool lost = rec.bad || rec.table_lost || rec.block == 0;
    for (size_t g = 0; g < rec.gops.size(); ++g) {
      const zebdisk::GopInfo& gop = rec.gops[g];
      exporter::GopState s = lost ? exporter::GopState::kUnindexed : exporter::GopState::kListed;
      if (!gop.readable || gop.bad_entry) s = exporter::GopState::kDamaged;
      damaged += s == exporter::GopState::kDamaged;
      unindexed += s == exporter::GopState::kUnindexed;
      want[{static_cast<int>(i), static_cast<int>(g)}] = s;
      by_time[zebdisk::format_time(gop.time)] = {static_cast<int>(i), static_cast<int>(g)};
    }
  }
  ASSERT_EQ(want.size(), 13u * 3u);
  EXPECT_EQ(damaged, 3u);
  EXPECT_EQ(unindexed, 21u);  // records 0 to 4, 8 and 9

  // Found: every one, once, in its state.
  EXPECT_EQ(r.tables, manifest.records.size());
  ASSERT_EQ(r.gops.size(), want.size());
  std::map<std::pair<int, int>, int> seen;
  for (const exporter::ScannedGop& g : r.gops) {
    const auto it = by_time.find(zebdisk::format_time(g.time));
    ASSERT_NE(it, by_time.end()) << zebdisk::format_time(g.time);
    ++seen[it->second];
    EXPECT_EQ(static_cast<int>(g.state), static_cast<int>(want[it->second]))
        << "record " << it->second.first << " GOP " << it->second.second << ": " << g.reason;
  }
  EXPECT_EQ(seen.size(), want.size());
  EXPECT_EQ(r.listed, want.size() - 24u);
  EXPECT_EQ(r.unindexed, 21u);
  EXPECT_EQ(r.damaged, 3u);
  // The lost table's record names a sector where no table can be.
  EXPECT_EQ(r.indexed_tables_missing, 1u);

  // Camera 1's unindexed GOPs: 10:00:00 to 10:00:14 and 10:00:24 to 10:00:29.
  ASSERT_EQ(r.recovered.size(), 2u);
  EXPECT_EQ(r.recovered[0].camera, 1);
  EXPECT_EQ(r.recovered[0].gops, 15u);
  EXPECT_EQ(r.recovered[0].end - r.recovered[0].start, 14);
  EXPECT_EQ(r.recovered[1].gops, 6u);
  EXPECT_EQ(r.recovered[1].start - r.recovered[0].start, 24);
  EXPECT_EQ(r.recovered[1].end - r.recovered[1].start, 5);
}

}  // namespace
