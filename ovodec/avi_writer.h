// A writer of AVI files (RIFF AVI 1.0 with an idx1 index) holding one MPEG-4
// video stream, stream type "vids", handler "xvid", format "XVID". The frame
// rate comes from the frames' durations.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ovo {

// AVI 1.0 files stay below this size so that every RIFF size fits and older
// readers accept them.
inline constexpr uint64_t kAviMaxFileBytes = 1ull << 30;
// Frame duration used when the frames carry none.
inline constexpr uint32_t kAviDefaultFrameUs = 33333;

class AviWriter {
 public:
  AviWriter() = default;
  ~AviWriter() { close(); }
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  // Creates (or empties) the file and writes its headers. 1 on success, 0 on
  // failure (a message on the standard output, except for a path that cannot
  // be created).
  int open(const std::string& path, int width, int height);
  // Writes one frame of length bytes. duration_us is the frame's play time
  // (0 or less: unknown). 1 when written; 0 for an empty frame, when nothing
  // is open, or when the write failed or would pass the size limit.
  int write(const uint8_t* data, int32_t length, bool key_frame, int32_t duration_us);
  // Writes the index and the final headers and closes the file.
  void close();

  bool is_open() const { return file_ != nullptr; }
  int frames() const { return static_cast<int>(index_.size()); }
  // The frame duration the headers give: the frames' average.
  uint32_t frame_duration_us() const;

 private:
  struct IndexEntry {
    uint32_t offset;  // from the "movi" list type
    uint32_t size;
    bool key;
  };
  bool write_headers();

  FILE* file_ = nullptr;
  std::string path_;
  int width_ = 0;
  int height_ = 0;
  uint64_t movi_bytes_ = 0;  // chunks in the movi list
  uint64_t duration_sum_us_ = 0;
  uint32_t timed_frames_ = 0;
  uint32_t largest_frame_ = 0;
  std::vector<IndexEntry> index_;
};

}  // namespace ovo
