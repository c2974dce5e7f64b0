#include "velmora/drive.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

VP_NAMESPACE_BEGIN
namespace {

// The only flags a drive is ever opened with: read access, never inherited
// by child processes, never made the controlling terminal.
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY;

// Whole physical disks of /sys/block: virtual devices (loop, ram, zram,
// device-mapper, md) have no "device" link there.
std::vector<std::string> physical_disks() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block", ec)) {
    std::error_code link_ec;
    if (!std::filesystem::exists(entry.path() / "device", link_ec)) continue;
    names.push_back(entry.path().filename().string());
  }
  // Kernel names grow in length as disks are added (sdz, then sdaa), so
  // shorter names come first.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return names;
}

// 1 when the sysfs "removable" attribute of the device (or of the disk that
// holds the partition) says so.
bool device_is_removable(dev_t dev) {
  char base[64];
  std::snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(dev), minor(dev));
  for (const char* rel : {"/removable", "/../removable"}) {
    std::ifstream in(std::string(base) + rel);
    int value = 0;
    if (in >> value) return value != 0;
  }
  return false;
}

}  // namespace

std::string drive_path(int n) {
  if (n < 0) return "";
  char name[32];
  std::snprintf(name, sizeof name, "VELMORA_DRIVE%d", n);
  if (const char* path = std::getenv(name)) return path;
  const std::vector<std::string> disks = physical_disks();
  if (static_cast<size_t>(n) >= disks.size()) return "";
  return "/dev/" + disks[static_cast<size_t>(n)];
}

Drive::~Drive() { close(); }

bool Drive::is_open() const {
  std::shared_lock<std::shared_mutex> g(lock_);
  return open_locked();
}

bool Drive::open(int n) {
  const std::string path = drive_path(n);
  if (path.empty()) {
    close();
    return false;
  }
  return open_path(path);
}

bool Drive::open_path(const std::string& path) {
  std::unique_lock<std::shared_mutex> g(lock_);
  close_locked(nullptr);
  const int fd = ::open(path.c_str(), kOpenFlags);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  block_device_ = S_ISBLK(st.st_mode);
  regular_file_ = S_ISREG(st.st_mode);
  size_ = 0;
  refresh_size();
  return true;
}

namespace {

// The extents laid out once as sorted pieces that do not overlap, a later
// extent's bytes taking the place of an earlier one's where they overlap:
// a read then finds its pieces by a binary search and zero-fills only the
// gaps between them.
std::vector<Drive::Extent> lay_out(std::vector<Drive::Extent> extents) {
  std::map<uint64_t, std::vector<uint8_t>> pieces;
  for (Drive::Extent& e : extents) {
    // Bytes that would lie past the largest offset cannot be read anyway.
    if (e.bytes.size() > UINT64_MAX - e.offset) e.bytes.resize(static_cast<size_t>(UINT64_MAX - e.offset));
    if (e.bytes.empty()) continue;
    const uint64_t from = e.offset, to = e.offset + e.bytes.size();
    auto it = pieces.lower_bound(from);
    if (it != pieces.begin()) {
      const auto before = std::prev(it);
      if (before->first + before->second.size() > from) it = before;
    }
    // Every piece the extent touches gives up the part it covers.
    while (it != pieces.end() && it->first < to) {
      const uint64_t start = it->first, end = start + it->second.size();
      std::vector<uint8_t> bytes = std::move(it->second);
      it = pieces.erase(it);
      if (start < from) pieces.emplace(start, std::vector<uint8_t>(bytes.begin(), bytes.begin() + (from - start)));
      if (end > to) pieces.emplace(to, std::vector<uint8_t>(bytes.begin() + (to - start), bytes.end()));
    }
    pieces.emplace(from, std::move(e.bytes));
  }
  std::vector<Drive::Extent> out;
  out.reserve(pieces.size());
  for (auto& [offset, bytes] : pieces) out.push_back(Drive::Extent{offset, std::move(bytes)});
  return out;
}

}  // namespace

void Drive::open_memory(std::vector<Extent> extents, uint64_t size_bytes) {
  std::vector<Extent> pieces = lay_out(std::move(extents));
  std::unique_lock<std::shared_mutex> g(lock_);
  close_locked(nullptr);
  memory_ = true;
  extents_ = std::move(pieces);
  size_ = size_bytes;
}

bool Drive::close() {
  std::unique_lock<std::shared_mutex> g(lock_);
  bool clean = false;
  close_locked(&clean);
  return clean;
}

void Drive::close_locked(bool* clean) {
  if (memory_) {
    memory_ = false;
    extents_.clear();
    size_ = 0;
    if (clean) *clean = true;
    return;
  }
  if (fd_ < 0) return;
  const int r = ::close(fd_);
  fd_ = -1;
  size_ = 0;
  block_device_ = regular_file_ = false;
  if (clean) *clean = r == 0;
}

bool Drive::refresh_size() {
  if (fd_ < 0) return false;
  if (block_device_) {
    uint64_t bytes = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) return false;
    size_ = bytes;
    return true;
  }
  if (regular_file_) {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return false;
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
  }
  return false;
}

