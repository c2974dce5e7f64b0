// Recorder disk benchmarks, each against a reference measured in the same run:
//  1. search_play latency on a disk whose 250 index blocks hold 25,000
//     records each, against one plain read of an index block (500,000 bytes),
//     the unit of work a search repeats;
//  2. the throughput of the frame reader playing GOPs forward, against plain
//     sequential reads of the same disk bytes.
//
// usage: bench_disk [WORK_FOLDER [CLIPS_FOLDER]]   (defaults: $TMPDIR, $VELMORA_CLIPS_DIR)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "zebdisk/disk_image.h"

namespace {

using Clock = std::chrono::steady_clock;
using zebdisk::RecTime;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

constexpr int kBlocks = 250;
constexpr int kRecords = 25000;
constexpr int kGopsPerRecord = 10;  // one GOP a second
constexpr int kRuns = 1000;
constexpr int kSearches = 300;

RecTime record_time(const RecTime& base, int64_t index) { return zebdisk::add_seconds(base, index * kGopsPerRecord); }

// A disk with every index block full: 6,250,000 records of ten one-second
// GOPs, 1000 runs, management copy 0 only. GOP tables are written for the
// records around the searched times (the only ones a search reads).
bool write_full_index(const std::string& path, const RecTime& base, const std::vector<int64_t>& targets) {
  zebdisk::ImageFile f;
  const uint64_t cylinders = 4000;
  if (!f.create(path, cylinders * zebdisk::kCylinderBytes)) return false;
  const int64_t total = int64_t{kBlocks} * kRecords;
  const int64_t per_run = total / kRuns;
  const RecTime last = zebdisk::add_seconds(record_time(base, total - 1), kGopsPerRecord - 1);
  bool ok = f.write_sector(0, zebdisk::encode_settings({zebdisk::kRecorderDiskMark}));
  ok = ok && f.write_sector(zebdisk::kVolumeOffset, zebdisk::encode_volume(0));
  // Copies 1 and 2 carry a damaged volume record: copy 0 is read.
  ok = ok && f.write_sector(zebdisk::kCopySectors + zebdisk::kVolumeOffset, zebdisk::encode_volume(-1));
  ok = ok && f.write_sector(2 * zebdisk::kCopySectors + zebdisk::kVolumeOffset, zebdisk::encode_volume(-1));
  ok = ok && f.write_sector(zebdisk::kAttrHeaderOffset, zebdisk::encode_ring_header({1, 0, 0}));
  zebdisk::AttrEntrySpec attr{0, base, last, 0, kRecords - 1, 0, kBlocks - 1};
  ok = ok && f.write_sector(zebdisk::kAttrHeaderOffset + 1, zebdisk::encode_attr(attr));
  ok = ok && f.write_sector(zebdisk::kBlockHeaderOffset,
                            zebdisk::encode_block_header({kBlocks, 0, kBlocks - 1, kBlocks - 1, kRecords - 1}));
  std::vector<uint8_t> dir;
  for (int b = 0; b < kBlocks; ++b) {
    const int64_t first = int64_t{b} * kRecords;
    const std::vector<uint8_t> e = zebdisk::encode_block_entry(
        {kRecords, 0, kRecords - 1, 0, 0, record_time(base, first),
         zebdisk::add_seconds(record_time(base, first + kRecords - 1), kGopsPerRecord - 1)});
    dir.insert(dir.end(), e.begin(), e.end());
  }
  ok = ok && f.write_sector(zebdisk::kBlockHeaderOffset + 1, dir);
  ok = ok && f.write_sector(zebdisk::kListHeaderOffset, zebdisk::encode_ring_header({kRuns, 0, kRuns - 1}));
  std::vector<uint8_t> list;
  for (int i = 0; i < kRuns; ++i) {
    const int64_t a = i * per_run, z = a + per_run - 1;
    const std::vector<uint8_t> e =
        zebdisk::encode_list({0, record_time(base, a), zebdisk::add_seconds(record_time(base, z), kGopsPerRecord - 1),
                              static_cast<int>(a / kRecords), static_cast<int>(z / kRecords),
                              static_cast<uint32_t>(a % kRecords), static_cast<uint32_t>(z % kRecords), 0, false});
    list.insert(list.end(), e.begin(), e.end());
  }
  ok = ok && f.write_sector(zebdisk::kListHeaderOffset + 1, list);
  ok = ok && f.write_sector(zebdisk::kAlarmHeaderOffset, zebdisk::encode_alarm_header({0, 0, 0}));

  // One small chunk shared by every GOP; a GOP table per record near a target.
  const uint32_t chunk_sector = zebdisk::kDataStartSector;
  std::vector<uint8_t> chunk(zebdisk::kChunkHeaderBytes, 0);
  ok = ok && f.write_sector(chunk_sector, chunk);
  std::vector<uint32_t> table_sector(static_cast<size_t>(total), 0);
  uint32_t next = chunk_sector + 8;
  for (int64_t t : targets) {
    for (int64_t r = std::max<int64_t>(0, t - 1); r <= std::min(total - 1, t + 1); ++r) {
      if (table_sector[static_cast<size_t>(r)]) continue;
      std::vector<uint8_t> table;
      for (int g = 0; g < kGopsPerRecord; ++g) {
        const std::vector<uint8_t> e = zebdisk::encode_gop(
            {1, 1, 0, zebdisk::add_seconds(record_time(base, r), g), zebdisk::kChunkHeaderBytes, chunk_sector});
        table.insert(table.end(), e.begin(), e.end());
      }
      table_sector[static_cast<size_t>(r)] = next;
      ok = ok && f.write_sector(next, table);
      next += 3;
    }
  }
  std::vector<uint8_t> block(static_cast<size_t>(kRecords) * zebdisk::kRecordBytes);
  for (int b = 0; b < kBlocks && ok; ++b) {
    for (int r = 0; r < kRecords; ++r) {
      const int64_t i = int64_t{b} * kRecords + r;
      const uint8_t status = (i % per_run == per_run - 1) ? 1 : (i % per_run == 0 ? 2 : 0);
      const std::vector<uint8_t> e = zebdisk::encode_record(
          {record_time(base, i),
           table_sector[static_cast<size_t>(i)] ? table_sector[static_cast<size_t>(i)] : chunk_sector, kGopsPerRecord,
           1, status});
      std::memcpy(&block[static_cast<size_t>(r) * zebdisk::kRecordBytes], e.data(), e.size());
    }
    const uint64_t sector =
        zebdisk::kIndexBlockOffset + uint64_t{zebdisk::kIndexBlockSectors} * static_cast<uint64_t>(b);
    ok = f.write(sector * zebdisk::kSectorBytes, block.data(), block.size());
  }
  return ok && f.close();
}

// Reads [offset, offset + bytes) with plain sequential reads of `piece` bytes.
double plain_read_seconds(const std::string& path, uint64_t offset, uint64_t bytes, size_t piece) {
  std::vector<uint8_t> buffer(piece);
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  const auto t0 = Clock::now();
  for (uint64_t done = 0; done < bytes;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, bytes - done));
    if (::pread(fd, buffer.data(), n, static_cast<off_t>(offset + done)) != static_cast<ssize_t>(n)) break;
    done += n;
  }
  const double s = seconds_since(t0);
  ::close(fd);
  return s;
}

