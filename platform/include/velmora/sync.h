// Named mutexes, and the signal that threads wait on for another thread to
// reach a state.
//
// On Windows the libraries guard their shared buffers with named mutexes;
// here the names map to one process-wide registry, since the names only ever
// guard this process's own data.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

// The mutex registered under name, created on first use. The reference stays
// valid for the life of the process.
std::mutex& named_mutex(const std::string& name);

// Wakes the threads that wait for a change of some shared state. The state
// itself lives elsewhere (flags, counters, indexes, usually atomics): whoever
// changes it calls notify() afterwards, and every waiter looks at its
// condition again on each wake. notify() passes through the signal's own
// mutex, under which waiters test their condition, so a change made before
// notify() is never missed by a waiter that tested just before it blocked.
//
// Conditions run under that mutex: they may read atomics or take a lock of
// their own, and notify() is never called while holding such a lock.
class Signal {
 public:
  Signal() = default;
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;

  // Wakes every waiter. Call after the state has changed, holding no lock
  // that a waiter's condition takes.
  void notify();

  // Waits until done() holds or timeout_ms have passed, whichever comes
  // first; returns done(). A pacing wait passes the condition that cuts it
  // short (a stop or a new command) and ignores the result.
  template <class Done>
  bool wait_for(uint32_t timeout_ms, Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), done);
  }

  // Waits until done() holds, however long that takes.
  template <class Done>
  void wait(Done done) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, done);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
};

VP_NAMESPACE_END
