#include "velmora/sync.h"

#include <map>
#include <memory>

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)

std::mutex& named_mutex(const std::string& name) {
  static std::mutex registry_lock;
  static std::map<std::string, std::unique_ptr<std::mutex>> registry;
  std::lock_guard<std::mutex> guard(registry_lock);
  auto& slot = registry[name];
  if (!slot) slot = std::make_unique<std::mutex>();
  return *slot;
}

void Signal::notify() {
  // Passing through the mutex orders this call after any waiter that has
  // tested its condition and not yet blocked: that waiter is blocked (and
  // woken below) or tests again after the change.
  { std::lock_guard<std::mutex> guard(mutex_); }
  cv_.notify_all();
}

}  // namespace vp
