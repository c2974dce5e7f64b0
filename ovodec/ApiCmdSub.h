// The record files of the receive path: a data file of video payloads and an
// index file with one entry per key frame, and a reader of the index.
//
// Index file, little-endian: a 16-byte header (time of the first entry and
// of the last entry in seconds since 1970, number of entries, recording kind,
// three zero bytes), then 16-byte entries (data-file offset of the key
// frame's payload as low and high 32 bits, the key frame record's 32-bit
// field at offset 4, its byte at offset 10, three zero bytes).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace ovo {

inline constexpr size_t kIndexHeaderBytes = 16;
inline constexpr size_t kIndexEntryBytes = 16;
// Directory and file paths are limited to 260 bytes with the terminator; a
// file name adds 19 characters to the directory.
inline constexpr size_t kMaxPathBytes = 260;
inline constexpr size_t kRecordNameChars = 19;
inline constexpr size_t kMaxDirectoryChars = kMaxPathBytes - 1 - kRecordNameChars;  // 240
inline constexpr int kRecordKindM = 1;

struct IndexHeader {
  int32_t first_time = 0;
  int32_t last_time = 0;
  int32_t count = 0;
  uint8_t kind = 0;
};

struct IndexEntry {
  uint64_t offset = 0;
  int32_t field4 = 0;
  uint8_t byte10 = 0;
};

void put_index_header(uint8_t* out, const IndexHeader& h);
void put_index_entry(uint8_t* out, const IndexEntry& e);

// The file stem "<directory>YYYYMMDDhhmmss<kind letter>" for a recording
// started at local time t: letter 'M' for kind 1, 'A' for 2, 'T' for 4.
// Empty for another kind (the callers' -1000).
std::string record_stem(const std::string& directory, int kind, time_t t);

// Reads an index file and checks it against the size of its data file: the
// header's count must equal the entries present, the offsets must rise and
// lie inside the data file. False with a reason otherwise.
struct RecordIndex {
  IndexHeader header;
  std::vector<IndexEntry> entries;
};
bool parse_record_index(const uint8_t* data, size_t size, uint64_t data_file_size, RecordIndex* out,
                        std::string* error);

// A recording in progress: the two files, written by the receive thread only.
class RecordFiles {
 public:
  explicit RecordFiles(std::mutex& write_lock) : write_lock_(write_lock) {}
  ~RecordFiles() { finish(); }

  // Creates "<stem>.idx" (its header zero) and "<stem>.dat". False when
  // either cannot be created; nothing stays open then.
  bool begin(const std::string& stem);
  bool active() const { return data_ != nullptr; }
  // Appends a payload to the data file; key marks a key frame, whose
  // offset is noted for its index entry. False when the write failed.
  bool append(const uint8_t* payload, size_t size, bool key);
  // Appends the index entry of the last key frame written.
  bool add_index_entry(int32_t field4, uint8_t byte10, int32_t now);
  // Rewrites the index header, closes both files.
  void finish();

  const IndexHeader& header() const { return header_; }
  const std::string& data_path() const { return data_path_; }
  const std::string& index_path() const { return index_path_; }

 private:
  std::mutex& write_lock_;
  FILE* data_ = nullptr;
  FILE* index_ = nullptr;
  IndexHeader header_;
  uint64_t key_position_ = 0;
  bool position_known_ = false;
  std::string data_path_;
  std::string index_path_;
};

}  // namespace ovo
