#include "bench/baseline.h"

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace bench {

namespace {

// The engine's ring size, so that a burst of 1 000 fits here exactly as it fits there.
constexpr uint32_t kSlots = 1024;

struct Handoff {
    int64_t slots[kSlots];
    std::atomic<uint32_t> write{0};
    std::atomic<uint32_t> read{0};
    std::atomic<bool> fed{false};
    std::atomic<uint64_t> drops{0};
    platform::WakeEvent wake;
};

// The producer's side, shaped as the engine's input callback: a full ring drops the
// newest entry rather than overwrite what the consumer has not read.
void Produce(Handoff& h) {
    const int64_t stamp = NowNs();
    const uint32_t w = h.write.load(std::memory_order_relaxed);
    const uint32_t next = (w + 1) & (kSlots - 1);
    if (next == h.read.load(std::memory_order_acquire)) {
        h.drops.fetch_add(1, std::memory_order_relaxed);
        h.wake.Pulse();
        return;
    }
    h.slots[w] = stamp;
    h.write.store(next, std::memory_order_release);
    h.wake.Pulse();
}

void Consume(Handoff& h, uint32_t waitMs, std::vector<double>& latencyUs, size_t& reordered, int64_t& lastNs) {
    int64_t last = std::numeric_limits<int64_t>::min();
    for (;;) {
        h.wake.Wait(waitMs);
        // Read before draining: once it is seen set, the drain below sees every entry
        // the producer wrote before it set it.
        const bool fed = h.fed.load(std::memory_order_acquire);
        const uint32_t end = h.write.load(std::memory_order_acquire);
        uint32_t r = h.read.load(std::memory_order_relaxed);
        while (r != end) {
            const int64_t stamp = h.slots[r];
            r = (r + 1) & (kSlots - 1);
            h.read.store(r, std::memory_order_release);
            lastNs = NowNs();
            latencyUs.push_back(static_cast<double>(lastNs - stamp) / 1000.0);
            if (stamp < last) ++reordered;
            last = stamp;
        }
        if (fed) return;
    }
}

}  // namespace

LatencyRun RunHandoff(double rate, size_t count, size_t burst, uint32_t waitMs) {
    // 8 KiB of slots: on the heap, not on the caller's stack.
    auto h = std::make_unique<Handoff>();
    h->wake.Create();
    std::vector<double> latencyUs;
    latencyUs.reserve(count);
    size_t reordered = 0;
    int64_t lastNs = 0;
    const int64_t startNs = NowNs();
    std::thread consumer(Consume, std::ref(*h), waitMs, std::ref(latencyUs), std::ref(reordered), std::ref(lastNs));
    std::thread producer([&h, count, rate, burst] {
        Pace(count, rate, burst, [&h](size_t) { Produce(*h); });
        h->fed.store(true, std::memory_order_release);
        h->wake.Pulse();
    });
    producer.join();
    consumer.join();
    h->wake.Close();

    LatencyRun run;
    run.sent = count;
    run.received = latencyUs.size();
    run.lost = static_cast<int64_t>(run.sent) - static_cast<int64_t>(run.received);
    run.reordered = reordered;
    run.ringDrops = h->drops.load();
    run.throughput = Throughput(run.received, startNs, lastNs, rate, burst);
    run.latency = Summarise(latencyUs);
    return run;
}

WaitOvershoot MeasureTimedWait(size_t waits) {
    platform::WakeEvent event;
    WaitOvershoot res;
    res.waits = waits;
    if (!event.Create()) return res;
    // On the thread that waits, as the worker does it.
    res.kind = event.EnablePrecise();
    std::vector<double> overUs;
    overUs.reserve(waits);
    for (size_t i = 0; i < waits; ++i) {
        const auto t0 = Clock::now();
        event.Wait(1);
        const auto t1 = Clock::now();
        overUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() - 1000.0);
    }
    event.DisablePrecise();
    event.Close();
    res.overshoot = Summarise(overUs);
    return res;
}

}  // namespace bench
