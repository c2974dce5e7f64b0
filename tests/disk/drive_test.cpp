// The raw drive layer and the drive probe: read-only opening, image
// geometry, reads that would leave the drive, and the probe's refusals.
#include "velmora/drive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

#include "disk_fixture.h"

namespace disktest {
namespace {

using namespace brin::disk;

class DriveTest : public DiskTest {
 protected:
  std::string make_file(const std::string& name, uint64_t bytes) {
    const std::string p = dir_.file(name);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
    const char tail[] = "END!";
    if (bytes >= 4) {
      EXPECT_EQ(::pwrite(fd, tail, 4, static_cast<off_t>(bytes - 4)), 4);
    }
    ::close(fd);
    return p;
  }
};

TEST_F(DriveTest, DrivesAreOpenedReadOnly) {
  const std::string p = make_file("image", 1 << 20);
  struct stat before;
  ASSERT_EQ(::stat(p.c_str(), &before), 0);
  setenv("VELMORA_DRIVE0", p.c_str(), 1);
  vp::Drive d;
  ASSERT_TRUE(d.open(0));
  EXPECT_EQ(d.status_flags() & O_ACCMODE, O_RDONLY);
  // The library's own handle, opened by the exported functions, too.
  ASSERT_EQ(hdd_open(0), 0);
  EXPECT_EQ(drive().status_flags() & O_ACCMODE, O_RDONLY);
  uint8_t sector[512];
  EXPECT_EQ(hdd_read(0, 1, sector), 0);
  EXPECT_EQ(first_section_play(), 0);
  EXPECT_NE(hdd_close(), 0);
  EXPECT_EQ(hdd_close(), 0);  // nothing open any more
  struct stat after;
  ASSERT_EQ(::stat(p.c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(DriveTest, ImageFilesHaveTheFixedGeometry) {
  const uint64_t cylinder = 255ull * 63 * 512;
  const std::string p = make_file("image", cylinder * 3 + 1000);
  vp::Drive d;
  ASSERT_TRUE(d.open_path(p));
  vp::DriveGeometry g;
  ASSERT_TRUE(d.geometry(&g));
  EXPECT_EQ(g.cylinders, 3u);
  EXPECT_EQ(g.bytes_per_sector, 512u);
  EXPECT_EQ(g.tracks_per_cylinder, 255u);
  EXPECT_EQ(g.sectors_per_track, 63u);
  EXPECT_EQ(g.media_type, vp::kMediaFixed);
  EXPECT_EQ(check_geometry(g), 0);
  // A folder is no drive.
  ASSERT_TRUE(d.open_path(dir_.path()));
  EXPECT_FALSE(d.geometry(&g));
}

TEST_F(DriveTest, ReadsLeavingTheDriveAreRefused) {
  const std::string p = make_file("image", 4096);
  vp::Drive d;
  ASSERT_TRUE(d.open_path(p));
  uint8_t buf[1024];
  EXPECT_EQ(d.read_at(4092, buf, 4), vp::kDriveReadOk);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "END!");
  EXPECT_EQ(d.read_at(4093, buf, 4), vp::kDriveSeekFailed);
  EXPECT_EQ(d.read_at(8192, buf, 1), vp::kDriveSeekFailed);
  EXPECT_EQ(d.read_at(UINT64_MAX - 2, buf, 8), vp::kDriveSeekFailed);
  // An image that grows is followed.
  make_file("image", 8192);
  EXPECT_EQ(d.read_at(8188, buf, 4), vp::kDriveReadOk);

  setenv("VELMORA_DRIVE0", p.c_str(), 1);
  ASSERT_EQ(hdd_open(0), 0);
  EXPECT_EQ(hdd_read(15, 1, buf), 0);
  EXPECT_EQ(hdd_read(16, 1, buf), -1);
  EXPECT_EQ(hdd_read(15, 2, buf), -1);
  EXPECT_EQ(hdd_read(-1, 1, buf), -1);
  EXPECT_EQ(hdd_read(0, -1, buf), -1);
  EXPECT_EQ(read_bytes(0, 0x80000000ull, buf), -1);
}

TEST_F(DriveTest, MemoryDrivesReadAsTheirExtentsLaidOverZeros) {
  // Extents that overlap, nest, touch and repeat, each filled with its own
  // number; the reference lays them over a zeroed array one after another.
  constexpr uint64_t kSize = 4096;
  const std::pair<uint64_t, size_t> spans[] = {{100, 200}, {150, 20}, {50, 100},  {290, 300},   {590, 10},
                                               {0, 10},    {120, 0},  {100, 200}, {3000, 1200}, {4090, 6}};
  std::vector<uint8_t> expected(kSize + 2000, 0);
  std::vector<vp::Drive::Extent> extents;
  uint8_t fill = 1;
  for (const auto& [offset, length] : spans) {
    vp::Drive::Extent e;
    e.offset = offset;
    e.bytes.assign(length, fill);
    // The reused extent at 100 holds a pattern, so that a piece cut from the
    // wrong place shows.
    if (offset == 100) {
      for (size_t i = 0; i < length; ++i) e.bytes[i] = static_cast<uint8_t>(fill + i);
    }
    std::copy(e.bytes.begin(), e.bytes.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset));
    extents.push_back(std::move(e));
    ++fill;
  }
  vp::Drive d;
  d.open_memory(std::move(extents), kSize);
  std::vector<uint8_t> got(kSize);
  for (uint64_t from : {0, 1, 99, 100, 149, 170, 299, 590, 600, 2999, 4000}) {
    for (size_t n : {1, 7, 64, 513, 4096}) {
      if (from + n > kSize) {
        EXPECT_EQ(d.read_at(from, got.data(), n), vp::kDriveSeekFailed);
        continue;
      }
      std::fill(got.begin(), got.end(), 0xEE);
      ASSERT_EQ(d.read_at(from, got.data(), n), vp::kDriveReadOk);
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(n),
                             expected.begin() + static_cast<std::ptrdiff_t>(from)))
          << "read of " << n << " bytes at " << from;
    }
  }
}

TEST_F(DriveTest, ClosingWhileOtherThreadsReadIsSafe) {
  // Playback and copy threads read while the controls close and reopen the
  // drive: each read either gets the right bytes or finds nothing open.
  const std::string p = make_file("image", 1 << 16);
  vp::Drive d;
  ASSERT_TRUE(d.open_path(p));
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0}, good{0}, closed{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      char buf[4];
      while (!stop.load()) {
        const int r = d.read_at((1 << 16) - 4, buf, 4);
        if (r == vp::kDriveReadOk && std::string(buf, 4) == "END!") {
          good.fetch_add(1);
        } else if (r == vp::kDriveSeekFailed) {
          closed.fetch_add(1);
        } else {
          wrong.fetch_add(1);
        }
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    d.close();
    std::this_thread::yield();
    ASSERT_TRUE(d.open_path(p));
    std::this_thread::yield();
  }
  stop.store(true);
  for (auto& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(good.load(), 0);
}

TEST_F(DriveTest, ProbeRefusalsInOrder) {
  vp::DriveGeometry g;
  g.media_type = vp::kMediaFixed;
  g.bytes_per_sector = 512;
  g.tracks_per_cylinder = 255;
  g.sectors_per_track = 63;
  EXPECT_EQ(check_geometry(g), 0);
  vp::DriveGeometry big = g;
  big.bytes_per_sector = 4096;
  EXPECT_EQ(check_geometry(big), -4);
  vp::DriveGeometry removable = g;
  removable.media_type = vp::kMediaRemovable;
  EXPECT_EQ(check_geometry(removable), -3);
  removable.bytes_per_sector = 4096;
  EXPECT_EQ(check_geometry(removable), -3);  // media first
  vp::DriveGeometry other = g;
  other.media_type = 0;
  EXPECT_EQ(check_geometry(other), -3);
  vp::DriveGeometry heads = g;
  heads.tracks_per_cylinder = 16;
  EXPECT_EQ(check_geometry(heads), -4);
  vp::DriveGeometry spt = g;
  spt.sectors_per_track = 32;
  EXPECT_EQ(check_geometry(spt), -4);
}

TEST_F(DriveTest, ProbeReportsCylindersAndLeavesTheDriveClosed) {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 1)));
  attach(s);  // drive 0 open
  EXPECT_EQ(hdd_get(0), 3010);
  uint8_t sector[512];
  EXPECT_EQ(hdd_read(0, 1, sector), -1);  // the probe closed the disk

  setenv("VELMORA_DRIVE1", dir_.path().c_str(), 1);
  EXPECT_EQ(hdd_get(1), -2);
  setenv("VELMORA_DRIVE1", dir_.file("missing").c_str(), 1);
  EXPECT_EQ(hdd_get(1), -1);
  EXPECT_EQ(hdd_open(1), -1);
  unsetenv("VELMORA_DRIVE1");
  EXPECT_EQ(hdd_get(10), -1);
  EXPECT_EQ(hdd_get(-1), -1);
  EXPECT_EQ(hdd_open(10), -1);
}

