// Which recordings a copy of the span start to end (RecSeconds) takes from
// the attached disk's recording list, and where the copy ends.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>

namespace velmora::viewer {

// The recording list as the disk serves it: count entries from the oldest
// index on, ring indexes modulo 1000; read gives the start and end of one
// entry, or false when it cannot be read.
struct RecordingList {
  int32_t count = 0;
  int32_t oldest = 0;
  std::function<bool(int32_t index, uint32_t* start, uint32_t* end)> read;

  // The recording list of the open disk through the library.
  static RecordingList of_disk();
};

// The entry that holds the copy: the first entry, oldest first, whose range
// holds the start or the end or lies inside the span. Without one, a start
// that lies within the disk's overall range and not after the oldest
// entry's start is taken as held by the oldest entry. Nothing: the disk
// holds no data for the span.
std::optional<int32_t> find_copy_entry(const RecordingList& list, uint32_t start, uint32_t end,
                                       std::optional<std::pair<uint32_t, uint32_t>> disk_range);

// The end of the copy: the requested end when the recording holding the
// start, or a later one before the data runs out, reaches it; when the end
// falls into a gap between recordings (or after the last), the end of the
// recording before the gap.
uint32_t clamp_copy_end(const RecordingList& list, int32_t holder, uint32_t start, uint32_t end);

}  // namespace velmora::viewer
