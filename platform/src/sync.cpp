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

}  // namespace vp
