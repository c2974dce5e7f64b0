// The play states and their controls, the boundary to the channel library's
// channel 0, and the exported pass-throughs to that library.
#include <memory>
#include <new>

#include "OvoDec1.h"
#include "brinlib.h"
#include "common/guard.h"
#include "disk/hdd.h"
#include "playback/play_engine.h"
#include "velmora/clock.h"
#include "velmora/sync.h"

namespace brin::play {
namespace {

// Channels the viewer may name in the viewer mode.
constexpr int32_t kViewerChannels = 8;
// How long play_end waits for the decode thread to be gone.
constexpr int32_t kPlayEndWaitMs = 3000;

struct Hooks {
  std::mutex lock;
  std::shared_ptr<const testing::ChannelHooks> hooks;
};

// Never destroyed: the workers may still look at it while the process ends.
Hooks& hooks() {
  static Hooks* h = new Hooks;
  return *h;
}

std::shared_ptr<const testing::ChannelHooks> current_hooks() {
  Hooks& h = hooks();
  std::lock_guard<std::mutex> g(h.lock);
  return h.hooks;
}

// "PLAYMODE" exists from the library's load on, as the workers and the
// controls expect to find it.
[[maybe_unused]] std::mutex& playmode_at_load = playmode_lock();

// How long stop_hdd_play gives the disk worker to let go.
constexpr uint32_t kHddLetGoWaitMs = 5;
// How long a stop or a step gives a worker to finish its round: a worker
// waiting for room in the channel's ring sees the new state at once, one
// reading a GOP within a disk read.
constexpr uint32_t kHaltWaitMs = 3000;
// The largest picture displayed_picture writes.
constexpr size_t kPictureBytes = 704 * 480 * 3;

void set_locked(std::atomic<int32_t>& field, int32_t value) {
  {
    std::lock_guard<std::mutex> g(playmode_lock());
    field.store(value);
  }
  controls_changed();
}

void finish_locked(std::atomic<int32_t>& state, int32_t handled) {
  {
    std::lock_guard<std::mutex> g(playmode_lock());
    if (state.load() == handled) state.store(kIdle);
  }
  controls_changed();
}

// Sets a source's speed and play state together.
void set_speed_and_state(std::atomic<int32_t>& state, int32_t speed, int32_t value) {
  Control& c = control();
  (&state == &c.hdd_state ? c.hdd_positioned : c.file_positioned).store(0);
  {
    std::lock_guard<std::mutex> g(playmode_lock());
    control().speed.store(speed);
    state.store(value);
  }
  controls_changed();
}

// Stops a source and empties the channel of what it had queued, so that
// the picture on screen stays the one shown at the call: the channel holds
// up to ten GOPs, many seconds of pictures, that the reading has passed.
void halt(std::atomic<int32_t>& state, const std::atomic<int32_t>& running, const std::atomic<int32_t>& active,
          const std::atomic<int32_t>* busy) {
  set_locked(state, kIdle);
  Control& c = control();
  c.changed.wait_for(kHaltWaitMs,
                     [&] { return !running.load() || (!active.load() && (busy == nullptr || !busy->load())); });
  if (running.load()) sound_change();
}

void halt_hdd() {
  Control& c = control();
  halt(c.hdd_state, c.hdd_running, c.hdd_active, nullptr);
}

void halt_file() {
  Control& c = control();
  halt(c.file_state, c.file_running, c.file_active, &c.file_busy);
}

// The recorder time of the picture on screen, 0 before the first.
uint32_t shown_time() {
  // The picture itself is not wanted, only its time; the buffer it is
  // written to is kept by each thread that asks, since a fresh megabyte for
  // every step cost more than the step.
  thread_local std::unique_ptr<uint8_t[]> rgb;
  if (!rgb) rgb.reset(new (std::nothrow) uint8_t[kPictureBytes]);
  if (!rgb) return 0;
  int32_t count = 0, first = 0, second = 0;
  uint32_t time = 0;
  if (displayed_picture(&count, &first, &second, rgb.get(), &time) != 0) return 0;
  return time;
}

// Puts the disk's reading on the GOP of the picture on screen, one GOP
// further in the step's direction, unless a search or skip has put it
// where the step is to start. Nothing moves when nothing is shown or the
// disk holds no GOP of that time.
void hdd_position_for_step(int32_t state) {
  if (control().hdd_positioned.load()) return;
  const uint32_t t = shown_time();
  if (t == 0) return;
  namespace disk = brin::disk;
  std::lock_guard<std::mutex> g(disk::cursor_lock());
  const disk::Cursor before = disk::cursor();
  const int32_t play_before = disk::play_gop_index();
  if (disk::search_by_time(t) == 1) {
    disk::play_gop_index() += state == kStepForward ? 1 : -1;
    return;
  }
  disk::cursor() = before;
  disk::load_index_state(disk::Positioning::kKeep);
  disk::load_index_block(before.block);
  disk::load_cursor_gop_table();
  disk::play_gop_index() = play_before;
}

// Puts the copy's reading where a step from the picture on screen starts:
// forward on the GOP after it, back on its own GOP (a step back plays the
// GOP before the reading). A copy's position is found by its time.
void file_position_for_step(int32_t state) {
  if (control().file_positioned.load()) return;
  const uint32_t t = shown_time();
  if (t == 0) return;
  if (state == kStepForward && file_search(t + 1) == 0) return;
  file_search(t);
}

}  // namespace

Control& control() {
  static Control* c = new Control;
  return *c;
}

std::mutex& playmode_lock() {
  static std::mutex& m = vp::named_mutex("PLAYMODE");
  return m;
}

void set_hdd_state(int32_t state) {
  if (state != kIdle) control().hdd_positioned.store(0);
  set_locked(control().hdd_state, state);
}
void set_file_state(int32_t state) {
  if (state != kIdle) control().file_positioned.store(0);
  set_locked(control().file_state, state);
}
void finish_hdd_state(int32_t handled) { finish_locked(control().hdd_state, handled); }
void finish_file_state(int32_t handled) { finish_locked(control().file_state, handled); }
void set_hdd_stop(int32_t value) { set_locked(control().hdd_stop, value); }
void set_file_stop(int32_t value) { set_locked(control().file_stop, value); }

void controls_changed() { control().changed.notify(); }

void stop_hdd_play() {
  Control& c = control();
  if (c.hdd_state.load() == kIdle) return;
  set_hdd_state(kIdle);
  c.changed.wait_for(kHddLetGoWaitMs, [&] { return !c.hdd_running.load() || !c.hdd_active.load(); });
}

int32_t hand_over(const uint8_t* frames, int32_t length, int32_t mode, int32_t speed) {
  const auto h = current_hooks();
  if (h && h->hand_over) return h->hand_over(frames, length, mode, speed);
  return play_add_ring1(0, frames, length, mode, speed);
}

void sound_change() {
  const auto h = current_hooks();
  if (h && h->sound_change) {
    h->sound_change();
    return;
  }
  ::sound_change(1);
}

int32_t displayed_picture(int32_t* layout, int32_t* first, int32_t* second, uint8_t* rgb, uint32_t* time) {
  return get_bmpdata(layout, first, second, rgb, time);
}

}  // namespace brin::play

