// The worker thread: SysEx buffers first, then both rings, then the metronome.
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "platform/clock.h"

std::atomic<uint64_t> workerWakeups{0};
std::atomic<uint64_t> workerTimeouts{0};
SysExBank sysExBank[2][kSysExBanks];

namespace {

// One route's SysEx input, as the worker sees it. The buffers and headers are not on
// the worker's stack: a driver that keeps queued buffers past the reset at stop would
// otherwise be left pointing into a stack that is gone once the worker ends (and that
// the next thread reuses). They are in a bank that stays the input's until it closes;
// nothing is allocated while the worker runs.
struct SysExInput {
    SysExBank* bank;  // nullptr: no input, or every bank of the route is still held
    int watched;      // the header the device fills next; it fills them in queue order
};

// Only banks no device holds are taken: a bank whose input could not be closed yet
// still has headers in that driver's queue.
SysExBank* ClaimBank(int r, midi::InHandle in) {
    for (SysExBank& b : sysExBank[r]) {
        if (b.owner) continue;
        b.owner = in;
        return &b;
    }
    return nullptr;
}

void QueueBuffer(midi::InHandle in, SysExBank& b, int i) {
    midi::Header& h = b.header[i];
    std::memset(&h, 0, sizeof h);
    h.lpData = b.buffer[i];
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
    if (!in || !s.bank) return false;
    midi::Header& h = s.bank->header[s.watched];
    if ((midi::LoadFlags(h) & midi::kMhdrDone) == 0 || h.dwBytesRecorded == 0) return false;
    midi::InUnprepareHeader(in, &h);
    // The send copies the bytes before the device sees them, so the buffer can go
    // back to the input at once even if the output keeps its header.
    SendLongOnRoute(r, reinterpret_cast<const uint8_t*>(h.lpData), h.dwBytesRecorded);
    QueueBuffer(in, *s.bank, s.watched);
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
        // Read per message: a long send from the panel may find the output wedged
        // during a drain. The message is taken all the same, so the ring keeps moving.
        if (outputUnusable[r] != 1) midi::OutShortMsg(out, m);
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
    if (!in || !s.bank) return;
    // StopRoutes reset the input before it told us to stop, but a buffer that this
    // thread queued again after that reset is still with the device; reset once more
    // so that every header is back and can be unprepared, and the input can close.
    // A driver that keeps some even now keeps them in the bank, which outlives us;
    // StopRoutes' close deals with them.
    midi::InReset(in);
    UnprepareReturnedHeaders(in, *s.bank);
}

// Where the metronome would play: Port's output, unless that one is wedged.
bool MetronomeOutputUsable() {
    const int32_t port = EngineSettings().Port;
    return port < 0 || port > 1 || outputUnusable[port] != 1;
}

}  // namespace

SysExBank* BankOf(midi::InHandle in) {
    if (!in) return nullptr;
    for (auto& route : sysExBank)
        for (SysExBank& b : route)
            if (b.owner == in) return &b;
    return nullptr;
}

void UnprepareReturnedHeaders(midi::InHandle in, SysExBank& bank) {
    for (midi::Header& h : bank.header) {
        const uint32_t f = midi::LoadFlags(h);
        if ((f & midi::kMhdrPrepared) && !(f & midi::kMhdrInQueue)) midi::InUnprepareHeader(in, &h);
    }
}

bool IsEngineStorage(const void* p, size_t n) {
    const auto at = reinterpret_cast<uintptr_t>(p);
    auto inside = [&](const void* base, size_t size) {
        const auto b = reinterpret_cast<uintptr_t>(base);
        return at >= b && n <= size && at - b <= size - n;
    };
    return inside(longSlot, sizeof longSlot) || inside(sysExBank, sizeof sysExBank);
}

void RouteWorker(void*) {
    SysExInput sysEx[2];
    for (int r = 0; r < 2; ++r) {
        sysEx[r].watched = 0;
        sysEx[r].bank = routeIn[r] ? ClaimBank(r, routeIn[r]) : nullptr;
        if (!sysEx[r].bank) continue;
        std::memset(sysEx[r].bank->header, 0, sizeof sysEx[r].bank->header);
        for (int i = 0; i < kSysExBuffers; ++i) QueueBuffer(routeIn[r], *sysEx[r].bank, i);
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
        // asks the system for nothing that costs power. A metronome that cannot play
        // (Port's output is wedged) keeps no time either: its tick, never taken, would
        // be due forever and end every wait at once.
        const bool keepsTime = metronomeOn == 1 && MetronomeOutputUsable();
        if (keepsTime && wakeEvent.Precise() == platform::PreciseWait::Off) wakeEvent.EnablePrecise();
        if (!keepsTime && wakeEvent.Precise() != platform::PreciseWait::Off) wakeEvent.DisablePrecise();
        if (!(busy && SpinForWake()) &&
            !wakeEvent.Wait(WorkerWait(platform::TickCount(), lastTickTime, keepsTime, EngineSettings().mTempo,
                                       EffectiveWaitTimeout())))
            workerTimeouts.fetch_add(1, std::memory_order_relaxed);
        workerWakeups.fetch_add(1, std::memory_order_relaxed);
        if (engineRunning == 0) break;
        busy = DrainRing(0) + DrainRing(1) > 0;
        // No beat for a wedged output: the step is not run at all, so the beat count
        // pauses while Port names it. The step reads Port again, so a Port change at
        // that very moment can let one beat (four short messages) reach the wedged
        // output; a short message hands the driver no memory of ours, so the worst
        // that follows is a beat lost.
        if (MetronomeOutputUsable()) MetronomeStep();
    }
    wakeEvent.DisablePrecise();
    for (int r = 0; r < 2; ++r) ReleaseBuffers(r, sysEx[r]);
}
