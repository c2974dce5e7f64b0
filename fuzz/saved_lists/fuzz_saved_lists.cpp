// Reads any bytes as a copy's recording list and as a play list: no input
// may crash, hang or read out of bounds, and every line and entry stays
// within the line limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "saved_lists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velmora::viewer;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const std::string& line : list_file_lines(bytes)) {
    if (line.empty() || line.size() > kListLineLimit) std::abort();
    const CopyListEntry e = parse_copy_list_line(line);
    if (e.text != line) std::abort();
  }
  for (const std::string& entry : play_list_entries(bytes))
    if (entry.size() > kListLineLimit) std::abort();
  return 0;
}
