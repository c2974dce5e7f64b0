// Raw drives: a recorder's hard disk attached to the PC, read sector by sector
// without a file system, or an image of such a disk.
//
// Drive N is the path in the environment variable VELMORA_DRIVE<N> when it is
// set (a block device or a disk image file); otherwise the N-th whole disk of
// /sys/block (physical disks only, ordered by name length, then name).
//
// A drive is only ever opened read-only: nothing here can change a disk or an
// image, which investigators must keep exactly as it was found.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

// Media types as the disk-geometry query reports them.
inline constexpr int kMediaRemovable = 11;
inline constexpr int kMediaFixed = 12;

// The geometry of an image file: 512-byte sectors, 255 tracks per cylinder,
// 63 sectors per track, fixed media.
inline constexpr uint32_t kImageBytesPerSector = 512;
inline constexpr uint32_t kImageTracksPerCylinder = 255;
inline constexpr uint32_t kImageSectorsPerTrack = 63;

struct DriveGeometry {
  uint64_t cylinders = 0;  // size / (tracks x sectors x bytes per sector)
  int media_type = 0;      // kMediaFixed or kMediaRemovable
  uint32_t tracks_per_cylinder = 0;
  uint32_t sectors_per_track = 0;
  uint32_t bytes_per_sector = 0;
  uint64_t size_bytes = 0;
};

// Results of Drive::read_at.
inline constexpr int kDriveReadOk = 0;
inline constexpr int kDriveSeekFailed = -1;  // the range lies outside the drive
inline constexpr int kDriveReadFailed = -2;  // the device reported an error or ended early

// The path of drive n, or "" when there is no such drive.
std::string drive_path(int n);

class Drive {
 public:
  Drive() = default;
  ~Drive();
  Drive(const Drive&) = delete;
  Drive& operator=(const Drive&) = delete;

  // Opens drive n (drive_path) or a path, read-only. Closes what was open.
  bool open(int n);
  bool open_path(const std::string& path);
  // A drive held in memory instead of a device: the given extents (byte
  // offset, bytes) over zeros, size_bytes in all, with the image geometry.
  // Where extents overlap, the later one's bytes are read.
  // Lets the fuzz targets feed disk contents to the readers without files.
  struct Extent {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
  };
  void open_memory(std::vector<Extent> extents, uint64_t size_bytes);
  bool is_open() const;
  // True when a drive was open and closed cleanly.
  bool close();

  // The geometry: block devices through their ioctls, image files with the
  // fixed image geometry. False when the query fails (or nothing is open).
  bool geometry(DriveGeometry* out) const;

  // Reads n bytes at a byte offset. A range that does not lie wholly inside
  // the drive is refused before anything is read (kDriveSeekFailed); a device
  // error or an early end gives kDriveReadFailed, and then buf may hold part
  // of the data.
  int read_at(uint64_t offset, void* buf, size_t n);

  // The file status flags of the open descriptor (fcntl F_GETFL), -1 when
  // closed: lets tests check that the access mode is read-only.
  int status_flags() const;

  // The first offset at or after `offset` that may hold data: an image
  // file's holes (never written, so all zeros) and the zeros between the
  // pieces of a drive in memory are passed over; a device has none.
  // size_bytes when nothing follows.
  uint64_t next_data(uint64_t offset) const;
  // Where the data that starts at or holds `offset` ends: the next hole, or
  // size_bytes.
  uint64_t next_hole(uint64_t offset) const;

  // Makes reads that touch bytes [from, to) fail as a device error does
  // (kDriveReadFailed): the first `times` such reads, or all of them when
  // times is negative. No disk at hand has bad sectors on demand; this lets
  // tests show how they are handled. An empty range ends it.
  void fail_reads_for_testing(uint64_t from, uint64_t to, int times = -1);

 private:
  bool refresh_size();
  bool open_locked() const { return fd_ >= 0 || memory_; }
  void close_locked(bool* clean);

  // One drive is read by several threads at once (playback, copy) while the
  // controls may close or reopen it: reads share the lock, opening and
  // closing take it alone, so a descriptor is never closed under a read.
  mutable std::shared_mutex lock_;
  int fd_ = -1;
  bool memory_ = false;
  std::vector<Extent> extents_;
  bool block_device_ = false;
  bool regular_file_ = false;
  std::atomic<uint64_t> size_{0};
  std::atomic<uint64_t> fail_from_{0}, fail_to_{0};
  std::atomic<int> fail_times_{0};
};

VP_NAMESPACE_END
