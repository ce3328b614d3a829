#pragma once
// The tick count seam: milliseconds of a monotonic clock, wrapping at 2^32 like
// GetTickCount. On Windows it is counted from the performance counter, not taken from
// GetTickCount, which advances only with the system timer (10 to 16 ms steps, 15.6 ms
// on most machines): with the metronome's rule "strictly more than one interval", a
// 500 ms beat would then come after 33 steps, 515.6 ms. Tests freeze it at a chosen
// value to step the metronome by hand.
#include <cstdint>

namespace platform {

uint32_t TickCount();             // milliseconds; wraps after 2^32 like GetTickCount
// The same count from a performance-counter reading and its frequency (Windows), as
// TickCount computes it: exact for any counter value, no overflow on the way.
uint32_t MillisFromCounter(uint64_t counter, uint64_t frequency);
void SetTestClock(uint32_t ms);   // from now on TickCount() returns ms
void ClearTestClock();            // back to the real clock

}  // namespace platform
