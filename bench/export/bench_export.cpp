// The evidence export of a 10-minute span of four cameras (one GOP a second
// each, fifteen 704 x 480 pictures and a second of sound a GOP) from a disk
// image into Matroska files with their custody record, against cp copying
// the same recorded bytes (the span's GOPs as the recorder's copy holds
// them), both in this run with warm caches. The ratio is cp's time over the
// export's: 1.0 means the export runs as fast as a plain copy.
//
// usage: bench_export [WORK_FOLDER [CLIPS_FOLDER]]   (defaults: $TMPDIR, $VELMORA_CLIPS_DIR)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "brinlib.h"
#include "brinlib_internal.h"
#include "exporter/exporter.h"
#include "recorder_disk.h"
#include "zebdisk/disk_image.h"

namespace {

using bench::Clock;
using bench::seconds_since;

constexpr int kRounds = 3;

}  // namespace

int main(int argc, char** argv) {
  const std::string work = bench::make_work_folder(argc, argv, "bench_export");
  zebdisk::DiskSpec spec = bench::recorder_disk(bench::clips_folder(argc, argv), 600);
  spec.per_camera_streams = true;
  const zebdisk::RecTime start = spec.runs[0].start;
  const zebdisk::RecTime end = spec.runs[0].end;
  zebdisk::Manifest manifest;
  std::string error;
  const std::string image = work + "/disk.img";
  if (!zebdisk::write_disk(spec, image, &manifest, &error)) {
    std::fprintf(stderr, "bench_export: %s\n", error.c_str());
    return 1;
  }
  setenv("VELMORA_DRIVE0", image.c_str(), 1);
  if (hdd_open(0) != 0 || first_section_play() != 0) {
    std::fprintf(stderr, "bench_export: the image cannot be read\n");
    return 1;
  }

  // The same bytes as a file: the recorder's copy of the span.
  const std::string copy = work + "/copy";
  std::filesystem::create_directories(copy);
  if (hdd_copy_usb(copy.c_str(), vp::rec_seconds(start), vp::rec_seconds(end)) != 0) return 1;
  int32_t status = 0;
  do {
    ::usleep(10000);
    hdd_copy_usb_get_sts(&status);
  } while (status <= 100);
  brin::copy::testing::join_copy();
  if (status != brin::copy::kReportedComplete) {
    std::fprintf(stderr, "bench_export: the copy ended with %d\n", status);
    return 1;
  }
  const std::string data = copy + "/" + brin::copyfile::kDataName;
  const double bytes = static_cast<double>(std::filesystem::file_size(data));

  double best_export = 1e9, best_cp = 1e9;
  uint64_t pictures = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string out = work + "/out" + std::to_string(round);
    std::filesystem::create_directories(out);
    auto t0 = Clock::now();
    auto source = exporter::open_attached_disk(vp::rec_seconds(start), vp::rec_seconds(end), &error);
    if (!source) return 1;
    exporter::Options options;
    options.folder = out;
    const exporter::Result r = exporter::export_video(*source, options);
    if (!r.ok) {
      std::fprintf(stderr, "bench_export: %s\n", r.error.c_str());
      return 1;
    }
    best_export = std::min(best_export, seconds_since(t0));
    pictures = 0;
    for (const auto& f : r.files) pictures += f.pictures;

    const std::string target = work + "/cp" + std::to_string(round);
    t0 = Clock::now();
    if (std::system(("cp '" + data + "' '" + target + "'").c_str()) != 0) return 1;
    best_cp = std::min(best_cp, seconds_since(t0));
    std::filesystem::remove_all(out);
    std::filesystem::remove(target);
  }
  hdd_close();
  std::filesystem::remove_all(work);

  std::printf("span: 10 minutes, 4 cameras, %llu pictures, %.1f MB of recorded data\n",
              static_cast<unsigned long long>(pictures), bytes / 1e6);
  std::printf("export to Matroska with hashes: %.3f s (%.1f MB/s)\n", best_export, bytes / 1e6 / best_export);
  std::printf("cp of the same bytes:           %.3f s (%.1f MB/s)\n", best_cp, bytes / 1e6 / best_cp);
  std::printf("ratio (cp time / export time):  %.2f\n", best_cp / best_export);
  return 0;
}
