// The sound output of the channel engine: 20 ms pieces of 8 kHz 16-bit mono
// sound are gathered into 100 ms blocks of five, and each block is written
// into the segment of a three-segment looping buffer that has just been
// played, as its notification arrives. Writing a block therefore waits for
// the device, which paces the decode thread while sound plays.
#pragma once
#include <cstddef>
#include <cstdint>
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
  using Clock = std::function<uint32_t()>;

  // The default creator opens the sound layer's stream; the default clock is
  // the multimedia timer.
  SoundOut();
  SoundOut(Creator creator, Clock clock);

  // The first call creates the device and starts playing; later calls only
  // empty the block being gathered. Only 8,000 Hz, 16 bits, mono is played.
  void open(int sample_rate, int bits, int channels);
  void start();
  // Stops the buffer and silences it; the next start plays from its start.
  void stop();
  PieceResult put_piece(const int16_t* samples, size_t bytes);

  bool created() const;
  bool playing() const;
  std::string status_text() const;
  int lag_counter() const;
  int last_segment() const;
  int pieces_filled() const;

 private:
  void start_locked();
  PieceResult write_block_locked();
  void set_status_locked(const char* text);

  mutable std::mutex mutex_;
  Creator creator_;
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
};

}  // namespace ovo
