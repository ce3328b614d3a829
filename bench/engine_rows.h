#pragma once
// The engine's rows: the real routes and worker on the in-process virtual devices.
#include <cstddef>

#include "bench/bench_support.h"
#include "platform/virtual/virtual_midi.h"

namespace bench {

// What an engine row runs on. Route r goes from virtual input r (In A, In B) to
// virtual output out[r] (Out A, Out B); every device follows `model`.
struct EngineSetup {
    int routes = 1;  // 1 or 2
    midi::DriverModel model = midi::DriverModel::Ideal;
    int out[2] = {0, 1};
    // Whether route 2 gets short messages as route 1 does (with two routes).
    bool feedRoute2 = true;
    // Whether route 2's input gets a SysEx message of kSysExBytes every kSysExPeriodMs
    // from a thread of its own, for as long as route 1 is fed.
    bool sysEx = false;
};

constexpr size_t kSysExBytes = 1024;  // F0, 1022 data bytes, F7
constexpr double kSysExPeriodMs = 100;

struct EngineRun {
    LatencyRun all;       // every route fed with short messages, together
    LatencyRun route[2];  // each route's alone
    size_t sysExFed = 0;
    size_t sysExWhole = 0;         // those that reached route 2's output byte for byte
    size_t sysExLong = 0;          // long messages at route 2's output, whole or not
    uint64_t sysExBytesDropped = 0;  // at route 2's input, for want of a queued buffer
};

// Feeds `count` short messages at `rate` per second in bursts of `burst` into each
// fed route's input, from a thread per route. Latency: from the input callback being
// called to the message at the output. Each message carries a 20-bit sequence number
// (19 bits and the route where both routes send to one output), so loss and
// reordering are exact; count must stay below kMaxSequence (kMaxSequence / 2 then).
EngineRun RunEngine(const EngineSetup& setup, double rate, size_t count, size_t burst);
constexpr size_t kMaxSequence = size_t(1) << 20;

// `routes` routes (1 or 2) on the ideal model, each fed, each to its own output.
LatencyRun RunEngine(int routes, double rate, size_t count, size_t burst);

// The same pacing and devices as a one-route row, without the engine: a callback
// that stores into a ring and pulses, and a consumer that waits with no time-out and
// sends each message on, stage stamps and all.
LatencyRun RunDeviceHandoff(double rate, size_t count, size_t burst);

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
    double seconds = 0;            // measured
    double wakeupsPerSecond = 0;
    double timeoutsPerSecond = 0;  // of those, the waits that ran to their end
    int tempo = 0;                 // with the metronome on: its tempo, and
    size_t beats = 0;              // the beats that reached the output while measured
    double wakeupsPerBeat = 0;
    platform::PreciseWait kind = platform::PreciseWait::Off;
};

// A running engine with one route and no input, with the metronome off or on (at the
// default tempo), measured for about `seconds` once it has started up.
IdleRun MeasureIdle(bool metronome, double seconds);

}  // namespace bench
