#include "velmora/clock.h"

#include <chrono>
#include <thread>

// Definitions inside the exported namespace: clang gives a definition the
// visibility of the namespace block it is written in.
VP_NAMESPACE_BEGIN

uint32_t tick_count_ms() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t time_get_time_ms() { return tick_count_ms(); }

void sleep_ms(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

VP_NAMESPACE_END
