// A scan of a recorder disk's recorded data that does not trust the index:
// every GOP table is found by its own structure, each of its GOPs checked
// by its frame headers, and the result compared with what the index names.
// Recordings the index no longer points to (a wrapped ring, a damaged
// management copy) are found this way and grouped into runs.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "exporter/exporter.h"

namespace exporter {

enum class GopState {
  kListed,     // the index names it
  kUnindexed,  // whole, but the index no longer names it
  kDamaged,    // its entry or its frames cannot be used
};

struct ScannedGop {
  uint32_t table_sector = 0;
  int entry = 0;  // 0 to 39 in its table
  vp::RecTime time;
  uint32_t chunk_sector = 0;
  uint32_t bytes = 0;
  uint16_t cameras = 0;  // bit c: camera c + 1 has pictures in it
  GopState state = GopState::kDamaged;
  std::string reason;  // why it is damaged
};

// Unindexed GOPs of one camera without a break of more than two seconds.
struct RecoveredRun {
  int camera = 0;  // 1 to 16
  UnixSeconds start = 0, end = 0;
  size_t gops = 0;
};

struct ScanResult {
  bool ok = false;
  std::string error;
  uint64_t bytes_scanned = 0;     // read (holes of an image file are passed over)
  uint64_t unreadable_bytes = 0;  // pieces the drive would not give
  size_t tables = 0;              // GOP tables found
  std::vector<ScannedGop> gops;   // in disk order
  size_t listed = 0, unindexed = 0, damaged = 0;
  // GOP tables the index names where the scan found none.
  size_t indexed_tables_missing = 0;
  std::vector<RecoveredRun> recovered;
};

// One record of the index, as the readers take it.
struct IndexedRecord {
  int block = 0;
  int record = 0;
  vp::RecTime time;
  uint32_t gop_sector = 0;  // where its GOP table lies
  int gop_count = 0;
};

// Reads the index of the disk opened through the library afresh (which
// moves the playback position to the oldest record) and calls visit for
// every valid record, oldest block first, in the order they were written.
// visit must not use the disk itself.
void for_each_index_record(const std::function<void(const IndexedRecord&)>& visit);

// The frames of a GOP the scan found, read from its chunk as the disk's
// readers read one; false (and no frames) when the chunk cannot be read or
// its frames do not hold together.
bool read_scanned_gop(const ScannedGop& gop, std::vector<uint8_t>* frames);

// The unindexed GOPs of a scan from `from` to `to` (RecSeconds), oldest
// first, read from the disk open through the library: a source for
// export_video whose GOPs the custody record marks as recovered.
std::unique_ptr<GopSource> open_recovered(const ScanResult& scan, uint32_t from, uint32_t to);

// Scans the disk opened through the library (hdd_open); its index is read
// afresh, which moves the playback position to the oldest record. progress
// gets 0 to 100 as the scan moves through the disk.
ScanResult scan_disk(const std::function<void(int percent)>& progress = {});

}  // namespace exporter
