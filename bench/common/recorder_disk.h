// The recorder disk the disk benchmarks write.
#pragma once
#include <string>

#include "zebdisk/disk_image.h"

namespace bench {

// A four-camera recording from 2026/12/07 09:00:00 on, one GOP a second of
// fifteen 704 x 480 pictures and a second of sound, ten GOPs an index
// record.
inline zebdisk::DiskSpec recorder_disk(const std::string& clips, int seconds) {
  zebdisk::DiskSpec spec;
  spec.cameras = 4;
  spec.clips_folder = clips;
  spec.pictures_per_gop = 15;
  spec.audio_per_gop = 50;
  spec.gops_per_record = 10;
  zebdisk::RunSpec run;
  run.start = zebdisk::RecTime{26, 12, 7, 9, 0, 0};
  run.end = zebdisk::add_seconds(run.start, seconds - 1);
  spec.runs.push_back(run);
  return spec;
}

}  // namespace bench
