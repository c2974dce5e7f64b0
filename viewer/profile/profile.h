// Settings files in the private-profile format: "[section]" lines followed by
// "key=value" lines.
//
// The rules are those the settings files were first written for:
//  - section and key names compare without regard to ASCII letter case;
//  - blanks around names and values are dropped, and a value enclosed in a
//    matching pair of double or single quotes loses them;
//  - a read value is cut to fit a caller's buffer of a given size (size - 1
//    characters) and at its first NUL;
//  - a missing key gives the caller's default; an empty value is a value;
//  - writing a key changes only that key's line (or adds one), every other
//    line, comment and blank stays as it was.
// Files are read as UTF-8; a file that is not valid UTF-8 is read as CP932
// (files brought over from Windows) and written back in CP932.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora::viewer {

enum class TextEncoding { kUtf8, kCp932 };

// Decodes the bytes of a settings file to UTF-8 (a UTF-8 byte order mark is
// dropped). Bytes that neither encoding accepts become U+FFFD.
std::string decode_settings_text(std::string_view bytes, TextEncoding* found);
// Encodes UTF-8 text for a file of the given encoding; false when a
// character has no CP932 form (out then holds UTF-8).
bool encode_settings_text(std::string_view utf8, TextEncoding encoding, std::string& out);

class Profile {
 public:
  Profile() = default;
  // Parses the text of a settings file (raw bytes as stored).
  static Profile parse(std::string_view bytes);
  // Reads path; a missing or unreadable file is an empty profile.
  static Profile load(const std::string& path);

  // The value of key in section, or default_value when the key is missing;
  // either is cut to buffer_size - 1 characters (buffer_size 0 gives "").
  std::string get_string(std::string_view section, std::string_view key, std::string_view default_value,
                         size_t buffer_size = 256) const;
  bool has_section(std::string_view section) const { return find_section(section) >= 0; }
  // Whether the key exists (with any value, empty included).
  bool has_key(std::string_view section, std::string_view key) const;
  // The value read as a decimal integer (leading sign and digits; anything
  // else ends the number; no digits give 0); default_value when missing.
  int32_t get_int(std::string_view section, std::string_view key, int32_t default_value) const;

  // Sets key in section, adding the key or the section when missing.
  void set_string(std::string_view section, std::string_view key, std::string_view value);
  // The file's bytes in the encoding it was read in.
  std::string serialize() const;
  TextEncoding encoding() const { return encoding_; }

 private:
  struct Line {
    std::string text;  // UTF-8, without the line end
  };
  // Index of the section's header line, or -1.
  long find_section(std::string_view section) const;
  // Index of the key's line inside the section starting at header, or -1.
  long find_key(long header, std::string_view key) const;

  // Rebuilds the index of section headers after the lines changed.
  void index_sections();

  std::vector<Line> lines_;
  // Lower-case section name -> its first header line.
  std::unordered_map<std::string, long> sections_;
  bool crlf_ = false;
  bool final_newline_ = true;
  TextEncoding encoding_ = TextEncoding::kUtf8;
};

// Reads, changes and writes back one key of a settings file (the file is
// replaced whole, through a temporary file beside it). False when the file
// cannot be written.
bool write_profile_string(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value);

// The leading number of a text as the settings and the list box lines use
// it: blanks skipped, an optional sign, decimal digits; the first other
// character ends it; no digits give 0. Values beyond 32 bits saturate.
int32_t leading_number(std::string_view text);

// Cuts UTF-8 text to at most n characters (never inside a character).
std::string cut_characters(std::string_view utf8, size_t n);
// The number of characters of UTF-8 text.
size_t count_characters(std::string_view utf8);

}  // namespace velmora::viewer
