// The disk worker: plays the attached recorder disk from the playback
// position, GOP by GOP, in the direction and at the speed of the disk's play
// state, and hands the frames to channel 0. Fast play thins the GOPs out:
// every second at speed 4, every fourth above.
#include <memory>
#include <thread>

#include "disk/hdd.h"
#include "playback/play_engine.h"
#include "velmora/clock.h"

namespace brin::play {
namespace {

// An idle worker is woken by every control change; it also looks again this
// often, as a fallback only.
constexpr uint32_t kIdleCheckMs = 100;
// The pause between two rounds of the design, which leaves the disk and the
// play-state lock to the controls and the other readers between two GOPs.
constexpr uint32_t kRoundMs = 1;
// The channel library gives no notice when its full ring has room again, so
// a refused GOP is offered again after this long.
constexpr uint32_t kRefusedRetryMs = 1;
// A single step shows its picture this long before the state returns to idle.
constexpr uint32_t kAfterStepMs = 10;
// Speeds from which fast play reads every second GOP, and above which every
// fourth.
constexpr int32_t kThinSpeed = 4;

struct Worker {
  std::mutex start_lock;
  std::thread thread;

  ~Worker() {
    // The process ends: the thread must not outlive the state it reads.
    if (thread.joinable()) {
      set_hdd_stop(1);
      thread.join();
    }
  }
};

Worker& worker() {
  // Made after the disk state, so that it is destroyed (and the thread
  // joined) before that state goes.
  brin::disk::cursor();
  static Worker w;
  return w;
}

// The reader, hand-over mode and speed of a play state.
struct Plan {
  enum Reader { kNext, kNextBy, kPrevious, kPreviousBy } reader = kNext;
  int step = 1;
  int32_t mode = kModeNormal;
  int32_t speed = 0;
};

Plan plan_for(int32_t state, int32_t speed) {
  Plan p;
  const bool back = state == kBackward || state == kStepBackward;
  p.reader = back ? Plan::kPrevious : Plan::kNext;
  switch (state) {
    case kPlay: break;
    case kForward:
    case kBackward:
      p.mode = kModeSingle;
      p.speed = speed;
      if (speed == kThinSpeed) {
        p.reader = back ? Plan::kPreviousBy : Plan::kNextBy;
        p.step = 2;
        p.speed = 3;
      } else if (speed > kThinSpeed) {
        p.reader = back ? Plan::kPreviousBy : Plan::kNextBy;
        p.step = 4;
        p.speed = speed - 2;
      }
      break;
    case kStepForward:
      p.mode = kModeSingle;
      p.speed = 0;
      break;
    case kStepBackward:
      p.mode = kModeSingle;
      p.speed = speed;
      break;
    default: break;
  }
  return p;
}

int read_gop(const Plan& p, uint8_t* buffer, int32_t* length) {
  std::lock_guard<std::mutex> g(brin::disk::cursor_lock());
  switch (p.reader) {
    case Plan::kNext: return brin::disk::read_next(buffer, length);
    case Plan::kNextBy: return brin::disk::read_next_by(p.step, buffer, length);
    case Plan::kPrevious: return brin::disk::read_previous(buffer, length);
    case Plan::kPreviousBy: return brin::disk::read_previous_by(p.step, buffer, length);
  }
  return -1;
}

void end_thread() {
  Control& c = control();
  set_hdd_state(kIdle);
  set_hdd_stop(0);
  c.hdd_active.store(0);
  c.hdd_running.store(0);
  controls_changed();
}

// Waits up to ms; a stop or a change of the play state ends the wait early.
void paced_wait(uint32_t ms, int32_t state) {
  Control& c = control();
  c.changed.wait_for(ms, [&] { return c.hdd_stop.load() != 0 || c.hdd_state.load() != state; });
}

void run() {
  Control& c = control();
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kFrameBufferBytes]);
  if (!buffer) {
    end_thread();
    return;
  }
  int32_t last_state = kIdle;
  bool pending = false;  // frames read and refused, offered again
  int32_t length = 0;
  Plan plan;
  for (;;) {
    if (c.hdd_stop.load()) {
      buffer.reset();
      end_thread();
      return;
    }
    const int32_t state = c.hdd_state.load();
    if (state == kIdle) {
      // Nothing is pending while idle: the playback position is free.
      pending = false;
      last_state = kIdle;
      if (c.hdd_active.exchange(0) != 0) controls_changed();
      c.changed.wait_for(kIdleCheckMs, [&] { return c.hdd_stop.load() != 0 || c.hdd_state.load() != kIdle; });
      continue;
    }
    c.hdd_active.store(1);
    if (state != last_state) {
      sound_change();
      last_state = state;
    }
    if (!pending) {
      plan = plan_for(state, c.speed.load());
      length = 0;
      if (read_gop(plan, buffer.get(), &length) != 0) {
        // The end of the data, the end marker or a damaged GOP ends play.
        finish_hdd_state(state);
        continue;
      }
      pending = true;
    }
    if (hand_over(buffer.get(), length, plan.mode, plan.speed) == kRefused) {
      paced_wait(kRefusedRetryMs, state);
      continue;
    }
    pending = false;
    if (state == kStepForward || state == kStepBackward) {
      paced_wait(kAfterStepMs, state);
      finish_hdd_state(state);
    }
    paced_wait(kRoundMs, state);
  }
}

}  // namespace

int32_t start_hdd_worker() {
  Worker& w = worker();
  std::lock_guard<std::mutex> g(w.start_lock);
  Control& c = control();
  if (c.hdd_running.load()) return -1;
  // A thread that was stopped has cleared its flags and is ending.
  if (w.thread.joinable()) w.thread.join();
  c.hdd_running.store(1);
  c.hdd_active.store(0);
  try {
    w.thread = std::thread(run);
  } catch (...) {
    c.hdd_running.store(0);
    return -1;
  }
  return 0;
}

int32_t stop_hdd_worker() {
  if (!control().hdd_running.load()) return -1;
  set_hdd_stop(1);
  return 0;
}

void join_hdd_worker() {
  Worker& w = worker();
  std::lock_guard<std::mutex> g(w.start_lock);
  if (w.thread.joinable() && !control().hdd_running.load()) w.thread.join();
}

}  // namespace brin::play
