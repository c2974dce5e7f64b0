// Fuzz target: arbitrary bytes as the recorder disk's management region,
// index and recorded data, fed to every reader, list, search, step and skip,
// to the scan that looks for GOP tables without the index, and on some
// inputs to the HTML report on the disk.
//
// Input: a 4-byte knob (varies the searched times and the picture area's
// first sector; with its top three bits set the wide picture search runs
// too; with bit 28 set the report is gathered and rendered), then segments, each a
// little-endian u32 sector and u16 length followed by that many bytes placed
// at that sector of an otherwise zeroed disk. Sectors are taken modulo the
// disk's size, so every segment lands somewhere.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "brinlib_internal.h"
#include "disk_exercise.h"
#include "exporter/report.h"
#include "exporter/scan.h"
#include "velmora/drive.h"

namespace {

// Large enough for the three management copies and data behind them.
constexpr uint64_t kDiskSectors = 1u << 21;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint32_t knob = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
  std::vector<vp::Drive::Extent> extents;
  size_t pos = 4;
  while (pos + 6 <= size && extents.size() < 256) {
    const uint32_t sector =
        data[pos] | (data[pos + 1] << 8) | (data[pos + 2] << 16) | (static_cast<uint32_t>(data[pos + 3]) << 24);
    size_t length = data[pos + 4] | (data[pos + 5] << 8);
    pos += 6;
    if (length > size - pos) length = size - pos;
    vp::Drive::Extent e;
    e.offset = (sector % kDiskSectors) * brin::disk::kSectorBytes;
    e.bytes.assign(data + pos, data + pos + length);
    extents.push_back(std::move(e));
    pos += length;
  }
  brin::disk::drive().open_memory(std::move(extents), kDiskSectors * brin::disk::kSectorBytes);
  std::string broken = diskexercise::exercise_disk(knob, 64, 3, 1024, (knob >> 29) == 7);
  // The scan that does not trust the index, and the reading of what it
  // found outside the index.
  const exporter::ScanResult scan = exporter::scan_disk();
  if (!scan.ok || scan.listed + scan.unindexed + scan.damaged != scan.gops.size()) broken = "the scan's counts";
  const auto recovered = exporter::open_recovered(scan, 0, UINT32_MAX);
  exporter::SourceGop gop;
  for (int i = 0; i < 64 && recovered->next(&gop) > 0; ++i) {
    if (gop.frames.size() > brin::disk::kFrameBufferBytes) broken = "a recovered GOP larger than a chunk";
  }
  // The report reads the whole disk once more (and decodes the runs' first
  // pictures), so only some inputs make one.
  if ((knob >> 28) & 1) {
    exporter::ReportOptions options;
    options.source = "fuzzed disk";
    const std::string html = exporter::render_report_html(exporter::gather_report(options));
    if (html.find("</html>") == std::string::npos) broken = "the report";
  }
  brin::disk::drive().close();
  if (!broken.empty()) {
    std::fprintf(stderr, "disk reader broke its interface: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