int bench_search(const std::string& folder) {
  const std::string path = folder + "/full-index.img";
  const RecTime base{20, 1, 1, 0, 0, 0};
  const int64_t total = int64_t{kBlocks} * kRecords;
  std::mt19937_64 rng(7);
  std::vector<int64_t> targets;
  for (int i = 0; i < kSearches; ++i) targets.push_back(static_cast<int64_t>(rng() % static_cast<uint64_t>(total)));
  std::printf("writing a disk with %d index blocks of %d records ...\n", kBlocks, kRecords);
  const auto t_write = Clock::now();
  if (!write_full_index(path, base, targets)) {
    std::fprintf(stderr, "bench_disk: cannot write %s\n", path.c_str());
    return 1;
  }
  std::printf("  written in %.1f s\n", seconds_since(t_write));
  setenv("VELMORA_DRIVE0", path.c_str(), 1);
  if (hdd_open(0) != 0) return 1;
  first_section_play();
  // A warm-up pass reads every index block once, so both measurements run
  // from the page cache.
  for (int b = 0; b < kBlocks; ++b) brin::disk::load_index_block(b);

  int found = 0, exact = 0;
  const auto t0 = Clock::now();
  for (int64_t r : targets) {
    const RecTime t = zebdisk::add_seconds(record_time(base, r), 3 + r % 5);
    if (search_play(vp::rec_seconds(t)) == 1) ++found;
    const brin::disk::Cursor& c = brin::disk::cursor();
    if (int64_t{c.block} * kRecords + c.record == r && c.gop_index == 3 + r % 5) ++exact;
  }
  const double search_s = seconds_since(t0) / kSearches;
  hdd_close();

  // The reference reads each searched record's index block once, in the
  // same order, with plain reads.
  double plain_s = 0;
  for (int64_t r : targets) {
    const uint64_t block = static_cast<uint64_t>(r / kRecords);
    const uint64_t offset = (zebdisk::kIndexBlockOffset + uint64_t{zebdisk::kIndexBlockSectors} * block) * 512;
    plain_s += plain_read_seconds(path, offset, 500000, 500000);
  }
  plain_s /= kSearches;
  std::printf("search_play on full index blocks: %d searches, %d found, %d on the exact GOP\n", kSearches, found,
              exact);
  std::printf("  search_play: %.3f ms per search\n", search_s * 1e3);
  std::printf("  reference, one plain read of an index block (500000 bytes): %.3f ms\n", plain_s * 1e3);
  std::printf("  ratio search / index-block read: %.2f\n", search_s / plain_s);
  std::filesystem::remove(path);
  return found == kSearches && exact == kSearches ? 0 : 1;
}

