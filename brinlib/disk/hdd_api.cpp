// The exported positioning, list and reading functions of the attached disk.
#include "brinlib.h"
#include "common/guard.h"
#include "disk/hdd.h"

using namespace brin::disk;

namespace brin::disk {

std::mutex& cursor_lock() {
  static std::mutex m;
  return m;
}

}  // namespace brin::disk

extern "C" {

int32_t first_section_play(void) {
  return brin::guarded(0, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    cursor() = Cursor{};
    load_index_state(Positioning::kOldest);
    play_gop_index() = cursor().gop_index;
    return 0;
  });
}

int32_t read_start_end_sec(uint32_t* start, uint32_t* end) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    if (load_index_state(Positioning::kKeep) == 0) return -1;
    const BlockHeader& h = block_header();
    if (start) *start = vp::rec_seconds(block_entry(h.oldest).first_time);
    if (end) *end = vp::rec_seconds(block_entry(h.newest).last_time);
    return 0;
  });
}

int32_t search_play(uint32_t seconds) {
  return brin::guarded(2, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    return search_by_time(seconds);
  });
}

int32_t get_rec_list(int32_t* count, int32_t* oldest) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    if (count) *count = list_header().count;
    if (oldest) *oldest = list_header().oldest;
    return 0;
  });
}

int32_t get_list_start_end_sec(int32_t index, uint32_t* start, uint32_t* end, int32_t* kind) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    if (index < 0 || index >= kListRing || !list_entry_valid(index)) return -1;
    const ListEntry e = list_entry(index);
    if (start) *start = vp::rec_seconds(e.start);
    if (end) *end = vp::rec_seconds(e.end);
    if (kind) *kind = e.kind;
    return 0;
  });
}

int32_t get_alarm_list(int32_t* count, int32_t* oldest) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    if (count) *count = alarm_header().count;
    if (oldest) *oldest = alarm_header().oldest;
    return 0;
  });
}

int32_t get_alarm_info(int32_t index, uint32_t* start, uint32_t* end) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    if (index < 0 || index >= kAlarmRing || !alarm_entry_valid(index)) return -1;
    const AlarmEntry e = alarm_entry(index);
    if (start) *start = vp::rec_seconds(e.start);
    if (end) *end = vp::rec_seconds(e.end);
    return 0;
  });
}

int32_t skip_foward(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    return skip_run(SkipDirection::kForward);
  });
}

int32_t skip_back(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    return skip_run(SkipDirection::kBack);
  });
}

int32_t read_data(uint8_t* buffer, int32_t* length) {
  return brin::guarded(-1, [&]() -> int32_t {
    std::lock_guard<std::mutex> g(cursor_lock());
    return read_next(buffer, length);
  });
}

}  // extern "C"
