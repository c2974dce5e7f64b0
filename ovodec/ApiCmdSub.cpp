#include "ApiCmdSub.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "velmora/message.h"

namespace ovo {
namespace {

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void put_index_header(uint8_t* out, const IndexHeader& h) {
  std::memset(out, 0, kIndexHeaderBytes);
  put_le32(out, static_cast<uint32_t>(h.first_time));
  put_le32(out + 4, static_cast<uint32_t>(h.last_time));
  put_le32(out + 8, static_cast<uint32_t>(h.count));
  out[12] = h.kind;
}

void put_index_entry(uint8_t* out, const IndexEntry& e) {
  std::memset(out, 0, kIndexEntryBytes);
  put_le32(out, static_cast<uint32_t>(e.offset));
  put_le32(out + 4, static_cast<uint32_t>(e.offset >> 32));
  put_le32(out + 8, static_cast<uint32_t>(e.field4));
  out[12] = e.byte10;
}

std::string record_stem(const std::string& directory, int kind, time_t t) {
  char letter;
  switch (kind) {
    case 1: letter = 'M'; break;
    case 2: letter = 'A'; break;
    case 4: letter = 'T'; break;
    default: return {};
  }
  struct tm local;
  if (!localtime_r(&t, &local)) return {};
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d%c", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, letter);
  return directory + stamp;
}

bool parse_record_index(const uint8_t* data, size_t size, uint64_t data_file_size, RecordIndex* out,
                        std::string* error) {
  auto fail = [&](const char* why) {
    if (error) *error = why;
    return false;
  };
  if (size < kIndexHeaderBytes) return fail("shorter than the index header");
  if ((size - kIndexHeaderBytes) % kIndexEntryBytes != 0) return fail("a partial entry at the end");
  RecordIndex index;
  index.header.first_time = static_cast<int32_t>(le32(data));
  index.header.last_time = static_cast<int32_t>(le32(data + 4));
  index.header.count = static_cast<int32_t>(le32(data + 8));
  index.header.kind = data[12];
  const size_t entries = (size - kIndexHeaderBytes) / kIndexEntryBytes;
  if (index.header.count < 0 || static_cast<size_t>(index.header.count) != entries) {
    return fail("the header's count differs from the entries present");
  }
  index.entries.reserve(entries);
  for (size_t i = 0; i < entries; ++i) {
    const uint8_t* p = data + kIndexHeaderBytes + i * kIndexEntryBytes;
    IndexEntry e;
    e.offset = static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32;
    e.field4 = static_cast<int32_t>(le32(p + 8));
    e.byte10 = p[12];
    if (e.offset >= data_file_size) return fail("an entry points past the data file");
    if (!index.entries.empty() && e.offset <= index.entries.back().offset) return fail("offsets do not rise");
    index.entries.push_back(e);
  }
  if (out) *out = std::move(index);
  return true;
}

bool RecordFiles::begin(const std::string& stem) {
  finish();
  index_path_ = stem + ".idx";
  data_path_ = stem + ".dat";
  header_ = IndexHeader{};
  header_.kind = kRecordKindM;
  position_known_ = false;
  key_position_ = 0;
  index_ = std::fopen(index_path_.c_str(), "wb");
  uint8_t zeros[kIndexHeaderBytes] = {};
  if (!index_ || std::fwrite(zeros, 1, sizeof zeros, index_) != sizeof zeros) {
    vp::debug_printf("ovodec: cannot create %s\n", index_path_.c_str());
    finish();
    return false;
  }
  data_ = std::fopen(data_path_.c_str(), "wb");
  if (!data_) {
    vp::debug_printf("ovodec: cannot create %s\n", data_path_.c_str());
    finish();
    return false;
  }
  return true;
}

bool RecordFiles::append(const uint8_t* payload, size_t size, bool key) {
  if (!data_) return false;
  std::lock_guard<std::mutex> lock(write_lock_);
  if (key) {
    const off_t at = ftello(data_);
    if (at < 0) {
      vp::message_box(std::strerror(errno), "Error");
      position_known_ = false;  // no index entry can point at this key frame
    } else {
      key_position_ = static_cast<uint64_t>(at);
      position_known_ = true;
    }
  }
  return std::fwrite(payload, 1, size, data_) == size;
}

bool RecordFiles::add_index_entry(int32_t field4, uint8_t byte10, int32_t now) {
  if (!index_ || !position_known_) return false;
  if (header_.first_time == 0) header_.first_time = now;
  header_.last_time = now;
  ++header_.count;
  uint8_t entry[kIndexEntryBytes];
  put_index_entry(entry, IndexEntry{key_position_, field4, byte10});
  return std::fwrite(entry, 1, sizeof entry, index_) == sizeof entry;
}

void RecordFiles::finish() {
  if (index_) {
    uint8_t h[kIndexHeaderBytes];
    put_index_header(h, header_);
    if (std::fseek(index_, 0, SEEK_SET) != 0 || std::fwrite(h, 1, sizeof h, index_) != sizeof h) {
      vp::debug_printf("ovodec: cannot rewrite the header of %s\n", index_path_.c_str());
    }
    std::fclose(index_);
    index_ = nullptr;
  }
  if (data_) {
    std::lock_guard<std::mutex> lock(write_lock_);
    std::fflush(data_);
    std::fclose(data_);
    data_ = nullptr;
  }
}

}  // namespace ovo
