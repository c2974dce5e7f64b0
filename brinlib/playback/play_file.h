// Playback of a copy's data and index file: the position in the copy and one
// round of play in the direction of a play state. The file worker runs these
// rounds on its thread; the reader itself has no thread, so that tools and
// the fuzz target drive it directly.
//
// The index and the data file come from a disk the user chose and may be
// anything: every record is read whole or not at all, and a GOP whose length
// is negative, runs past the data file's end or exceeds the frame buffer is
// passed over without a hand-over.
#pragma once
#include <cstdint>
#include <cstdio>

#include "../copy/copy_format.h"

namespace brin::play {

class FilePlayer {
 public:
  FilePlayer() = default;
  ~FilePlayer();
  FilePlayer(const FilePlayer&) = delete;
  FilePlayer& operator=(const FilePlayer&) = delete;

  // Opens both files for reading (neither stays open on failure).
  bool open(const char* data_path, const char* index_path);
  void close();
  bool is_open() const { return data_ != nullptr; }

  // Reads the first, second and last index records and puts the position on
  // the first GOP. False when the index has no whole first record.
  bool start();
  bool has_records() const { return has_records_; }
  // RecSeconds of the first and the last index record.
  uint32_t first_seconds() const;
  uint32_t last_seconds() const;

  enum class Outcome {
    kAccepted,      // handed over; the state goes on
    kAcceptedIdle,  // handed over; the state returns to idle
    kRefused,       // the channel refused; the same GOP is offered again
    kPassedOver,    // a damaged GOP was passed over; the state goes on
    kIdle,          // nothing handed over; the state returns to idle
  };
  // One round of a non-idle play state: reads the GOP in the direction of
  // play into buffer (kFrameBufferBytes) and hands it over.
  Outcome round(int32_t state, int32_t speed, uint8_t* buffer);

  // Places the position proportionally to the time in the index: 0, or -2
  // when the time lies outside the first and last record's times.
  int search(uint32_t seconds);

  uint64_t record_count() const { return index_size_ / copyfile::kRecordBytes; }
  uint64_t current_record() const { return cur_k_; }
  bool current_is_last() const { return cur_is_last_; }
  uint64_t data_size() const { return data_size_; }

  // The bytes of GOP k (its offset to the next record's, or to the data
  // file's end): false when the GOP is damaged (bad length) or cannot be read.
  bool read_gop(uint64_t k, uint8_t* buffer, uint64_t capacity, uint64_t* length);

 private:
  bool read_record(uint64_t k, copyfile::Record* out);
  // The GOP between two offsets, checked against the data file and the buffer.
  bool read_span(uint64_t from, uint64_t to, uint8_t* buffer, uint64_t capacity);
  void rewind();
  Outcome forward(int32_t state, int32_t speed, uint8_t* buffer);
  Outcome backward(int32_t state, int32_t speed, uint8_t* buffer);
  // Moves on to the next record; false when the current one is the last.
  bool advance();

  std::FILE* data_ = nullptr;
  std::FILE* index_ = nullptr;
  uint64_t data_size_ = 0;
  uint64_t index_size_ = 0;
  bool has_records_ = false;
  copyfile::Record first_, last_;
  copyfile::Record cur_, next_;
  uint64_t cur_k_ = 0;
  bool cur_is_last_ = false;
};

}  // namespace brin::play
