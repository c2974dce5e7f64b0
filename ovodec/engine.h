// The playback path: the ten-slot frame ring filled by play_add_ring1 and
// the decode thread that empties it, decoding video, playing audio and
// pacing the pictures by the durations of the records.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

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
// Decoded pictures that may wait for their time: enough to cover the sound
// output's latency (three 100 ms segments and the device's own queue) at 30
// pictures per second, within a memory budget for large pictures.
inline constexpr size_t kPresentAheadPictures = 24;
inline constexpr size_t kPresentAheadBytes = size_t{32} << 20;
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
  // Waits for a decode thread that was asked to stop to end and collects
  // it: 0 when none runs any more, -1 after timeout_ms or while the
  // receive thread runs.
  int32_t wait_ended(int32_t timeout_ms);
  void request_reinit();
  int32_t sound_change(int32_t value);
  void set_no_audio_mode(int32_t value) { no_audio_mode_.store(value); }
  void set_viewer_mode(int32_t mode) { viewer_mode_.store(mode); }
  int32_t error_flag() const { return error_flag_.load(); }
  void reset_error_flag();
  int32_t get_bmpdata(int32_t* count, int32_t* first, int32_t* second, uint8_t* rgb, uint32_t* time);
  int32_t window() const { return window_.load(); }

  // For tests: pictures presented so far (made the current picture), slot
  // states, and a way back to the state at load (waits for the decode thread
  // to end first).
  uint64_t pictures_decoded() const { return pictures_decoded_.load(); }
  uint64_t decode_threads_started() const { return decode_threads_started_.load(); }
  int32_t slot_state(int i) const { return ring_[i].state.load(); }
  int32_t slot_pacing_us(int i) const { return ring_[i].pacing_us; }
  int32_t slot_length(int i) const { return ring_[i].length; }
  bool sound_change_pending() const { return sound_change_request_.load() != 0; }
  size_t pictures_waiting();
  void reset_for_test();
  // For tests: called by get_bmpdata between taking its copy of the current
  // picture and converting it.
  void set_fetch_hook_for_test(void (*hook)()) { fetch_hook_.store(hook); }

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> payload;
    int32_t length = 0;
    std::atomic<int32_t> state{kFree};
    int32_t pacing_us = 0;
    uint8_t camera_set = 0;
    int32_t time = 0;
  };

  // A decoded picture waiting for its time.
  struct Pending {
    YuvPicture picture;
    uint8_t camera_set = 0;
    int32_t time = 0;
    int64_t media_us = 0;  // its time in the stream, on the sound's timeline
    int64_t hold_us = 0;   // how long it stays when the timer paces it
  };

  void decode_thread();
  // Presents the decoded pictures each at its time: while sound is heard,
  // when the sound reaches the picture's stream time; otherwise when the
  // picture before it has been shown for its duration.
  void presenter_thread();
  // Hands a decoded picture to the presenter; waits while the presenter
  // holds as many as it may: with ahead (sound plays), enough to cover the
  // sound's latency, else the one picture waiting for its time. False when a
  // request ended the wait.
  bool queue_picture(const YuvView& picture, uint8_t camera_set, int32_t time, int64_t media_us, int64_t hold_us,
                     bool ahead);
  // Whether the presenter may hold one more picture (see queue_picture).
  bool room_for_picture(bool ahead);
  // Drops the pictures not yet presented.
  void drop_queued_pictures();
  void present(Pending& p);
  // Frees the slot at the read index and moves the index on.
  void free_read_slot();
  void set_error_flag(int32_t value);
  void set_summary(uint8_t camera_set);

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
  // get_bmpdata's copy of the current picture and its conversion space,
  // under fetch_lock_: the picture is copied under "RGBDATA" and converted
  // after letting go, so that a caller fetching often never holds up the
  // presenter, which needs "RGBDATA" to make a picture current.
  std::mutex fetch_lock_;
  YuvPicture fetched_;
  ConvertScratch scratch_;
  std::atomic<void (*)()> fetch_hook_{nullptr};
  std::atomic<bool> tables_ready_{false};
  std::atomic<int32_t> summary_count_{0};
  std::atomic<int32_t> summary_first_{0};
  std::atomic<int32_t> summary_second_{0};
  std::atomic<int32_t> current_time_{0};
  std::atomic<uint64_t> pictures_decoded_{0};
  std::atomic<uint64_t> decode_threads_started_{0};
  std::atomic<uint64_t> decode_threads_ready_{0};  // reached their first wait for records

  // Pictures between the decode thread and the presenter, under present_lock_.
  std::mutex present_lock_;
  std::deque<Pending> queued_;
  std::vector<Pending> spare_;     // presented entries, kept for their memory
  uint64_t queue_generation_ = 0;  // counts the drops
  size_t picture_bytes_ = 1;       // of the last picture queued, decode thread only
  std::atomic<bool> present_quit_{false};
  std::atomic<uint64_t> wait_cuts_{0};  // requests that end a picture's wait
};

}  // namespace ovo
