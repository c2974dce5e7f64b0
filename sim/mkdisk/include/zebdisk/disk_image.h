// The writer of recorder disk images: sparse files laid out as a recorder
// leaves its hard disk (settings sector, three management copies, index
// blocks, GOP tables and frame chunks), described by what the recorder
// recorded. It reports everything it wrote in a manifest that tests compare
// the readers against.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "velmora/rectime.h"

namespace zebdisk {

using vp::RecTime;

// ---- Layout --------------------------------------------------------------

inline constexpr uint64_t kSectorBytes = 512;
inline constexpr uint32_t kCopySectors = 244333;
inline constexpr uint32_t kVolumeOffset = 1;
inline constexpr uint32_t kAttrHeaderOffset = 2;
inline constexpr uint32_t kBlockHeaderOffset = 9;
inline constexpr uint32_t kListHeaderOffset = 23;
inline constexpr uint32_t kAlarmHeaderOffset = 79;
inline constexpr uint32_t kIndexBlockOffset = 83;
inline constexpr uint32_t kIndexBlockSectors = 977;
inline constexpr uint32_t kDataStartSector = 733056;  // behind the copies, 4 KiB aligned
inline constexpr int kAttrRing = 100, kBlockRing = 250, kListRing = 1000, kAlarmRing = 50;
inline constexpr int kRecordsPerBlock = 25000;
inline constexpr int kRecordBytes = 20;
inline constexpr int kGopEntries = 40;
inline constexpr int kGopEntryBytes = 32;
inline constexpr size_t kChunkHeaderBytes = 100;
inline constexpr uint32_t kMaxChunkBytes = 2097152;
inline constexpr uint64_t kCylinderBytes = 255ull * 63 * 512;
// The first settings value of a recorder disk, as the viewer checks it.
inline constexpr uint32_t kRecorderDiskMark = 0x015C0000;

// ---- Encoders of the stored units (each ends in its byte-sum checksum) ----

uint8_t byte_sum(const uint8_t* p, size_t n);
void seal(uint8_t* p, size_t n);  // sets byte n-1 to the sum of the others

struct RingHeaderSpec {
  int count = 0, oldest = 0, newest = 0;
};
struct BlockHeaderSpec {
  int count = 0, oldest = 0, newest = 0, write_block = 0, write_record = 0;
};
struct AttrEntrySpec {
  int number = 0;
  RecTime first, last;
  uint32_t first_record = 0, last_record = 0;
  int first_block = 0, last_block = 0;
};
struct BlockEntrySpec {
  int count = 0, first_record = 0, last_record = 0;
  int first_attr = 0, last_attr = 0;
  RecTime first_time, last_time;
};
struct ListEntrySpec {
  int attr = 0;
  RecTime start, end;
  int start_block = 0, end_block = 0;
  uint32_t start_record = 0, end_record = 0;
  int kind = 0;
  bool continuation = false;
};
struct RecordSpec {
  RecTime time;
  uint32_t gop_sector = 0;
  int gop_count = 0;
  uint8_t flags = 1;
  uint8_t status = 0;
};
struct GopEntrySpec {
  uint8_t byte0 = 0, byte2 = 0, byte27 = 0;
  RecTime time;
  uint32_t size = 0;
  uint32_t sector = 0;
};

std::vector<uint8_t> encode_volume(int generation);
std::vector<uint8_t> encode_ring_header(const RingHeaderSpec& h);    // 8 bytes
std::vector<uint8_t> encode_block_header(const BlockHeaderSpec& h);  // 8 bytes
std::vector<uint8_t> encode_alarm_header(const RingHeaderSpec& h);   // 4 bytes
std::vector<uint8_t> encode_attr(const AttrEntrySpec& e);
std::vector<uint8_t> encode_block_entry(const BlockEntrySpec& e);
std::vector<uint8_t> encode_list(const ListEntrySpec& e);
std::vector<uint8_t> encode_alarm(const RecTime& start, const RecTime& end);
std::vector<uint8_t> encode_record(const RecordSpec& r);
std::vector<uint8_t> encode_gop(const GopEntrySpec& g);

// The settings sector: 128 values, each two little-endian 16-bit words with
// the high word first.
std::vector<uint8_t> encode_settings(const std::vector<uint32_t>& values);

// A picture of the JPEG area in disk order (the bytes of every 16-bit word
// exchanged), padded to whole sectors: the stream starts with the start of
// image and an APP segment that carries the recorder's header fields.
struct PictureSpec {
  RecTime time;
  int number = 0;  // low four bits go into the file name
  uint16_t camera_word = 0;
  std::vector<uint8_t> body;  // stream bytes after the header segment (up to the end of image)
};
std::vector<uint8_t> picture_stream(const PictureSpec& p);  // stream order
std::vector<uint8_t> to_disk_order(std::vector<uint8_t> bytes);

// Seconds since 1970 of a calendar time (the recorder's clock, taken as UTC)
// and back.
int64_t unix_seconds(const RecTime& t);
RecTime from_unix_seconds(int64_t s);
RecTime add_seconds(const RecTime& t, int64_t s);

// ---- Image files -------------------------------------------------------------

// A sparse image file opened for writing.
class ImageFile {
 public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  // Creates (or replaces) the file with the given size in bytes.
  bool create(const std::string& path, uint64_t size_bytes);
  // Opens an existing image to change it in place.
  bool open(const std::string& path);
  bool write(uint64_t offset, const void* data, size_t n);
  bool write_sector(uint64_t sector, const std::vector<uint8_t>& data) {
    return write(sector * kSectorBytes, data.data(), data.size());
  }
  bool truncate(uint64_t size_bytes);
  bool close();
  uint64_t written_bytes() const { return written_; }

