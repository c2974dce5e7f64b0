// Reading a custody record back and checking an export against it: the
// files' hashes, and the source GOPs' where the source is at hand.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace exporter {

// A JSON value, as much of JSON as a custody record uses (numbers are kept
// as their text).
struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // a string's value or a number's digits
  std::vector<Json> items;
  std::map<std::string, Json> members;

  // The member named, or a null value.
  const Json& operator[](const std::string& name) const;
  const std::string& str() const { return text; }
};

// Parses JSON text; false with *error (and where) on anything else. Nesting
// deeper than 64 levels is refused.
bool parse_json(const std::string& text, Json* out, std::string* error);

struct Check {
  std::string what;  // "file ZEB_cam01_….mkv", "source GOP 2026/12/07 09:00:00"
  bool matches = false;
  std::string detail;
};

struct Verification {
  bool read = false;  // the record could be read
  std::string error;
  std::vector<Check> checks;
  bool source_checked = false;
  std::string source_note;  // why the source was not checked
  bool all_match() const;
};

// Checks the export the record at `path` describes. The files are looked for
// beside the record; the source where the record says it was.
Verification verify_record(const std::string& path);

}  // namespace exporter
