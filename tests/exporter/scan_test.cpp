// The scan finds every GOP the disk writer wrote by its own structure and
// tells apart what the index names, what it no longer names, and what is
// damaged; the unindexed GOPs come out as runs.
#include "exporter/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "brinlib.h"
#include "disk_specs.h"
#include "testing.h"
#include "zebdisk/disk_image.h"

namespace {

using velmora::testing::read_file;
using velmora::testing::run_command;
using velmora::testing::T;
using velmora::testing::TempDir;

std::string bin(const std::string& name) { return velmora::testing::build_dir() + "/bin/" + name; }

// Writes the disk with index block 0 overwritten in all three copies: the
// index has lost that block's records, the data is still there.
bool write_without_index_block0(zebdisk::DiskSpec spec, const std::string& image, zebdisk::Manifest* manifest) {
  velmora::testing::lose_index_block(&spec, 0);
  std::string error;
  const bool ok = zebdisk::write_disk(spec, image, manifest, &error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

TEST(Scan, FindsEveryGopAndTellsListedFromUnindexedAndDamaged) {
  TempDir dir;
  zebdisk::DiskSpec spec = velmora::testing::small_spec();
  // The first five records at the end of index block 0, the rest in block 1.
  spec.start_block = 0;
  spec.start_record = 24995;
  zebdisk::RunSpec run = velmora::testing::run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 29));
  run.bad_records = {8};       // its record's checksum is wrong in every copy
  run.lost_tables = {9};       // its record names a sector past the disk's end
  run.bad_gops = {{5, 1}};     // a GOP entry whose checksum is wrong
  run.lost_chunks = {{6, 0}};  // an entry naming a chunk past the end
  run.huge_chunks = {{7, 2}};  // an entry with a chunk over 2 MiB
  spec.runs.push_back(run);
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 11, 0, 0), T(2024, 5, 1, 11, 0, 8)));
  zebdisk::Manifest manifest;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(write_without_index_block0(spec, image, &manifest));
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

TEST(Scan, RecoveredGopsExportAsVideoThatDecodesAndIsMarkedRecovered) {
  TempDir dir;
  zebdisk::DiskSpec spec = velmora::testing::small_spec();
  spec.clips_folder = velmora::testing::clips_dir();
  spec.pictures_per_gop = 5;
  spec.start_record = 24997;  // records 0 to 2 in index block 0, the rest in block 1
  spec.runs.push_back(velmora::testing::run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 17)));
  zebdisk::Manifest manifest;
  const std::string image = dir.file("disk.img");
  ASSERT_TRUE(write_without_index_block0(spec, image, &manifest));
  size_t lost_pictures = 0;
  for (const zebdisk::RecordInfo& rec : manifest.records) {
    if (rec.block != 0) continue;
    for (const zebdisk::GopInfo& g : rec.gops)
      lost_pictures += static_cast<size_t>(
          std::count_if(g.frames.begin(), g.frames.end(), [](const zebdisk::FrameInfo& f) { return f.video; }));
  }
  ASSERT_EQ(lost_pictures, 9u * 5u);  // three records of three GOPs

  const auto scan = run_command(bin("velmora-disk") + " scan '" + image + "'");
  ASSERT_EQ(scan.status, 0) << scan.text;
  EXPECT_NE(scan.text.find("GOPs: 9 listed, 9 unindexed, 0 damaged"), std::string::npos) << scan.text;
  EXPECT_NE(scan.text.find("recovered: camera  1  2024/05/01 10:00:00 - 2024/05/01 10:00:08  9 GOPs"),
            std::string::npos)
      << scan.text;

  // The index alone no longer reaches them; the scan's export does.
  const std::string from_to = " --from '2024/05/01 10:00:00' --to '2024/05/01 10:00:17' --format mkv ";
  const auto exported =
      run_command(bin("velmora-disk") + " export '" + image + "'" + from_to + "--recovered '" + dir.file("out") + "'");
  ASSERT_EQ(exported.status, 0) << exported.text;
  const auto files = run_command("ls '" + dir.file("out") + "'/*.mkv");
  ASSERT_EQ(std::count(files.text.begin(), files.text.end(), '\n'), 1) << files.text;
  const std::string file = files.text.substr(0, files.text.find('\n'));
  EXPECT_NE(file.find("_cam01_2024-05-01T10-00-00.mkv"), std::string::npos) << file;
  const auto decoded = run_command("ffmpeg -v error -i '" + file + "' -map 0:v -f framemd5 - | grep -vc '^#'");
  EXPECT_EQ(decoded.text, std::to_string(lost_pictures) + "\n");
  const std::string record = read_file(file + ".json");
  size_t marked = 0;
  for (size_t at = record.find("\"recovered\": true"); at != std::string::npos;
       at = record.find("\"recovered\": true", at + 1))
    ++marked;
  EXPECT_EQ(marked, 9u) << record;
  const auto verified = run_command(bin("velmora-verify") + " '" + file + ".json'");
  EXPECT_EQ(verified.status, 0) << verified.text;
  EXPECT_NE(verified.text.find("source: 9 of 9 GOPs match"), std::string::npos) << verified.text;
}

}  // namespace