namespace brin::play::testing {

void set_channel_hooks(const ChannelHooks& hooks_in) {
  Hooks& h = hooks();
  std::lock_guard<std::mutex> g(h.lock);
  h.hooks = std::make_shared<const ChannelHooks>(hooks_in);
}

}  // namespace brin::play::testing

using namespace brin::play;

extern "C" {

int32_t hdd_read_start(void) {
  return brin::guarded(-1, [&]() -> int32_t { return start_hdd_worker(); });
}

int32_t hdd_read_stop(void) {
  return brin::guarded(-1, [&]() -> int32_t { return stop_hdd_worker(); });
}

int32_t hdd_play_start(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_hdd_state(kPlay);
    return 0;
  });
}

int32_t hdd_play_stop(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    halt_hdd();
    return 0;
  });
}

int32_t hdd_play_forward(int32_t speed) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_speed_and_state(control().hdd_state, speed, kForward);
    return 0;
  });
}

int32_t hdd_play_back(int32_t speed) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_speed_and_state(control().hdd_state, speed, kBackward);
    return 0;
  });
}

int32_t hdd_one_play(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    halt_hdd();
    hdd_position_for_step(kStepForward);
    set_hdd_state(kStepForward);
    return 0;
  });
}

int32_t hdd_one_back(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    halt_hdd();
    hdd_position_for_step(kStepBackward);
    set_hdd_state(kStepBackward);
    return 0;
  });
}

int32_t file_play_start(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_file_state(kPlay);
    return 0;
  });
}

int32_t file_play_stop(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    halt_file();
    return 0;
  });
}

int32_t file_play_forward(int32_t speed) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_speed_and_state(control().file_state, speed, kForward);
    return 0;
  });
}

int32_t file_play_back(int32_t speed) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_speed_and_state(control().file_state, speed, kBackward);
    return 0;
  });
}

int32_t file_one_play(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    halt_file();
    file_position_for_step(kStepForward);
    set_file_state(kStepForward);
    return 0;
  });
}

int32_t file_one_back(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    halt_file();
    file_position_for_step(kStepBackward);
    set_file_state(kStepBackward);
    return 0;
  });
}

int32_t Ovo_play_open(int32_t unused, const char* unused_a, const char* unused_b, int32_t window) {
  (void)unused;
  (void)unused_a;
  (void)unused_b;
  return brin::guarded(-1, [&]() -> int32_t { return Ovo_play_open1(0, 0, 0, window); });
}

int32_t Ovo_set_viewer_mode(int32_t channel, int32_t mode) {
  return brin::guarded(-1, [&]() -> int32_t {
    if (channel < 0 || channel >= kViewerChannels) return -1;
    return Ovo_set_viewer_mode1(channel, mode);
  });
}

int32_t play_end(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    stop_play_thread();
    // The engine ends before the program does: a thread still ending while
    // the process exits races the exit's own clean-up.
    Ovo_wait_play_end1(0, kPlayEndWaitMs);
    return 0;
  });
}

int32_t get_dec_sts(void) {
  return brin::guarded(-1, [&]() -> int32_t { return err_flag_status(); });
}

int32_t set_init_dec(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    set_init_again();
    return 0;
  });
}

int32_t clear_dec_err(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    err_flag_reset();
    return 0;
  });
}

int32_t audio_set(int32_t flag) {
  return brin::guarded(-1, [&]() -> int32_t { return no_audio_mode_set(flag); });
}

}  // extern "C"
