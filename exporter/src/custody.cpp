#include "exporter/custody.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "brinlib.h"
#include "exporter/exporter.h"
#include "exporter/scan.h"

namespace exporter {

namespace {

constexpr int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}

  bool parse(Json* out, std::string* error) {
    if (!value(out, 0)) {
      *error = error_ + " at byte " + std::to_string(at_);
      return false;
    }
    space();
    if (at_ != s_.size()) {
      *error = "text after the value at byte " + std::to_string(at_);
      return false;
    }
    return true;
  }

 private:
  void space() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\r' || s_[at_] == '\t')) ++at_;
  }
  bool fail(const char* what) {
    error_ = what;
    return false;
  }
  bool word(const char* w) {
    const size_t n = std::strlen(w);
    if (s_.compare(at_, n, w) != 0) return false;
    at_ += n;
    return true;
  }

  bool string(std::string* out) {
    if (at_ >= s_.size() || s_[at_] != '"') return fail("a string was expected");
    ++at_;
    while (at_ < s_.size()) {
      const char c = s_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (at_ >= s_.size()) break;
      const char e = s_[at_++];
      switch (e) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case '/': *out += '/'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 'u': {
          if (s_.size() - at_ < 4) return fail("a \\u escape cut short");
          unsigned v = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = s_[at_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
              v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
              v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
              v |= static_cast<unsigned>(h - 'A' + 10);
            else
              return fail("a \\u escape that is not hexadecimal");
          }
          // UTF-8 of the code unit (a surrogate stays as it is written).
          if (v < 0x80) {
            *out += static_cast<char>(v);
          } else if (v < 0x800) {
            *out += static_cast<char>(0xC0 | (v >> 6));
            *out += static_cast<char>(0x80 | (v & 0x3F));
          } else {
            *out += static_cast<char>(0xE0 | (v >> 12));
            *out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (v & 0x3F));
          }
          break;
        }
        default: return fail("an unknown escape in a string");
      }
    }
    return fail("a string without its end");
  }

  bool value(Json* out, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    space();
    if (at_ >= s_.size()) return fail("a value was expected");
    const char c = s_[at_];
    if (c == '{') {
      out->kind = Json::Kind::kObject;
      ++at_;
      space();
      if (at_ < s_.size() && s_[at_] == '}') {
        ++at_;
        return true;
      }
      for (;;) {
        space();
        std::string name;
        if (!string(&name)) return false;
        space();
        if (at_ >= s_.size() || s_[at_] != ':') return fail("':' was expected");
        ++at_;
        Json v;
        if (!value(&v, depth + 1)) return false;
        out->members[name] = std::move(v);
        space();
        if (at_ < s_.size() && s_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < s_.size() && s_[at_] == '}') {
          ++at_;
          return true;
        }
        return fail("',' or '}' was expected");
      }
    }
    if (c == '[') {
      out->kind = Json::Kind::kArray;
      ++at_;
      space();
      if (at_ < s_.size() && s_[at_] == ']') {
        ++at_;
        return true;
      }
      for (;;) {
        Json v;
        if (!value(&v, depth + 1)) return false;
        out->items.push_back(std::move(v));
        space();
        if (at_ < s_.size() && s_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < s_.size() && s_[at_] == ']') {
          ++at_;
          return true;
        }
        return fail("',' or ']' was expected");
      }
    }
    if (c == '"') {
      out->kind = Json::Kind::kString;
      return string(&out->text);
    }
    if (word("true")) {
      out->kind = Json::Kind::kBool;
      out->boolean = true;
      return true;
    }
    if (word("false")) {
      out->kind = Json::Kind::kBool;
      return true;
    }
    if (word("null")) return true;
    const size_t start = at_;
    if (at_ < s_.size() && s_[at_] == '-') ++at_;
    while (at_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[at_])) || s_[at_] == '.' || s_[at_] == 'e' ||
                               s_[at_] == 'E' || s_[at_] == '+' || s_[at_] == '-'))
      ++at_;
    if (at_ == start || (at_ == start + 1 && s_[start] == '-')) return fail("a value was expected");
    out->kind = Json::Kind::kNumber;
    out->text = s_.substr(start, at_ - start);
    return true;
  }

  const std::string& s_;
  size_t at_ = 0;
  std::string error_;
};

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// "yyyy/mm/dd hh:mm:ss" as recorder seconds.
bool rec_seconds_of(const std::string& text, uint32_t* out) {
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
  if (y < 2000 || y > 2255 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 ||
      s < 0)
    return false;
  *out = vp::rec_seconds(y, mo, d, h, mi, s);
  return true;
}

