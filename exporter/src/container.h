// One standard video file written with libavformat: the recorder's MPEG-4
// pictures as they are, a subtitle track of the recorder's clock, chapters.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "exporter/exporter.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVStream;

namespace exporter {

struct Chapter {
  int64_t start_us = 0, end_us = 0;  // from the file's start
  std::string title;
};

class ContainerWriter {
 public:
  ContainerWriter() = default;
  ~ContainerWriter();
  ContainerWriter(const ContainerWriter&) = delete;
  ContainerWriter& operator=(const ContainerWriter&) = delete;

  // Creates path (written under a temporary name until close() succeeds).
  // headers: the stream headers before the first picture (the decoder's
  // configuration); creation_time: ISO 8601.
  // with_sound adds a sound track at sound_rate samples a second: 16-bit
  // PCM in Matroska, and in MP4 (which has no place for PCM here) Apple
  // Lossless, which decodes to the same samples.
  bool open(const std::string& path, Format format, const uint8_t* headers, size_t header_bytes, int width, int height,
            bool with_sound, int sound_rate, const std::string& creation_time, const std::vector<Chapter>& chapters,
            std::string* error);
  // A picture's bytes exactly as recorded, at pts_us from the file's start.
  bool write_picture(const uint8_t* data, size_t n, int64_t pts_us, int64_t duration_us, bool key, std::string* error);
  // 16-bit samples at pts_us (dropped when the file has no sound track).
  bool write_sound(const int16_t* samples, size_t count, int64_t pts_us, std::string* error);
  bool has_sound() const { return sound_ != nullptr; }
  // A subtitle cue shown from pts_us for duration_us.
  bool write_cue(const std::string& text, int64_t pts_us, int64_t duration_us, std::string* error);
  // Finishes the file and gives it its name.
  bool close(std::string* error);
  // Removes what was written (after a failure).
  void discard();

 private:
  bool write_packet(AVStream* stream, const uint8_t* data, size_t n, int64_t pts_us, int64_t duration_us, bool key,
                    int64_t* last, std::string* error);
  bool open_sound_encoder(std::string* error);
  bool encode_sound(size_t count, std::string* error);
  bool finish_sound_stretch(std::string* error);

  AVFormatContext* ctx_ = nullptr;
  AVStream* video_ = nullptr;
  AVStream* clock_ = nullptr;
  AVStream* sound_ = nullptr;
  int sound_rate_ = 0;
  // MP4's sound: the encoder of the current stretch of sound without a
  // break, and the samples not yet handed to it.
  AVCodecContext* sound_encoder_ = nullptr;
  std::vector<int16_t> pending_;
  int64_t pending_start_ = 0;  // in samples from the file's start
  bool stretch_started_ = false;
  Format format_ = Format::kMatroska;
  std::string path_, temp_path_;
  int64_t last_video_ = INT64_MIN, last_cue_ = INT64_MIN, last_sound_ = INT64_MIN;
};

// One camera's finished file for merge_tracks: its path and how far its
// time zero lies after the merged file's.
struct TrackInput {
  std::string path;
  int64_t offset_us = 0;
  int camera = 0;  // 1 to 16, for the track titles
};

// Writes the Matroska files' tracks into one Matroska file at path, packets
// as they are, on one time line; the recorder's clock once. The inputs stay.
bool merge_tracks(const std::vector<TrackInput>& inputs, const std::string& path, const std::string& creation_time,
                  const std::vector<Chapter>& chapters, std::string* error);

}  // namespace exporter
