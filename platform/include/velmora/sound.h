// The sound layer: 16-bit PCM output through one of three back-ends, chosen
// by the environment variable VELMORA_AUDIO when a stream is opened:
//   alsa      the default ALSA device (also when the variable is unset)
//   none      no device: the sound is thrown away
//   wav:PATH  the sound is written to the WAV file PATH
// Every back-end consumes sound at the rate of its format, like a device, so
// a writer that fills a device queue is paced the same way with or without a
// sound card.
//
// Three shapes of output are built on it:
//  - SoundStream: one blocking PCM stream (the device itself);
//  - LoopingSoundBuffer: a looping buffer with position notifications, which
//    a writer refills region by region as the notifications come;
//  - SoundBlockQueue: a queue of caller-owned blocks played in order, each
//    reported done once played.
// One process-wide volume applies to all of them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

// Signed 16-bit little-endian samples, channels interleaved.
struct PcmFormat {
  uint32_t sample_rate = 8000;
  uint16_t channels = 1;
  uint16_t bits_per_sample = 16;  // only 16 is supported
  uint32_t block_align() const { return channels * (bits_per_sample / 8u); }
  uint32_t bytes_per_second() const { return sample_rate * block_align(); }
};

enum class SoundBackend { kAlsa, kNone, kWav };

struct SoundConfig {
  SoundBackend backend = SoundBackend::kAlsa;
  std::string wav_path;  // for kWav
};

// What VELMORA_AUDIO selects now. An unknown value selects kNone.
SoundConfig sound_config();

enum class SoundError {
  kNone,
  kNoDevice,   // the device cannot be opened (or the WAV file created)
  kFormat,     // the device refuses the format
  kResources,  // memory or a thread could not be had
};

// One open output stream.
class SoundStream {
 public:
  virtual ~SoundStream() = default;
  // Queues bytes (whole sample frames) and returns once all are queued:
  // blocks while the device's queue is full, which paces the writer. False
  // when the device failed; the bytes are then lost.
  virtual bool write(const void* data, size_t bytes) = 0;
  // Throws away what is queued and not yet played.
  virtual void discard() = 0;
  // Waits until what is queued has been played.
  virtual void drain() = 0;
  // Bytes queued and not yet played.
  virtual size_t queued_bytes() = 0;
  virtual const PcmFormat& format() const = 0;
};

// Opens a stream on the back-end that VELMORA_AUDIO selects. A WAV file that
// another open stream of this process is writing is not shared: the later
// stream writes "PATH.<n>.wav" (n = 1, 2, ...) instead.
std::unique_ptr<SoundStream> open_sound_stream(const PcmFormat& format, SoundError* error = nullptr);

// A looping buffer with position notifications. A pump thread plays the
// buffer round and round into its stream while playing; each time it has
// handed over the byte at a notification position it signals that
// notification. Each byte plays once per round: the pump silences what it has
// played, so a region the writer did not refill in time plays as silence
// rather than repeating old sound.
class LoopingSoundBuffer {
 public:
  virtual ~LoopingSoundBuffer() = default;
  virtual size_t size() const = 0;
  // Notification k fires when the pump passes positions[k] (each < size()).
  // False for an empty list, a position outside the buffer, or while playing.
  virtual bool set_notifications(const std::vector<size_t>& positions) = 0;
  // Starts playing from the current position; false when the stream failed.
  virtual bool play() = 0;
  // Stops playing; the position stays where the pump stopped. What the
  // stream still held is thrown away.
  virtual void stop() = 0;
  // Copies bytes into the buffer at offset, wrapping round at the end.
  // False when offset or bytes do not fit the buffer.
  virtual bool write(size_t offset, const void* data, size_t bytes) = 0;
  // Fills the whole buffer with silence.
  virtual bool fill_silence() = 0;
  virtual void set_position(size_t offset) = 0;
  virtual size_t position() const = 0;
  // Clears every signalled notification.
  virtual void reset_notifications() = 0;
  // Waits up to timeout_ms for a notification and consumes it: the result is
  // the lowest signalled index, or -1 when none came in time.
  virtual int wait_notification(uint32_t timeout_ms) = 0;
};

// A looping buffer of the given size (whole sample frames) over stream.
std::unique_ptr<LoopingSoundBuffer> create_looping_sound_buffer(std::unique_ptr<SoundStream> stream, size_t bytes,
                                                                SoundError* error = nullptr);

// A queue of caller-owned blocks played in order. write() returns at once;
// the block must stay valid until its done callback has run. The callback
// runs on the queue's own thread after the block has been handed to the
// device in full, or when reset() or the destructor drop it; it must not call
// back into the queue.
class SoundBlockQueue {
 public:
  using DoneCallback = std::function<void(uintptr_t user)>;
  virtual ~SoundBlockQueue() = default;  // drops what is queued, then closes
  // Queues a block; false when the queue is closing or bytes is 0.
  virtual bool write(const void* data, size_t bytes, uintptr_t user) = 0;
  // Drops every block not yet played (each gets its done callback) and
  // returns when none is left.
  virtual void reset() = 0;
  // Blocks written and not yet reported done.
  virtual size_t pending() const = 0;
};

std::unique_ptr<SoundBlockQueue> open_sound_block_queue(const PcmFormat& format, SoundBlockQueue::DoneCallback done,
                                                        SoundError* error = nullptr);

// The process-wide volume in the layout of the Windows wave-out volume: left
// channel in the low 16 bits, right channel in the high 16 bits, 0 to 0xFFFF
// each (0xFFFF plays samples unchanged). Mono sound takes the left value.
// Starts at 0xFFFFFFFF.
void set_sound_volume(uint32_t volume);
uint32_t sound_volume();
// Applies the volume to samples in place.
void apply_sound_volume(int16_t* samples, size_t count, uint16_t channels);

// Whether the selected back-end has an output device (none and WAV always do).
bool sound_device_present();

VP_NAMESPACE_END