bool Drive::geometry(DriveGeometry* out) const {
  std::shared_lock<std::shared_mutex> g_lock(lock_);
  if (!open_locked() || !out) return false;
  DriveGeometry g;
  if (regular_file_ || memory_) {
    struct stat st;
    if (memory_) {
      g.size_bytes = size_;
    } else if (::fstat(fd_, &st) != 0) {
      return false;
    } else {
      g.size_bytes = static_cast<uint64_t>(st.st_size);
    }
    g.bytes_per_sector = kImageBytesPerSector;
    g.tracks_per_cylinder = kImageTracksPerCylinder;
    g.sectors_per_track = kImageSectorsPerTrack;
    g.media_type = kMediaFixed;
  } else if (block_device_) {
    uint64_t bytes = 0;
    int sector_bytes = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0 || ::ioctl(fd_, BLKSSZGET, &sector_bytes) != 0 || sector_bytes <= 0)
      return false;
    g.size_bytes = bytes;
    g.bytes_per_sector = static_cast<uint32_t>(sector_bytes);
    hd_geometry hd{};
    if (::ioctl(fd_, HDIO_GETGEO, &hd) == 0 && hd.heads != 0 && hd.sectors != 0) {
      g.tracks_per_cylinder = hd.heads;
      g.sectors_per_track = hd.sectors;
    } else if (errno == ENOTTY || errno == EINVAL) {
      // Devices without a geometry of their own (loop devices, for one) are
      // given the usual translation of large disks.
      g.tracks_per_cylinder = kImageTracksPerCylinder;
      g.sectors_per_track = kImageSectorsPerTrack;
    } else {
      return false;
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) return false;
    g.media_type = device_is_removable(st.st_rdev) ? kMediaRemovable : kMediaFixed;
  } else {
    return false;  // neither a disk nor an image file
  }
  const uint64_t cylinder_bytes =
      static_cast<uint64_t>(g.tracks_per_cylinder) * g.sectors_per_track * g.bytes_per_sector;
  g.cylinders = cylinder_bytes ? g.size_bytes / cylinder_bytes : 0;
  *out = g;
  return true;
}

void Drive::fail_reads_for_testing(uint64_t from, uint64_t to, int times) {
  fail_times_ = times;
  fail_from_ = from;
  fail_to_ = to;
}

int Drive::read_at(uint64_t offset, void* buf, size_t n) {
  std::shared_lock<std::shared_mutex> g(lock_);
  if (!open_locked()) return kDriveSeekFailed;
  if (n == 0) return kDriveReadOk;
  const auto fits = [&] {
    const uint64_t size = size_.load();
    return offset <= size && n <= size - offset;
  };
  if (offset < fail_to_.load() && offset + n > fail_from_.load() && fits()) {
    int times = fail_times_.load();
    while (times != 0 && !fail_times_.compare_exchange_weak(times, times > 0 ? times - 1 : times)) {
    }
    if (times != 0) return kDriveReadFailed;
  }
  if (memory_) {
    if (!fits()) return kDriveSeekFailed;
    auto* p = static_cast<uint8_t*>(buf);
    const uint64_t end = offset + n;
    // The first piece that ends after the offset; the pieces are sorted and
    // disjoint, so their ends are sorted too.
    auto it = std::partition_point(extents_.begin(), extents_.end(),
                                   [&](const Extent& e) { return e.offset + e.bytes.size() <= offset; });
    uint64_t at = offset;  // everything before it is filled
    for (; it != extents_.end() && it->offset < end; ++it) {
      const uint64_t from = std::max(offset, it->offset);
      const uint64_t to = std::min(end, it->offset + it->bytes.size());
      if (from > at) std::memset(p + (at - offset), 0, from - at);
      std::memcpy(p + (from - offset), it->bytes.data() + (from - it->offset), to - from);
      at = to;
    }
    if (at < end) std::memset(p + (at - offset), 0, end - at);
    return kDriveReadOk;
  }
  // An image may have grown since it was opened; look again before refusing.
  if (!fits() && !(refresh_size() && fits())) return kDriveSeekFailed;
  if (offset > static_cast<uint64_t>(INT64_MAX) - n) return kDriveSeekFailed;
  auto* p = static_cast<uint8_t*>(buf);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return kDriveReadFailed;
    }
    if (r == 0) return kDriveReadFailed;
    done += static_cast<size_t>(r);
  }
  return kDriveReadOk;
}

uint64_t Drive::next_data(uint64_t offset) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  const uint64_t size = size_.load();
  if (offset >= size) return size;
  if (memory_) {
    // Between the pieces held in memory there are only zeros.
    const auto it = std::partition_point(extents_.begin(), extents_.end(),
                                         [&](const Extent& e) { return e.offset + e.bytes.size() <= offset; });
    return it == extents_.end() ? size : std::max(offset, it->offset);
  }
  if (!regular_file_ || fd_ < 0) return offset;
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (at >= 0) return std::min<uint64_t>(static_cast<uint64_t>(at), size);
  return errno == ENXIO ? size : offset;  // ENXIO: only a hole follows
}

uint64_t Drive::next_hole(uint64_t offset) const {
  std::shared_lock<std::shared_mutex> g(lock_);
  const uint64_t size = size_.load();
  if (offset >= size) return size;
  if (memory_) {
    auto it = std::partition_point(extents_.begin(), extents_.end(),
                                   [&](const Extent& e) { return e.offset + e.bytes.size() <= offset; });
    if (it == extents_.end() || it->offset > offset) return offset;  // a hole already
    // Pieces that touch run on as one.
    uint64_t end = it->offset + it->bytes.size();
    for (++it; it != extents_.end() && it->offset <= end; ++it) end = std::max(end, it->offset + it->bytes.size());
    return std::min(end, size);
  }
  if (!regular_file_ || fd_ < 0) return size;
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_HOLE);
  return at >= 0 ? std::min<uint64_t>(static_cast<uint64_t>(at), size) : size;
}

int Drive::status_flags() const {
  std::shared_lock<std::shared_mutex> g(lock_);
  if (memory_) return O_RDONLY;
  return fd_ < 0 ? -1 : ::fcntl(fd_, F_GETFL);
}

VP_NAMESPACE_END
