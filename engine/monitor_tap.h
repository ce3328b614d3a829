#pragma once
// The MIDI monitor's tap: what the input callbacks take in and what leaves for the
// outputs (forwarded, the metronome's, the panel's), copied into fixed rings that the
// monitor's window empties on the user-interface thread. Written only while the monitor
// is open (monitorTapOn), and then without a lock, an allocation or a wait: a ring that
// is full loses the line (counted), never the forwarded message. Each ring has one
// writer: route 1's callback, route 2's callback, the worker, and the user-interface
// thread's sends (guarded by a flag that a second writer finds taken, and then loses
// its line). Both builds.
#include <atomic>
#include <cstdint>

#include "platform/relaxed.h"

enum class TapSource : uint8_t {
    In,         // from the route's input device
    Out,        // forwarded to the route's output device
    Metronome,  // the metronome's notes, on Port's output
    Panel,      // the program's own: All Sound Off, the tuning tone, the resets
};

// The rings, by writer.
constexpr int kTapInput1 = 0;  // route 1's input callback (route r's is r)
constexpr int kTapWorker = 2;
constexpr int kTapOther = 3;   // the user-interface thread (the panel's sends, a stop's sweep)
constexpr int kTapWriters = 4;
constexpr uint32_t kTapRingSize = 2048;  // a power of two
// A long message keeps its first bytes (enough to tell what it is), its length and its
// last byte (whether it ends with F7).
constexpr uint32_t kTapHeadBytes = 16;

struct TapEntry {
    int64_t timeUs;    // the engine's steady clock
    uint32_t length;   // 0 for a short message, else the long message's length in bytes
    uint32_t message;  // the packed short message
    uint8_t route;     // 0 or 1
    TapSource source;
    uint8_t last;      // a long message's last byte
    uint8_t head[kTapHeadBytes];
};

// What went through each route while the monitor was open: short and long messages in
// from its input and out to its output (the metronome's and the panel's included).
struct TapCounters {
    std::atomic<uint64_t> in{0};
    std::atomic<uint64_t> out{0};
    std::atomic<uint64_t> sysExIn{0};
    std::atomic<uint64_t> sysExInBytes{0};
    std::atomic<uint64_t> sysExOut{0};
    std::atomic<uint64_t> sysExOutBytes{0};
};
extern TapCounters tapCounters[2];

// 1 while the monitor is open. The writers look at it before anything else, so that a
// closed monitor costs the forwarding one load.
extern Relaxed<int32_t> monitorTapOn;
inline bool TapOn() { return monitorTapOn == 1; }

// Lines lost because a ring was full (or, for kTapOther, taken), per ring.
extern std::atomic<uint64_t> tapLost[kTapWriters];


// The writers. `writer` names the ring (the caller's thread), `route` what it is about.
void TapShort(int writer, TapSource source, int route, uint32_t message);
// A long message may come in two pieces (one that wraps around a backlog's end).
void TapLong(int writer, TapSource source, int route, const uint8_t* bytes, uint32_t count,
             const uint8_t* more = nullptr, uint32_t moreCount = 0);

// The reader: the monitor's window, on the user-interface thread. OpenTap forgets what
// the rings hold from an earlier opening and switches the tap on; CloseTap switches it
// off. TakeTap hands every entry written since the last take to `take`, ring by ring,
// each ring in its order, and returns how many.
void OpenTap();
void CloseTap();
uint32_t TakeTap(void (*take)(const TapEntry& entry, void* context), void* context);
