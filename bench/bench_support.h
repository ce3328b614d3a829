#pragma once
// What the benchmark's engine rows and its platform baselines share: one clock, the
// feeders' pacing, percentiles and the summary of a latency run.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/wake_event.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// The virtual devices stamp their records on steady_clock in nanoseconds; every time
// taken here is on the same clock so that differences with their stamps mean something.
inline int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Nearest rank over an ascending vector; 0 for an empty one.
inline double Pct(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[i];
}

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Calls send(i) for i = 0..count-1 at `rate` per second on average: in bursts of
// `burst` calls back to back, the bursts spaced to keep the rate. Every row, engine
// or baseline, is paced by this one function, so that they see the same load.
template <class Send>
void Pace(size_t count, double rate, size_t burst, Send send) {
    const auto start = Clock::now();
    size_t sent = 0;
    while (sent < count) {
        const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(static_cast<double>(sent) / rate));
        // Sleeps, never spins: on two cores a spinning feeder would take the core the
        // consumer needs and measure the scheduler instead of what is under test.
        std::this_thread::sleep_until(due);
        const size_t n = std::min(burst, count - sent);
        for (size_t i = 0; i < n; ++i) send(sent + i);
        sent += n;
    }
}

struct Latency {
    double p50 = 0, p99 = 0, p999 = 0, max = 0;  // microseconds
};

// Sorts `us` in place.
inline Latency Summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    Latency l;
    l.p50 = Pct(us, 50);
    l.p99 = Pct(us, 99);
    l.p999 = Pct(us, 99.9);
    l.max = us.empty() ? 0.0 : us.back();
    return l;
}

// The stages of a forwarded message, from the input callback being called to the
// message in the virtual output's record: callback -> stored in the ring; the worker
// busy with other work until it waits (0 when it was waiting already); the wait until
// the worker is back (0 when the message came while it was awake); back -> about to be
// sent; send -> recorded by the device.
enum StageIndex { kCallbackToRing, kWorkerBusy, kWakeUp, kWorkerToSend, kSendToRecord, kStages };
constexpr const char* kStageNames[kStages] = {"callback->ring", "worker busy", "wake-up", "awake->send",
                                              "send->record"};

// Where the slowest 0.1 % of a row's messages spent their time: each stage's time
// summed over them (microseconds), and how many of them each stage took most of.
struct StageBreakdown {
    size_t slow = 0;
    double sumUs[kStages] = {};
    size_t dominant[kStages] = {};

    void Add(const StageBreakdown& o) {
        slow += o.slow;
        for (int k = 0; k < kStages; ++k) {
            sumUs[k] += o.sumUs[k];
            dominant[k] += o.dominant[k];
        }
    }
};

// One run of a latency row, engine or baseline.
struct LatencyRun {
    size_t sent = 0, received = 0, reordered = 0;
    // Signed: more received than sent means something not fed was counted.
    int64_t lost = 0;
    uint64_t ringDrops = 0;  // refused because the consumer had not made room
    // Messages per second (per route) that came through, from the start of feeding to
    // the last one out: below the rate fed when some stage could not keep up, which
    // the latency, counted from the callback on, does not show.
    double throughput = 0;
    Latency latency;
    StageBreakdown stages;  // rows that stamp their stages
};

// The last burst is fed one burst spacing before the nominal end of the run; counting
// its spacing in makes a stage that keeps up come out at exactly the rate fed.
inline double Throughput(size_t messages, int64_t startNs, int64_t lastNs, double rate, size_t burst) {
    const double seconds = static_cast<double>(lastNs - startNs) / 1e9 + static_cast<double>(burst) / rate;
    return lastNs > startNs ? static_cast<double>(messages) / seconds : 0.0;
}

inline const char* PreciseName(platform::PreciseWait k) {
    switch (k) {
    case platform::PreciseWait::Off: return "Off";
    case platform::PreciseWait::Native: return "Native";
    case platform::PreciseWait::HighResolutionTimer: return "HighResolutionTimer";
    case platform::PreciseWait::RaisedResolution: return "RaisedResolution";
    }
    return "?";
}

}  // namespace bench
