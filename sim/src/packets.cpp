#include "zebsim/packets.h"

#include <cstdio>
#include <cstring>

namespace zebsim {
namespace {

void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The private 22-bit field takes three bytes, 24 bits from the top bit of the
// first byte on: bits 0 and 12 of those are marker bits (always 1), the other
// 22 carry the value, its most significant bit first.
constexpr bool is_private22_marker(int bit) { return bit == 0 || bit == 12; }

}  // namespace

void put_private22(uint8_t* p, uint32_t value) {
  uint32_t bits = 0;  // the 24 bits, the first in the top place
  int next = 21;      // the value bit placed next
  for (int bit = 0; bit < 24; ++bit) {
    const uint32_t one = is_private22_marker(bit) ? 1u : (value >> next--) & 1u;
    bits = (bits << 1) | one;
  }
  p[0] = static_cast<uint8_t>(bits >> 16);
  p[1] = static_cast<uint8_t>(bits >> 8);
  p[2] = static_cast<uint8_t>(bits);
}

uint32_t get_private22(const uint8_t* p) {
  uint32_t value = 0;
  for (int bit = 0; bit < 24; ++bit) {
    if (is_private22_marker(bit)) continue;
    value = (value << 1) | ((p[bit / 8] >> (7 - bit % 8)) & 1u);
  }
  return value;
}

void put_timestamp(uint8_t* p, unsigned prefix, uint64_t ts) {
  ts &= 0x1FFFFFFFFull;
  p[0] = static_cast<uint8_t>((prefix << 4) | (((ts >> 30) & 7) << 1) | 1);
  p[1] = static_cast<uint8_t>(ts >> 22);
  p[2] = static_cast<uint8_t>((((ts >> 15) & 0x7F) << 1) | 1);
  p[3] = static_cast<uint8_t>(ts >> 7);
  p[4] = static_cast<uint8_t>(((ts & 0x7F) << 1) | 1);
}

uint64_t get_timestamp(const uint8_t* p) {
  return (static_cast<uint64_t>((p[0] >> 1) & 7) << 30) | (static_cast<uint64_t>(p[1]) << 22) |
         (static_cast<uint64_t>(p[2] >> 1) << 15) | (static_cast<uint64_t>(p[3]) << 7) | (p[4] >> 1);
}

void append_recorder_packet(std::vector<uint8_t>& out, const PacketSpec& spec, const uint8_t* payload, size_t len) {
  uint8_t h[kPacketHeaderBytes];
  std::memset(h, 0xFF, sizeof h);  // unused header bytes are stuffing
  h[0] = 0;
  h[1] = 0;
  h[2] = 1;
  h[3] = static_cast<uint8_t>((spec.video ? 0xE0 : 0xC0) + (spec.channel & 15));
  const size_t after_length = kPacketHeaderBytes - 6 + len;
  const uint16_t pes_length = after_length <= 0xFFFF ? static_cast<uint16_t>(after_length) : 0;
  h[4] = static_cast<uint8_t>(pes_length >> 8);
  h[5] = static_cast<uint8_t>(pes_length);
  h[6] = 0x80;  // '10' marker, no scrambling, no priority
  h[7] = spec.has_dts ? 0xC0 : 0x80;
  h[8] = static_cast<uint8_t>(kPacketHeaderBytes - 9);
  put_timestamp(h + 9, spec.has_dts ? 3 : 2, spec.pts);
  if (spec.has_dts) put_timestamp(h + 14, 1, spec.dts);
  put_private22(h + 21, spec.back_distance);
  const uint32_t total = spec.total_size ? spec.total_size : static_cast<uint32_t>(kPacketHeaderBytes + len);
  put_private22(h + 24, total);
  out.insert(out.end(), h, h + sizeof h);
  if (len) out.insert(out.end(), payload, payload + len);
}

std::vector<uint8_t> recorder_packet(const PacketSpec& spec, const uint8_t* payload, size_t len) {
  std::vector<uint8_t> out;
  append_recorder_packet(out, spec, payload, len);
  return out;
}

void put_frame_header(uint8_t* h, const FrameSpec& spec, uint32_t payload_len) {
  std::memset(h, 0, kFrameHeaderBytes);
  put_le16(h, spec.video ? kVideoMarker : kAudioMarker);
  put_le16(h + 2, spec.record_kind);
  put_le16(h + 8, static_cast<uint16_t>(spec.sequence));
  h[11] = spec.camera_set;
  put_le32(h + 12, static_cast<uint32_t>(spec.time));
  put_le32(h + 16, payload_len);
  put_le32(h + 20, static_cast<uint32_t>(spec.duration_us));
  h[34] = spec.camera;
}

void append_frame_record(std::vector<uint8_t>& out, const FrameSpec& spec, const uint8_t* payload, size_t len) {
  uint8_t h[kFrameHeaderBytes];
  put_frame_header(h, spec, static_cast<uint32_t>(len));
  out.insert(out.end(), h, h + sizeof h);
  if (len) out.insert(out.end(), payload, payload + len);
}

std::vector<uint8_t> frame_record(const FrameSpec& spec, const uint8_t* payload, size_t len) {
  std::vector<uint8_t> out;
  append_frame_record(out, spec, payload, len);
  return out;
}

std::vector<EsPicture> split_pictures(const std::vector<uint8_t>& es) {
  std::vector<EsPicture> pictures;
  size_t begin = 0;
  bool headers = false;
  int pending_type = 0;
  auto start_code_at = [&](size_t i) { return es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1; };
  for (size_t i = 0; i + 3 < es.size(); ++i) {
    if (!start_code_at(i)) continue;
    const uint8_t code = es[i + 3];
    if (pending_type) {
      // The previous VOP ends at this start code.
      pictures.push_back({begin, i - begin, pending_type, headers});
      begin = i;
      headers = false;
      pending_type = 0;
    }
    if (code >= 0x20 && code <= 0x2F) headers = true;
    if (code == 0xB6 && i + 4 < es.size()) {
      pending_type = (es[i + 4] >> 6) + 1;
    }
    i += 3;
  }
  if (pending_type) pictures.push_back({begin, es.size() - begin, pending_type, headers});
  return pictures;
}

std::vector<uint8_t> read_binary_file(const std::string& path) {
  std::vector<uint8_t> data;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return data;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  std::fclose(f);
  return data;
}

bool write_binary_file(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace zebsim
