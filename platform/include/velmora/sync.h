// Named mutexes. On Windows the libraries guard their shared buffers with
// named mutexes; here the names map to one process-wide registry, since the
// names only ever guard this process's own data.
#pragma once
#include <mutex>
#include <string>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

// The mutex registered under name, created on first use. The reference stays
// valid for the life of the process.
std::mutex& named_mutex(const std::string& name);

VP_NAMESPACE_END
