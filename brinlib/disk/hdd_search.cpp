// Time search: within one time attribute (one period of the recorder's clock),
// and over all attributes from the newest back.
#include <algorithm>

#include "disk/hdd.h"
#include "playback/play_engine.h"
#include "velmora/message.h"

namespace brin::disk {
namespace {

using vp::compare_rec_time;

// How many searches found no attribute or block (the debug output reports
// the running count).
int g_not_found_count = 0;

struct Bounds {
  int block = -1;
  int lo = 0;  // record range inside the block
  int hi = 0;
};

// Step 3: the block that holds t, and the record range to look at in it.
Bounds find_block(const TimeAttribute& e, const vp::RecTime& t, int a) {
  Bounds found;
  if (e.first_block == e.last_block) {
    found.block = e.first_block;
    found.lo = static_cast<int>(e.first_record);
    found.hi = static_cast<int>(e.last_record);
    return found;
  }
  int b = e.first_block;
  for (int n = 0; n < kBlockRing; ++n) {
    const BlockEntry d = block_entry(b);
    const bool first_is_a = d.first_attr == a;
    const bool last_is_a = d.last_attr == a;
    if (!first_is_a && last_is_a) {
      // The attribute begins inside this block.
      if (compare_rec_time(d.last_time, t) >= 0) {
        found = {b, static_cast<int>(e.first_record), d.last_record};
        return found;
      }
    } else if (first_is_a && !last_is_a) {
      // The attribute ends inside this block.
      if (compare_rec_time(d.first_time, t) <= 0) {
        found = {b, d.first_record, static_cast<int>(e.last_record)};
        return found;
      }
    } else if (first_is_a && last_is_a) {
      if (compare_rec_time(d.first_time, t) <= 0 && compare_rec_time(t, d.last_time) <= 0) {
        found = {b, d.first_record, d.last_record};
        return found;
      }
    }
    if (b == e.last_block) break;
    b = (b + 1) % kBlockRing;
  }
  return found;
}

// Step 4: narrows the range with the recording runs of attribute a that
// start or end in the block.
void narrow_by_list(Bounds& r, const vp::RecTime& t, int a) {
  const int lo_of_block = r.lo;
  const RingHeader& h = list_header();
  bool have_previous = false;
  ListEntry previous;
  for (int k = 0; k < h.count; ++k) {
    const int index = (h.oldest + k) % kListRing;
    if (!list_entry_valid(index)) continue;
    const ListEntry e = list_entry(index);
    if (e.attr != a) continue;
    const bool starts_here = e.start_block == r.block;
    const bool ends_here = e.end_block == r.block;
    const int start = static_cast<int>(e.start_record);
    const int end = static_cast<int>(e.end_record);
    bool stop = false;
    if (starts_here) {
      const int c = compare_rec_time(e.start, t);
      if (c < 0) {
        r.lo = std::max(r.lo, start);
      } else if (c == 0) {
        r.hi = start;
        r.lo = start;
        // The GOP of t may still lie in the record before the run's first
        // one when the previous run did not end right before it.
        const bool follows_previous = have_previous && static_cast<int>(previous.end_record) == start - 1;
        if (!follows_previous && start != 0 && start > lo_of_block) r.lo = start - 1;
        stop = true;
      } else {
        r.hi = std::min(r.hi, start);
        stop = true;
      }
    }
    if (!stop && ends_here) {
      const int c = compare_rec_time(e.end, t);
      if (c < 0) {
        r.lo = std::max(r.lo, end);
      } else if (c == 0) {
        r.lo = r.hi = end;
        stop = starts_here;
      } else {
        r.hi = std::min(r.hi, end);
        stop = starts_here;
      }
    }
    if (stop) break;
    previous = e;
    have_previous = true;
  }
}

}  // namespace

int search_in_attribute(const vp::RecTime& t, int a) {
  const RingHeader& ah = attr_header();
  if (ah.count == 0) return kNotFound;
  int attr_index = -1;
  for (int k = 0; k < ah.count; ++k) {
    const int index = (ah.oldest + k) % kAttrRing;
    if (attr_entry_valid(index) && attr_entry(index).number == a) {
      attr_index = index;
      break;
    }
  }
  if (attr_index < 0) return kNotFound;
  const TimeAttribute e = attr_entry(attr_index);
  Cursor& c = cursor();
  if (compare_rec_time(e.first, t) > 0) {
    c.attr_index = attr_index;
    c.block = e.first_block;
    c.record = static_cast<int32_t>(e.first_record);
    c.gop_index = 0;
    return -1;
  }
  if (compare_rec_time(t, e.last) > 0) {
    c.attr_index = attr_index;
    c.block = e.last_block;
    c.record = static_cast<int32_t>(e.last_record);
    c.gop_index = 0;
    return -2;
  }

  Bounds range = find_block(e, t, a);
  if (range.block < 0) return kNotFound;
  const int block = range.block;
  const int lo_of_block = range.lo;
  narrow_by_list(range, t, a);
  range.lo = std::max(range.lo, 0);
  range.hi = std::min(range.hi, kRecordsPerBlock - 1);

  // Step 5: the first record at or after t; the GOP of t may begin in the
  // record before it.
  load_index_block(block);
  int rereads = 0;
  int chosen = -1;
  for (int r = range.lo; r <= range.hi; ++r) {
    IndexRecord rec;
    bool valid = index_record(block, r, &rec);
    while (!valid && rereads < kCopies) {
      ++rereads;
      load_index_block(block, rereads);
      valid = index_record(block, r, &rec);
    }
    if (!valid) continue;
    const int cmp = compare_rec_time(rec.time, t);
    if (cmp == 0) {
      chosen = (r > 0 && r > lo_of_block) ? r - 1 : r;
    } else if (cmp > 0) {
      chosen = r > 0 ? r - 1 : r;
    } else {
      continue;
    }
    range.hi = r;
    break;
  }
  if (chosen < 0) chosen = range.hi;

  // Step 6: the first GOP at or after t decides.
  int last_looked = -1;
  uint8_t last_status = 0;
  for (int r = chosen; r <= range.hi; ++r) {
    IndexRecord rec;
    if (!index_record(block, r, &rec)) continue;
    last_looked = r;
    last_status = rec.status;
    c.block = block;
    c.record = r;
    load_cursor_gop_table();
    int previous_valid = -1;
    for (int j = 0; j < gop_count(); ++j) {
      GopEntry g;
      if (!gop_entry(j, &g)) continue;
      const int cmp = compare_rec_time(g.time, t);
      if (cmp >= 0) {
        c.attr_index = attr_index;
        c.gop_index = cmp == 0 ? j : std::max(previous_valid, 0);
        return 1;
      }
      previous_valid = j;
    }
    if (rec.status == kStatusRunEnd) break;
  }

  // Step 7: t lies after the end of a run: the next recorded record follows.
  if (last_looked >= 0 && last_status == kStatusRunEnd) {
    int next_block = block;
    int next_record = last_looked + 1;
    if (last_looked >= block_entry(block).last_record || last_looked == kRecordsPerBlock - 1) {
      // The block's last record continues in the next block's first.
      next_block = (block + 1) % kBlockRing;
      next_record = block_entry(next_block).first_record;
    }
    // Past the newest record there is nothing to land on.
    if (!position_valid(next_block, next_record)) return 0;
    c.attr_index = attr_index;
    c.block = next_block;
    c.record = next_record;
    c.gop_index = 0;
    return -4;
  }
  return 0;
}

int search_with_retry(const vp::RecTime& t, int attribute) {
  int r = search_in_attribute(t, attribute);
  if (r == kNotFound) {
    ++g_not_found_count;
    vp::debug_printf("TA_count up:%d\n", g_not_found_count);
    vp::debug_printf("Callback search\n");
    r = search_in_attribute(t, attribute);
    if (r == kNotFound) return 0;
  }
  if (r == -4) {
    load_index_state(Positioning::kKeep);
    return 1;
  }
  return r;
}

int search_by_time(uint32_t rec_seconds) {
  brin::play::control().hdd_positioned.store(1);
  const vp::RecTime t = vp::rec_time_from_seconds(rec_seconds);
  load_attr_ring();
  int a = attr_entry(attr_header().newest).number % kAttrRing;
  save_cursor();
  bool success = false;
  bool decided = false;
  bool remembered = false;
  Cursor start_of_newest;
  for (int round = 0; round < kAttrRing && !decided; ++round) {
    // Rounds after the first start from a load that puts the cursor on the
    // oldest position; a load that keeps the cursor would read the same
    // again and leave it there, so the one load does for both.
    load_index_state(round == 0 ? Positioning::kKeep : Positioning::kOldest);
    vp::debug_printf("time attribute=%d\n", a);
    const int r = search_with_retry(t, a);
    if (r > 0 && r != kNotFound) {
      success = decided = true;
      break;
    }
    if (r == kSearchFailure) return kSearchFailure;
    if (round == 0 && r == -1) {
      // t lies before the newest attribute: its start is the answer unless
      // an older attribute holds t.
      start_of_newest = cursor();
      remembered = true;
    }
    if (r <= 0 && a == attr_header().oldest) {
      restore_cursor();
      if (remembered) {
        cursor() = start_of_newest;
        load_index_state(Positioning::kKeep);
        load_cursor_gop_table();
        success = true;
      }
      decided = true;
      break;
    }
    a = (a + kAttrRing - 1) % kAttrRing;
  }
  if (!decided) {
    load_index_state(Positioning::kOldest);
    restore_cursor();
    load_index_state(Positioning::kKeep);
  }
  if (success) {
    play_gop_index() = cursor().gop_index;
    return 1;
  }
  load_index_state(Positioning::kNewest);
  const int n = gop_count();
  if (n > 0) cursor().gop_index = n - 1;
  play_gop_index() = cursor().gop_index;
  return 2;
}

}  // namespace brin::disk
