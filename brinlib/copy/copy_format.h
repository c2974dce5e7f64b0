// The three files of a copy of recorded data, as the disk-to-PC copy writes
// them and file playback reads them:
//  - "ZEB.dat": the frames of every copied GOP back to back, each a 48-byte
//    frame header and its payload, as in the disk's frame chunks;
//  - ".index": one 24-byte record per GOP: the GOP's offset in the data file
//    (u64 little-endian), its time (six bytes), three bytes of the GOP's entry
//    in the disk's GOP table, seven zero bytes. A GOP runs from its offset to
//    the next record's offset, the last one to the end of the data file;
//  - "List.ZEB": one line without line end naming the first and last GOP time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "velmora/rectime.h"

namespace brin::copyfile {

inline constexpr const char* kDataName = "ZEB.dat";
inline constexpr const char* kIndexName = ".index";
inline constexpr const char* kListName = "List.ZEB";

inline constexpr size_t kRecordBytes = 24;
// The list line of a copy that has not finished yet.
inline constexpr const char* kListPlaceholder = "0000/00/00 00:00:00 - 0000/00/00 00:00:00";

struct Record {
  uint64_t offset = 0;
  vp::RecTime time;
  uint8_t info[3] = {};  // GOP entry bytes 2, 0 and 27
};

inline Record parse_record(const uint8_t* p) {
  Record r;
  for (int i = 7; i >= 0; --i) r.offset = (r.offset << 8) | p[i];
  r.time = vp::rec_time_from_bytes(p + 8);
  r.info[0] = p[14];
  r.info[1] = p[15];
  r.info[2] = p[16];
  return r;
}

inline void encode_record(const Record& r, uint8_t* p) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(r.offset >> (8 * i));
  vp::rec_time_to_bytes(r.time, p + 8);
  p[14] = r.info[0];
  p[15] = r.info[1];
  p[16] = r.info[2];
  for (size_t i = 17; i < kRecordBytes; ++i) p[i] = 0;
}

// "yyyy/mm/dd hh:mm:ss - yyyy/mm/dd hh:mm:ss".
std::string list_line(const vp::RecTime& first, const vp::RecTime& last);

// The destination folder joined with a file name: "%s/%s", or "%s%s" when the
// folder already ends in '/'.
std::string join(const std::string& folder, const char* name);

}  // namespace brin::copyfile
