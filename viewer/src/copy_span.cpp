#include "copy_span.h"

#include "libraries.h"

namespace velmora::viewer {
namespace {

constexpr int32_t kRing = 1000;

int32_t ring_index(int32_t oldest, int64_t k) { return static_cast<int32_t>(((oldest + k) % kRing + kRing) % kRing); }

}  // namespace

RecordingList RecordingList::of_disk() {
  RecordingList list;
  if (lib::get_rec_list(&list.count, &list.oldest) != 0) list.count = 0;
  if (list.count > kRing) list.count = kRing;
  list.read = [](int32_t index, uint32_t* start, uint32_t* end) {
    int32_t kind = 0;
    return lib::get_list_start_end_sec(index, start, end, &kind) == 0;
  };
  return list;
}

std::optional<int32_t> find_copy_entry(const RecordingList& list, uint32_t start, uint32_t end,
                                       std::optional<std::pair<uint32_t, uint32_t>> disk_range) {
  std::optional<uint32_t> first_start;
  for (int32_t k = 0; k < list.count && k < kRing; ++k) {
    const int32_t i = ring_index(list.oldest, k);
    uint32_t s = 0, e = 0;
    if (!list.read(i, &s, &e)) continue;
    if (!first_start) first_start = s;
    if ((s <= start && start <= e) || (s <= end && end <= e) || (start <= s && e <= end)) return i;
  }
  if (disk_range && first_start && disk_range->first <= start && start <= disk_range->second && start <= *first_start)
    return ring_index(list.oldest, 0);
  return std::nullopt;
}

uint32_t clamp_copy_end(const RecordingList& list, int32_t holder, uint32_t start, uint32_t end) {
  uint32_t s = 0, e = 0;
  if (!list.read(holder, &s, &e) || e >= end) return end;
  uint32_t previous_end = e;
  const int32_t position = ((holder - list.oldest) % kRing + kRing) % kRing;
  for (int32_t k = 1; k <= kRing; ++k) {
    // Past the newest recording there is nothing more to copy.
    if (position + k >= list.count) return previous_end;
    uint32_t ns = 0, ne = 0;
    if (!list.read(ring_index(holder, k), &ns, &ne)) return previous_end;
    if (ns >= end) return previous_end;  // the end lies in a gap
    if (end <= ne) return end;
    if (ns < start) return previous_end;  // wrapped round to older recordings
    previous_end = ne;
  }
  return previous_end;
}

}  // namespace velmora::viewer
