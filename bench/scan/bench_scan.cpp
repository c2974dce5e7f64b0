// The scan of a disk image's recorded data (every GOP table found by its
// structure, every GOP's frame headers walked, each compared with the
// index) against dd bs=4M reading the same stretch of the image, both in
// this run with warm caches. The image holds about a gigabyte: two and a
// half hours of a four-camera recorder picture, fifteen 704 x 480 pictures and
// a second of sound a GOP. Shown: the scan's time per GB of recorded data,
// MB/s for both, and the ratio of the scan's time over dd's (1.0 means the
// scan costs no more than reading the data).
//
// usage: bench_scan [WORK_FOLDER [CLIPS_FOLDER]]   (defaults: $TMPDIR, $VELMORA_CLIPS_DIR)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "brinlib.h"
#include "exporter/scan.h"
#include "recorder_disk.h"

namespace {

using bench::Clock;
using bench::seconds_since;

constexpr int kRounds = 3;
constexpr int kRecordedSeconds = 150 * 60;

double timed_shell(const std::string& command) { return bench::timed_shell("bench_scan", command); }

}  // namespace

int main(int argc, char** argv) {
  const std::string work = bench::make_work_folder(argc, argv, "bench_scan");
  const zebdisk::DiskSpec spec = bench::recorder_disk(bench::clips_folder(argc, argv), kRecordedSeconds);
  zebdisk::Manifest manifest;
  std::string error;
  const std::string image = work + "/disk.img";
  if (!zebdisk::write_disk(spec, image, &manifest, &error)) {
    std::fprintf(stderr, "bench_scan: %s\n", error.c_str());
    return 1;
  }
  // The recorded data: the GOP chunks and their tables, from the start of
  // the data area to the end of the last chunk.
  size_t gops = 0;
  uint64_t recorded = 0, data_end = 0;
  for (const zebdisk::RecordInfo& rec : manifest.records) {
    for (const zebdisk::GopInfo& g : rec.gops) {
      ++gops;
      recorded += g.size;
      data_end = std::max<uint64_t>(data_end, g.sector * zebdisk::kSectorBytes + g.size);
    }
  }
  const uint64_t data_start = uint64_t{zebdisk::kDataStartSector} * zebdisk::kSectorBytes;
  const uint64_t area = data_end - data_start;
  timed_shell("cat '" + image + "' > /dev/null");  // into the page cache

  setenv("VELMORA_DRIVE0", image.c_str(), 1);
  if (hdd_open(0) != 0) {
    std::fprintf(stderr, "bench_scan: cannot open the image\n");
    return 1;
  }
  double best_scan = 1e9, best_dd = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    const auto t0 = Clock::now();
    const exporter::ScanResult r = exporter::scan_disk();
    best_scan = std::min(best_scan, seconds_since(t0));
    if (!r.ok || r.listed != gops) {
      std::fprintf(stderr, "bench_scan: the scan found %zu of %zu GOPs: %s\n", r.listed, gops, r.error.c_str());
      return 1;
    }
    best_dd =
        std::min(best_dd, timed_shell("dd if='" + image + "' of=/dev/null bs=4M iflag=skip_bytes,count_bytes skip=" +
                                      std::to_string(data_start) + " count=" + std::to_string(area) + " status=none"));
  }
  hdd_close();
  std::filesystem::remove_all(work);

  const double mb = static_cast<double>(area) / 1e6;
  const double gb_recorded = static_cast<double>(recorded) / 1e9;
  std::printf("recorded data: %.0f MB in %zu GOPs (%.0f MB of data area read)\n", static_cast<double>(recorded) / 1e6,
              gops, mb);
  std::printf("velmora-disk scan:             %.3f s (%.0f MB/s, %.2f s/GB recorded)\n", best_scan, mb / best_scan,
              best_scan / gb_recorded);
  std::printf("dd bs=4M of the same area:     %.3f s (%.0f MB/s, %.2f s/GB recorded)\n", best_dd, mb / best_dd,
              best_dd / gb_recorded);
  std::printf("ratio (scan time / dd time):   %.2f\n", best_scan / best_dd);
  return 0;
}
