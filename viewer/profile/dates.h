// Calendar rules of the viewer's month calendars and time boxes: Gregorian
// leap years, month lengths, the weekday of a month's first day.
#pragma once

namespace velmora::viewer {

// Divisible by 4, except by 100, but again by 400: 2000 is a leap year,
// 1900 and 2100 are not.
constexpr bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// 28 to 31; 0 for a month outside 1 to 12.
constexpr int days_in_month(int year, int month) {
  constexpr int kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && is_leap_year(year) ? 29 : kLengths[month - 1];
}

// The weekday of the 1st of the month, 0 = Sunday: the Gregorian day count
// (y - 1) + (y - 1)/4 - (y - 1)/100 + (y - 1)/400 + the days of the months
// before, taken modulo 7. Years from 1 on.
constexpr int first_weekday(int year, int month) {
  const long y = year - 1;
  long days = y + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month && m <= 12; ++m) days += days_in_month(year, m);
  return static_cast<int>(((days + 1) % 7 + 7) % 7);
}

// The day number of a date, counted from 0001-01-01 (0), for differences.
constexpr long day_number(int year, int month, int day) {
  const long y = year - 1;
  long days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month && m <= 12; ++m) days += days_in_month(year, m);
  return days + day - 1;
}

static_assert(first_weekday(2026, 12) == 2);  // 2026-12-01 is a Tuesday
static_assert(first_weekday(2000, 1) == 6);   // 2000-01-01 is a Saturday
static_assert(days_in_month(2000, 2) == 29 && days_in_month(1900, 2) == 28 && days_in_month(2100, 2) == 28);

}  // namespace velmora::viewer
