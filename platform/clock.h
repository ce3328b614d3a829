#pragma once
// The tick count seam: GetTickCount on Windows, a monotonic millisecond count on the
// host. Tests freeze it at a chosen value to step the metronome by hand.
#include <cstdint>

namespace platform {

uint32_t TickCount();             // milliseconds; wraps after 2^32 like GetTickCount
void SetTestClock(uint32_t ms);   // from now on TickCount() returns ms
void ClearTestClock();            // back to the real clock

}  // namespace platform
