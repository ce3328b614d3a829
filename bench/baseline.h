#pragma once
// The platform's own figures, measured in the same run as the engine's: what a bare
// thread handoff and a bare timed wait cost on this machine. The engine cannot do
// better than these, and on a shared machine they carry most of the tail, so the
// engine's targets are stated as ratios to them.
#include <cstddef>

#include "bench/bench_support.h"

namespace bench {

// A producer thread stamps the time, writes the stamp into a single-producer
// single-consumer ring and pulses a WakeEvent; a consumer thread waits on it (time-out
// 1 ms, as the worker) and drains, taking each entry's latency. Paced as the engine
// rows' feeders are. No engine, no devices.
LatencyRun RunHandoff(double rate, size_t count, size_t burst);

struct WaitOvershoot {
    size_t waits = 0;
    Latency overshoot;  // microseconds beyond the 1 ms asked for
    platform::PreciseWait kind = platform::PreciseWait::Off;  // what EnablePrecise gave
};

// `waits` timed waits of 1 ms on a WakeEvent that nothing pulses, with precise waiting
// on: the primitive the worker waits on while the metronome plays.
WaitOvershoot MeasureTimedWait(size_t waits);

}  // namespace bench
