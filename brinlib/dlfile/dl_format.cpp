#include "dlfile/dl_format.h"

#include <sys/types.h>

#include <cstring>

namespace brin::dl {
namespace {

uint32_t read_stamp32(const uint8_t* p) {
  const uint64_t v = (static_cast<uint64_t>((p[0] >> 1) & 7) << 30) | (static_cast<uint64_t>(p[1]) << 22) |
                     (static_cast<uint64_t>(p[2] >> 1) << 15) | (static_cast<uint64_t>(p[3]) << 7) | (p[4] >> 1);
  return static_cast<uint32_t>(v);
}

bool is_packet_id(uint8_t id) { return (id >> 4) == 0xC || (id >> 4) == 0xE; }

}  // namespace

void write_pack_header(uint8_t* out, uint32_t scr_base) {
  // The 33-bit base's top bit is 0; the extension is 0.
  const uint64_t scr = scr_base;
  out[0] = 0;
  out[1] = 0;
  out[2] = 1;
  out[3] = 0xBA;
  out[4] = static_cast<uint8_t>(0x40 | (((scr >> 30) & 7) << 3) | 0x04 | ((scr >> 28) & 3));
  out[5] = static_cast<uint8_t>(scr >> 20);
  out[6] = static_cast<uint8_t>((((scr >> 15) & 0x1F) << 3) | 0x04 | ((scr >> 13) & 3));
  out[7] = static_cast<uint8_t>(scr >> 5);
  out[8] = static_cast<uint8_t>(((scr & 0x1F) << 3) | 0x04);  // extension bits 8..7 are 0
  out[9] = 0x01;                                              // extension 6..0 = 0, marker
  out[10] = static_cast<uint8_t>(kMuxRate >> 14);
  out[11] = static_cast<uint8_t>(kMuxRate >> 6);
  out[12] = static_cast<uint8_t>(((kMuxRate & 0x3F) << 2) | 0x03);
  out[13] = 0xFA;  // five reserved bits, stuffing length 2
  out[14] = 0xFF;
  out[15] = 0xFF;
}

bool read_pack_header(const uint8_t* p, size_t size, uint32_t* scr_base) {
  if (size < 14 || p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != 0xBA) return false;
  if ((p[4] >> 6) != 1) return false;  // an MPEG-2 pack header
  const uint64_t scr = (static_cast<uint64_t>((p[4] >> 3) & 7) << 30) | (static_cast<uint64_t>(p[4] & 3) << 28) |
                       (static_cast<uint64_t>(p[5]) << 20) | (static_cast<uint64_t>(p[6] >> 3) << 15) |
                       (static_cast<uint64_t>(p[6] & 3) << 13) | (static_cast<uint64_t>(p[7]) << 5) | (p[8] >> 3);
  if (scr_base) *scr_base = static_cast<uint32_t>(scr);
  return true;
}

void write_stream_map(uint8_t* out) {
  static constexpr uint8_t kHead[] = {0x00, 0x00, 0x01, 0xBC, 0x01, 0x0E, 0xE2, 0xFF, 0x00, 0x08,
                                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
  std::memcpy(out, kHead, sizeof kHead);
  uint8_t* e = out + sizeof kHead;
  for (int k = 0; k < 32; ++k, e += 8) {
    const bool video = k < 16;
    const int ch = video ? k : k - 16;
    e[0] = video ? 0x84 : (ch < 4 ? 0x91 : 0xFF);
    e[1] = static_cast<uint8_t>((video ? 0xE0 : 0xC0) + ch);
    e[2] = 0x00;
    e[3] = 0x04;
    if (video) {
      e[4] = 0x2D;
      e[5] = 0x1E;
    } else {
      e[4] = 0xFF;
      e[5] = 0xFF;
    }
    e[6] = 0xFF;
    e[7] = 0xFF;
  }
}

void encode_index_entry(const IndexEntry& e, uint8_t* out) {
  out[0] = e.kind;
  out[1] = e.channel;
  const uint16_t high = static_cast<uint16_t>(e.position >> 32);
  const uint32_t low = static_cast<uint32_t>(e.position);
  out[2] = static_cast<uint8_t>(high);
  out[3] = static_cast<uint8_t>(high >> 8);
  for (int i = 0; i < 4; ++i) {
    out[4 + i] = static_cast<uint8_t>(low >> (8 * i));
    out[8 + i] = static_cast<uint8_t>(e.time >> (8 * i));
  }
}

IndexEntry decode_index_entry(const uint8_t* p) {
  IndexEntry e;
  e.kind = p[0];
  e.channel = p[1];
  const uint64_t high = static_cast<uint64_t>(p[2] | (p[3] << 8));
  const uint64_t low = static_cast<uint64_t>(p[4]) | (static_cast<uint64_t>(p[5]) << 8) |
                       (static_cast<uint64_t>(p[6]) << 16) | (static_cast<uint64_t>(p[7]) << 24);
  e.position = (high << 32) | low;
  e.time = static_cast<uint32_t>(p[8]) | (static_cast<uint32_t>(p[9]) << 8) | (static_cast<uint32_t>(p[10]) << 16) |
           (static_cast<uint32_t>(p[11]) << 24);
  return e;
}

std::string index_path(const char* folder) { return std::string(folder ? folder : "") + "/.index"; }

void put_private22(uint8_t* p, uint32_t value) {
  value &= 0x3FFFFF;
  p[0] = static_cast<uint8_t>(0x80 | ((value >> 15) & 0x7F));
  p[1] = static_cast<uint8_t>((((value >> 11) & 0x0F) << 4) | 0x08 | ((value >> 8) & 0x07));
  p[2] = static_cast<uint8_t>(value);
}

uint32_t get_private22(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0] & 0x7F) << 15) | (static_cast<uint32_t>(p[1] >> 4) << 11) |
         (static_cast<uint32_t>(p[1] & 7) << 8) | p[2];
}

bool packet_time(const uint8_t* p, size_t size, uint32_t* time) {
  if (size < 8) return false;
  const int flags = p[7] >> 6;
  if (flags == 2 && size >= 14) {
    *time = read_stamp32(p + 9);
    return true;
  }
  if (flags == 3 && size >= 19) {
    *time = read_stamp32(p + 14);
    return true;
  }
  return false;
}

size_t find_packet_start(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && is_packet_id(data[i + 3])) return i;
  }
  return size;
}

uint32_t data_time(const uint8_t* data, size_t size) {
  // Packets whose flags carry no stamp are passed over; the search goes on
  // behind their start code.
  size_t at = 0;
  while (at < size) {
    const size_t p = at + find_packet_start(data + at, size - at);
    if (p >= size) return 0;
    uint32_t t = 0;
    if (p + 8 < size) {
      const int flags = data[p + 7] >> 6;
      if (flags == 2 || flags == 3) return packet_time(data + p, size - p, &t) ? t : 0;
    }
    at = p + 4;
  }
  return 0;
}

bool stamp_back_distance(uint8_t* data, size_t size, uint32_t value) {
  const size_t p = find_packet_start(data, size);
  if (p >= size || size - p < 24) return false;
  put_private22(data + p + 21, value);
  return true;
}

int64_t file_size(std::FILE* f) {
  if (!f) return -1;
  const off_t here = ftello(f);
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  const int64_t size = static_cast<int64_t>(ftello(f));
  fseeko(f, here, SEEK_SET);
  return size;
}

}  // namespace brin::dl
