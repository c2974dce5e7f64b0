// The calendar rules and the list files the viewer's windows read: the
// recording lists of copies and the recorder's play list.
#include <gtest/gtest.h>

#include "dates.h"
#include "saved_lists.h"

namespace {

using namespace velmora::viewer;

TEST(Calendar, FebruaryFollowsTheGregorianLeapYears) {
  EXPECT_EQ(days_in_month(1900, 2), 28);
  EXPECT_EQ(days_in_month(2100, 2), 28);
  EXPECT_EQ(days_in_month(2000, 2), 29);
  EXPECT_EQ(days_in_month(2024, 2), 29);
  EXPECT_EQ(days_in_month(2026, 2), 28);
  const int lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int m = 1; m <= 12; ++m) EXPECT_EQ(days_in_month(2026, m), lengths[m - 1]) << m;
  EXPECT_EQ(days_in_month(2026, 0), 0);
  EXPECT_EQ(days_in_month(2026, 13), 0);
}

TEST(Calendar, FirstWeekdayOfTheMonth) {
  struct Row {
    int year, month, weekday;  // 0 = Sunday
  };
  const Row rows[] = {
      {2026, 12, 2},  // Tuesday
      {2000, 1, 6},   // Saturday
      {2000, 3, 3},   // after a 29-day February: Wednesday
      {1900, 3, 4},   // after a 28-day February: Thursday
      {2100, 3, 1},   // Monday
      {2024, 9, 0},   // Sunday
      {2001, 1, 1},   // Monday
  };
  for (const Row& r : rows) EXPECT_EQ(first_weekday(r.year, r.month), r.weekday) << r.year << "-" << r.month;
}

TEST(Calendar, DayNumbersCountEveryDay) {
  EXPECT_EQ(day_number(2000, 3, 1) - day_number(2000, 2, 28), 2);
  EXPECT_EQ(day_number(1900, 3, 1) - day_number(1900, 2, 28), 1);
  EXPECT_EQ(day_number(2027, 1, 1) - day_number(2026, 12, 31), 1);
}

TEST(CopyListLine, FieldsAreReadFromTheirPositions) {
  const CopyListEntry e = parse_copy_list_line("2026/12/07 09:00:05 - 2026/12/07 10:30:59");
  EXPECT_EQ(e.start, (std::array<int, 6>{26, 12, 7, 9, 0, 5}));
  EXPECT_EQ(e.end, (std::array<int, 6>{26, 12, 7, 10, 30, 59}));
  EXPECT_EQ(e.number, 0);
  EXPECT_EQ(e.text, "2026/12/07 09:00:05 - 2026/12/07 10:30:59");

  const CopyListEntry numbered = parse_copy_list_line("2026/12/07 09:00:05 - 2026/12/07 10:30:59   17");
  EXPECT_EQ(numbered.number, 17);
}

TEST(CopyListLine, ShortAndForeignLinesReadAsZeros) {
  const CopyListEntry e = parse_copy_list_line("2026/12/07 09");
  EXPECT_EQ(e.start, (std::array<int, 6>{26, 12, 7, 9, 0, 0}));
  EXPECT_EQ(e.end, (std::array<int, 6>{}));
  const CopyListEntry junk = parse_copy_list_line("xx");
  EXPECT_EQ(junk.start, (std::array<int, 6>{}));
  const CopyListEntry empty = parse_copy_list_line("");
  EXPECT_EQ(empty.number, 0);
}

TEST(ListFile, LinesEndAtTheFirstEmptyLine) {
  EXPECT_EQ(list_file_lines("a\r\nb\n\nc\n"), (std::vector<std::string>{"a", "b"}));
  // The copy writes its one line without a line end.
  EXPECT_EQ(list_file_lines("2026/12/07 09:00:00 - 2026/12/07 09:00:20"),
            (std::vector<std::string>{"2026/12/07 09:00:00 - 2026/12/07 09:00:20"}));
  EXPECT_TRUE(list_file_lines("").empty());
  const std::vector<std::string> long_line = list_file_lines(std::string(5000, 'x') + "\nnext");
  ASSERT_EQ(long_line.size(), 2u);
  EXPECT_EQ(long_line[0].size(), kListLineLimit);
  EXPECT_EQ(long_line[1], "next");
}

TEST(PlayList, EntriesAreTheStartTimesOfLinesEndingInTheMark) {
  const std::string list =
      "3\n"
      "2026/12/07 09:00:00 2026/12/07 09:30:00;1\r\n"
      "2026/12/07 09:40:00 2026/12/07 09:45:00;0\n"
      "2026/12/07 10:00:00 2026/12/07 10:05:00;1\n"
      "2026/12/07 11:00:00 2026/12/07 11:05:00;1\n";
  // The fourth entry is beyond the count of the first line.
  EXPECT_EQ(play_list_entries(list), (std::vector<std::string>{"2026/12/07 09:00:00", "2026/12/07 10:00:00"}));
}

TEST(PlayList, CountsAndLinesThatDoNotAgree) {
  EXPECT_TRUE(play_list_entries("").empty());
  EXPECT_TRUE(play_list_entries("0\n").empty());
  // The placeholder written while a transfer runs.
  EXPECT_TRUE(play_list_entries("0\n2026/12/07 09:00:00;1\n").empty());
  EXPECT_EQ(play_list_entries("9\nabc;1\n"), (std::vector<std::string>{"abc"}));
  EXPECT_TRUE(play_list_entries("-5\nabc;1\n").empty());
  EXPECT_TRUE(play_list_entries("2\n;\n1\n").empty());
}

}  // namespace
