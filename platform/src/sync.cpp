#include "velmora/sync.h"

#include <map>
#include <memory>

// Definitions inside the exported namespace: clang gives a definition the
// visibility of the namespace block it is written in.
VP_NAMESPACE_BEGIN

std::mutex& named_mutex(const std::string& name) {
  static std::mutex registry_lock;
  static std::map<std::string, std::unique_ptr<std::mutex>> registry;
  std::lock_guard<std::mutex> guard(registry_lock);
  auto& slot = registry[name];
  if (!slot) slot = std::make_unique<std::mutex>();
  return *slot;
}

VP_NAMESPACE_END
