// The worker thread: SysEx buffers first, then both rings, then the metronome.
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "platform/clock.h"

std::atomic<uint64_t> workerWakeups{0};
std::atomic<uint64_t> workerTimeouts{0};

namespace {

// One route's SysEx input buffers, on the worker's stack for its whole life: nothing
// is allocated while it runs.
struct SysExInput {
    char sysExBuffer[kSysExBuffers][kSysExBufferSize];
    midi::Header header[kSysExBuffers];
    int watched;  // the header the device fills next; it fills them in queue order
};

void QueueBuffer(midi::InHandle in, SysExInput& s, int i) {
    midi::Header& h = s.header[i];
    std::memset(&h, 0, sizeof h);
    h.lpData = s.sysExBuffer[i];
    h.dwBufferLength = kSysExBufferSize;
    h.dwFlags = 0;
    midi::InPrepareHeader(in, &h);
    midi::InAddBuffer(in, &h);
}

// Takes the watched buffer if the device has handed it back with data. A buffer that
// comes back empty (as after an input reset) is not taken: queueing it again would
// give the device a buffer after it was told to return them all.
bool ServeSysEx(int r, SysExInput& s) {
    midi::InHandle in = routeIn[r];
    if (!in) return false;
    midi::Header& h = s.header[s.watched];
    if ((midi::LoadFlags(h) & midi::kMhdrDone) == 0 || h.dwBytesRecorded == 0) return false;
    midi::InUnprepareHeader(in, &h);
    SendLongOnRoute(r, reinterpret_cast<const uint8_t*>(h.lpData), h.dwBytesRecorded);
    QueueBuffer(in, s, s.watched);
    s.watched = (s.watched + 1) % kSysExBuffers;
    return true;
}

// Returns how many messages it forwarded.
uint32_t DrainRing(int r) {
    const uint32_t end = ringWrite[r].load(std::memory_order_acquire);
    uint32_t read = ringRead[r].load(std::memory_order_relaxed);
    const bool transform = transformRoute == r && (velConvertOn == 1 || transposeOn == 1);
    midi::OutHandle out = routeOut[r];
    uint32_t forwarded = 0;
    while (read != end) {
        uint32_t m = inputRing[r][read];
        read = (read + 1) & (kRingSize - 1);
        // Hands the slot back to the callback before the (slow) send, so a burst
        // finds the room it needs.
        ringRead[r].store(read, std::memory_order_release);
        if (transform) m = TransformMessage(m);
        midi::OutShortMsg(out, m);
        ++forwarded;
    }
    return forwarded;
}

// After a wake-up that found work, more usually follows within microseconds (a chord,
// a controller sweep, a dense sequence). Watching the event for a short while before
// going to sleep saves the scheduler's wake-up latency, which on a busy two-core
// machine reaches milliseconds. An idle worker sleeps at once, as before, so the
// spinning costs nothing while nobody plays; under a steady stream it holds one core.
// It spins with the processor's pause hint rather than yielding: a yielding thread
// is at the scheduler's mercy again, which is what the spin is there to avoid.
constexpr auto kSpinAfterWork = std::chrono::microseconds(200);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

bool SpinForWake() {
    const auto deadline = std::chrono::steady_clock::now() + kSpinAfterWork;
    do {
        if (wakeEvent.TryConsume()) return true;
        CpuRelax();
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void ReleaseBuffers(int r, SysExInput& s) {
    midi::InHandle in = routeIn[r];
    if (!in) return;
    // StopRoutes reset the input before it told us to stop, but a buffer that this
    // thread queued again after that reset is still with the device; reset once more
    // so that every header is back and can be unprepared, and the input can close.
    midi::InReset(in);
    for (int i = 0; i < kSysExBuffers; ++i) {
        if (midi::LoadFlags(s.header[i]) & (midi::kMhdrDone | midi::kMhdrPrepared))
            midi::InUnprepareHeader(in, &s.header[i]);
    }
}

}  // namespace

void RouteWorker(void*) {
    SysExInput sysEx[2];
    for (int r = 0; r < 2; ++r) {
        sysEx[r].watched = 0;
        std::memset(sysEx[r].header, 0, sizeof sysEx[r].header);
        if (!routeIn[r]) continue;
        for (int i = 0; i < kSysExBuffers; ++i) QueueBuffer(routeIn[r], sysEx[r], i);
    }
    bool busy = false;
    for (;;) {
        // SysEx before short messages, route 1 before route 2, one buffer at a time.
        if (ServeSysEx(0, sysEx[0]) || ServeSysEx(1, sysEx[1])) {
            busy = true;
            continue;
        }
        // While the metronome plays the wait must end on time, also where the system's
        // timed waits are coarse; while it is off nothing keeps time, and the worker
        // asks the system for nothing that costs power.
        const bool keepsTime = metronomeOn == 1;
        if (keepsTime && wakeEvent.Precise() == platform::PreciseWait::Off) wakeEvent.EnablePrecise();
        if (!keepsTime && wakeEvent.Precise() != platform::PreciseWait::Off) wakeEvent.DisablePrecise();
        if (!(busy && SpinForWake()) &&
            !wakeEvent.Wait(WorkerWait(platform::TickCount(), lastTickTime, keepsTime, EngineSettings().mTempo,
                                       EffectiveWaitTimeout())))
            workerTimeouts.fetch_add(1, std::memory_order_relaxed);
        workerWakeups.fetch_add(1, std::memory_order_relaxed);
        if (engineRunning == 0) break;
        busy = DrainRing(0) + DrainRing(1) > 0;
        MetronomeStep();
    }
    wakeEvent.DisablePrecise();
    for (int r = 0; r < 2; ++r) ReleaseBuffers(r, sysEx[r]);
}
