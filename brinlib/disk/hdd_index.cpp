// The management region and the index: the write generation and the choice of
// copy, the four rings with their copy fallback and checksums, index blocks,
// the cursor's GOP table, positioning after a load, and frame chunks.
#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/hdd.h"
#include "velmora/bytes.h"

namespace brin::disk {
namespace {

using vp::le16;
using vp::le32;

constexpr size_t sectors_of(size_t bytes) { return (bytes + kSectorBytes - 1) / kSectorBytes; }

// One ring of the management region: where it lies in a copy, its geometry,
// the header and table as last read, and the decoded header.
struct RingArea {
  int32_t header_offset;
  int header_bytes;
  int ring_size;
  int entry_bytes;
  std::vector<uint8_t> header_raw;
  std::vector<uint8_t> table;
  // Where a copy's table is read before it is taken; kept with its capacity
  // because a search may reload the index hundreds of times.
  std::vector<uint8_t> spare;
  RingSource source;  // the copies the header and table were taken from
};

struct State {
  CopyOrder order;
  RingArea attr{kAttrHeaderOffset, 8, kAttrRing, kAttrEntryBytes, {}, {}, {}, {}};
  RingArea block{kBlockHeaderOffset, 8, kBlockRing, kBlockEntryBytes, {}, {}, {}, {}};
  RingArea list{kListHeaderOffset, 8, kListRing, kListEntryBytes, {}, {}, {}, {}};
  RingArea alarm{kAlarmHeaderOffset, 4, kAlarmRing, kAlarmEntryBytes, {}, {}, {}, {}};
  RingHeader attr_h, list_h, alarm_h;
  BlockHeader block_h;

  std::vector<uint8_t> index_block = std::vector<uint8_t>(static_cast<size_t>(kIndexBlockSectors) * kSectorBytes);
  int loaded_block = -1;

  uint8_t gop_table[kGopTableBytes] = {};
  int gop_entries = 0;  // 0 when no table is loaded
  // The record the GOP table belongs to; the table counts only while the
  // cursor is on that record.
  int gop_block = -1, gop_record = -1;

  Cursor cursor, saved;
  int32_t play_gop = 0;

