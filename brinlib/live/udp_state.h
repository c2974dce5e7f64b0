// The live stream's process-wide receive state: two stream receive threads,
// the channel buffers of both picture kinds, the audio buffers of both audio
// kinds, and the sub-frame tables of the channel shown alone.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "velmora/bytes.h"
#include "velmora/net.h"
#include "velmora/sync.h"

namespace brin::live {

inline constexpr int kChannels = 16;
inline constexpr int kPictureKinds = 2;
inline constexpr int kAudioKinds = 2;    // kinds 2 and 3
inline constexpr int kAudioBuffers = 6;  // per audio kind
inline constexpr int kSubframeEntries = 20;
inline constexpr size_t kChannelBufferBytes = 512 * 1024;
inline constexpr size_t kAudioBufferBytes = 256 * 1024;
inline constexpr size_t kSubframeBufferBytes = 512 * 1024;
inline constexpr size_t kStagingBytes = 1024 * 1024;
inline constexpr size_t kFrameHeaderBytes = 28;
inline constexpr size_t kSubframeAreaOffset = 128;  // sub-frames start here
inline constexpr size_t kSubframeHeaderBytes = 6;
inline constexpr uint32_t kNoSelectedChannel = 0xFFFFFFFFu;

// Thread states.
enum ThreadState : int { kEnded = 0, kReceiving = 1, kStarting = 2, kPaused = 10, kStopRequested = 99 };

// Ready flag of a channel buffer: a complete frame waits for a poll (1), a
// poll is taking it (2), or it is empty or being filled (0).
enum Ready : int { kEmpty = 0, kWaiting = 1, kDecoding = 2 };

struct ChannelBuffer {
  std::unique_ptr<uint8_t[]> data;
  std::mutex lock;
  std::atomic<int> ready{kEmpty};
  // One poll of the channel at a time. A poll copies the waiting frame into
  // `taken` under the buffer's lock and decodes it after letting go of that
  // lock, so that the receive thread never waits for a decode. Taken before
  // the buffer's lock, never inside it.
  std::mutex poll_lock;
  std::vector<uint8_t> taken;
  // Bytes of the waiting frame that may be decoded: the whole frame, or for
  // a frame that could not complete, the whole sub-frames of its received
  // prefix. Written and read under the lock.
  size_t extent = 0;
};

struct SubframeEntry {
  uint32_t channel = 0;
  uint32_t pts = 0;
  const uint8_t* data = nullptr;
  uint32_t size = 0;  // 0 = shown; kNoSelectedChannel in entry 0 = no play-out
  int state = 0;      // 1 first sub-frame, 2 later one, 0 empty
  uint32_t offset = 0;
  uint32_t time_offset_ms = 0;
};

// The last values seen per picture kind.
struct LastValues {
  std::atomic<uint32_t> time{0};
  std::atomic<uint16_t> fraction{0};
  std::atomic<uint8_t> flags{0};
  std::atomic<uint16_t> status{0};
};

struct ReceiveState {
  // A program that ends without closing the stream: the receive threads are
  // stopped before the buffers they write go away.
  ~ReceiveState();

  std::mutex setup_lock;  // connect and close
  char stream_address[16] = {};
  int32_t base_port = 0;
  // The sender filter: the recorder's address; valid once rx_start set it.
  std::atomic<uint32_t> filter_address{0};
  std::atomic<bool> filter_valid{false};
  std::atomic<int> thread_state[2] = {};
  // Notified after every change of a thread state or of the sender filter.
  vp::Signal state_changed;
  std::thread threads[2];
  std::atomic<bool> thread_returned[2] = {true, true};  // the thread function has returned

  ChannelBuffer channels[kPictureKinds][kChannels];
  std::unique_ptr<uint8_t[]> subframe_buffer[kPictureKinds];
  SubframeEntry subframes[kPictureKinds][kSubframeEntries];
  // Guards a kind's sub-frame table and buffer. Taken inside a channel
  // buffer's lock (never the other way round): by the receive thread that
  // completes a frame, and by the poll of the channel shown alone.
  std::mutex subframe_lock[kPictureKinds];
  std::atomic<int> selected{0};  // 0 none, 1 to 16 = channel + 1
  uint32_t poll_start_ms[kPictureKinds] = {0, 0};

  LastValues last[kPictureKinds];
  std::atomic<int> last_channel{0};
  std::atomic<uint16_t> control_status[kChannels][3] = {};
  std::atomic<int> audio_switch{0};
  // Datagrams read per receive thread, accepted or not, frames completed per
  // kind, and when each channel's newest frame completed (tests, benchmarks).
  std::atomic<uint64_t> datagrams_read[2] = {};
  std::atomic<uint64_t> frames_completed[4] = {};
  // Picture frames that could not complete but whose received prefix held
  // whole sub-frames, kept for the polls; and frames taken by polls, whether
  // or not they gave a picture.
  std::atomic<uint64_t> frames_salvaged[kPictureKinds] = {};
  std::atomic<uint64_t> frames_taken[kPictureKinds][kChannels] = {};
  // Picture frames that were waiting for a poll when a newer frame of their
  // channel took their place: completed, never taken.
  std::atomic<uint64_t> frames_replaced[kPictureKinds] = {};
  std::atomic<uint32_t> completed_ms[kPictureKinds][kChannels] = {};
};

ReceiveState& state();

// Part of the audio path: called by a stream receive thread when an audio
// frame of kind 2 or 3 completed in buffer `index` of the kind, which was the
// current one when its lock (held; the function releases it) was taken.
// t = thread number.
void audio_frame_complete(int kind, int t, int index, std::unique_lock<std::mutex>& held);
// The audio buffer that the next frame of a kind is written to: the receive
// index is read once, its buffer locked, and the index checked again, so the
// buffer returned is the current one for as long as the lock is held. Null
// data when the buffer is missing.
struct AudioTarget {
  uint8_t* data = nullptr;
  int index = 0;
  std::atomic<int>* queued = nullptr;
};
AudioTarget lock_current_audio_buffer(int kind, std::unique_lock<std::mutex>* held);
void clear_audio_end_markers();
uint8_t audio_end_flags();  // 0x10 and 0x20
// Allocate and free the audio buffers (connect, close).
void allocate_audio_buffers();
void release_audio_buffers();

// The clock of the sub-frame play-out (timeGetTime); tests replace it to make
// the play-out deterministic.
uint32_t now_ms();
void set_clock_for_testing(uint32_t (*clock)());

// Time stamp of a sub-frame's data: the PTS or DTS of its first packet.
uint32_t subframe_timestamp(const uint8_t* data, size_t size);

namespace testing {
// Allocates the receive buffers without starting the receive threads, so
// datagrams can be fed straight to the reassembly (fuzzing, tests).
void prepare_buffers();
// Runs one datagram through the reassembly of receive thread t, whose
// contexts are kept between calls, as if it came from the recorder.
void feed_datagram(int t, const uint8_t* data, size_t size);
// Called by a poll with the channel's number after it took a frame and let
// go of the channel buffer's lock, just before decoding; null for none.
void set_poll_decode_hook(void (*hook)(int channel));
}  // namespace testing

using vp::le16;
using vp::le32;

}  // namespace brin::live
