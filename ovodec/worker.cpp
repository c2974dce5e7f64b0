#include "worker.h"

#include "velmora/clock.h"

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
    });
  } catch (const std::system_error&) {
    running_.store(WorkerKind::kNone, std::memory_order_release);
    return false;
  }
  return true;
}

bool WorkerSlot::wait_ended(uint32_t timeout_ms) const {
  const uint32_t start = vp::tick_count_ms();
  while (running_.load(std::memory_order_acquire) != WorkerKind::kNone) {
    if (vp::elapsed_ms(start, vp::tick_count_ms()) >= timeout_ms) return false;
    vp::sleep_ms(2);
  }
  return true;
}

void WorkerSlot::join() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable()) thread_.join();
}

}  // namespace ovo
