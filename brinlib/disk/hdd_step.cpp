// Moving the cursor: record by record forward and back, the frame readers
// that play GOP after GOP across records, and skips between recording runs.
#include <algorithm>

#include "disk/hdd.h"
#include "playback/play_engine.h"
#include "velmora/message.h"

namespace brin::disk {
namespace {

// Records passed over in a row because they are no stepping target.
constexpr int kMaxPassOver = 100;
// GOPs and records a frame reader may pass over (damaged GOP entries, empty
// records) before it gives up for this call.
constexpr int kMaxReaderTries = kGopEntries * 64;
// Skips repeated in a row because a run starts on no skip target.
constexpr int kMaxSkipRepeats = kListRing;

bool same_position(const Cursor& a, const Cursor& b) { return a.block == b.block && a.record == b.record; }

void ensure_block_loaded(int block) {
  if (loaded_block() != block) load_index_block(block);
}

// A stepping target: a readable record with one of the four low flag bits.
bool is_target(int block, int record) {
  IndexRecord rec;
  return index_record(block, record, &rec) && (rec.flags & kFlagTargetMask) != 0;
}

bool at_newest_end(const Cursor& c) {
  const BlockHeader& h = block_header();
  return c.block == h.newest && c.record == block_entry(h.newest).last_record;
}

bool at_oldest_start(const Cursor& c) {
  const BlockHeader& h = block_header();
  return c.block == h.oldest && c.record == block_entry(h.oldest).first_record;
}

// The record after (block, record): the block's last record continues in
// the next block's first.
void next_record(int& block, int& record) {
  if (record >= block_entry(block).last_record || record >= kRecordsPerBlock - 1) {
    block = (block + 1) % kBlockRing;
    record = block_entry(block).first_record;
  } else {
    ++record;
  }
}

void previous_record(int& block, int& record) {
  if (record <= block_entry(block).first_record || record <= 0) {
    block = (block + kBlockRing - 1) % kBlockRing;
    record = block_entry(block).last_record;
  } else {
    --record;
  }
}

// Walks n records forward from the cursor without passing a stop point, a
// run's last record or the newest record. Returns false when the newest
// block ended the walk short of n.
bool walk_forward(int n, int& block, int& record) {
  const BlockHeader& h = block_header();
  int b = block, r = record, remaining = n;
  ensure_block_loaded(b);
  for (int blocks = 0; remaining > 0 && blocks <= kBlockRing; ++blocks) {
    const int last = block_entry(b).last_record;
    for (int k = 1; k <= remaining && r + k <= last; ++k) {
      IndexRecord rec;
      if (index_record(b, r + k, &rec) && ((rec.flags & kFlagStopPoint) || rec.status == kStatusRunEnd)) {
        remaining = k;
        break;
      }
    }
    if (r + remaining <= last) {
      r += remaining;
      remaining = 0;
      break;
    }
    if (b == h.newest) {
      block = b;
      record = std::max(r, static_cast<int>(last));
      return false;
    }
    const int next = (b + 1) % kBlockRing;
    if (!load_index_block(next)) {
      // The next block cannot be read: stop at this block's end.
      r = last;
      break;
    }
    // A damaged directory may put the block's end before the position: the
    // next block is still at least one step away.
    remaining -= std::max(1, last - r + 1);
    b = next;
    r = block_entry(next).first_record;
  }
  block = b;
  record = r;
  return true;
}

bool walk_back(int n, int& block, int& record) {
  const BlockHeader& h = block_header();
  int b = block, r = record, remaining = n;
  ensure_block_loaded(b);
  for (int blocks = 0; remaining > 0 && blocks <= kBlockRing; ++blocks) {
    const int first = block_entry(b).first_record;
    for (int k = 1; k <= remaining && r - k >= first; ++k) {
      IndexRecord rec;
      if (index_record(b, r - k, &rec) && ((rec.flags & kFlagStopPoint) || rec.status == kStatusRunStart)) {
        remaining = k;
        break;
      }
    }
    if (r - remaining >= first) {
      r -= remaining;
      remaining = 0;
      break;
    }
    if (b == h.oldest) {
      block = b;
      record = std::min(r, first);
      return false;
    }
    const int previous = (b + kBlockRing - 1) % kBlockRing;
    if (!load_index_block(previous)) {
      r = first;
      break;
    }
    remaining -= std::max(1, r - first + 1);
    b = previous;
    r = block_entry(previous).last_record;
  }
  block = b;
  record = r;
  return true;
}

enum class Way { kForward, kBack };

int step(Way way, int n) {
  if (block_header().count == 0) return kNoBlockDirectory;
  if (n <= 0) return 1;
  if (cursor_range_test() != 0) return kOutsideRange;
  Cursor& c = cursor();
  const Cursor before = c;
  const uint8_t run_edge = way == Way::kForward ? kStatusRunEnd : kStatusRunStart;
  for (int pass = 0; pass <= kMaxPassOver; ++pass) {
    const Cursor from = c;
    ensure_block_loaded(c.block);
    IndexRecord current;
    if (index_record(c.block, c.record, &current) && current.status == run_edge) {
      // The run ends here: the next record is the next run's first, however
      // long the gap in time.
      if (way == Way::kForward ? !at_newest_end(c) : !at_oldest_start(c)) {
        int b = c.block, r = c.record;
        way == Way::kForward ? next_record(b, r) : previous_record(b, r);
        c.block = b;
        c.record = r;
      }
      load_index_state(Positioning::kKeep);
    } else {
      int b = c.block, r = c.record;
      auto walk = [&] { return way == Way::kForward ? walk_forward(n, b, r) : walk_back(n, b, r); };
      if (!walk()) {
        // The newest (oldest) block came first: the disk may have grown since
        // the index was read, so read it again and walk once more; short
        // again, the walk ends on that block's last (first) record.
        load_index_state(Positioning::kKeep);
        c.block = from.block;
        c.record = from.record;
        b = c.block;
        r = c.record;
        walk();
      }
      c.block = b;
      c.record = r;
    }
    load_cursor_gop_table();
    c.gop_index = 0;
    if (cursor_range_test() != 0) {
      load_index_state(Positioning::kKeep);
      if (position_valid(before.block, before.record)) {
        c = before;
      } else {
        const BlockHeader& h = block_header();
        c.block = way == Way::kForward ? h.newest : h.oldest;
        c.record = way == Way::kForward ? block_entry(h.newest).last_record : block_entry(h.oldest).first_record;
      }
      c.gop_index = 0;
      load_index_block(c.block);
      load_cursor_gop_table();
      break;
    }
    if (!same_position(c, from) && !is_target(c.block, c.record)) {
      n = 1;
      continue;
    }
    break;
  }
  return 1;
}

// Reads the GOP at the play GOP index and moves the index by n in the
// direction of play, crossing into the next or previous record as needed.
int read_gop(Way way, int n, uint8_t* out, int32_t* len, GopEntry* info) {
  int32_t dummy = 0;
  if (!len) len = &dummy;
  *len = 0;
  if (!out) return -1;
  if (n < 1) n = 1;
  int32_t& play = play_gop_index();
  Cursor& c = cursor();
  ensure_cursor_gop_table();
  // Keep the index inside the record: play may have ended past either end of
  // it in the other direction.
  if (way == Way::kForward && play < 0) play = 0;
  if (way == Way::kBack && play >= gop_count()) play = gop_count() - 1;
  for (int tries = 0; tries < kMaxReaderTries; ++tries) {
    if (way == Way::kForward && play >= gop_count()) {
      const Cursor before = c;
      step(Way::kForward, 1);
      if (same_position(before, c)) return kNoFurtherData;
      play = c.gop_index;
      continue;
    }
    if (way == Way::kBack && play < 0) {
      const Cursor before = c;
      step(Way::kBack, 1);
      if (same_position(before, c)) return kNoFurtherData;
      play = gop_count() - 1;
      continue;
    }
    GopEntry entry;
    if (!gop_entry(play, &entry)) {
      // A damaged GOP entry is passed over.
      play += way == Way::kForward ? 1 : -1;
      continue;
    }
    const int result = read_frame_chunk(entry, out, kFrameBufferBytes, len);
    if (info) *info = entry;
    if (way == Way::kForward) {
      play += n;
      if (play >= gop_count()) {
        const Cursor before = c;
        step(Way::kForward, 1);
        if (!same_position(before, c)) play = c.gop_index;
      }
    } else {
      play -= n;
      if (play < 0) {
        const Cursor before = c;
        step(Way::kBack, 1);
        if (!same_position(before, c)) play = gop_count() - 1;
      }
    }
    return result;
  }
  return -1;
}

bool list_index_in_use(int index) {
  const RingHeader& h = list_header();
  return h.count > 0 && (index - h.oldest + kListRing) % kListRing < h.count;
}

int64_t start_of(const ListEntry& e) { return linear_position(e.start_block, static_cast<int>(e.start_record)); }
int64_t end_of(const ListEntry& e) { return linear_position(e.end_block, static_cast<int>(e.end_record)); }

}  // namespace

int step_forward(int n) { return step(Way::kForward, n); }
int step_back(int n) { return step(Way::kBack, n); }

int read_next(uint8_t* out, int32_t* len) { return read_gop(Way::kForward, 1, out, len, nullptr); }
int read_next_by(int n, uint8_t* out, int32_t* len) { return read_gop(Way::kForward, n, out, len, nullptr); }
int read_previous(uint8_t* out, int32_t* len) { return read_gop(Way::kBack, 1, out, len, nullptr); }
int read_previous_by(int n, uint8_t* out, int32_t* len) { return read_gop(Way::kBack, n, out, len, nullptr); }

int read_next_with_info(uint8_t* out, int32_t* len, vp::RecTime* time, uint8_t info_bytes[3]) {
  GopEntry entry;
  const int r = read_gop(Way::kForward, 1, out, len, &entry);
  if (r != kNoFurtherData) {
    if (time) *time = entry.time;
    if (info_bytes) {
      info_bytes[0] = entry.byte2;
      info_bytes[1] = entry.byte0;
      info_bytes[2] = entry.byte27;
    }
  }
  return r;
}

void find_list_entry() {
  Cursor& c = cursor();
  const RingHeader& h = list_header();
  const int64_t p = linear_position(c.block, c.record);
  if (list_index_in_use(c.list_index) && list_entry_valid(c.list_index)) {
    const ListEntry e = list_entry(c.list_index);
    if (range_test(p, start_of(e), end_of(e)) == 0) {
      vp::debug_printf("rec_start_num[R_PLAY_FLAG]=%d\n", c.list_index);
      return;
    }
  }
  int previous = -1;
  for (int k = 0; k < h.count; ++k) {
    const int index = (h.oldest + k) % kListRing;
    if (!list_entry_valid(index)) continue;
    const ListEntry e = list_entry(index);
    const int t = range_test(p, start_of(e), end_of(e));
    if (t == 0) {
      c.list_index = index;
      return;
    }
    if (t == -1) {
      // The cursor lies in the gap before this run: it belongs to the run
      // before (there is none before the oldest).
      c.list_index = previous >= 0 ? previous : index;
      return;
    }
    previous = index;
  }
  // After every run: the newest run is the nearest.
  c.list_index = h.count > 0 ? h.newest : h.oldest;
}

namespace {

// One skip as skip() below; positioned tells whether the cursor was set to
// a run's start, which is also the case for -124 back at the oldest run.
int skip_once(SkipDirection direction, bool& positioned) {
  positioned = false;
  Cursor& c = cursor();
  int result = kNoFurtherRun;
  bool moved_once = false;
  for (int repeat = 0; repeat < kMaxSkipRepeats; ++repeat) {
    if (block_header().count == 0) return kNoBlockDirectory;
    const RingHeader& h = list_header();
    if (h.count == 0) return kNoFurtherRun;
    const int list_before = c.list_index;
    bool inside = false;
    if (direction == SkipDirection::kForward) {
      vp::debug_printf("SKIP NEXT %ld %ld\n", static_cast<long>(c.block), static_cast<long>(c.record));
      if (c.list_index == h.newest) {
        load_index_state(Positioning::kKeep);
      } else {
        c.list_index = (c.list_index + 1) % kListRing;
      }
    } else {
      vp::debug_printf("SKIP BACK %ld %ld %ld\n", static_cast<long>(c.block), static_cast<long>(c.record),
                       static_cast<long>(c.gop_index));
      const ListEntry e = list_entry(c.list_index);
      if (c.block == e.start_block && c.record == static_cast<int32_t>(e.start_record) && c.gop_index == 0) {
        if (c.list_index == h.oldest) {
          load_index_state(Positioning::kKeep);
        } else {
          c.list_index = (c.list_index + kListRing - 1) % kListRing;
        }
      } else {
        inside = true;
      }
    }
    // No further run that way. Forward, the position stays where it is.
    // Back, the cursor stands on the oldest run's first record, but playback
    // may have gone on past its first GOP: the position goes back to that
    // GOP before the skip reports that no older run exists.
    const bool no_further = c.list_index == list_before && !inside;
    if (no_further && (moved_once || direction == SkipDirection::kForward)) return moved_once ? result : kNoFurtherRun;
    const Cursor previous = c;
    const ListEntry target = list_entry(c.list_index);
    c.block = target.start_block;
    c.record = static_cast<int32_t>(target.start_record);
    c.gop_index = 0;
    bool loaded = load_index_block(c.block);
    if (!loaded) {
      c.block = previous.block;
      c.record = previous.record;
      c.list_index = list_before;
    }
    loaded = load_cursor_gop_table() == 1 && loaded;
    c.gop_index = 0;
    positioned = true;
    result = no_further ? kNoFurtherRun : loaded ? 1 : 0;
    vp::debug_printf("PLAY SKIP %d ret %d(%ld %ld [%d])\n", direction == SkipDirection::kForward ? 1 : 0, result,
                     static_cast<long>(c.block), static_cast<long>(c.record), c.list_index);
    if (result <= 0) return result;
    moved_once = true;
    IndexRecord rec;
    // A run that starts on a record that is no skip target is skipped too.
    if (index_record(c.block, c.record, &rec) && (rec.flags & kFlagTargetMask) == 0) continue;
    return result;
  }
  return result;
}

}  // namespace

int skip(SkipDirection direction) {
  bool positioned = false;
  return skip_once(direction, positioned);
}

int skip_run(SkipDirection direction) {
  if (block_header().count == 0) return kNoBlockDirectory;
  brin::play::control().hdd_positioned.store(1);
  Cursor& c = cursor();
  const Cursor before = c;
  find_list_entry();
  auto continues = [&] { return list_entry_valid(c.list_index) && list_entry(c.list_index).continuation != 0; };
  bool positioned = false, again = false;
  int r = skip_once(direction, positioned);
  // A run marked as the continuation of the one before is no start of its
  // own: skip over it.
  if (r > 0 && continues()) {
    r = skip_once(direction, again);
    positioned = positioned || again;
  }
  if (direction == SkipDirection::kForward && r == kNoFurtherRun && continues()) {
    // Nothing follows a continued run: go back to where it really started.
    for (int i = 0; i < 2 && continues(); ++i) {
      const int back = skip_once(SkipDirection::kBack, again);
      positioned = positioned || again;
      if (back <= 0) break;
    }
  }
  // The play index follows the position whenever the skip positioned the
  // cursor: after a move, and back at the oldest run's start, where the skip
  // reports -124 but returns to the run's first GOP.
  if (r > 0 || positioned || !same_position(before, c) || before.gop_index != c.gop_index)
    play_gop_index() = c.gop_index;
  if (r > 0) return 0;
  return r == 0 ? -1 : r;
}

}  // namespace brin::disk
