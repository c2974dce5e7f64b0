// The sound output of the channel engine: 20 ms pieces of 8 kHz 16-bit mono
// sound are gathered into 100 ms blocks of five, and each block is written
// into the segment of a three-segment looping buffer that has just been
// played, as its notification arrives. Writing a block therefore waits for
// the device, which paces the decode thread while sound plays.
//
// It also keeps the sound clock: each piece may carry the stream time of its
// first sample, and the output knows how much of what it handed the device
// has been played (the device's own delay, or the real-time count of the
// none and WAV sinks), so it can tell the stream time of the sound being
// heard now. Pictures are presented against that clock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "velmora/sound.h"

namespace ovo {

inline constexpr size_t kSoundPieceBytes = 320;  // 20 ms
inline constexpr int kSoundPiecesPerBlock = 5;
inline constexpr size_t kSoundSegmentBytes = kSoundPieceBytes * kSoundPiecesPerBlock;  // 100 ms
inline constexpr int kSoundSegments = 3;
inline constexpr size_t kSoundBufferBytes = kSoundSegmentBytes * kSoundSegments;  // 4,800 bytes, 300 ms
inline constexpr int64_t kSoundBytesPerSecond = 16000;                            // 8,000 Hz, 16 bits, mono
// A held block is skipped instead of written while the lag counter is above
// 0 and the last missed notification is younger than this.
inline constexpr uint32_t kLagWindowMs = 90;
// A notification that does not come within this time means the device has
// stopped; the block is dropped instead of waiting for ever.
inline constexpr uint32_t kNotificationTimeoutMs = 1000;

// Status texts.
inline constexpr const char* kStatusNotCreated = "DirectSound was not created!";
inline constexpr const char* kStatusSetFormatFailed = "MyDirectSound SetFormat Failed!";
inline constexpr const char* kStatusStopFailed = "Lock entirebuffer failed! Stop Failed!";
inline constexpr const char* kStatusLockFailed = "Lock DirectSoundBuffer Failed!";

// How much of the sound handed to the device it has played: the default
// creator wraps the device's stream in one of these.
class PlayedCounter {
 public:
  virtual ~PlayedCounter() = default;
  // Bytes handed to the device so far, and how many of them it still holds.
  virtual uint64_t handed_bytes() = 0;
  virtual uint64_t device_queued_bytes() = 0;
};

// The device's stream wrapped in the counter of what it was handed. A write
// goes to the device in pieces of at most kCountedPieceMs, each counted once
// the device took it: a device that takes a piece only as room frees (ALSA's
// blocking write) would otherwise hold the whole write uncounted while
// playing part of it, and the clock would stand still, then jump.
inline constexpr uint32_t kCountedPieceMs = 5;
struct CountedStream {
  std::unique_ptr<vp::SoundStream> stream;
  PlayedCounter* counter = nullptr;  // owned by stream
};
CountedStream count_handed_bytes(std::unique_ptr<vp::SoundStream> stream);

// What became of a piece.
enum class PieceResult {
  kGathered,  // copied into the block being gathered
  kWritten,   // completed a block, which was written to the device
  kSkipped,   // dropped by the lag rule (a held block waits)
  kIgnored,   // longer than 320 bytes
  kNoSound,   // no device, or it is not playing: nothing is heard
};

class SoundOut {
 public:
  // Creates the device and the looping buffer. On failure returns null and
  // sets the failing step's text.
  using Creator = std::function<std::unique_ptr<vp::LoopingSoundBuffer>(std::string* failed_step, bool* device)>;
  // The creator may also hand over the counter of what the device played;
  // without one the output has no clock.
  using CountingCreator = std::function<std::unique_ptr<vp::LoopingSoundBuffer>(std::string* failed_step, bool* device,
                                                                                PlayedCounter** counter)>;
  using Clock = std::function<uint32_t()>;

  // The default creator opens the sound layer's stream; the default clock is
  // the multimedia timer.
  SoundOut();
  SoundOut(Creator creator, Clock clock);
  SoundOut(CountingCreator creator, Clock clock);

  // The first call creates the device and starts playing; later calls only
  // empty the block being gathered. Only 8,000 Hz, 16 bits, mono is played.
  void open(int sample_rate, int bits, int channels);
  void start();
  // Stops the buffer and silences it; the next start plays from its start.
  void stop();
  // media_us is the stream time of the piece's first sample, or negative
  // when the caller keeps no stream time (no clock is kept for that block).
  PieceResult put_piece(const int16_t* samples, size_t bytes, int64_t media_us = -1);

  // The stream time of the sound being heard now. False while there is none:
  // no block with a stream time has been written since the last start, or
  // everything written has been played (the device plays silence).
  bool heard_media_us(int64_t* media_us) const;

  bool created() const;
  bool playing() const;
  std::string status_text() const;
  int lag_counter() const;
  int last_segment() const;
  int pieces_filled() const;

 private:
  void start_locked();
  PieceResult write_block_locked();
  void forget_clock();
  void set_status_locked(const char* text);

  mutable std::mutex mutex_;
  CountingCreator creator_;
  Clock clock_;
  bool opened_ = false;
  bool device_ = false;  // the device itself could be opened
  bool playing_ = false;
  std::unique_ptr<vp::LoopingSoundBuffer> buffer_;
  std::string status_;
  uint8_t block_[kSoundSegmentBytes] = {};
  int filled_ = 0;
  int last_segment_ = -1;
  int lag_ = 0;
  uint32_t lag_time_ = 0;
  int64_t block_media_us_ = -1;  // stream time of the block being gathered

  // The sound clock. Positions count the bytes handed to the device since it
  // was made; origin_ is where the buffer last started from its first byte.
  // Guarded by clock_mutex_ alone, so that asking the time never waits for
  // a block write.
  struct HeardBlock {
    uint64_t start = 0;  // position of the block's first byte
    int64_t media_us = 0;
  };
  mutable std::mutex clock_mutex_;
  PlayedCounter* counter_ = nullptr;  // owned by buffer_ (through its stream)
  uint64_t origin_ = 0;
  std::deque<HeardBlock> heard_blocks_;
};

}  // namespace ovo
