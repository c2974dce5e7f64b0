// Fuzz target: arbitrary bytes as a custody record's JSON text. A value
// read back is walked whole, so that a broken tree shows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "exporter/custody.h"

namespace {

size_t walk(const exporter::Json& v, int depth) {
  if (depth > 70) std::abort();  // the parser refuses deeper nesting
  size_t n = v.text.size();
  for (const auto& item : v.items) n += walk(item, depth + 1);
  for (const auto& [name, member] : v.members) n += name.size() + walk(member, depth + 1);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  exporter::Json value;
  std::string error;
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (exporter::parse_json(text, &value, &error)) {
    volatile size_t n = walk(value, 0);
    (void)n;
    (void)value["files"]["missing"].str();
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }
  return 0;
}
