#include "dlfile/dl_media.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "decode/decoders.h"
#include "live/live_audio.h"

namespace brin::dl {
namespace {

constexpr size_t kBlockBytes = 65536;
constexpr size_t kAudioStateOffset = 60;  // predictor (2 bytes), step index
constexpr size_t kAdpcmOffset = 64;
constexpr size_t kAdpcmBytes = 2048;

bool is_packet_id(uint8_t id) { return (id >> 4) == 0xC || (id >> 4) == 0xE; }

}  // namespace

bool DataReader::open(const char* path) {
  close();
  if (!path) return false;
  return attach(std::fopen(path, "rb"));
}

bool DataReader::attach(std::FILE* f) {
  close();
  if (!f) return false;
  f_ = f;
  size_ = file_size(f);
  if (size_ < 0) {
    close();
    return false;
  }
  return true;
}

void DataReader::close() {
  if (f_) std::fclose(f_);
  f_ = nullptr;
  size_ = 0;
}

size_t DataReader::read_at(int64_t pos, uint8_t* buf, size_t n) {
  if (!f_ || pos < 0 || pos >= size_ || n == 0) return 0;
  if (fseeko(f_, static_cast<off_t>(pos), SEEK_SET) != 0) return 0;
  n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), size_ - pos));
  return std::fread(buf, 1, n, f_);
}

uint8_t* DataReader::block() {
  if (!block_) block_.reset(new uint8_t[kBlockBytes + 3]);
  return block_.get();
}

bool DataReader::locate(int64_t pos, Packet* out, bool strict) {
  if (!f_ || pos < 0 || pos >= size_) return false;
  uint8_t* const block = this->block();
  const int64_t limit = std::min<int64_t>(size_, pos + static_cast<int64_t>(kScanLimit));
  int64_t at = pos;
  while (at + 4 <= limit) {
    // Each block overlaps the next by three bytes so that a start code
    // across the boundary is found.
    const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kBlockBytes) + 3, size_ - at));
    const size_t got = read_at(at, block, want);
    if (got < 4) return false;
    const int64_t last = std::min<int64_t>(static_cast<int64_t>(got) - 4, limit - 4 - at);
    for (int64_t k = 0; k <= last; ++k) {
      const size_t i = static_cast<size_t>(k);
      if (block[i] == 0 && block[i + 1] == 0 && block[i + 2] == 1 && is_packet_id(block[i + 3])) {
        const int64_t start = at + k;
        uint8_t h[kPacketHeaderBytes];
        if (read_at(start, h, sizeof h) != sizeof h) return false;
        Packet p;
        p.position = start;
        p.channel = h[3] & 15;
        p.kind = (h[3] >> 4) == 0xE ? kVideoPacket : kAudioPacket;
        p.back_distance = get_private22(h + 21);
        p.total_size = get_private22(h + 24);
        p.length = packet_length(start, p.total_size);
        p.has_time = packet_time(h, sizeof h, &p.time);
        *out = p;
        return true;
      }
      if (strict) return false;
    }
    if (strict) return false;
    at += static_cast<int64_t>(got) - 3;
  }
  return false;
}

size_t DataReader::packet_length(int64_t pos, uint32_t total_size) {
  const int64_t remaining = size_ - pos;
  if (total_size >= kPacketHeaderBytes && total_size <= kMaxPacketBytes && total_size <= remaining) return total_size;
  // The stored size cannot be right: the packet ends at the next packet's
  // start code, within what the work buffer holds. The window is searched a
  // block at a time (in the block buffer, whose caller is done with it),
  // each block overlapping the next by three bytes so that a start code
  // across the boundary is found; the search starts behind the packet's own.
  const size_t window = static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(kMaxPacketBytes)));
  uint8_t* const block = this->block();
  for (size_t at = 4; at < window;) {
    const size_t want = std::min(kBlockBytes + 3, window - at);
    const size_t got = read_at(pos + static_cast<int64_t>(at), block, want);
    const size_t next = find_packet_start(block, got);
    if (next < got) return at + next;
    if (got < want) return at + got;  // a failed read ends the packet where it stopped
    if (at + got >= window) break;
    at += got - 3;
  }
  return window;
}

size_t DataReader::read(const Packet& p, uint8_t* buf, size_t n) {
  return read_at(p.position, buf, std::min(n, p.length));
}

Probe probe_video(const uint8_t* data, size_t size) {
  decode::HeaderScan scan;
  const int flags = decode::scan_headers(data, std::min(size, kProbeBytes), &scan);
  Probe p;
  if (flags & decode::kScanTime) {
    p.has_time = true;
    p.time = scan.time;
  }
  if (flags & decode::kScanSize) {
    p.width = scan.width;
    p.height = scan.height;
  }
  if (flags & decode::kScanCodingType) p.coding_type = scan.coding_type;
  return p;
}

