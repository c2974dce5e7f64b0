#include "settings.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

namespace velmora::viewer {
namespace {

std::string trim_blanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

std::string two_digits(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", n);
  return text;
}

}  // namespace

std::string recorder_section(int n) { return "No." + two_digits(n); }

std::string login_field(const std::string& text) {
  std::string field = cut_characters(text, 8);
  field.append(8 - count_characters(field), ' ');
  return field;
}

int32_t packet_size_from_text(const std::string& text) {
  const int32_t v = leading_number(text);
  return v < 5000 || v > 65000 ? 0 : v;
}

std::string recorder_list_line(int number, const std::string& name) {
  return (number >= 0 ? " " : "") + std::to_string(number) + ":" + name;
}

int recorder_number_from_line(const std::string& line) {
  const int32_t n = leading_number(line);
  return n >= 1 && n <= kRecorderEntries ? n : 0;
}

ConnectionList ConnectionList::read(const Profile& profile) {
  static const std::array<std::string, kCamerasPerRecorder> kDefaultNames = [] {
    std::array<std::string, kCamerasPerRecorder> names;
    for (int c = 1; c <= kCamerasPerRecorder; ++c) names[static_cast<size_t>(c - 1)] = "カメラ" + two_digits(c);
    return names;
  }();
  ConnectionList list;
  for (int n = 1; n <= kRecorderEntries; ++n) {
    RecorderEntry& e = list.entries_[static_cast<size_t>(n - 1)];
    const std::string section = recorder_section(n);
    e.number = n;
    if (!profile.has_section(section)) {
      // Every key missing: the defaults.
      e.login.assign(16, ' ');
      e.camera_names = kDefaultNames;
      continue;
    }
    e.name = profile.get_string(section, "name", "", 256);
    e.host = profile.get_string(section, "ip", "", 256);
    const std::string id = profile.get_string(section, "id", "        ", 16);
    const std::string pass = profile.get_string(section, "pass", "        ", 16);
    e.login = login_field(id) + login_field(pass);
    for (int c = 1; c <= kCamerasPerRecorder; ++c) {
      std::string name = profile.get_string(section, two_digits(c), "", 256);
      if (trim_blanks(name).empty()) name = kDefaultNames[static_cast<size_t>(c - 1)];
      e.camera_names[static_cast<size_t>(c - 1)] = name;
    }
    e.sp = profile.get_int(section, "sp", 1);
    e.audio = profile.get_int(section, "audio", 3);
    e.packet_size = packet_size_from_text(profile.get_string(section, "Packet", "", 256));
  }
  return list;
}

const RecorderEntry* ConnectionList::entry(int n) const {
  if (n < 1 || n > kRecorderEntries) return nullptr;
  return &entries_[static_cast<size_t>(n - 1)];
}

std::vector<std::string> ConnectionList::lines() const {
  std::vector<std::string> out;
  for (const RecorderEntry& e : entries_)
    if (!e.name.empty()) out.push_back(recorder_list_line(e.number, e.name));
  return out;
}

std::optional<std::string> ViewerSettings::read(const std::string& key) const {
  const std::string value = Profile::load(path_).get_string(kViewerSection, key, "", 256);
  if (value.empty()) return std::nullopt;
  return value;
}

bool ViewerSettings::write(const std::string& key, const std::string& value) const {
  return write_profile_string(path_, kViewerSection, key, value);
}

namespace {

// The leading number of a text as a decimal value: blanks, an optional sign,
// digits and a decimal fraction ("0.10" reads as 0.1).
double leading_value(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  double value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') value = value * 10 + (text[i++] - '0');
  if (i < text.size() && text[i] == '.') {
    double scale = 0.1;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) value += (text[i] - '0') * scale;
  }
  return negative ? -value : value;
}

// Field k starts after the k-th dot and reads on through further dots as a
// decimal fraction, so the fields of "192.168.0.10" are 192.168, 168.0, 0.1
// and 10: none of them is zero.
std::array<double, 4> dotted_values(const std::string& text) {
  std::array<double, 4> out{};
  size_t start = 0;
  for (size_t k = 0; k < 4; ++k) {
    out[k] = leading_value(std::string_view(text).substr(start));
    const size_t dot = text.find('.', start);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return out;
}

}  // namespace

std::array<int32_t, 4> dotted_fields(const std::string& text) {
  // The octets are the fields' whole numbers: rounding the decimal reading
  // would make 127.89.17.1 start with 128.
  std::array<int32_t, 4> out{};
  size_t start = 0;
  for (size_t k = 0; k < 4; ++k) {
    out[k] = leading_number(std::string_view(text).substr(start));
    const size_t dot = text.find('.', start);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return out;
}

std::optional<std::string> system_name_lookup(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
  std::optional<std::string> text;
  for (addrinfo* a = result; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) {
      text = buf;
      break;
    }
  }
  ::freeaddrinfo(result);
  return text;
}

HostAddress resolve_host(const std::string& host, const NameLookup& lookup,
                         const std::function<void(int ms)>& wait_ms) {
  HostAddress address;
  address.octets = dotted_fields(host);
  const std::string trimmed = trim_blanks(host);
  const std::array<double, 4> v = dotted_values(host);
  if (v[0] != 0 && v[1] != 0 && v[2] != 0 && v[3] != 0) {
    address.text = trimmed;
    return address;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (const auto found = lookup(trimmed)) {
      address.text = trim_blanks(*found);
      address.octets = dotted_fields(address.text);
      return address;
    }
    if (attempt < 2 && wait_ms) wait_ms(3000);
  }
  address.text = trimmed;
  return address;
}

}  // namespace velmora::viewer
