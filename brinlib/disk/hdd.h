// The recorder disk inside brinlib: the raw sector reader, the management
// region with its three copies, the index, and the one process-wide playback
// position (the cursor) with the operations that move it and read frames at
// it. The exported functions of the disk section of brinlib.h are thin
// wrappers around these; the playback threads and the disk-to-PC copy use
// them directly.
//
// Threads: all state here is process-wide and unlocked. One thread at a time
// may use it (the viewer while playback is stopped, the playback thread, or
// the copy thread); the playback controls keep them apart.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "velmora/drive.h"
#include "velmora/rectime.h"

namespace brin::disk {

// Held by whoever uses the cursor and the index buffers at a given moment
// (the exported functions, one round of the disk worker, one step of the
// copy), so that a control called at the wrong time meets no half-moved
// cursor.
std::mutex& cursor_lock();

// ---- Layout of the disk ------------------------------------------------------

inline constexpr int64_t kSectorBytes = 512;

// The management region: three copies, copy c starting at sector
// kCopySectors x c. Offsets inside a copy are in sectors.
inline constexpr int kCopies = 3;
inline constexpr int32_t kCopySectors = 244333;
inline constexpr int32_t kVolumeOffset = 1;
inline constexpr int32_t kAttrHeaderOffset = 2;  // table follows in the next sector
inline constexpr int32_t kBlockHeaderOffset = 9;
inline constexpr int32_t kListHeaderOffset = 23;
inline constexpr int32_t kAlarmHeaderOffset = 79;
inline constexpr int32_t kIndexBlockOffset = 83;
inline constexpr int32_t kIndexBlockSectors = 977;
// The recorded data lies behind the three copies.
inline constexpr int32_t kDataStartSector = kCopies * kCopySectors;

inline constexpr int kVolumeBytes = 16;
inline constexpr int kMaxGeneration = 5;

inline constexpr int kAttrRing = 100;
inline constexpr int kBlockRing = 250;
inline constexpr int kListRing = 1000;
inline constexpr int kAlarmRing = 50;

inline constexpr int kAttrEntryBytes = 28;
inline constexpr int kBlockEntryBytes = 26;
inline constexpr int kListEntryBytes = 28;
inline constexpr int kAlarmEntryBytes = 28;

inline constexpr int kRecordBytes = 20;
inline constexpr int kRecordsPerBlock = 25000;
inline constexpr size_t kIndexBlockBytes = static_cast<size_t>(kRecordBytes) * kRecordsPerBlock;

inline constexpr int kGopEntries = 40;
inline constexpr int kGopEntryBytes = 32;
inline constexpr int kGopTableBytes = kGopEntries * kGopEntryBytes;

inline constexpr size_t kChunkHeaderBytes = 100;
inline constexpr int kChunkFrameCountByte = 27;
inline constexpr uint32_t kMaxChunkBytes = 2097152;
// The frame readers' output: a chunk's frames never exceed the chunk.
inline constexpr size_t kFrameBufferBytes = 2097152;
inline constexpr size_t kFrameHeaderBytes = 48;
inline constexpr uint16_t kVideoMarker = 0xFBFF;
inline constexpr uint16_t kAudioMarker = 0xFCFF;
inline constexpr uint16_t kEndMarker = 0xFFFF;

// IndexRecord byte 17 and 18.
inline constexpr uint8_t kFlagStopPoint = 4;
inline constexpr uint8_t kFlagTargetMask = 0x0F;
inline constexpr uint8_t kStatusRunEnd = 1;
inline constexpr uint8_t kStatusRunStart = 2;

// Result codes of the index operations.
inline constexpr int kNoBlockDirectory = -123;
inline constexpr int kNoFurtherRun = -124;
inline constexpr int kOutsideRange = -125;
inline constexpr int kSearchFailure = -100;
inline constexpr int kNotFound = 16;
inline constexpr int kNoFurtherData = 100;

// The 8-bit sum of n bytes.
uint8_t byte_sum(const uint8_t* p, size_t n);
// A record of n bytes whose last byte is the sum of those before it.
inline bool checksum_ok(const uint8_t* p, size_t n) { return n > 0 && byte_sum(p, n - 1) == p[n - 1]; }

// ---- Decoded management entries ----------------------------------------------

struct RingHeader {
  uint16_t count = 0;
  uint16_t oldest = 0;
  uint16_t newest = 0;
};

struct BlockHeader {
  uint8_t count = 0;
  uint8_t oldest = 0;
  uint8_t newest = 0;
  uint8_t write_block = 0;
  uint16_t write_record = 0;
};

struct TimeAttribute {
  uint16_t number = 0;
  vp::RecTime first, last;
  uint32_t first_record = 0, last_record = 0;
  uint8_t first_block = 0, last_block = 0;
};

struct BlockEntry {
  uint16_t count = 0;
  uint16_t first_record = 0, last_record = 0;
  uint16_t first_attr = 0;
  vp::RecTime first_time;
  uint16_t last_attr = 0;
  vp::RecTime last_time;
};

struct ListEntry {
  uint16_t attr = 0;
  vp::RecTime start, end;
  uint8_t start_block = 0, end_block = 0;
  uint32_t start_record = 0, end_record = 0;
  uint8_t kind = 0;
  uint8_t continuation = 0;
};

struct AlarmEntry {
  vp::RecTime start, end;
};

struct IndexRecord {
  vp::RecTime time;
  uint32_t gop_sector = 0;
  uint8_t gop_count = 0;  // already limited to kGopEntries
  uint8_t flags = 0;
  uint8_t status = 0;
};

struct GopEntry {
  uint8_t byte0 = 0, byte2 = 0, byte27 = 0;
  vp::RecTime time;
  uint32_t size = 0;
  uint32_t sector = 0;
};

// Decoding from stored bytes (no checks beyond the layout).
TimeAttribute parse_attr(const uint8_t* p);
BlockEntry parse_block(const uint8_t* p);
ListEntry parse_list(const uint8_t* p);
AlarmEntry parse_alarm(const uint8_t* p);
IndexRecord parse_record(const uint8_t* p);
GopEntry parse_gop(const uint8_t* p);

// ---- The device and the sector reader (hdd_disk.cpp) ---------------------------

// The process-wide handle of the attached disk.
vp::Drive& drive();

// Reads count whole sectors into dest. 0; -1 the range lies outside the disk
// (or a negative sector or count); -2 the read failed.
int read_sectors(int32_t sector, int64_t count, uint8_t* dest);
// Reads n bytes at a sector through a sector-aligned work buffer, so that a
// failed read leaves dest unchanged. 0, -1 or -2 as read_sectors; a request
// over 0x7FFFFFFF bytes fails with -1.
int read_bytes(int32_t sector, uint64_t n, uint8_t* dest);

// The refusal codes of the drive probe for a geometry (0 when the geometry is
// the recorder's): -3 not a fixed disk, -4 not 512 / 255 / 63.
int check_geometry(const vp::DriveGeometry& g);

// ---- The index state (hdd_index.cpp) --------------------------------------------

enum class Positioning { kOldest, kNewest, kKeep };

struct Cursor {
  int32_t device = 0;
  int32_t attr_index = 0;
  int32_t block = 0;
  int32_t record = 0;
  int32_t list_index = 0;
  int32_t alarm_index = 0;
  int32_t gop_index = 0;
};

// The copies of the management region in the order they are tried for the
// current write generation: g mod 3, (g + 2) mod 3, (g + 1) mod 3.
struct CopyOrder {
  int generation = 0;
  int copy[kCopies] = {0, 2, 1};
  // Each copy's volume record as read: its generation, -1 when it failed
  // its checksum or could not be read.
  int generation_of_copy[kCopies] = {-1, -1, -1};
};

// The generation of each copy's volume record (-1 when it fails) and the
// current generation chosen from them.
CopyOrder choose_generation(const int generation_of_copy[kCopies]);
CopyOrder read_generation();

// The copy of the management region each ring's header and table were
// taken from at the last load (-1: no copy passed the checks; the ring then
// counts as empty, or its entries are judged one by one by their users).
enum class Ring { kAttr, kBlock, kList, kAlarm };
struct RingSource {
  int header_copy = -1;
  int table_copy = -1;
};
RingSource ring_source(Ring ring);
// The write generation and copy order of the last load.
const CopyOrder& loaded_order();

// Loads the whole index state from the disk (volume record, the four rings,
// the cursor's index block and GOP table), positioning the cursor first.
// Every step is tried even when one failed. 1 when all succeeded, else 0.
int load_index_state(Positioning mode);

// Single steps of the load, each with the copy fallback. True on success.
bool load_attr_ring();
bool load_block_ring();
bool load_list_ring();
bool load_alarm_ring();
// Index block b into the index-block buffer, trying the copies from the
// current order rotated by `rotation`. On failure the buffer keeps the block
// it held.
bool load_index_block(int block, int rotation = 0);
// The GOP table of the cursor's record (an invalid record or a failed read
// leaves no table: the readers then find no GOPs). 1 loaded, 0 failed.
int load_cursor_gop_table();

// The rings as last loaded.
const RingHeader& attr_header();
const BlockHeader& block_header();
const RingHeader& list_header();
const RingHeader& alarm_header();
// Entries by ring index; the index is reduced into the ring.
TimeAttribute attr_entry(int index);
BlockEntry block_entry(int block);
ListEntry list_entry(int index);
AlarmEntry alarm_entry(int index);
// Whether the entry passes its checksum and its block and record numbers lie
// inside their rings.
bool attr_entry_valid(int index);
bool block_entry_valid(int block);
bool list_entry_valid(int index);
bool alarm_entry_valid(int index);
// The block held by the index-block buffer, -1 when none.
int loaded_block();
// Record r of block b when that block is loaded, r is in range and the
// record passes its checksum.
bool index_record(int block, int record, IndexRecord* out);
// The GOP table of the cursor's record: its entry count (0 when there is no
// table, or the table held belongs to another record) and its entries; an
// entry that fails its checksum gives false.
int gop_count();
// Loads the cursor's GOP table unless the one held is already its.
void ensure_cursor_gop_table();
bool gop_entry(int index, GopEntry* out);

// The cursor, its saved copy and the play GOP index (the next GOP the frame
// readers take).
Cursor& cursor();
void save_cursor();
void restore_cursor();
const Cursor& saved_cursor();
int32_t& play_gop_index();

// Positions relative to the oldest block, so that positions compare in time
// order also after the block ring has wrapped.
int64_t linear_position(int block, int record);
// The range test of a position p against [a, b]: for a <= b, -1 before, 0
// inside, 1 after; for a > b (a wrapped range) 2 outside and 0 inside.
int range_test(int64_t p, int64_t a, int64_t b);
// The cursor against the valid range of the disk (oldest block's first record
// to newest block's last record).
int cursor_range_test();
bool position_valid(int block, int record);

// ---- Frame chunks (hdd_index.cpp) -------------------------------------------------

// Reads the entry's chunk and puts its frames at the start of out (capacity
// bytes, at least kFrameBufferBytes for the largest chunk). 0 all frames taken
// (also for none); 1 stopped on the end marker; -1 stopped on another marker
// or a damaged frame, or the chunk is too large or could not be read.
// *out_len is the length of the frames taken; out may hold more bytes after
// them.
int read_frame_chunk(const GopEntry& entry, uint8_t* out, size_t capacity, int32_t* out_len);
// The walk alone, over a chunk of chunk_len bytes in memory.
int walk_frame_chunk(const uint8_t* chunk, size_t chunk_len, uint8_t* out, size_t capacity, int32_t* out_len);

// ---- Time search (hdd_search.cpp) ----------------------------------------------

// Searches time t within time attribute number a: 1 found (cursor set); -1 t
// before the attribute (cursor at its first position); -2 after it (cursor at
// its last position); -4 the search ended on a run's last record (cursor on
// the next record); 0 nothing found; 16 attribute or block not found.
int search_in_attribute(const vp::RecTime& t, int attribute);
// search_in_attribute with one retry of 16; -4 becomes 1 after a reload.
int search_with_retry(const vp::RecTime& t, int attribute);
// The search over all attributes, newest first: 1 positioned at t; 2 not
// found, positioned at the last GOP of the newest record.
int search_by_time(uint32_t rec_seconds);

// ---- Stepping, frame readers and skip (hdd_step.cpp) ----------------------------

// Moves the cursor n records forward or back. 1; -123 no block directory;
// -125 the cursor is outside the valid range.
int step_forward(int n);
int step_back(int n);

// Frame readers: the frames of the GOP at the play GOP index go to out (which
// holds kFrameBufferBytes) and *len; the index then moves by one (or n) in the
// direction of play, into the next or previous record when the record ends
// (records that are no stepping target and damaged GOP entries are passed
// over). 0 frames copied; 1 the chunk ended on the end marker; -1 damaged,
// too large or unreadable chunk (the index moves on all the same); 100 no
// further data in that direction. Every GOP comes with its own result: 100
// comes only from a call that read nothing, so the last GOP either way is
// never lost. A playback thread calls one reader per GOP; the disk-to-PC copy
// positions with search_by_time and reads with read_next_with_info.
int read_next(uint8_t* out, int32_t* len);
int read_next_by(int n, uint8_t* out, int32_t* len);
int read_previous(uint8_t* out, int32_t* len);
int read_previous_by(int n, uint8_t* out, int32_t* len);
// As read_next, and the GOP's time and its bytes 2, 0 and 27 (in that order
// in info_bytes).
int read_next_with_info(uint8_t* out, int32_t* len, vp::RecTime* time, uint8_t info_bytes[3]);

// Sets the cursor's list index to the recording-list entry that holds the
// cursor (or the one before the cursor).
void find_list_entry();

enum class SkipDirection { kForward, kBack };
// One skip: 1 moved; 0 a load failed; -123; -124 no further run.
int skip(SkipDirection direction);
// The exported skips: find the list entry, skip, honour the continuation
// flag. 0 moved; -123; -124; -1 a load failed.
int skip_run(SkipDirection direction);

}  // namespace brin::disk
