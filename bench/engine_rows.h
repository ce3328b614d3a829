#pragma once
// The engine's rows: the real routes and worker on the in-process virtual devices.
#include <cstddef>

#include "bench/bench_support.h"

namespace bench {

// `routes` feeders (1 or 2), each feeding `count` short messages at `rate` per second
// in bursts of `burst` into its own virtual input routed to its own virtual output.
// Latency: from the input callback being called to the message at the output. Each
// message carries a 20-bit sequence number, so loss and reordering are exact;
// count must stay below 2^20.
LatencyRun RunEngine(int routes, double rate, size_t count, size_t burst);
constexpr size_t kMaxSequence = size_t(1) << 20;

struct MetronomeRun {
    int tempo = 0;
    size_t requested = 0;      // beat intervals asked for
    size_t intervals = 0;      // beat intervals measured (beats - 1); fewer when beats were missing
    double nominalMs = 0;      // 60000 / mTempo
    double meanExcessMs = 0;   // mean interval - nominal
    double jitterP99Ms = 0;    // 99th percentile of |interval - median interval|
    double medianMs = 0, minMs = 0, maxMs = 0;
    platform::PreciseWait kind = platform::PreciseWait::Off;  // the worker's, while it played
};

// The metronome at `tempo` through the worker, on the output of a route from virtual
// input 0 to virtual output 0, for `intervals` beat intervals; a beat is its bell
// note-off as stamped at the output.
MetronomeRun RunMetronome(int tempo, size_t intervals);

struct IdleRun {
    double wakeupsPerSecond = 0;
    double timeoutsPerSecond = 0;  // of those, the waits that ran to their end
    platform::PreciseWait kind = platform::PreciseWait::Off;
};

// A running engine with one route and no input, with the metronome off or on.
IdleRun MeasureIdle(bool metronome, double seconds);

}  // namespace bench
