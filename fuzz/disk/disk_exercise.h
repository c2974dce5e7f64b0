// Drives every reader, list, search, step and skip of the attached disk once
// over, and checks that each result is one its interface allows. Used by the
// fuzz target on arbitrary disk contents and by the tests on damaged images.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"

namespace diskexercise {

// The first broken promise, or "" when every result was an allowed one.
// `knob` varies the times searched for; each search may reload the index up
// to 100 times, so the fuzz target asks for fewer of them. The picture area
// searched is `picture_sectors` long; the wide picture search after it reads
// 16 MiB, more than all the rest on a small disk, so the fuzz target asks
// for a smaller area, and for the wide search on some inputs only.
inline std::string exercise_disk(uint32_t knob, int max_gops = 200, int searches = 6, int32_t picture_sectors = 4096,
                                 bool wide_picture_search = true) {
  using namespace brin::disk;
  // One frame buffer for all runs: a fresh 2 MiB buffer per run cost the
  // fuzz target more than the readers themselves.
  static thread_local std::vector<uint8_t> buffer(kFrameBufferBytes);
  auto reader_ok = [&](int r, int32_t len) {
    if (r != 0 && r != 1 && r != -1 && r != kNoFurtherData) return false;
    if (len < 0 || static_cast<size_t>(len) > kFrameBufferBytes) return false;
    return r != kNoFurtherData || len == 0;
  };
  if (first_section_play() != 0) return "first_section_play";
  uint32_t start = 0, end = 0;
  const int range = read_start_end_sec(&start, &end);
  if (range != 0 && range != -1) return "read_start_end_sec";

  int32_t count = -1, oldest = -1;
  if (get_rec_list(&count, &oldest) != 0 || count < 0 || count > kListRing || oldest < 0 || oldest >= kListRing)
    return "get_rec_list";
  for (int k = 0; k < count; ++k) {
    uint32_t s = 0, e = 0;
    int32_t kind = 0;
    const int r = get_list_start_end_sec((oldest + k) % kListRing, &s, &e, &kind);
    if (r != 0 && r != -1) return "get_list_start_end_sec";
  }
  if (get_alarm_list(&count, &oldest) != 0 || count < 0 || count > kAlarmRing || oldest < 0 || oldest >= kAlarmRing)
    return "get_alarm_list";
  for (int k = 0; k < count; ++k) {
    uint32_t s = 0, e = 0;
    const int r = get_alarm_info((oldest + k) % kAlarmRing, &s, &e);
    if (r != 0 && r != -1) return "get_alarm_info";
  }

  for (int i = 0; i < max_gops; ++i) {
    int32_t len = -1;
    const int r = read_data(buffer.data(), &len);
    if (!reader_ok(r, len)) return "read_data";
    if (r == kNoFurtherData) break;
  }
  const uint32_t times[] = {knob, end + 1, start + knob % 4096, start, end, start / 2 + end / 2};
  for (int i = 0; i < searches && i < 6; ++i) {
    const uint32_t t = times[i];
    const int r = search_play(t);
    if (r != 1 && r != 2 && r != kSearchFailure) return "search_play";
    int32_t len = -1;
    const int n = read_next(buffer.data(), &len);
    if (!reader_ok(n, len)) return "read_next after search";
  }
  for (int i = 0; i < max_gops; ++i) {
    int32_t len = -1;
    const int r = read_previous(buffer.data(), &len);
    if (!reader_ok(r, len)) return "read_previous";
    if (r == kNoFurtherData) break;
  }
  for (int i = 0; i < 6; ++i) {
    const int f = skip_foward();
    if (f != 0 && f != -1 && f != kNoBlockDirectory && f != kNoFurtherRun) return "skip_foward";
    int32_t len = -1;
    const int n = read_next_by(1 + i, buffer.data(), &len);
    if (!reader_ok(n, len)) return "read_next_by";
  }
  for (int i = 0; i < 6; ++i) {
    const int b = skip_back();
    if (b != 0 && b != -1 && b != kNoBlockDirectory && b != kNoFurtherRun) return "skip_back";
    int32_t len = -1;
    const int n = read_previous_by(1 + i, buffer.data(), &len);
    if (!reader_ok(n, len)) return "read_previous_by";
  }
  for (int n : {1, 3, 1000, 30000}) {
    const int f = step_forward(n);
    if (f != 1 && f != kNoBlockDirectory && f != kOutsideRange) return "step_forward";
    const int b = step_back(n / 2 + 1);
    if (b != 1 && b != kNoBlockDirectory && b != kOutsideRange) return "step_back";
  }
  for (int i = 0; i < 20; ++i) {
    int32_t len = -1;
    vp::RecTime t;
    uint8_t info[3];
    const int r = read_next_with_info(buffer.data(), &len, &t, info);
    if (!reader_ok(r, len)) return "read_next_with_info";
    if (r == kNoFurtherData) break;
  }
  // The picture area over the same bytes, into one buffer for all runs.
  static thread_local std::vector<uint8_t> picture(262656);
  char name[64];
  int32_t cursor = static_cast<int32_t>(knob % static_cast<uint32_t>(picture_sectors));
  for (int i = 0; i < 4; ++i) {
    // The last call may search a large area (and give up after 32768 sectors).
    const int32_t area = i == 3 && wide_picture_search ? (1 << 20) : picture_sectors;
    const int r = hdd_read_jpeg(&cursor, 0, area, i, picture.data(), name);
    if (r < -7 || r >= 0x40000) return "hdd_read_jpeg";
  }
  return "";
}

}  // namespace diskexercise
