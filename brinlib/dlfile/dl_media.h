// Reading the packets of a downloaded data file: the packet scan over an open
// file, the checked packet length, the video probe, the audio decode, and the
// frame index (parsing, building, the key-picture interval).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "dl_format.h"

namespace brin::dl {

inline constexpr size_t kScanLimit = 262144;         // bytes a packet scan reads at most
inline constexpr size_t kMaxPacketBytes = 1u << 20;  // the player's work buffer
inline constexpr size_t kAudioPcmBytes = 8192;       // one audio packet decoded: 4096 samples

enum PacketKind : int { kVideoPacket = 0, kAudioPacket = 1 };

struct Packet {
  int64_t position = -1;  // of the start code
  int channel = 0;        // low four bits of the stream identifier
  int kind = kVideoPacket;
  uint32_t back_distance = 0;  // first private field
  uint32_t total_size = 0;     // second private field, as stored
  size_t length = 0;           // bytes of the packet, within the file and kMaxPacketBytes
  bool has_time = false;
  uint32_t time = 0;  // PTS, or DTS when both are present
};

// A data file opened for reading packets. Not thread-safe; the owner locks.
class DataReader {
 public:
  DataReader() = default;
  ~DataReader() { close(); }
  DataReader(const DataReader&) = delete;
  DataReader& operator=(const DataReader&) = delete;

  bool open(const char* path);
  // Takes an already open file (tests and the fuzz target use memory files).
  bool attach(std::FILE* f);
  void close();
  bool is_open() const { return f_ != nullptr; }
  int64_t size() const { return size_; }

  // The first packet whose start code (00 00 01, then a stream identifier
  // C0..CF or E0..EF) begins at or after pos, reading at most kScanLimit
  // bytes. strict: the start code must begin at pos. False when there is
  // none, or its header runs past the end of the file.
  bool locate(int64_t pos, Packet* out, bool strict = false);
  // Reads the first n bytes of the packet (at most its length) into buf.
  size_t read(const Packet& p, uint8_t* buf, size_t n);
  // Reads bytes at pos; the count read.
  size_t read_at(int64_t pos, uint8_t* buf, size_t n);

 private:
  size_t packet_length(int64_t pos, uint32_t total_size);
  // The block buffer, allocated on first use and kept. It is not cleared:
  // only the bytes a read put there are looked at, and a short file's scan
  // touches only the start of it.
  uint8_t* block();

  std::FILE* f_ = nullptr;
  int64_t size_ = 0;
  std::unique_ptr<uint8_t[]> block_;
};

struct Probe {
  bool has_time = false;
  uint32_t time = 0;
  int width = 0, height = 0;
  int coding_type = 0;  // 1 intra, 2 predicted, 3 bidirectional, 4 sprite
};
// The header scan over the first kProbeBytes of a video packet.
Probe probe_video(const uint8_t* data, size_t size);

// Decodes an audio packet's IMA ADPCM (up to 2048 bytes from packet byte 64,
// state of bytes 60 to 62) into 4096 16-bit samples (kAudioPcmBytes). False
// when the packet is too short to hold its state.
bool decode_audio_packet(const uint8_t* packet, size_t length, uint8_t* pcm);

// Frame index entries read from index file bytes: entries up to the first
// whose position is 0 or lies outside the data file (file_size), at most
// kIndexEntries.
std::vector<IndexEntry> parse_index(const uint8_t* bytes, size_t size, int64_t file_size);

// The same entries read from an open index file, piece by piece: reading
// stops at the end of the list rather than taking in the whole file.
std::vector<IndexEntry> read_index_file(std::FILE* f, int64_t file_size);
// Video and audio channel masks of the entries (channels 0 to 15).
void index_masks(const std::vector<IndexEntry>& entries, int* video_mask, int* audio_mask);

// Key-picture interval class: 500 with audio entries present; otherwise 500
// when some video channel's first two entries lie 1 to 500 ms apart (the
// first such channel is the reference channel), else 1000.
struct IntervalClass {
  int class_ms = 1000;
  int reference_channel = -1;
};
IntervalClass interval_class(const std::vector<IndexEntry>& entries);

// One step of building the frame index by scanning the data file: each
// video packet's probe enters the intra pictures, every audio packet is
// entered. The build resumes at `position`.
struct IndexBuild {
  int64_t position = 0;
  int last_progress = -1;
  bool complete = false;
};
// Scans on from build->position. With steps > 0 it returns as soon as the
// progress value (position - data_start) / (size / steps) reaches a new value
// below steps (that value is returned); at the end of the file it marks the
// build complete and returns steps (also when steps <= 0). Entries beyond
// kIndexEntries are not kept. add is called for each entry.
template <typename Add>
int build_index_step(DataReader& reader, int64_t data_start, int steps, IndexBuild* build, Add&& add);

// (position - data_start) / (size / steps), computed without dividing by 0.
int progress_value(int64_t position, int64_t data_start, int64_t size, int steps);

// Writes the whole index file (kIndexFileBytes, unused entries zero).
bool write_index_file(const std::string& path, const std::vector<IndexEntry>& entries);

// ---- template body ----

template <typename Add>
int build_index_step(DataReader& reader, int64_t data_start, int steps, IndexBuild* build, Add&& add) {
  if (build->complete) return steps;
  uint8_t probe[kProbeBytes];
  Packet p;
  while (reader.locate(build->position, &p)) {
    if (p.kind == kVideoPacket) {
      const size_t n = reader.read(p, probe, sizeof probe);
      const Probe v = probe_video(probe, n);
      if (v.coding_type == 1)
        add(IndexEntry{kVideoEntry, static_cast<uint8_t>(p.channel), static_cast<uint64_t>(p.position),
                       v.has_time ? v.time : p.time});
    } else {
      add(IndexEntry{kAudioEntry, static_cast<uint8_t>(p.channel), static_cast<uint64_t>(p.position), p.time});
    }
    build->position = p.position + static_cast<int64_t>(p.length);
    if (steps > 0) {
      const int progress = progress_value(build->position, data_start, reader.size(), steps);
      if (progress != build->last_progress && progress < steps) {
        build->last_progress = progress;
        return progress;
      }
    }
  }
  build->position = reader.size();
  build->complete = true;
  return steps;
}

}  // namespace brin::dl