// The source's GOPs against the record's, in order.
void check_source(const Json& record, Verification* v) {
  const Json& source = record["source"];
  const std::string& path = source["path"].str();
  const std::string& kind = source["description"].str();
  if (path.empty() || !exists(path)) {
    v->source_note = path.empty() ? "the record names no source file" : "the source " + path + " is not at hand";
    return;
  }
  std::string error;
  std::unique_ptr<GopSource> gops;
  bool attached = false;
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (kind.rfind("copy folder", 0) == 0) {
    gops = open_copy_folder(path, &error);
  } else if (kind.rfind("downloaded data file", 0) == 0) {
    if (std::sscanf(source["day"].str().c_str(), "%d/%d/%d%c", &y, &m, &d, &tail) != 3) {
      v->source_note = "the record gives no day for the downloaded file";
      return;
    }
    gops = open_downloaded_file(path, y, m, d, &error);
  } else {
    // A recorder disk, read through its index or, for recovered GOPs, by a
    // scan that finds them again.
    const bool recovered = kind.rfind("recovered", 0) == 0;
    uint32_t from = 0, to = 0;
    const Json& asked = record["span_asked"];
    if (!rec_seconds_of(asked["from"].str(), &from) || !rec_seconds_of(asked["to"].str(), &to)) {
      v->source_note = "the record gives no span to read the source over";
      return;
    }
    ::setenv("VELMORA_DRIVE0", path.c_str(), 1);
    if (hdd_open(0) != 0 || first_section_play() != 0) {
      hdd_close();
      v->source_note = "the source " + path + " cannot be read as a recorder disk";
      return;
    }
    attached = true;
    if (recovered) {
      const ScanResult scan = scan_disk();
      if (scan.ok) gops = open_recovered(scan, from, to);
      if (!scan.ok) error = scan.error;
    } else {
      gops = open_attached_disk(from, to, &error);
    }
  }
  if (!gops) {
    if (attached) hdd_close();
    v->source_note = "the source cannot be read: " + error;
    return;
  }
  const std::vector<Json>& listed = record["gops"].items;
  SourceGop gop;
  size_t n = 0;
  for (;; ++n) {
    const int r = gops->next(&gop);
    if (r <= 0) break;
    const std::string time = clock_text(unix_from_rec(gop.time));
    Check c;
    c.what = "source GOP " + time;
    if (n >= listed.size()) {
      c.detail = "the source holds more GOPs than the record lists";
      v->checks.push_back(c);
      break;
    }
    const std::vector<uint8_t>& stored = gop.stored.empty() ? gop.frames : gop.stored;
    const std::string hash = sha256_hex(stored.data(), stored.size());
    c.matches = hash == listed[n]["sha256"].str() && time == listed[n]["time"].str();
    if (!c.matches)
      c.detail = "recorded " + listed[n]["time"].str() + " " + listed[n]["sha256"].str() + ", now " + hash;
    v->checks.push_back(c);
  }
  if (n < listed.size())
    v->checks.push_back(Check{"source GOPs", false, "the record lists GOPs the source no longer gives"});
  if (attached) hdd_close();
  v->source_checked = true;
}

}  // namespace

const Json& Json::operator[](const std::string& name) const {
  static const Json null;
  const auto it = members.find(name);
  return it == members.end() ? null : it->second;
}

bool parse_json(const std::string& text, Json* out, std::string* error) { return Parser(text).parse(out, error); }

bool Verification::all_match() const {
  if (!read || checks.empty()) return false;
  for (const Check& c : checks)
    if (!c.matches) return false;
  return true;
}

Verification verify_record(const std::string& path) {
  Verification v;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    v.error = "cannot read " + path;
    return v;
  }
  std::ostringstream text;
  text << in.rdbuf();
  Json record;
  std::string error;
  if (!parse_json(text.str(), &record, &error)) {
    v.error = path + " is not a custody record: " + error;
    return v;
  }
  const Json& files = record["files"];
  if (record.kind != Json::Kind::kObject || files.kind != Json::Kind::kArray || files.items.empty()) {
    v.error = path + " is not a custody record: it lists no files";
    return v;
  }
  v.read = true;
  const std::string folder = folder_of(path);
  for (const Json& f : files.items) {
    const std::string& name = f["file"].str();
    Check c;
    c.what = "file " + name;
    // A record names its files inside its own folder, never elsewhere.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
      c.detail = "the record names no file here";
    } else {
      const std::string hash = sha256_file(folder + "/" + name);
      c.matches = !hash.empty() && hash == f["sha256"].str();
      c.detail =
          hash.empty() ? "missing or unreadable" : (c.matches ? "" : "recorded " + f["sha256"].str() + ", now " + hash);
    }
    v.checks.push_back(c);
  }
  check_source(record, &v);
  return v;
}

}  // namespace exporter
