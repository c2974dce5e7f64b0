// The recorder's time types, shared by every library that handles recorded
// data.
//
// RecTime: six unsigned bytes: year - 2000, month 1-12, day 1-31, hour,
// minute, second, compared field by field.
// RecSeconds: a flat unsigned 32-bit count of seconds in which every month
// has 31 days and every year 372 days (2000-01-01 00:00:00 is 0); it is
// monotonic in the RecTime but has gaps.
#pragma once
#include <cstdint>

namespace vp {

struct RecTime {
  uint8_t year = 0;  // years since 2000
  uint8_t month = 1;
  uint8_t day = 1;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
};

inline constexpr uint32_t kSecondsPerRecDay = 86400;
inline constexpr uint32_t kSecondsPerRecMonth = 31 * kSecondsPerRecDay;   // 2,678,400
inline constexpr uint32_t kSecondsPerRecYear = 12 * kSecondsPerRecMonth;  // 32,140,800

// Reads a RecTime from its six stored bytes.
constexpr RecTime rec_time_from_bytes(const uint8_t* p) { return RecTime{p[0], p[1], p[2], p[3], p[4], p[5]}; }
constexpr void rec_time_to_bytes(const RecTime& t, uint8_t* p) {
  p[0] = t.year;
  p[1] = t.month;
  p[2] = t.day;
  p[3] = t.hour;
  p[4] = t.minute;
  p[5] = t.second;
}

// -1, 0 or +1: year, month and day as unsigned bytes, then the time of day
// in seconds.
constexpr int compare_rec_time(const RecTime& a, const RecTime& b) {
  if (a.year != b.year) return a.year < b.year ? -1 : 1;
  if (a.month != b.month) return a.month < b.month ? -1 : 1;
  if (a.day != b.day) return a.day < b.day ? -1 : 1;
  const int sa = a.hour * 3600 + a.minute * 60 + a.second;
  const int sb = b.hour * 3600 + b.minute * 60 + b.second;
  return sa < sb ? -1 : (sa > sb ? 1 : 0);
}

// ((((year x 12 + month) x 31 + day - 32) x 24 + hour) x 60 + minute) x 60
// + second, modulo 2^32.
constexpr uint32_t rec_seconds(const RecTime& t) {
  const uint32_t days = (static_cast<uint32_t>(t.year) * 12u + t.month) * 31u + t.day - 32u;
  return ((days * 24u + t.hour) * 60u + t.minute) * 60u + t.second;
}

// The calendar fields as plain integers (year as the full year), modulo 2^32.
constexpr uint32_t rec_seconds(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<uint32_t>(second) + 60u * static_cast<uint32_t>(minute) + 3600u * static_cast<uint32_t>(hour) +
         kSecondsPerRecDay * static_cast<uint32_t>(day - 1) + kSecondsPerRecMonth * static_cast<uint32_t>(month - 1) +
         kSecondsPerRecYear * static_cast<uint32_t>(year - 2000);
}

constexpr RecTime rec_time_from_seconds(uint32_t s) {
  RecTime t;
  t.year = static_cast<uint8_t>(s / kSecondsPerRecYear);
  uint32_t r = s % kSecondsPerRecYear;
  t.month = static_cast<uint8_t>(r / kSecondsPerRecMonth + 1);
  r %= kSecondsPerRecMonth;
  t.day = static_cast<uint8_t>(r / kSecondsPerRecDay + 1);
  r %= kSecondsPerRecDay;
  t.hour = static_cast<uint8_t>(r / 3600);
  t.minute = static_cast<uint8_t>((r % 3600) / 60);
  t.second = static_cast<uint8_t>(r % 60);
  return t;
}

static_assert(rec_seconds(RecTime{0, 1, 1, 0, 0, 0}) == 0);
static_assert(rec_seconds(RecTime{5, 3, 31, 12, 0, 0}) == ((((5u * 12 + 3) * 31 + 31 - 32) * 24 + 12) * 60) * 60);
static_assert(rec_seconds(2005, 3, 31, 12, 0, 0) == rec_seconds(RecTime{5, 3, 31, 12, 0, 0}));
static_assert(rec_seconds(rec_time_from_seconds(123456789)) == 123456789);

}  // namespace vp
