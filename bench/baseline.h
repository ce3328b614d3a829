#pragma once
// The platform's own figures, measured in the same run as the engine's: what a bare
// thread handoff and a bare timed wait cost on this machine. The engine cannot do
// better than these, and on a shared machine they carry most of the tail, so the
// engine's targets are stated as ratios to them.
#include <cstddef>

#include "bench/bench_support.h"

namespace bench {

// A producer thread stamps the time, writes the stamp into a single-producer
// single-consumer ring and pulses a WakeEvent; a consumer thread waits on it and
// drains, taking each entry's latency. Paced as the engine rows' feeders are. No
// engine, no devices. The consumer waits as the worker does, with no time-out
// (platform::kForever), or with waitMs: a 1 ms time-out keeps it awake in step with
// input fed every millisecond, so it rarely pays the wake-up of a sleeping thread.
LatencyRun RunHandoff(double rate, size_t count, size_t burst, uint32_t waitMs = platform::kForever);

struct WaitOvershoot {
    size_t waits = 0;
    Latency overshoot;  // microseconds beyond the 1 ms asked for
    platform::PreciseWait kind = platform::PreciseWait::Off;  // what EnablePrecise gave
};

// `waits` timed waits of 1 ms on a WakeEvent that nothing pulses, with precise waiting
// on: the primitive the worker waits on while the metronome plays.
WaitOvershoot MeasureTimedWait(size_t waits);

}  // namespace bench
