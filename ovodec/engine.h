// The playback path: the ten-slot frame ring filled by play_add_ring1 and
// the decode thread that empties it, decoding video, playing audio and
// pacing the pictures by the durations of the records.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "colour.h"

namespace ovo {

class SoundOut;
class SnapshotStore;
class Presentation;
class WorkerSlot;

inline constexpr int kRingSlots = 10;
inline constexpr size_t kSlotBytes = 262144;  // payload bytes a slot holds
inline constexpr size_t kFrameHeaderBytes = 48;
inline constexpr size_t kMaxAudioPayload = 256;     // longer audio payloads are dropped
inline constexpr size_t kDecodeAheadBytes = 65536;  // undecoded bytes that are decoded before taking more
inline constexpr uint16_t kVideoMagic = 0xFBFF;
inline constexpr uint16_t kAudioMagic = 0xFCFF;

// Frame header fields (little-endian).
struct FrameHeader {
  uint16_t magic = 0;
  uint16_t kind = 0;
  int32_t field4 = 0;
  int16_t sequence = 0;
  uint8_t byte10 = 0;
  uint8_t camera_set = 0;
  int32_t time = 0;
  uint32_t payload_length = 0;
  int32_t duration_us = 0;
  uint8_t camera = 0;
};
FrameHeader read_frame_header(const uint8_t* h);

// Pause after a single-frame record by speed code; -1 keeps the record's own.
int32_t single_frame_pacing_us(int32_t speed);

// The named locks of the library.
struct Locks {
  std::mutex& ring;   // "ringDATA": slot states, read index moves, stop and re-initialise requests
  std::mutex& bmp;    // "BMPDATA": sound-change request, snapshot store
  std::mutex& rgb;    // "RGBDATA": the decoded picture
  std::mutex& err;    // "ERR_SET": the error flag
  std::mutex& write;  // "writeDATA": record-file writes
};

class Engine {
 public:
  enum SlotState : int32_t { kFree = 0, kVideo = 1, kAudio = 2 };

  Engine(const Locks& locks, WorkerSlot& worker, SnapshotStore& snapshots, Presentation& presentation,
         SoundOut& (*sound)());
  ~Engine();

  int32_t open(int32_t window);
  int32_t add_ring(const uint8_t* records, int32_t length, int32_t single_frame, int32_t speed);
  void request_stop();
  void request_reinit();
  int32_t sound_change(int32_t value);
  void set_no_audio_mode(int32_t value) { no_audio_mode_.store(value); }
  void set_viewer_mode(int32_t mode) { viewer_mode_.store(mode); }
  int32_t error_flag() const { return error_flag_.load(); }
  void reset_error_flag();
  int32_t get_bmpdata(int32_t* count, int32_t* first, int32_t* second, uint8_t* rgb, uint32_t* time);
  int32_t window() const { return window_.load(); }

  // For tests: pictures decoded so far, slot states, and a way back to the
  // state at load (waits for the decode thread to end first).
  uint64_t pictures_decoded() const { return pictures_decoded_.load(); }
  uint64_t decode_threads_started() const { return decode_threads_started_.load(); }
  int32_t slot_state(int i) const { return ring_[i].state.load(); }
  int32_t slot_pacing_us(int i) const { return ring_[i].pacing_us; }
  int32_t slot_length(int i) const { return ring_[i].length; }
  bool sound_change_pending() const { return sound_change_request_.load() != 0; }
  void reset_for_test();

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> payload;
    int32_t length = 0;
    std::atomic<int32_t> state{kFree};
    int32_t pacing_us = 0;
    uint8_t camera_set = 0;
    int32_t time = 0;
  };

  void decode_thread();
  // Frees the slot at the read index and moves the index on.
  void free_read_slot();
  void set_error_flag(int32_t value);
  void set_summary(uint8_t camera_set);
  bool pacing_interrupted() const;

  const Locks locks_;
  WorkerSlot& worker_;
  SnapshotStore& snapshots_;
  Presentation& presentation_;
  SoundOut& (*sound_)();

  Slot ring_[kRingSlots];
  int write_index_ = 0;      // producers only, under produce_lock_
  int read_index_ = 0;       // decode thread only
  int64_t skipped_us_ = 0;   // durations of dropped audio records not yet charged
  std::mutex produce_lock_;  // one producer at a time

  std::atomic<int32_t> viewer_mode_{0};
  std::atomic<int32_t> no_audio_mode_{0};
  std::atomic<int32_t> stop_request_{0};
  std::atomic<int32_t> reinit_request_{0};
  std::atomic<int32_t> sound_change_request_{0};
  std::atomic<int32_t> error_flag_{0};
  std::atomic<int32_t> window_{0};

  // The current picture: an owned copy, so that it stays valid whatever the
  // decoder does next. Guarded by "RGBDATA".
  YuvPicture picture_;
  ConvertScratch scratch_;  // get_bmpdata's, under "RGBDATA"
  std::atomic<bool> tables_ready_{false};
  std::atomic<int32_t> summary_count_{0};
  std::atomic<int32_t> summary_first_{0};
  std::atomic<int32_t> summary_second_{0};
  std::atomic<int32_t> current_time_{0};
  std::atomic<uint64_t> pictures_decoded_{0};
  std::atomic<uint64_t> decode_threads_started_{0};
  std::atomic<uint64_t> decode_threads_ready_{0};  // reached their first wait for records
};

}  // namespace ovo
