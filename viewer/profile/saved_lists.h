// The list files the viewer reads besides its settings:
//  - the list file of a copied recording ("List.ZEB" as the copy writes it,
//    "list.ZQ7" for the other model): one line per recording,
//    "yyyy/mm/dd hh:nn:ss - yyyy/mm/dd hh:nn:ss", read by its character
//    positions;
//  - the recorder's play list fetched into "img/list0.txt": a first line
//    with the number of entries, then one line per entry.
// Both come from files that anything may have written, so every position
// and count is checked against what is there.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::viewer {

// The longest line kept from a list file; the rest of a longer line is
// dropped (a real line is 41 characters).
inline constexpr size_t kListLineLimit = 256;

// The fields of one recording line, read as whole numbers from fixed
// character positions; a position past the line's end reads as 0.
struct CopyListEntry {
  std::string text;            // the line as listed
  std::array<int, 6> start{};  // two-digit year, month, day, hour, minute, second
  std::array<int, 6> end{};
  int32_t number = 0;  // the number from position 45 on, 0 when shorter
};

CopyListEntry parse_copy_list_line(std::string_view line);

// The lines of a list file up to the first empty line or the end: line ends
// are LF or CR LF; each line is cut to kListLineLimit characters.
std::vector<std::string> list_file_lines(std::string_view bytes);

// The entries of a play list file: of the lines counted by the first line,
// those that end in ";1", each as the start time it begins with (the text
// before the first " " that follows the date, i.e. "yyyy/mm/dd hh:nn:ss";
// the whole line without ";1" when it is shorter). A count larger than the
// lines present reads what is there.
std::vector<std::string> play_list_entries(std::string_view bytes);

}  // namespace velmora::viewer