int bench_throughput(const std::string& folder, const std::string& clips) {
  const std::string path = folder + "/playback.img";
  zebdisk::DiskSpec s;
  s.cylinders = 3010;
  s.cameras = 1;
  s.clips = {clips + "/cam0_704x480.m4v"};
  s.audio = clips + "/tone_440.alaw";
  s.pictures_per_gop = 15;
  s.audio_per_gop = 25;
  s.gop_ms = 500;
  s.gops_per_record = 40;
  zebdisk::RunSpec run;
  run.start = RecTime{24, 5, 1, 10, 0, 0};
  run.end = RecTime{24, 5, 1, 10, 8, 0};
  s.runs.push_back(run);
  zebdisk::Manifest m;
  std::string error;
  std::printf("writing a disk of recorded GOPs ...\n");
  if (!zebdisk::write_disk(s, path, &m, &error)) {
    std::fprintf(stderr, "bench_disk: %s\n", error.c_str());
    return 1;
  }
  uint64_t first = UINT64_MAX, end = 0;
  size_t gops = 0;
  for (const zebdisk::RecordInfo& r : m.records) {
    first = std::min<uint64_t>(first, r.gop_sector);
    for (const zebdisk::GopInfo& g : r.gops) {
      end = std::max<uint64_t>(end, uint64_t{g.sector} * 512 + g.size);
      ++gops;
    }
  }
  const uint64_t extent = end - first * 512;
  setenv("VELMORA_DRIVE0", path.c_str(), 1);
  if (hdd_open(0) != 0) return 1;
  std::vector<uint8_t> buffer(brin::disk::kFrameBufferBytes);
  auto play = [&](uint64_t* frame_bytes) {
    first_section_play();
    size_t n = 0;
    int32_t len = 0;
    while (read_data(buffer.data(), &len) != brin::disk::kNoFurtherData) {
      *frame_bytes += static_cast<uint64_t>(len);
      ++n;
    }
    return n;
  };
  uint64_t warm = 0;
  play(&warm);  // both measurements from the page cache
  plain_read_seconds(path, first * 512, extent, 2 << 20);
  const int rounds = 5;
  double reader_s = 0, plain_s = 0;
  uint64_t frame_bytes = 0;
  size_t read_gops = 0;
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    read_gops = play(&frame_bytes);
    reader_s += seconds_since(t0);
    plain_s += plain_read_seconds(path, first * 512, extent, 2 << 20);
  }
  hdd_close();
  std::filesystem::remove(path);
  const double mb = static_cast<double>(extent) / 1e6;
  std::printf("GOPs read forward: %zu GOPs (%zu written), %.1f MB of disk\n", read_gops, gops, mb);
  std::printf("  frame reader: %.0f MB/s\n", mb * rounds / reader_s);
  std::printf("  reference, plain sequential reads of 2 MiB: %.0f MB/s\n", mb * rounds / plain_s);
  std::printf("  ratio reader / plain reads (throughput): %.2f\n", plain_s / reader_s);
  return read_gops == gops ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = argc > 1 ? argv[1] : (tmp ? tmp : "/tmp");
  const char* clips_env = std::getenv("VELMORA_CLIPS_DIR");
  const std::string clips = argc > 2 ? argv[2] : (clips_env ? clips_env : "clips");
  const int a = bench_search(folder);
  const int b = bench_throughput(folder, clips);
  return a || b;
}
