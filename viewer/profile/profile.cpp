#include "profile.h"

#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace velmora::viewer {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at p (1 to 4), or 0 when it is not one.
size_t utf8_sequence(const unsigned char* p, size_t left) {
  const unsigned c = p[0];
  if (c < 0x80) return 1;
  size_t n;
  uint32_t cp;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0;
  while (i < s.size()) {
    const size_t n = utf8_sequence(p + i, s.size() - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Converts with iconv, replacing what cannot be converted by `bad` and going
// on one byte further. Returns false when anything had to be replaced.
bool convert(std::string_view in, const char* to, const char* from, std::string_view bad, std::string& out) {
  out.clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    out.assign(in);
    return false;
  }
  bool clean = true;
  std::string buffer(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  while (src_left > 0) {
    char* dst = buffer.data();
    size_t dst_left = buffer.size();
    const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    out.append(buffer.data(), buffer.size() - dst_left);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // EILSEQ or EINVAL (a sequence cut at the end): skip one byte, or one
    // whole character when the input is UTF-8.
    clean = false;
    out.append(bad);
    size_t skip = 1;
    if (std::string_view(from) == "UTF-8") {
      skip = utf8_sequence(reinterpret_cast<const unsigned char*>(src), src_left);
      if (skip == 0) skip = 1;
    }
    src += skip;
    src_left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return clean;
}

// A carriage return left at a line's end (a stray one, or one of "\r\r\n")
// counts as a blank: otherwise a name would change when the file is written
// back with that line ended and read again.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string lower_name(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool equal_names(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The section name of a header line, or false when the line is no header.
bool section_of(std::string_view line, std::string_view& name) {
  line = trim(line);
  if (line.empty() || line.front() != '[') return false;
  line.remove_prefix(1);
  const size_t close = line.find(']');
  name = trim(close == std::string_view::npos ? line : line.substr(0, close));
  return true;
}

// The key and value of a "key=value" line, or false.
bool key_of(std::string_view line, std::string_view& key, std::string_view& value) {
  const std::string_view t = trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return false;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = trim(t.substr(0, eq));
  value = trim(t.substr(eq + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return !key.empty();
}

}  // namespace

std::string decode_settings_text(std::string_view bytes, TextEncoding* found) {
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  if (valid_utf8(bytes)) {
    if (found) *found = TextEncoding::kUtf8;
    return std::string(bytes);
  }
  if (found) *found = TextEncoding::kCp932;
  std::string out;
  convert(bytes, "UTF-8", "CP932", kReplacement, out);
  return out;
}

bool encode_settings_text(std::string_view utf8, TextEncoding encoding, std::string& out) {
  if (encoding == TextEncoding::kUtf8) {
    out.assign(utf8);
    return true;
  }
  std::string converted;
  if (!convert(utf8, "CP932", "UTF-8", "?", converted)) {
    out.assign(utf8);
    return false;
  }
  out = std::move(converted);
  return true;
}

size_t count_characters(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string cut_characters(std::string_view utf8, size_t n) {
  size_t i = 0, chars = 0;
  while (i < utf8.size()) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (chars == n) break;
      ++chars;
    }
    ++i;
  }
  return std::string(utf8.substr(0, i));
}

int32_t leading_number(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i++] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<int32_t>(value);
}

Profile Profile::parse(std::string_view bytes) {
  Profile p;
  const std::string text = decode_settings_text(bytes, &p.encoding_);
  p.crlf_ = text.find("\r\n") != std::string::npos;
  p.final_newline_ = text.empty() || text.back() == '\n';
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    p.lines_.push_back({std::move(line)});
    start = end + 1;
  }
  p.index_sections();
  return p;
}

void Profile::index_sections() {
  sections_.clear();
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view name;
    if (section_of(lines_[i].text, name)) sections_.emplace(lower_name(name), static_cast<long>(i));
  }
}

Profile Profile::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Profile();
  std::ostringstream s;
  s << in.rdbuf();
  return parse(s.str());
}

long Profile::find_section(std::string_view section) const {
  const auto it = sections_.find(lower_name(trim(section)));
  return it == sections_.end() ? -1 : it->second;
}

long Profile::find_key(long header, std::string_view key) const {
  key = trim(key);
  for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size(); ++i) {
    std::string_view name;
    if (section_of(lines_[i].text, name)) break;
    std::string_view k, v;
    if (key_of(lines_[i].text, k, v) && equal_names(k, key)) return static_cast<long>(i);
  }
  return -1;
}

bool Profile::has_key(std::string_view section, std::string_view key) const {
  const long header = find_section(section);
  return header >= 0 && find_key(header, key) >= 0;
}

std::string Profile::get_string(std::string_view section, std::string_view key, std::string_view default_value,
                                size_t buffer_size) const {
  std::string_view value = default_value;
  const long header = find_section(section);
  if (header >= 0) {
    const long at = find_key(header, key);
    if (at >= 0) {
      std::string_view k;
      key_of(lines_[static_cast<size_t>(at)].text, k, value);
    }
  }
  if (const size_t nul = value.find('\0'); nul != std::string_view::npos) value = value.substr(0, nul);
  if (buffer_size == 0) return std::string();
  return cut_characters(value, buffer_size - 1);
}

int32_t Profile::get_int(std::string_view section, std::string_view key, int32_t default_value) const {
  if (!has_key(section, key)) return default_value;
  return leading_number(get_string(section, key, "", 256));
}

void Profile::set_string(std::string_view section, std::string_view key, std::string_view value) {
  const std::string line = std::string(trim(key)) + "=" + std::string(value);
  long header = find_section(section);
  if (header < 0) {
    if (!lines_.empty() && !trim(lines_.back().text).empty()) lines_.push_back({""});
    lines_.push_back({"[" + std::string(trim(section)) + "]"});
    lines_.push_back({line});
    final_newline_ = true;
    index_sections();
    return;
  }
  const long at = find_key(header, key);
  if (at >= 0) {
    // The key keeps the spelling it was stored with.
    std::string_view k, v;
    key_of(lines_[static_cast<size_t>(at)].text, k, v);
    lines_[static_cast<size_t>(at)].text = std::string(k) + "=" + std::string(value);
    return;
  }
  // After the section's last non-blank line, so that a blank line before the
  // next section stays where it is.
  size_t insert = static_cast<size_t>(header) + 1;
  for (size_t i = insert; i < lines_.size(); ++i) {
    std::string_view name;
    if (section_of(lines_[i].text, name)) break;
    if (!trim(lines_[i].text).empty()) insert = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<long>(insert), Line{line});
  if (insert == lines_.size() - 1) final_newline_ = true;
  index_sections();
}

std::string Profile::serialize() const {
  std::string text;
  const char* eol = crlf_ ? "\r\n" : "\n";
  for (size_t i = 0; i < lines_.size(); ++i) {
    text += lines_[i].text;
    if (i + 1 < lines_.size() || final_newline_) text += eol;
  }
  std::string out;
  encode_settings_text(text, encoding_, out);
  return out;
}

bool write_profile_string(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value) {
  Profile p = Profile::load(path);
  p.set_string(section, key, value);
  const std::string bytes = p.serialize();
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      out.close();
      ::unlink(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace velmora::viewer
