// The monitor's tap: one single-producer ring per writer, emptied by the monitor.
#include "engine/monitor_tap.h"

#include <algorithm>
#include <chrono>
#include <cstring>

TapCounters tapCounters[2];
Relaxed<int32_t> monitorTapOn{0};
std::atomic<uint64_t> tapLost[kTapWriters];

namespace {

// Free-running positions: the writer owns write, the reader read; write - read is the
// number of entries waiting. Each on a line of its own, as the two threads that write
// them are different ones.
struct alignas(64) Position {
    std::atomic<uint32_t> value{0};
};
struct TapRing {
    Position write;
    Position read;
    TapEntry entries[kTapRingSize];
};
TapRing rings[kTapWriters];
// kTapOther's writer: whoever holds this flag. A second thread that finds it taken
// loses its line rather than wait.
std::atomic_flag otherBusy = ATOMIC_FLAG_INIT;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The slot to fill, or null when the ring is full (the line is lost and counted).
TapEntry* Claim(int writer) {
    if (writer == kTapOther && otherBusy.test_and_set(std::memory_order_acquire)) {
        tapLost[writer].fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    TapRing& ring = rings[writer];
    const uint32_t w = ring.write.value.load(std::memory_order_relaxed);
    // The acquire pairs with the reader's release of read: the slot is free then.
    if (w - ring.read.value.load(std::memory_order_acquire) >= kTapRingSize) {
        tapLost[writer].fetch_add(1, std::memory_order_relaxed);
        if (writer == kTapOther) otherBusy.clear(std::memory_order_release);
        return nullptr;
    }
    return &ring.entries[w & (kTapRingSize - 1)];
}

void Publish(int writer) {
    TapRing& ring = rings[writer];
    ring.write.value.store(ring.write.value.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    if (writer == kTapOther) otherBusy.clear(std::memory_order_release);
}

void Fill(TapEntry* e, TapSource source, int route) {
    e->timeUs = NowUs();
    e->route = static_cast<uint8_t>(route & 1);
    e->source = source;
}

}  // namespace

void TapShort(int writer, TapSource source, int route, uint32_t message) {
    TapCounters& c = tapCounters[route & 1];
    (source == TapSource::In ? c.in : c.out).fetch_add(1, std::memory_order_relaxed);
    TapEntry* e = Claim(writer);
    if (!e) return;
    Fill(e, source, route);
    e->length = 0;
    e->message = message;
    e->last = 0;
    Publish(writer);
}

void TapLong(int writer, TapSource source, int route, const uint8_t* bytes, uint32_t count, const uint8_t* more,
             uint32_t moreCount) {
    if (count + moreCount == 0) return;
    TapCounters& c = tapCounters[route & 1];
    const bool in = source == TapSource::In;
    (in ? c.in : c.out).fetch_add(1, std::memory_order_relaxed);
    (in ? c.sysExIn : c.sysExOut).fetch_add(1, std::memory_order_relaxed);
    (in ? c.sysExInBytes : c.sysExOutBytes).fetch_add(count + moreCount, std::memory_order_relaxed);
    TapEntry* e = Claim(writer);
    if (!e) return;
    Fill(e, source, route);
    e->length = count + moreCount;
    e->message = 0;
    e->last = moreCount ? more[moreCount - 1] : bytes[count - 1];
    std::memset(e->head, 0, sizeof e->head);
    const uint32_t first = std::min(count, kTapHeadBytes);
    std::memcpy(e->head, bytes, first);
    if (moreCount) std::memcpy(e->head + first, more, std::min(moreCount, kTapHeadBytes - first));
    Publish(writer);
}

void OpenTap() {
    for (TapRing& ring : rings) ring.read.value.store(ring.write.value.load(std::memory_order_acquire), std::memory_order_release);
    monitorTapOn = 1;
}

void CloseTap() { monitorTapOn = 0; }

uint32_t TakeTap(void (*take)(const TapEntry& entry, void* context), void* context) {
    uint32_t taken = 0;
    for (TapRing& ring : rings) {
        const uint32_t end = ring.write.value.load(std::memory_order_acquire);
        uint32_t read = ring.read.value.load(std::memory_order_relaxed);
        for (; read != end; ++read, ++taken) take(ring.entries[read & (kTapRingSize - 1)], context);
        // The slots go back to the writer once their entries are copied out.
        ring.read.value.store(read, std::memory_order_release);
    }
    return taken;
}