  State() {
    for (RingArea* a : {&attr, &block, &list, &alarm}) {
      a->header_raw.assign(static_cast<size_t>(a->header_bytes), 0);
      a->table.assign(static_cast<size_t>(a->ring_size) * a->entry_bytes, 0);
      a->spare.assign(a->table.size(), 0);
    }
  }
};

State& st() {
  static State s;
  return s;
}

int32_t copy_start(int copy) { return kCopySectors * copy; }

// A header is taken only when its checksum holds and its counts and indexes
// lie inside the ring; anything else would lead the readers out of the table.
bool header_fits(const RingArea& a, const uint8_t* raw) {
  if (!checksum_ok(raw, static_cast<size_t>(a.header_bytes))) return false;
  int count, oldest, newest;
  if (a.header_bytes == 4) {
    count = raw[0];
    oldest = raw[1];
    newest = raw[2];
  } else if (&a == &st().block) {
    count = raw[0];
    oldest = raw[1];
    newest = raw[2];
  } else {
    count = le16(raw);
    oldest = le16(raw + 2);
    newest = le16(raw + 4);
  }
  return count <= a.ring_size && oldest < a.ring_size && newest < a.ring_size;
}

void decode_header(RingArea& a) {
  const uint8_t* raw = a.header_raw.data();
  State& s = st();
  if (&a == &s.block) {
    s.block_h = BlockHeader{raw[0], raw[1], raw[2], raw[3], le16(raw + 4)};
    return;
  }
  RingHeader h;
  if (a.header_bytes == 4) {
    h = RingHeader{raw[0], raw[1], raw[2]};
  } else {
    h = RingHeader{le16(raw), le16(raw + 2), le16(raw + 4)};
  }
  (&a == &s.attr ? s.attr_h : &a == &s.list ? s.list_h : s.alarm_h) = h;
}

void clear_header(RingArea& a) {
  std::fill(a.header_raw.begin(), a.header_raw.end(), 0);
  State& s = st();
  if (&a == &s.block)
    s.block_h = BlockHeader{};
  else
    (&a == &s.attr ? s.attr_h : &a == &s.list ? s.list_h : s.alarm_h) = RingHeader{};
}

// Entries whose block or record numbers lie outside their rings are refused
// like entries with a bad checksum.
bool entry_fits(const RingArea& a, const uint8_t* p) {
  if (!checksum_ok(p, static_cast<size_t>(a.entry_bytes))) return false;
  State& s = st();
  if (&a == &s.attr) {
    return p[24] < kBlockRing && p[25] < kBlockRing && le32(p + 16) < kRecordsPerBlock &&
           le32(p + 20) < kRecordsPerBlock;
  }
  if (&a == &s.block)
    return le16(p) <= kRecordsPerBlock && le16(p + 2) < kRecordsPerBlock && le16(p + 4) < kRecordsPerBlock;
  if (&a == &s.list) {
    return p[14] < kBlockRing && p[15] < kBlockRing && le32(p + 16) < kRecordsPerBlock &&
           le32(p + 20) < kRecordsPerBlock;
  }
  return true;
}

bool load_header(RingArea& a) {
  uint8_t raw[8];
  const size_t bytes = static_cast<size_t>(a.header_bytes);
  for (int i = 0; i < kCopies; ++i) {
    const int copy = st().order.copy[i];
    if (read_bytes(copy_start(copy) + a.header_offset, bytes, raw) == -1) continue;
    if (!header_fits(a, raw)) continue;
    std::copy(raw, raw + bytes, a.header_raw.begin());
    decode_header(a);
    a.source.header_copy = copy;
    return true;
  }
  a.source.header_copy = -1;
  // No copy holds a usable header: the ring counts as empty rather than
  // being walked with counts nobody vouches for.
  clear_header(a);
  return false;
}

bool load_table(RingArea& a, int count, int oldest) {
  std::vector<uint8_t>& table = a.spare;
  bool kept = false;
  for (int i = 0; i < kCopies; ++i) {
    const int copy = st().order.copy[i];
    if (read_bytes(copy_start(copy) + a.header_offset + 1, table.size(), table.data()) == -1) continue;
    bool good = true;
    for (int k = 0; k < count && good; ++k) {
      const size_t index = static_cast<size_t>((oldest + k) % a.ring_size);
      good = entry_fits(a, table.data() + index * static_cast<size_t>(a.entry_bytes));
    }
    if (good) {
      a.table.swap(table);
      a.source.table_copy = copy;
      return true;
    }
    // No copy may pass; what the preferred copy held stays in the table, and
    // its entries are judged one by one by their users.
    if (!kept) {
      a.table = table;
      kept = true;
    }
  }
  a.source.table_copy = -1;
  return false;
}

bool load_ring(RingArea& a) {
  const bool header = load_header(a);
  int count = 0, oldest = 0;
  if (header) {
    const uint8_t* raw = a.header_raw.data();
    if (a.header_bytes == 4 || &a == &st().block) {
      count = raw[0];
      oldest = raw[1];
    } else {
      count = le16(raw);
      oldest = le16(raw + 2);
    }
  }
  const bool table = load_table(a, count, oldest);
  return header && table;
}

int reduce(int value, int ring) { return ((value % ring) + ring) % ring; }

void position(Positioning mode) {
  State& s = st();
  if (mode == Positioning::kKeep && cursor_range_test() == 0) return;
  Cursor& c = s.cursor;
  if (mode == Positioning::kNewest) {
    c.block = s.block_h.newest;
    c.record = block_entry(c.block).last_record;
    c.attr_index = s.attr_h.newest;
    c.list_index = s.list_h.newest;
    c.alarm_index = s.alarm_h.newest;
  } else {
    c.block = s.block_h.oldest;
    c.record = block_entry(c.block).first_record;
    c.attr_index = s.attr_h.oldest;
    c.list_index = s.list_h.oldest;
    c.alarm_index = s.alarm_h.oldest;
  }
  c.device = 0;
  c.gop_index = 0;
}

}  // namespace

CopyOrder choose_generation(const int generation_of_copy[kCopies]) {
  int newest = -1;
  for (int k = 0; k < kCopies; ++k) newest = std::max(newest, generation_of_copy[k]);
  CopyOrder order;
  std::copy(generation_of_copy, generation_of_copy + kCopies, order.generation_of_copy);
  int g = 0;
  if (newest >= 0) {
    // The generation counts 0 to 5 and starts again: a 5 beside a 0 in copy 0
    // (and a 1 in copy 1) means the counter has wrapped.
    if (newest == kMaxGeneration && generation_of_copy[0] == 0) {
      newest = 0;
      if (generation_of_copy[1] == 1) newest = 1;
    }
    const int holder = generation_of_copy[newest % kCopies];
    // Generation k is written to copy k mod 3; when that copy's record is
    // unreadable the newest value itself decides the order.
    g = holder >= 0 ? holder : newest;
  }
  order.generation = g;
  order.copy[0] = g % kCopies;
  order.copy[1] = (g + 2) % kCopies;
  order.copy[2] = (g + 1) % kCopies;
  return order;
}

CopyOrder read_generation() {
  int generation[kCopies];
  for (int k = 0; k < kCopies; ++k) {
    uint8_t v[kVolumeBytes];
    generation[k] = -1;
    if (read_bytes(copy_start(k) + kVolumeOffset, sizeof v, v) != 0) continue;
    if (checksum_ok(v, sizeof v) && v[12] <= kMaxGeneration) generation[k] = v[12];
  }
  return choose_generation(generation);
}

bool load_attr_ring() { return load_ring(st().attr); }
bool load_block_ring() { return load_ring(st().block); }
bool load_list_ring() { return load_ring(st().list); }
bool load_alarm_ring() { return load_ring(st().alarm); }

bool load_index_block(int block, int rotation) {
  if (block < 0 || block >= kBlockRing) return false;
  State& s = st();
  const BlockEntry entry = block_entry(block);
  if (entry.last_record >= kRecordsPerBlock) return false;
  // Read whole sectors straight into a spare buffer that takes the place of
  // the index-block buffer once the block passes its checks.
  static thread_local std::vector<uint8_t> work;
  work.resize(static_cast<size_t>(kIndexBlockSectors) * kSectorBytes);
  for (int i = 0; i < kCopies; ++i) {
    const int copy = s.order.copy[(i + rotation) % kCopies];
    const int32_t sector = copy_start(copy) + kIndexBlockOffset + kIndexBlockSectors * block;
    // Any failed read counts here: after a device error the buffer would hold
    // part of this block and part of another.
    if (read_sectors(sector, kIndexBlockSectors, work.data()) != 0) continue;
    bool good = checksum_ok(work.data() + static_cast<size_t>(entry.last_record) * kRecordBytes, kRecordBytes);
    for (int k = 0; good && k < entry.count; k += 1000) {
      const size_t r = static_cast<size_t>((entry.first_record + k) % kRecordsPerBlock);
      good = checksum_ok(work.data() + r * kRecordBytes, kRecordBytes);
    }
    if (!good) continue;
    s.index_block.swap(work);
    s.loaded_block = block;
    return true;
  }
  return false;
}

int load_cursor_gop_table() {
  State& s = st();
  s.gop_entries = 0;
  const Cursor& c = s.cursor;
  s.gop_block = c.block;
  s.gop_record = c.record;
  if (s.loaded_block != c.block && !load_index_block(c.block)) return 0;
  IndexRecord rec;
  if (!index_record(c.block, c.record, &rec)) return 0;
  if (rec.gop_sector > static_cast<uint32_t>(INT32_MAX)) return 0;
  // Only a table read whole belongs to this record; after a failed read the
  // buffer would still hold the previous record's GOPs.
  if (read_bytes(static_cast<int32_t>(rec.gop_sector), kGopTableBytes, s.gop_table) != 0) return 0;
  s.gop_entries = rec.gop_count;
  return 1;
}

int load_index_state(Positioning mode) {
  State& s = st();
  s.order = read_generation();
  bool ok = true;
  ok &= load_attr_ring();
  ok &= load_block_ring();
  ok &= load_list_ring();
  ok &= load_alarm_ring();
  position(mode);
  ok &= load_index_block(s.cursor.block);
  ok &= load_cursor_gop_table() == 1;
  return ok ? 1 : 0;
}

RingSource ring_source(Ring ring) {
  const State& s = st();
  switch (ring) {
    case Ring::kAttr: return s.attr.source;
    case Ring::kBlock: return s.block.source;
    case Ring::kList: return s.list.source;
    case Ring::kAlarm: break;
  }
  return s.alarm.source;
}

const CopyOrder& loaded_order() { return st().order; }

const RingHeader& attr_header() { return st().attr_h; }
const BlockHeader& block_header() { return st().block_h; }
const RingHeader& list_header() { return st().list_h; }
const RingHeader& alarm_header() { return st().alarm_h; }

TimeAttribute attr_entry(int index) {
  return parse_attr(st().attr.table.data() + static_cast<size_t>(reduce(index, kAttrRing)) * kAttrEntryBytes);
}
BlockEntry block_entry(int block) {
  return parse_block(st().block.table.data() + static_cast<size_t>(reduce(block, kBlockRing)) * kBlockEntryBytes);
}
ListEntry list_entry(int index) {
  return parse_list(st().list.table.data() + static_cast<size_t>(reduce(index, kListRing)) * kListEntryBytes);
}
AlarmEntry alarm_entry(int index) {
  return parse_alarm(st().alarm.table.data() + static_cast<size_t>(reduce(index, kAlarmRing)) * kAlarmEntryBytes);
}

bool attr_entry_valid(int index) {
  const RingArea& a = st().attr;
  return entry_fits(a, a.table.data() + static_cast<size_t>(reduce(index, kAttrRing)) * kAttrEntryBytes);
}
bool block_entry_valid(int block) {
  const RingArea& a = st().block;
  return entry_fits(a, a.table.data() + static_cast<size_t>(reduce(block, kBlockRing)) * kBlockEntryBytes);
}
bool list_entry_valid(int index) {
  const RingArea& a = st().list;
  return entry_fits(a, a.table.data() + static_cast<size_t>(reduce(index, kListRing)) * kListEntryBytes);
}
bool alarm_entry_valid(int index) {
  const RingArea& a = st().alarm;
  return entry_fits(a, a.table.data() + static_cast<size_t>(reduce(index, kAlarmRing)) * kAlarmEntryBytes);
}

int loaded_block() { return st().loaded_block; }

bool index_record(int block, int record, IndexRecord* out) {
  State& s = st();
  if (block != s.loaded_block || record < 0 || record >= kRecordsPerBlock) return false;
  const uint8_t* p = s.index_block.data() + static_cast<size_t>(record) * kRecordBytes;
  if (!checksum_ok(p, kRecordBytes)) return false;
  if (out) *out = parse_record(p);
  return true;
}

void ensure_cursor_gop_table() {
  const State& s = st();
  if (s.gop_block != s.cursor.block || s.gop_record != s.cursor.record) load_cursor_gop_table();
}

int gop_count() {
  const State& s = st();
  if (s.gop_block != s.cursor.block || s.gop_record != s.cursor.record) return 0;
  return s.gop_entries;
}

bool gop_entry(int index, GopEntry* out) {
  State& s = st();
  if (index < 0 || index >= gop_count()) return false;
  const uint8_t* p = s.gop_table + static_cast<size_t>(index) * kGopEntryBytes;
  if (!checksum_ok(p, kGopEntryBytes)) return false;
  if (out) *out = parse_gop(p);
  return true;
}

Cursor& cursor() { return st().cursor; }
void save_cursor() { st().saved = st().cursor; }
void restore_cursor() { st().cursor = st().saved; }
const Cursor& saved_cursor() { return st().saved; }
int32_t& play_gop_index() { return st().play_gop; }

int64_t linear_position(int block, int record) {
  const int relative = reduce(reduce(block, kBlockRing) - st().block_h.oldest, kBlockRing);
  return static_cast<int64_t>(relative) * kRecordsPerBlock + record;
}

int range_test(int64_t p, int64_t a, int64_t b) {
  if (a <= b) return p < a ? -1 : (p > b ? 1 : 0);
  return (p > b && p < a) ? 2 : 0;
}

int cursor_range_test() {
  const Cursor& c = st().cursor;
  const BlockHeader& h = st().block_h;
  return range_test(linear_position(c.block, c.record), linear_position(h.oldest, block_entry(h.oldest).first_record),
                    linear_position(h.newest, block_entry(h.newest).last_record));
}

bool position_valid(int block, int record) {
  const BlockHeader& h = st().block_h;
  return range_test(linear_position(block, record), linear_position(h.oldest, block_entry(h.oldest).first_record),
                    linear_position(h.newest, block_entry(h.newest).last_record)) == 0;
}

namespace {

// Checks `count` frames laid out from p over len bytes: each a frame marker,
// a 48-byte header and its payload, all inside len. *valid is the length of
// the frames that passed. 0 all passed; 1 stopped on the end marker; -1
// stopped on another marker or a frame that does not fit.
int scan_frames(const uint8_t* p, size_t len, int count, size_t* valid) {
  size_t pos = 0;
  int result = 0;
  for (int taken = 0; taken < count; ++taken) {
    if (pos + 2 > len) {
      result = -1;
      break;
    }
    const uint16_t marker = le16(p + pos);
    if (marker != kVideoMarker && marker != kAudioMarker) {
      result = marker == kEndMarker ? 1 : -1;
      break;
    }
    if (pos + kFrameHeaderBytes > len) {
      result = -1;
      break;
    }
    // The payload length comes from the disk: a frame reaching past the
    // chunk (or the caller's buffer) ends the walk as damaged.
    const uint64_t total = kFrameHeaderBytes + static_cast<uint64_t>(le32(p + pos + 16));
    if (total > len - pos) {
      result = -1;
      break;
    }
    pos += static_cast<size_t>(total);
  }
  *valid = pos;
  return result;
}

}  // namespace

int walk_frame_chunk(const uint8_t* chunk, size_t chunk_len, uint8_t* out, size_t capacity, int32_t* out_len) {
  size_t valid = 0;
  int result = 0;
  if (chunk_len > kChunkHeaderBytes) {
    const size_t len = std::min(chunk_len - kChunkHeaderBytes, capacity);
    result = scan_frames(chunk + kChunkHeaderBytes, len, chunk[kChunkFrameCountByte], &valid);
    std::memcpy(out, chunk + kChunkHeaderBytes, valid);
  } else if (chunk_len > static_cast<size_t>(kChunkFrameCountByte) && chunk[kChunkFrameCountByte] != 0) {
    result = -1;
  }
  if (out_len) *out_len = static_cast<int32_t>(valid);
  return result;
}

int read_frame_chunk(const GopEntry& entry, uint8_t* out, size_t capacity, int32_t* out_len) {
  if (out_len) *out_len = 0;
  if (entry.size > kMaxChunkBytes || entry.size <= static_cast<uint32_t>(kChunkFrameCountByte)) return -1;
  if (entry.sector > static_cast<uint32_t>(INT32_MAX)) return -1;
  // The chunk's frames are read straight into the caller's buffer: the first
  // sector (which holds the chunk header) through a small buffer, the rest
  // behind what it gives. Whole sectors are read, so the buffer must take
  // the last sector whole.
  const size_t sectors = sectors_of(entry.size);
  // Sectors are addressed as 32-bit signed numbers: a chunk whose last
  // sector lies beyond them (disks over 1 TiB) cannot be read.
  if (static_cast<uint64_t>(entry.sector) + sectors - 1 > static_cast<uint64_t>(INT32_MAX)) return -1;
  const size_t first_part = static_cast<size_t>(kSectorBytes) - kChunkHeaderBytes;
  if (sectors * kSectorBytes - kChunkHeaderBytes > capacity) return -1;
  uint8_t first[kSectorBytes];
  if (read_sectors(static_cast<int32_t>(entry.sector), 1, first) != 0) return -1;
  const int frames = first[kChunkFrameCountByte];
  if (entry.size <= kChunkHeaderBytes) return frames == 0 ? 0 : -1;
  const size_t body = entry.size - kChunkHeaderBytes;
  std::memcpy(out, first + kChunkHeaderBytes, std::min(first_part, body));
  if (sectors > 1 &&
      read_sectors(static_cast<int32_t>(entry.sector) + 1, static_cast<int64_t>(sectors - 1), out + first_part) != 0)
    return -1;
  size_t valid = 0;
  const int result = scan_frames(out, body, frames, &valid);
  if (out_len) *out_len = static_cast<int32_t>(valid);
  return result;
}

}  // namespace brin::disk
