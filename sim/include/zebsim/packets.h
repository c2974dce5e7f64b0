// Writers of the recorder's stored and transmitted units, shared by the
// stand-in's live stream, its disk images and the tests:
//  - the recorder packet: an MPEG-2 PES packet with two private 22-bit fields;
//  - the 48-byte FrameHeader of every stored frame, and frame records;
//  - a splitter of MPEG-4 Visual elementary streams into pictures.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zebsim {

// Recorder packet layout: 00 00 01, stream id (E0 + channel video, C0 +
// channel audio), PES length, flags, time-stamp flags at byte 7, header
// length 18 at byte 8, PTS at 9, DTS at 14, private fields at 21 and 24,
// payload from byte 27.
inline constexpr size_t kPacketHeaderBytes = 27;
inline constexpr uint32_t kNoBackDistance = 0;

struct PacketSpec {
  bool video = true;
  int channel = 0;   // 0 to 15
  uint64_t pts = 0;  // 90 kHz, 33 bits
  bool has_dts = false;
  uint64_t dts = 0;
  uint32_t back_distance = kNoBackDistance;  // first private field
  // Second private field: the packet's total size; 0 = header + payload.
  uint32_t total_size = 0;
};

std::vector<uint8_t> recorder_packet(const PacketSpec& spec, const uint8_t* payload, size_t len);
void append_recorder_packet(std::vector<uint8_t>& out, const PacketSpec& spec, const uint8_t* payload, size_t len);

// The private 22-bit field: b0 bit 7 and b1 bit 3 are markers.
void put_private22(uint8_t* p, uint32_t value);
uint32_t get_private22(const uint8_t* p);
// A 33-bit time stamp in the PES layout with marker bits; prefix is the
// four-bit code of the first byte (2 = PTS only, 3 = PTS of PTS+DTS, 1 = DTS).
void put_timestamp(uint8_t* p, unsigned prefix, uint64_t ts);
uint64_t get_timestamp(const uint8_t* p);

// FrameHeader (little-endian fields).
inline constexpr size_t kFrameHeaderBytes = 48;
inline constexpr uint16_t kVideoMarker = 0xFBFF;
inline constexpr uint16_t kAudioMarker = 0xFCFF;

struct FrameSpec {
  bool video = true;
  uint16_t record_kind = 11;
  int16_t sequence = 0;
  uint8_t camera_set = 1;  // bits 0 to 3: cameras 1 to 4
  int32_t time = 0;        // seconds since 1970-01-01 00:00:00 UTC
  int32_t duration_us = 33333;
  uint8_t camera = 0;
};

void put_frame_header(uint8_t* header, const FrameSpec& spec, uint32_t payload_len);
// Header plus payload.
std::vector<uint8_t> frame_record(const FrameSpec& spec, const uint8_t* payload, size_t len);
void append_frame_record(std::vector<uint8_t>& out, const FrameSpec& spec, const uint8_t* payload, size_t len);

// One picture of an MPEG-4 Visual elementary stream: the bytes from the end
// of the previous picture (so stream headers travel with the picture after
// them) to the end of this picture's VOP.
struct EsPicture {
  size_t offset = 0;
  size_t size = 0;
  int coding_type = 0;       // 1 I, 2 P, 3 B, 4 S
  bool has_headers = false;  // carries a VOL header
};

std::vector<EsPicture> split_pictures(const std::vector<uint8_t>& es);

std::vector<uint8_t> read_binary_file(const std::string& path);
bool write_binary_file(const std::string& path, const std::vector<uint8_t>& data);

}  // namespace zebsim