 private:
  int fd_ = -1;
  uint64_t written_ = 0;
};

// ---- What the recorder recorded ---------------------------------------------

enum class Area { kAttr, kBlock, kList, kAlarm };

struct RunSpec {
  int attribute = 0;
  RecTime start, end;  // GOPs from start up to end (inclusive)
  int kind = 0;
  bool continuation = false;
  uint8_t flags = 1;        // flags of the run's records
  bool stop_point = false;  // flag bit 2 on the run's first record
  // Faults, by record number inside the run (and GOP number in the record).
  std::vector<int> bad_records;                  // record checksum wrong in every copy
  std::vector<int> hidden_records;               // flags 0: no stepping target
  std::vector<std::pair<int, int>> bad_gops;     // GOP entry checksum wrong
  std::vector<int> lost_tables;                  // GOP table sector past the end of the disk
  std::vector<std::pair<int, int>> lost_chunks;  // chunk sector past the end
  std::vector<std::pair<int, int>> huge_chunks;  // chunk size over 2 MiB
  std::vector<std::pair<int, int>> gop_counts;   // record claims this GOP count
};

struct AlarmSpec {
  RecTime start, end;
};

struct DamageSpec {
  enum Kind { kVolume, kHeader, kEntry, kIndexBlock, kRandom } kind = kVolume;
  int copy = 0;
  Area area = Area::kAttr;
  int index = -1;  // entry ring index (-1: the newest entry), or block
  uint32_t seed = 0;
  int count = 0;  // random sectors
};

struct PictureAt {
  uint32_t sector = 0;
  PictureSpec picture;
};

struct DiskSpec {
  uint64_t cylinders = 3100;
  int generations[3] = {0, 1, 2};  // -1 writes a volume record with a bad checksum
  bool omit_copy[3] = {false, false, false};
  int start_block = 0, start_record = 0;
  int first_list_index = 0, first_alarm_index = 0;
  int cameras = 1;
  // As a recorder writes: one recorded stream whose pictures show the
  // cameras together (quad, two halves or one camera), each picture's
  // camera-set bits naming them. The per-camera variant writes each camera
  // as a stream of its own, which no recorder does; it stays for tests of
  // readers that must cope with such data.
  bool per_camera_streams = false;
  // Camera-set bits of the recorded pictures; 0: cameras 1 to N.
  uint8_t camera_set = 0;
  // Clip per stream (.m4v elementary streams; in a recorder's layout clip 0
  // is the recorded picture); empty: the clip of clips_folder, else small
  // generated payloads. The A-law file for audio; empty: the folder's tone,
  // else a generated one.
  std::vector<std::string> clips;
  std::string clips_folder;
  std::string audio;
  int pictures_per_gop = 2;
  int audio_per_gop = 2;
  int gop_ms = 1000;
  int gops_per_record = 4;
  bool end_marker = false;  // the newest GOP's chunk ends on the end-of-data marker
  std::vector<uint32_t> settings = {kRecorderDiskMark};
  std::vector<RunSpec> runs;
  std::vector<AlarmSpec> alarms;
  std::vector<DamageSpec> damage;
  std::vector<PictureAt> pictures;
  uint64_t truncate_sectors = 0;  // cut the image short (0: keep its size)
};

// ---- What was written -------------------------------------------------------

struct FrameInfo {
  bool video = true;
  int camera = 0;
  int32_t time = 0;  // seconds since 1970
  uint32_t payload_bytes = 0;
  int sequence = 0;
  uint32_t chunk_offset = 0;  // where its header starts in the chunk
};

struct GopInfo {
  RecTime time;
  uint32_t sector = 0;
  uint32_t size = 0;
  uint8_t byte0 = 0, byte2 = 0, byte27 = 0;
  bool bad_entry = false;   // checksum wrong: readers pass it over
  bool readable = true;     // the chunk can be read (not lost, not too large)
  int expected_result = 0;  // what a frame reader returns for it
  std::vector<FrameInfo> frames;
  std::vector<uint8_t> frame_bytes;  // the frames exactly as a reader returns them
};

struct RecordInfo {
  int run = 0;
  int index_in_run = 0;
  int block = 0, record = 0;
  RecTime time;
  uint32_t gop_sector = 0;
  int gop_count = 0;  // as stored
  uint8_t flags = 0, status = 0;
  bool bad = false;  // checksum wrong
  bool table_lost = false;
  std::vector<GopInfo> gops;
};

struct RunInfo {
  int list_index = 0;
  int attribute = 0;
  RecTime start, end;
  int start_block = 0, end_block = 0;
  int start_record = 0, end_record = 0;
  int kind = 0;
  bool continuation = false;
  int first_record_info = 0, record_infos = 0;  // into Manifest::records
};

struct AttrInfo {
  int number = 0;
  RecTime first, last;
  int first_block = 0, first_record = 0, last_block = 0, last_record = 0;
};

struct Manifest {
  std::string path;
  uint64_t image_bytes = 0;
  uint64_t written_bytes = 0;
  int generation_of_copy[3] = {0, 0, 0};
  int current_generation = 0;
  int oldest_block = 0, newest_block = 0, blocks = 0;
  RecTime first_time, last_time;
  std::vector<AttrInfo> attributes;               // oldest first
  std::vector<RunInfo> runs;                      // oldest first
  std::vector<std::pair<int, AlarmSpec>> alarms;  // ring index, times
  std::vector<RecordInfo> records;                // in recording order
};

// The camera-set bits the pictures of a disk carry.
uint8_t camera_set_of(const DiskSpec& spec);
// The clip of the build's clip folder that stream `stream` of a disk records.
std::string folder_clip(const DiskSpec& spec, int stream);

// Writes the image; false with a message in *error on failure.
bool write_disk(const DiskSpec& spec, const std::string& path, Manifest* manifest, std::string* error);

// The description file format of zeb-mkdisk (see description_help()).
bool parse_description(const std::string& text, DiskSpec* spec, std::string* error);
const char* description_help();
std::string format_time(const RecTime& t);  // "yyyy/mm/dd hh:mm:ss"
bool parse_time(const std::string& date, const std::string& time, RecTime* out);
std::string format_manifest(const Manifest& m);

}  // namespace zebdisk
