// Millisecond clocks and sleeping, as the libraries were designed around them:
// a tick count that wraps at 2^32 ms and a multimedia timer of the same unit.
#pragma once
#include <cstdint>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

// Milliseconds of the steady clock since an arbitrary origin, wrapping at 2^32.
uint32_t tick_count_ms();
// The multimedia timer; the same clock as tick_count_ms().
uint32_t time_get_time_ms();
// Sleeps at least ms milliseconds; 0 yields the processor.
void sleep_ms(uint32_t ms);
// Milliseconds elapsed from start to now, correct across the 32-bit wrap.
inline uint32_t elapsed_ms(uint32_t start, uint32_t now) { return now - start; }

VP_NAMESPACE_END
