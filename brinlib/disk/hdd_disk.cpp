// The attached disk: the process-wide drive handle, the sector reader, the
// drive probe and the settings sector.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "brinlib.h"
#include "common/guard.h"
#include "disk/hdd.h"

namespace brin::disk {
namespace {

constexpr int kDrives = 10;
constexpr uint64_t kMaxReadBytes = 0x7FFFFFFF;

// The sector-aligned buffer behind read_bytes, kept per thread so that the
// playback and copy threads never share one.
std::vector<uint8_t>& work_buffer(size_t bytes) {
  thread_local std::vector<uint8_t> buffer;
  if (buffer.size() < bytes) buffer.resize(bytes);
  return buffer;
}

}  // namespace

vp::Drive& drive() {
  static vp::Drive d;
  return d;
}

int read_sectors(int32_t sector, int64_t count, uint8_t* dest) {
  if (sector < 0 || count < 0) return vp::kDriveSeekFailed;
  if (count == 0) return 0;
  if (!dest) return vp::kDriveReadFailed;
  const uint64_t offset = static_cast<uint64_t>(sector) * kSectorBytes;
  const uint64_t bytes = static_cast<uint64_t>(count) * kSectorBytes;
  if (bytes > SIZE_MAX) return vp::kDriveSeekFailed;
  return drive().read_at(offset, dest, static_cast<size_t>(bytes));
}

int read_bytes(int32_t sector, uint64_t n, uint8_t* dest) {
  if (n > kMaxReadBytes) return -1;
  if (n == 0) return sector < 0 ? -1 : 0;
  const uint64_t sectors = (n + kSectorBytes - 1) / kSectorBytes;
  std::vector<uint8_t>& work = work_buffer(static_cast<size_t>(sectors * kSectorBytes));
  const int r = read_sectors(sector, static_cast<int64_t>(sectors), work.data());
  if (r != 0) return r;
  std::memcpy(dest, work.data(), static_cast<size_t>(n));
  return 0;
}

int check_geometry(const vp::DriveGeometry& g) {
  if (g.media_type != vp::kMediaFixed) return -3;
  if (g.bytes_per_sector != 512) return -4;
  if (g.tracks_per_cylinder != 255) return -4;
  if (g.sectors_per_track != 63) return -4;
  return 0;
}

namespace {

// The geometry of an open drive: 0 when it is the recorder's, else the
// probe's refusal (-2 the query failed, -3 not a fixed disk, -4 other).
int recorder_geometry(const vp::Drive& d, vp::DriveGeometry* g) {
  if (!d.geometry(g)) return -2;
  return check_geometry(*g);
}

}  // namespace

}  // namespace brin::disk

using namespace brin::disk;

extern "C" {

int32_t hdd_get(int32_t n) {
  return brin::guarded(-1, [&]() -> int32_t {
    vp::Drive& d = drive();
    d.close();
    if (n < 0 || n >= kDrives || !d.open(n)) return -1;
    vp::DriveGeometry g;
    if (const int refused = recorder_geometry(d, &g)) {
      d.close();
      return refused;
    }
    const auto cylinders = static_cast<int32_t>(static_cast<uint32_t>(g.cylinders));
    vp::debug_printf("Cylinders = %d\n", cylinders);
    d.close();
    return cylinders;
  });
}

int32_t hdd_open(int32_t n) {
  return brin::guarded(-1, [&]() -> int32_t {
    if (n < 0 || n >= kDrives) return -1;
    return drive().open(n) ? 0 : -1;
  });
}

int32_t hdd_open_path(const char* path) {
  return brin::guarded(-1, [&]() -> int32_t {
    if (!path || !*path) return -1;
    // Only a file or a disk is opened at all: opening a pipe or a terminal
    // the user named could wait for ever.
    struct stat st;
    if (::stat(path, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) return -1;
    // The file is looked at through a handle of its own first, so that a
    // refused one leaves the disk that was open untouched.
    vp::Drive probe;
    if (!probe.open_path(path)) return -1;
    vp::DriveGeometry g;
    if (recorder_geometry(probe, &g) != 0) return -1;
    if (g.size_bytes < static_cast<uint64_t>(kDataStartSector) * kSectorBytes) return -1;
    probe.close();
    return drive().open_path(path) ? 0 : -1;
  });
}

int32_t hdd_close(void) {
  return brin::guarded(0, [&]() -> int32_t { return drive().close() ? 1 : 0; });
}

int32_t hdd_read(int32_t first_sector, int32_t count, uint8_t* buffer) {
  return brin::guarded(-2, [&]() -> int32_t { return read_sectors(first_sector, count, buffer); });
}

int32_t get_start_time(uint32_t* values) {
  return brin::guarded(0, [&]() -> int32_t {
    uint8_t sector[kSectorBytes];
    if (values && read_sectors(0, 1, sector) == 0) std::memcpy(values, sector, sizeof sector);
    return 0;
  });
}

int32_t hdd_read_hdsw(uint32_t* values) {
  return brin::guarded(-2, [&]() -> int32_t {
    uint8_t sector[kSectorBytes];
    const int r = read_sectors(0, 1, sector);
    if (r != 0) return r;
    if (!values) return -2;
    for (int i = 0; i < 128; ++i) {
      const uint8_t* w = sector + 4 * i;
      const uint32_t high = static_cast<uint32_t>(w[0] | (w[1] << 8));
      const uint32_t low = static_cast<uint32_t>(w[2] | (w[3] << 8));
      values[i] = (high << 16) | low;
    }
    return 0;
  });
}

}  // extern "C"