bool decode_audio_packet(const uint8_t* packet, size_t length, uint8_t* pcm) {
  if (length < kAdpcmOffset) return false;
  uint8_t adpcm[kAdpcmBytes] = {};
  std::memcpy(adpcm, packet + kAdpcmOffset, std::min(length - kAdpcmOffset, kAdpcmBytes));
  const int predictor = static_cast<int16_t>(packet[kAudioStateOffset] | (packet[kAudioStateOffset + 1] << 8));
  live::decode_adpcm_block(pcm, adpcm, predictor, packet[kAudioStateOffset + 2]);
  return true;
}

std::vector<IndexEntry> parse_index(const uint8_t* bytes, size_t size, int64_t file_size) {
  std::vector<IndexEntry> entries;
  const size_t count = std::min(size / kIndexEntryBytes, kIndexEntries);
  for (size_t i = 0; i < count; ++i) {
    const IndexEntry e = decode_index_entry(bytes + i * kIndexEntryBytes);
    // The list ends at the first unused entry; an entry that points outside
    // the data file cannot be trusted, nor can anything after it.
    if (e.position == 0 || static_cast<int64_t>(e.position) >= file_size) break;
    entries.push_back(e);
  }
  return entries;
}

std::vector<IndexEntry> read_index_file(std::FILE* f, int64_t file_size) {
  std::vector<IndexEntry> entries;
  uint8_t piece[kIndexEntryBytes * 1024];
  for (size_t read = 0; read < kIndexFileBytes;) {
    const size_t got = std::fread(piece, 1, std::min(sizeof piece, kIndexFileBytes - read), f);
    read += got;
    const size_t whole = got / kIndexEntryBytes;
    const std::vector<IndexEntry> more = parse_index(piece, got, file_size);
    entries.insert(entries.end(), more.begin(), more.end());
    // A short piece is the end of the file, an entry refused the end of the list.
    if (got < sizeof piece || more.size() < whole) break;
  }
  return entries;
}

void index_masks(const std::vector<IndexEntry>& entries, int* video_mask, int* audio_mask) {
  int v = 0, a = 0;
  for (const IndexEntry& e : entries) {
    if (e.channel >= 16) continue;
    if (e.kind == kVideoEntry)
      v |= 1 << e.channel;
    else
      a |= 1 << e.channel;
  }
  if (video_mask) *video_mask = v;
  if (audio_mask) *audio_mask = a;
}

IntervalClass interval_class(const std::vector<IndexEntry>& entries) {
  IntervalClass c;
  for (const IndexEntry& e : entries)
    if (e.kind != kVideoEntry) {
      c.class_ms = 500;
      return c;
    }
  for (int ch = 0; ch < 16; ++ch) {
    int seen = 0;
    uint32_t first = 0;
    for (const IndexEntry& e : entries) {
      if (e.kind != kVideoEntry || e.channel != ch) continue;
      if (seen++ == 0) {
        first = e.time;
        continue;
      }
      const uint32_t ms = (e.time - first) / 90;
      if (ms >= 1 && ms <= 500) {
        c.class_ms = 500;
        c.reference_channel = ch;
        return c;
      }
      break;
    }
  }
  return c;
}

int progress_value(int64_t position, int64_t data_start, int64_t size, int steps) {
  if (steps <= 0 || size <= 0) return 0;
  const int64_t done = std::max<int64_t>(0, position - data_start);
  const int64_t unit = size / steps;
  return static_cast<int>(unit > 0 ? done / unit : done * steps / size);
}

bool write_index_file(const std::string& path, const std::vector<IndexEntry>& entries) {
  // Only the used entries are encoded and written; the zeros behind them,
  // most of the file, are made by extending it, so that writing the index
  // of a short file neither fills nor writes several megabytes.
  const size_t n = std::min(entries.size(), kIndexEntries);
  std::vector<uint8_t> bytes(n * kIndexEntryBytes);
  for (size_t i = 0; i < n; ++i) encode_index_entry(entries[i], bytes.data() + i * kIndexEntryBytes);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0;
  if (ok && ::ftruncate(fileno(f), static_cast<off_t>(kIndexFileBytes)) != 0) {
    // A file system that cannot extend a file is given the zeros written out.
    static constexpr uint8_t kZeros[65536] = {};
    for (size_t left = kIndexFileBytes - bytes.size(); ok && left > 0;) {
      const size_t chunk = std::min(left, sizeof kZeros);
      ok = std::fwrite(kZeros, 1, chunk, f) == chunk;
      left -= chunk;
    }
  }
  return std::fclose(f) == 0 && ok;
}

}  // namespace brin::dl
