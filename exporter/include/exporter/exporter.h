// Evidence export: a span of recordings written as standard video files that
// play in any player, the recorder's MPEG-4 pictures carried byte for byte
// (never re-encoded), each picture at the time the recorder gave it, with a
// subtitle track of the recorder's clock, chapters for the recording runs and
// alarms, and a custody record of hashes beside the files.
//
// The sources are read GOP by GOP through GopSource: a recorder disk (or its
// image) attached through brinlib, or a copy folder ("ZEB.dat", ".index").
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velmora/rectime.h"

namespace exporter {

// Seconds since 1970-01-01 00:00:00, the recorder's clock read as UTC (as the
// frame headers store it).
using UnixSeconds = int64_t;

// One GOP as its source stores it: frames back to back, each a 48-byte
// header and its payload.
struct SourceGop {
  vp::RecTime time;
  std::vector<uint8_t> frames;
  // The bytes as the source stores them, when they are not the frames
  // themselves (a downloaded file's packets): these are hashed.
  std::vector<uint8_t> stored;
  // The source could not read it whole; its bytes are not to be used.
  bool damaged = false;
  // Frames the source made itself (from a downloaded file's packets): their
  // sound holds 16-bit little-endian samples (8000 a second) rather than
  // the recorder's A-law, and bytes 24 to 27 of a sound frame's header its
  // time within its second in microseconds.
  bool made_frames = false;
  // Found by a scan of the disk where its index no longer names it.
  bool recovered = false;
};

// A stretch of recorder time, ends included.
struct Span {
  UnixSeconds start = 0;
  UnixSeconds end = 0;
  std::string title;
};

class GopSource {
 public:
  virtual ~GopSource() = default;
  // 1 a GOP in *gop; 0 the span is done; -1 the source failed (error()).
  virtual int next(SourceGop* gop) = 0;
  // Where the GOPs come from, for the custody record.
  virtual std::string description() const = 0;
  virtual std::string error() const { return {}; }
  // The recording runs and alarms the source knows of (chapters).
  virtual std::vector<Span> runs() const { return {}; }
  virtual std::vector<Span> alarms() const { return {}; }
  // Rough share of the span read so far, 0 to 100.
  virtual int percent_done() const { return 0; }
};

// A copy folder as the disk-to-PC copy writes it. Null with *error set when
// its files cannot be read.
std::unique_ptr<GopSource> open_copy_folder(const std::string& folder, std::string* error);

// The recorder disk attached through brinlib (hdd_open, first_section_play
// done), from the GOP the time search finds for `from` up to the last GOP
// stamped at or before `to` (recorder seconds). It takes the disk's playback
// position over, as the disk-to-PC copy does.
std::unique_ptr<GopSource> open_attached_disk(uint32_t from, uint32_t to, std::string* error);

// A downloaded data file (a remote copy from a recorder), whose packets
// count 90 kHz ticks from midnight of the span's first day: that day is
// given (the file does not hold it). Its units are the packets of one
// second; its pictures are the packets' MPEG-4 data (with the packets'
// padding); its sound, IMA ADPCM, is decoded to 16-bit PCM.
std::unique_ptr<GopSource> open_downloaded_file(const std::string& path, int year, int month, int day,
                                                std::string* error);

enum class Format { kMatroska, kMp4 };
const char* extension(Format f);

struct Options {
  Format format = Format::kMatroska;
  std::string folder;               // the files go here (it must exist)
  std::string name = "ZEB";         // the recorder's name, first in the file names
  std::string program = "velmora";  // name and version for the custody record
  // What the custody record says of the source and of the span asked for
  // (0: not given).
  std::string source_path, source_sha256;
  std::string source_model, source_serial;  // a drive's, as the kernel reports them
  std::string source_day;                   // a downloaded file's first day, "yyyy/mm/dd"
  UnixSeconds asked_from = 0, asked_to = 0;
  // Matroska: every camera as a track of one file "<name>_cameras_<start>"
  // instead of a file each.
  bool one_file = false;
  std::function<void(int percent)> progress;
};

// A stretch of recorder time with no picture of a camera, between two
// pictures of it.
struct Gap {
  UnixSeconds after = 0;   // the last second with a picture before it
  UnixSeconds before = 0;  // the first second with a picture after it
};

struct CameraFile {
  int camera = 0;    // 1 to 16
  std::string path;  // the same file for every camera with one_file
  uint64_t pictures = 0;
  uint64_t sound_samples = 0;       // 16-bit PCM at 8000 a second (Matroska only)
  UnixSeconds first = 0, last = 0;  // first and last picture's second
  std::vector<Gap> gaps;
  std::string sha256;  // of the file as written
};

struct GopEntry {
  vp::RecTime time;
  uint64_t bytes = 0;
  std::string sha256;  // of the GOP's bytes as the source gave them
  bool left_out = false;
  std::string reason;      // why it was left out
  bool recovered = false;  // found by a scan, not through the index
};

struct Result {
  bool ok = false;
  std::string error;
  std::string source;
  std::vector<CameraFile> files;
  std::vector<GopEntry> gops;
  std::string started, finished;         // ISO 8601, UTC
  std::string record_json, record_text;  // the custody record's paths
};

// Exports everything the source gives. The custody record is written beside
// the files as "<first file>.json" and ".txt".
Result export_video(GopSource& source, const Options& options);

// "2026/12/07 09:03:12".
std::string clock_text(UnixSeconds s);
// Recorder seconds (the calendar count of velmora/rectime.h) as UnixSeconds.
UnixSeconds unix_from_rec(const vp::RecTime& t);

// The model and serial number the kernel reports for a block device (by its
// path, e.g. "/dev/sdb"); empty where it reports none.
struct DriveIdentity {
  std::string model, serial;
};
DriveIdentity drive_identity(const std::string& device_path);

// The SHA-256 of a file's bytes in lower-case hexadecimal; empty when it
// cannot be read.
std::string sha256_file(const std::string& path);
std::string sha256_hex(const uint8_t* data, size_t n);

}  // namespace exporter