TEST_F(DriveTest, AnImageIsOpenedByItsPathAndARefusalKeepsTheOpenDisk) {
  zebdisk::DiskSpec one = small_spec();
  one.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 2)));
  attach(one);  // drive 0 open: one recording
  zebdisk::DiskSpec three = small_spec();
  for (int i = 0; i < 3; ++i) three.runs.push_back(run(T(2024, 6, 2, 8, i, 0), T(2024, 6, 2, 8, i, 2)));
  const std::string image = dir_.file("three.img");
  zebdisk::Manifest manifest;
  std::string error;
  ASSERT_TRUE(zebdisk::write_disk(three, image, &manifest, &error)) << error;
  const auto recordings = [] {
    int32_t count = -1, oldest = -1;
    if (first_section_play() != 0 || get_rec_list(&count, &oldest) != 0) return -1;
    return static_cast<int>(count);
  };

  ASSERT_EQ(hdd_open_path(image.c_str()), 0);
  EXPECT_EQ(drive().status_flags() & O_ACCMODE, O_RDONLY);
  EXPECT_EQ(recordings(), 3);

  // Refusals: no path, nothing there, a folder, a pipe (opening one would
  // wait for a writer), and a file too small to be a recorder disk.
  const std::string fifo = dir_.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string small = make_file("small.img", 1 << 20);
  for (const char* refused : {static_cast<const char*>(nullptr), "", "/nonexistent/disk.img", dir_.path().c_str(),
                              fifo.c_str(), small.c_str()}) {
    EXPECT_EQ(hdd_open_path(refused), -1) << (refused ? refused : "(null)");
    // The image opened before is still the one read.
    EXPECT_EQ(recordings(), 3) << (refused ? refused : "(null)");
  }

  // With nothing open, a refusal leaves nothing open.
  EXPECT_NE(hdd_close(), 0);
  EXPECT_EQ(hdd_open_path(small.c_str()), -1);
  uint8_t sector[512];
  EXPECT_EQ(hdd_read(0, 1, sector), -1);
  // The numbered drives work as before beside it.
  ASSERT_EQ(hdd_open(0), 0);
  EXPECT_EQ(recordings(), 1);
}

TEST(DrivePath, EnvironmentFirstThenPhysicalDisks) {
  setenv("VELMORA_DRIVE7", "/some/image", 1);
  EXPECT_EQ(vp::drive_path(7), "/some/image");
  unsetenv("VELMORA_DRIVE7");
  const std::string p = vp::drive_path(7);
  EXPECT_TRUE(p.empty() || p.rfind("/dev/", 0) == 0) << p;
  EXPECT_EQ(vp::drive_path(-1), "");
}

}  // namespace
}  // namespace disktest
