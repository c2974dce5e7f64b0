// The library's one worker thread: the decode thread of the playback path or
// the receive thread; never both at once.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "velmora/sync.h"

namespace ovo {

enum class WorkerKind { kNone, kDecode, kReceive };

class WorkerSlot {
 public:
  ~WorkerSlot();
  // Starts body as the worker unless one runs; false when one runs. The
  // slot is marked free when body returns.
  bool try_start(WorkerKind kind, std::function<void()> body);
  WorkerKind running() const { return running_.load(std::memory_order_acquire); }
  // Waits up to timeout_ms for the worker to end; true when none runs.
  bool wait_ended(uint32_t timeout_ms) const;
  // Waits for the worker to end and joins it.
  void join();
  // Joins a worker whose body has returned, so that no thread of the slot
  // is left ending on its own; true when none runs or is left to collect.
  // Never waits for a running worker, nor for one started meanwhile.
  bool collect_ended();
  // The library's one signal between the caller's threads and the worker:
  // notified when the worker ends, and by the engine and the receive path
  // after every change that a thread of theirs may wait for (a record queued
  // or taken, a stop or other request, a request served).
  vp::Signal& signal() const { return signal_; }

 private:
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<WorkerKind> running_{WorkerKind::kNone};
  mutable vp::Signal signal_;
};

}  // namespace ovo
