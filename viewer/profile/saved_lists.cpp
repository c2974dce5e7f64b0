#include "saved_lists.h"

#include "profile.h"

namespace velmora::viewer {
namespace {

// The whole number at 1-based character position pos, at most width
// characters long; 0 past the line's end.
int field(std::string_view line, size_t pos, size_t width) {
  if (pos == 0 || pos > line.size()) return 0;
  return leading_number(line.substr(pos - 1, width));
}

}  // namespace

CopyListEntry parse_copy_list_line(std::string_view line) {
  CopyListEntry e;
  e.text = std::string(line.substr(0, kListLineLimit));
  static constexpr size_t kStart[6] = {3, 6, 9, 12, 15, 18};
  static constexpr size_t kEnd[6] = {25, 28, 31, 34, 37, 40};
  for (size_t i = 0; i < 6; ++i) {
    e.start[i] = field(line, kStart[i], 2);
    e.end[i] = field(line, kEnd[i], 2);
  }
  e.number = line.size() >= 45 ? leading_number(line.substr(44)) : 0;
  return e;
}

std::vector<std::string> list_file_lines(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    lines.emplace_back(line.substr(0, kListLineLimit));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> play_list_entries(std::string_view bytes) {
  std::vector<std::string> entries;
  size_t start = 0;
  bool first = true;
  int32_t left = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      first = false;
      left = leading_number(line);
      continue;
    }
    if (left-- <= 0) break;
    if (line.size() < 2 || line.substr(line.size() - 2) != ";1") continue;
    line.remove_suffix(2);
    // "yyyy/mm/dd hh:nn:ss": the second blank ends the start time.
    const size_t blank = line.find(' ');
    const size_t second = blank == std::string_view::npos ? blank : line.find(' ', blank + 1);
    if (second != std::string_view::npos) line = line.substr(0, second);
    entries.emplace_back(line.substr(0, kListLineLimit));
  }
  return entries;
}

}  // namespace velmora::viewer
