// The playback engine inside brinlib: the process-wide play states of the
// attached disk and of copied files, the two worker threads that read GOPs and
// hand their frames to the channel library's channel 0, and the boundary to
// that library (hand-over, sound change, the displayed picture), which tests
// may replace to watch what is handed over.
//
// Threads: the viewer's thread sets the states through the exported controls;
// the disk worker and the file worker read them at every round. Every write of
// a play state or a stop request takes the "PLAYMODE" lock; reads are plain
// atomic loads.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "velmora/sync.h"

namespace brin::play {

enum PlayState : int32_t {
  kIdle = 0,
  kPlay = 1,
  kForward = 2,
  kBackward = 3,
  kStepForward = 4,
  kStepBackward = 5,
};

// Each worker's frame buffer: a whole GOP.
inline constexpr size_t kFrameBufferBytes = 2097152;
// Hand-over modes of the channel library: every frame paced by its duration,
// or one frame per hand-over paced by a speed code.
inline constexpr int32_t kModeNormal = 0;
inline constexpr int32_t kModeSingle = 1;
// What the channel library answers when its ring is full.
inline constexpr int32_t kRefused = -1;

struct Control {
  std::atomic<int32_t> hdd_state{kIdle};
  std::atomic<int32_t> file_state{kIdle};
  std::atomic<int32_t> speed{0};  // shared by both sources
  std::atomic<int32_t> hdd_running{0};
  std::atomic<int32_t> hdd_stop{0};
  std::atomic<int32_t> file_running{0};
  std::atomic<int32_t> file_stop{0};
  std::atomic<int32_t> file_busy{0};    // the last hand-over was refused
  std::atomic<int32_t> file_active{0};  // the file worker is handling a play state
  std::atomic<int32_t> hdd_active{0};   // the disk worker is handling a play state
  // A search, a skip or the opening of a copy has put the reading where the
  // next step is to start; any play state clears it. Without it a step
  // starts from the picture on screen.
  std::atomic<int32_t> hdd_positioned{0};
  std::atomic<int32_t> file_positioned{0};
  // Notified after every change of the fields above (holding no lock), so
  // that the workers wake at once for a new state or a stop, and the
  // controls at once when a worker has let go.
  vp::Signal changed;
};
Control& control();

// "PLAYMODE": taken around every write of a play state or a stop request.
std::mutex& playmode_lock();

void set_hdd_state(int32_t state);
void set_file_state(int32_t state);
// Sets the state to idle only while it still is `handled`, so that a control
// the viewer called in the meantime is not undone by a worker.
void finish_hdd_state(int32_t handled);
void finish_file_state(int32_t handled);
void set_hdd_stop(int32_t value);
void set_file_stop(int32_t value);
// Sets the disk's play state to idle when it was not idle and waits (5 ms at
// most) for the disk worker to let go of the playback position.
void stop_hdd_play();
// Notifies Control::changed; for fields stored without the setters above.
void controls_changed();

// ---- The channel library's channel 0 ------------------------------------------

// Hands whole frames to channel 0: 0 accepted (copied), kRefused ring full.
int32_t hand_over(const uint8_t* frames, int32_t length, int32_t mode, int32_t speed);
// Asks the channel library to drop the sound and queued frames of the state
// handled before.
void sound_change();
// The displayed picture as bottom-up RGB rows of 704 x 480 at most.
int32_t displayed_picture(int32_t* layout, int32_t* first, int32_t* second, uint8_t* rgb, uint32_t* time);

// ---- Worker threads ----------------------------------------------------------

int32_t start_hdd_worker();
int32_t stop_hdd_worker();
// Join a worker thread that has ended (tests, before the process ends).
void join_hdd_worker();
void join_file_worker();

}  // namespace brin::play

namespace brin::play::testing {

// Replacements for the channel library, for tests that watch the hand-overs
// or need pictures of their own. An empty function keeps the library's.
struct ChannelHooks {
  std::function<int32_t(const uint8_t* frames, int32_t length, int32_t mode, int32_t speed)> hand_over;
  std::function<void()> sound_change;
};
void set_channel_hooks(const ChannelHooks& hooks);

// Waits of the file controls and the file worker; tests and the fuzz target
// shorten them. The library never changes them.
struct Timing {
  uint32_t search_settle_ms = 50;  // file_search's fixed pause after the worker went idle
  uint32_t stop_poll_ms = 10;      // unit of the bounds of playfile's and file_search's waits for the worker
  uint32_t refused_retry_ms = 5;   // the file worker's pause before it offers a refused GOP again
};
Timing& timing();

// Joins the worker threads that have ended.
void join_workers();

// Puts a frame buffer into the two-slot store that playtest plays from (no
// operation of the library fills it). False when both slots are full.
bool feed_test_frame(const uint8_t* frame, int32_t length);

}  // namespace brin::play::testing
