#include "worker.h"

namespace ovo {

WorkerSlot::~WorkerSlot() { join(); }

bool WorkerSlot::try_start(WorkerKind kind, std::function<void()> body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_.load(std::memory_order_acquire) != WorkerKind::kNone) return false;
  // An earlier worker has ended: collect it before starting the next.
  if (thread_.joinable()) thread_.join();
  running_.store(kind, std::memory_order_release);
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      body();
      running_.store(WorkerKind::kNone, std::memory_order_release);
      signal_.notify();
    });
  } catch (const std::system_error&) {
    running_.store(WorkerKind::kNone, std::memory_order_release);
    return false;
  }
  return true;
}

bool WorkerSlot::wait_ended(uint32_t timeout_ms) const {
  return signal_.wait_for(timeout_ms, [this] { return running_.load(std::memory_order_acquire) == WorkerKind::kNone; });
}

bool WorkerSlot::collect_ended() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_.load(std::memory_order_acquire) != WorkerKind::kNone) return false;
  if (thread_.joinable()) thread_.join();
  return true;
}

void WorkerSlot::join() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) thread_.join();
}

}  // namespace ovo
