// Recorder disk descriptions the disk reader and playback tests write their
// images from: times written as the calendar reads them, runs of recording,
// and the small disks most cases start from.
#pragma once
#include <cstdint>

#include "velmora/rectime.h"
#include "zebdisk/disk_image.h"

namespace velmora::testing {

using zebdisk::RecTime;

inline RecTime T(int y, int mo, int d, int h, int mi, int s) {
  return RecTime{static_cast<uint8_t>(y - 2000), static_cast<uint8_t>(mo), static_cast<uint8_t>(d),
                 static_cast<uint8_t>(h),        static_cast<uint8_t>(mi), static_cast<uint8_t>(s)};
}
inline uint32_t S(const RecTime& t) { return vp::rec_seconds(t); }

inline zebdisk::RunSpec run(const RecTime& start, const RecTime& end, int attribute = 0) {
  zebdisk::RunSpec r;
  r.start = start;
  r.end = end;
  r.attribute = attribute;
  return r;
}

// A small disk: one camera of generated pictures (two a GOP), three GOPs a
// record, and no recording yet.
inline zebdisk::DiskSpec small_spec() {
  zebdisk::DiskSpec s;
  s.cylinders = 3010;
  s.cameras = 1;
  s.pictures_per_gop = 2;
  s.audio_per_gop = 1;
  s.gops_per_record = 3;
  return s;
}

// Index block `block` overwritten in all three management copies: the index
// has lost that block's records, their data is still on the disk.
inline void lose_index_block(zebdisk::DiskSpec* spec, int block) {
  for (int copy = 0; copy < 3; ++copy) {
    zebdisk::DamageSpec d;
    d.kind = zebdisk::DamageSpec::kIndexBlock;
    d.copy = copy;
    d.index = block;
    spec->damage.push_back(d);
  }
}

// The small disk with two runs, so that records, record ends and a gap
// between runs all take part.
inline zebdisk::DiskSpec two_runs() {
  zebdisk::DiskSpec s = small_spec();
  s.runs.push_back(run(T(2024, 5, 1, 10, 0, 0), T(2024, 5, 1, 10, 0, 13)));
  s.runs.push_back(run(T(2024, 5, 1, 10, 30, 0), T(2024, 5, 1, 10, 30, 8)));
  return s;
}

}  // namespace velmora::testing
