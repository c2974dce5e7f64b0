// Decoding of the management entries, index records and GOP entries from
// their stored bytes. All multi-byte integers of the region are little-endian.
#include "disk/hdd.h"
#include "velmora/bytes.h"

namespace brin::disk {
namespace {

using vp::le16;
using vp::le32;

}  // namespace

uint8_t byte_sum(const uint8_t* p, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<uint8_t>(sum);
}

TimeAttribute parse_attr(const uint8_t* p) {
  TimeAttribute e;
  e.number = le16(p);
  e.first = vp::rec_time_from_bytes(p + 2);
  e.last = vp::rec_time_from_bytes(p + 8);
  e.first_record = le32(p + 16);
  e.last_record = le32(p + 20);
  e.first_block = p[24];
  e.last_block = p[25];
  return e;
}

BlockEntry parse_block(const uint8_t* p) {
  BlockEntry e;
  e.count = le16(p);
  e.first_record = le16(p + 2);
  e.last_record = le16(p + 4);
  e.first_attr = le16(p + 6);
  e.first_time = vp::rec_time_from_bytes(p + 8);
  e.last_attr = le16(p + 14);
  e.last_time = vp::rec_time_from_bytes(p + 16);
  return e;
}

ListEntry parse_list(const uint8_t* p) {
  ListEntry e;
  e.attr = le16(p);
  e.start = vp::rec_time_from_bytes(p + 2);
  e.end = vp::rec_time_from_bytes(p + 8);
  e.start_block = p[14];
  e.end_block = p[15];
  e.start_record = le32(p + 16);
  e.end_record = le32(p + 20);
  e.kind = p[24];
  e.continuation = p[26];
  return e;
}

AlarmEntry parse_alarm(const uint8_t* p) {
  AlarmEntry e;
  e.start = vp::rec_time_from_bytes(p + 2);
  e.end = vp::rec_time_from_bytes(p + 8);
  return e;
}

IndexRecord parse_record(const uint8_t* p) {
  IndexRecord r;
  r.time = vp::rec_time_from_bytes(p + 2);
  r.gop_sector = le32(p + 8);
  r.gop_count = p[14] > kGopEntries ? static_cast<uint8_t>(kGopEntries) : p[14];
  r.flags = p[17];
  r.status = p[18];
  return r;
}

GopEntry parse_gop(const uint8_t* p) {
  GopEntry g;
  g.byte0 = p[0];
  g.byte2 = p[2];
  g.time = vp::rec_time_from_bytes(p + 6);
  g.size = le32(p + 12);
  g.sector = le32(p + 16);
  g.byte27 = p[27];
  return g;
}

}  // namespace brin::disk
