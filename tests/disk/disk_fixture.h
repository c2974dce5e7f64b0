// Recorder disk images for the reader tests: written with the image writer
// into a temporary folder, attached as drive 0, and the frames a reader should
// return worked out from the writer's manifest.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "disk_specs.h"
#include "testing.h"
#include "zebdisk/disk_image.h"
#include "zebsim/packets.h"

namespace disktest {

using zebdisk::RecTime;

using velmora::testing::run;
using velmora::testing::S;
using velmora::testing::small_spec;
using velmora::testing::T;

// One GOP as a reader returns it.
struct ReadGop {
  int result = 0;
  std::vector<uint8_t> bytes;
};

// What a frame reader should return, in order, when it plays the whole disk
// forward: the GOPs of every record it lands on, without damaged entries.
// Records that are no stepping target (damaged, flags 0) are passed over,
// except the oldest, where playback starts.
inline std::vector<const zebdisk::GopInfo*> expected_gops(const zebdisk::Manifest& m) {
  std::vector<const zebdisk::GopInfo*> out;
  for (size_t i = 0; i < m.records.size(); ++i) {
    const zebdisk::RecordInfo& r = m.records[i];
    if (r.bad || r.table_lost) continue;
    if (i > 0 && (r.flags & 0x0F) == 0) continue;
    const size_t n = std::min<size_t>(r.gops.size(), static_cast<size_t>(std::min(r.gop_count, 40)));
    for (size_t g = 0; g < n; ++g)
      if (!r.gops[g].bad_entry) out.push_back(&r.gops[g]);
  }
  return out;
}

class DiskTest : public ::testing::Test {
 protected:
  void TearDown() override {
    hdd_close();
    unsetenv("VELMORA_DRIVE0");
  }

  // Writes the image, attaches it as drive 0 and loads its index.
  void attach(const zebdisk::DiskSpec& spec, bool load = true) {
    path_ = dir_.file("disk.img");
    std::string error;
    ASSERT_TRUE(zebdisk::write_disk(spec, path_, &manifest_, &error)) << error;
    setenv("VELMORA_DRIVE0", path_.c_str(), 1);
    ASSERT_EQ(hdd_open(0), 0);
    if (load) {
      ASSERT_EQ(first_section_play(), 0);
    }
  }

  // Reads with `reader` until it reports no further data (at most limit
  // GOPs); returns the GOPs read.
  template <typename Reader>
  std::vector<ReadGop> read_all(Reader reader, size_t limit = 10000) {
    std::vector<ReadGop> out;
    std::vector<uint8_t> buffer(brin::disk::kFrameBufferBytes);
    for (size_t i = 0; i < limit; ++i) {
      int32_t len = -7;
      const int r = reader(buffer.data(), &len);
      if (r == brin::disk::kNoFurtherData) {
        last_result_ = r;
        return out;
      }
      EXPECT_GE(len, 0);
      out.push_back({r, std::vector<uint8_t>(buffer.begin(), buffer.begin() + std::max(len, 0))});
    }
    last_result_ = 0;
    ADD_FAILURE() << "reader never reported the end of the data";
    return out;
  }

  // Compares GOPs read with the expected ones (by their frames).
  static void expect_same(const std::vector<ReadGop>& got, const std::vector<const zebdisk::GopInfo*>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].result, want[i]->expected_result) << "GOP " << i;
      EXPECT_TRUE(got[i].bytes == want[i]->frame_bytes) << "GOP " << i << " at " << zebdisk::format_time(want[i]->time);
    }
  }

  const zebdisk::GopInfo* gop_at_cursor() const {
    const brin::disk::Cursor& c = brin::disk::cursor();
    for (const zebdisk::RecordInfo& r : manifest_.records) {
      if (r.block == c.block && r.record == c.record) {
        const int g = brin::disk::play_gop_index();
        return g >= 0 && static_cast<size_t>(g) < r.gops.size() ? &r.gops[static_cast<size_t>(g)] : nullptr;
      }
    }
    return nullptr;
  }

  const zebdisk::RecordInfo* record_at_cursor() const {
    const brin::disk::Cursor& c = brin::disk::cursor();
    for (const zebdisk::RecordInfo& r : manifest_.records)
      if (r.block == c.block && r.record == c.record) return &r;
    return nullptr;
  }

  velmora::testing::TempDir dir_;
  std::string path_;
  zebdisk::Manifest manifest_;
  int last_result_ = 0;
};

}  // namespace disktest
