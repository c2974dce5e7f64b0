// The viewer's two settings files in the program folder:
//  - "lansetting.ini", the list of recorders (sections "No.01" to "No.200"),
//    maintained outside the program and only read;
//  - "sn.ini", the viewer's own choices (section "ZEB"), written as soon as
//    the user changes one.
// And the resolution of a recorder's host text into the address to connect to.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profile.h"

namespace velmora::viewer {

inline constexpr int kRecorderEntries = 200;
inline constexpr int kCamerasPerRecorder = 16;
inline constexpr const char* kLanSettingFile = "lansetting.ini";
inline constexpr const char* kViewerSettingFile = "sn.ini";
inline constexpr const char* kViewerSection = "ZEB";

struct RecorderEntry {
  int number = 0;     // 1 to 200
  std::string name;   // empty: not listed
  std::string host;   // dotted address or host name
  std::string login;  // 16 characters: ID and password, 8 each
  std::array<std::string, kCamerasPerRecorder> camera_names;
  int32_t sp = 1;
  int32_t audio = 3;
  int32_t packet_size = 0;  // 0, or 5000 to 65000
};

// The section name of entry n: "No." and n with at least two digits.
std::string recorder_section(int n);
// One field of the login string: cut or padded with blanks to 8 characters.
std::string login_field(const std::string& text);
// The packet size as stored: the value when 5000 to 65000, else 0.
int32_t packet_size_from_text(const std::string& text);
// The list box line of an entry: the number as the general number-to-text
// conversion writes it (a blank before a positive number), ":" and the name.
std::string recorder_list_line(int number, const std::string& name);
// The entry number a list box line stands for, or 0 when it names none.
int recorder_number_from_line(const std::string& line);

class ConnectionList {
 public:
  // Reads every entry of a parsed "lansetting.ini".
  static ConnectionList read(const Profile& profile);
  static ConnectionList load(const std::string& path) { return read(Profile::load(path)); }

  // Entry n (1 to 200), or nullptr.
  const RecorderEntry* entry(int n) const;
  // The list box lines of the entries that have a name, in entry order.
  std::vector<std::string> lines() const;

 private:
  std::array<RecorderEntry, kRecorderEntries> entries_;
};

// The viewer's own settings file ("sn.ini"): values are read with a 256-byte
// buffer and an empty default; a value exists when it has characters.
class ViewerSettings {
 public:
  explicit ViewerSettings(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> read(const std::string& key) const;
  bool write(const std::string& key, const std::string& value) const;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A resolved recorder address: the text to connect to and its four octets.
struct HostAddress {
  std::string text;
  std::array<int32_t, 4> octets{};
};

// How names are looked up: the dotted IPv4 text of the name's first IPv4
// address, or nothing. The default asks the system resolver.
using NameLookup = std::function<std::optional<std::string>(const std::string& name)>;
std::optional<std::string> system_name_lookup(const std::string& name);

// Resolves a host text. Field k of the text starts after its k-th dot and
// is read as a decimal number that may go on through the next dot ("0.10"
// reads as 0.1). When the first four fields are all non-zero the text
// (trimmed) is the address, as with 192.168.0.10. Otherwise the name is
// looked up up to three times, calling wait_ms(3000) between tries; when all
// fail the trimmed text is returned with the octets of the text itself.
HostAddress resolve_host(const std::string& host, const NameLookup& lookup, const std::function<void(int ms)>& wait_ms);

// The four octets of a dotted text: the whole number at the start of each of
// its first four fields.
std::array<int32_t, 4> dotted_fields(const std::string& text);

}  // namespace velmora::viewer
