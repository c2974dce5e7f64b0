// The downloaded data file and its frame index, as written by the remote copy
// and read by the data-file player, the splitter and velmora-dl.
//
// A data file is an MPEG-2 program stream: a 16-byte pack header, a 276-byte
// program stream map, then the recorder packets of up to sixteen video and
// sixteen audio channels. The frame index beside it (".index") lists 12-byte
// entries: kind, channel, 48-bit file position, 90 kHz time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace brin::dl {

inline constexpr size_t kPackHeaderBytes = 16;
inline constexpr size_t kStreamMapBytes = 276;
inline constexpr size_t kDataStart = kPackHeaderBytes + kStreamMapBytes;  // 292
inline constexpr uint32_t kMuxRate = 25000;

inline constexpr size_t kIndexEntryBytes = 12;
inline constexpr size_t kIndexEntries = 576000;
inline constexpr size_t kIndexFileBytes = kIndexEntries * kIndexEntryBytes;  // 6 912 000

// Recorder packet: header up to the end of the second private field, and the
// bytes of a video packet that the probe reads.
inline constexpr size_t kPacketHeaderBytes = 27;
inline constexpr size_t kProbeBytes = 256;
// Back distances of this size or more (and 0) mean "none".
inline constexpr uint32_t kBackDistanceLimit = 204800;

inline constexpr int kVideoEntry = 0;
inline constexpr int kAudioEntry = 1;

// The pack header with the given system clock reference base (extension 0,
// mux rate 25000, two stuffing bytes).
void write_pack_header(uint8_t* out, uint32_t scr_base);
// Reads a pack header; false when the bytes are not one. scr_base gets the
// low 32 bits of the 33-bit base.
bool read_pack_header(const uint8_t* p, size_t size, uint32_t* scr_base);
// The program stream map: all sixteen video channels marked present, audio
// channels 0 to 3 present, the others absent.
void write_stream_map(uint8_t* out);

struct IndexEntry {
  uint8_t kind = kVideoEntry;  // kVideoEntry or kAudioEntry
  uint8_t channel = 0;
  uint64_t position = 0;  // 48 bits
  uint32_t time = 0;      // 90 kHz, low 32 bits
};
void encode_index_entry(const IndexEntry& e, uint8_t* out);
IndexEntry decode_index_entry(const uint8_t* p);
// "<folder>/.index"
std::string index_path(const char* folder);

// The 22-bit private field (markers in b0 bit 7 and b1 bit 3).
void put_private22(uint8_t* p, uint32_t value);
uint32_t get_private22(const uint8_t* p);

// The time of a recorder packet whose header (at least kPacketHeaderBytes,
// or 19 bytes for the stamps) lies at p: the PTS when only a PTS is present,
// the DTS when both are; false when the flags give neither.
bool packet_time(const uint8_t* p, size_t size, uint32_t* time);

// Offset of the first recorder packet start code (00 00 01 then C0..CF or
// E0..EF) in data, or size when there is none.
size_t find_packet_start(const uint8_t* data, size_t size);

// Time stamp of a piece of chunk data: the PTS (or DTS when both are present)
// of its first packet whose flags carry one; 0 when none.
uint32_t data_time(const uint8_t* data, size_t size);

// Writes value into the first private field of the first packet in data
// (bytes 21 to 23 from its start code). False when there is no packet whose
// field lies inside data.
bool stamp_back_distance(uint8_t* data, size_t size, uint32_t value);

// The size of an open file, or -1.
int64_t file_size(std::FILE* f);

}  // namespace brin::dl
