// The worker thread: each route's SysEx buffers and then its ring, then the metronome; and
// the long messages it has in flight, which it never waits for.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "platform/clock.h"
#include "platform/worker_thread.h"

std::atomic<uint64_t> workerWakeups{0};
std::atomic<uint64_t> workerTimeouts{0};
std::atomic<int32_t> workerHold{0};
bool outputDropping[2];
bool inputFresh[2];

namespace {

// ---- outputs, as the worker holds them -----------------------------------------
// The worker never waits for an output: it tries its lock and, when the
// user-interface thread has it, leaves what is bound there (in the ring, in the
// gathered SysEx, the metronome's tick due) until that thread lets go and pulses. It
// keeps the lock while a long message of its own is in flight and, for a SysEx message
// longer than one long message, from its first part to its last. All of this is the
// worker's alone.
bool held[2];      // the worker holds outputLock[i]
bool inFlight[2];  // a long message of the worker's is with the device
int openFor[2];    // the route whose unfinished SysEx message holds output i, or -1

bool TakeOutput(int i) {
    if (held[i]) return true;
    if (!outputLock[i].try_lock()) return false;
    held[i] = true;
    return true;
}

void LetGo(int i) {
    if (!held[i] || inFlight[i] || openFor[i] >= 0) return;
    held[i] = false;
    outputLock[i].unlock();
}

// From a long message's F0 to its F7 nothing else may reach the output: a byte in
// between would end the message at the sound module.
bool Busy(int i) { return inFlight[i] || openFor[i] >= 0; }

bool IsRealTime(uint32_t m) { return (m & 0xFF) >= 0xF8; }

// ---- SysEx input ------------------------------------------------------------------
// A message is gathered from its input buffers and leaves as one long message, so
// that nothing can land between its parts. It ends with a buffer whose last byte is
// F7; with one the driver handed back less than full (a status byte cut it); with an
// empty one (a status byte cut it just after a buffer filled); or when a new F0 comes.
// The gathered bytes are the worker's (never handed to a device), so they need no
// care beyond their size.
struct Gather {
    uint32_t count;             // bytes gathered, not yet sent
    bool ready;                 // they leave as soon as their output is free
    bool ends;                  // ... and end the message (else more parts follow)
    bool holding;               // an earlier part has left: its output is held for the rest
    EngineClock::time_point last;  // when the latest byte came
    int watched;                // the header the device fills next, in queue order
};
Gather gather[2];
uint8_t gathered[2][kMaxLongMessage];

// A removed input refuses its buffers: it is lost, and gets none of them again.
void QueueBuffer(int r, midi::InHandle in, SysExBank& b, int i) {
    midi::Header& h = b.header[i];
    std::memset(&h, 0, sizeof h);
    if (inputLost[r] == 1) return;
    h.lpData = b.buffer[i];
    h.dwBufferLength = kSysExBufferSize;
    midi::Result res = midi::InPrepareHeader(in, &h);
    if (res == midi::kNoError) res = midi::InAddBuffer(in, &h);
    if (Gone(res)) MarkInputLost(r);
}

void Requeue(int r, midi::InHandle in, SysExBank& b, Gather& g) {
    midi::InUnprepareHeader(in, &b.header[g.watched]);
    QueueBuffer(r, in, b, g.watched);
    g.watched = (g.watched + 1) % kSysExBuffers;
}

void EndMessage(Gather& g) {
    g.ready = g.count > 0 || g.holding;
    g.ends = true;
}

// Takes the buffers the device has handed back, until a message (or a part of one)
// is ready to leave. Returns whether it took any.
bool TakeSysEx(int r) {
    midi::InHandle in = routeIn[r];
    SysExBank* bank = inputBank[r];
    Gather& g = gather[r];
    bool took = false;
    while (in && bank && !g.ready) {
        const midi::Header& h = bank->header[g.watched];
        if ((midi::LoadFlags(h) & midi::kMhdrDone) == 0) break;
        const uint32_t n = std::min(h.dwBytesRecorded, kSysExBufferSize);
        const auto* data = reinterpret_cast<const uint8_t*>(h.lpData);
        if (n == 0) {
            // An empty buffer while the route runs is the driver's, not a reset's: it
            // goes back at once, or SysEx input would stop here for good. Once a stop
            // has begun the reset hands them all back empty, and queueing one again
            // would give the device a buffer after it was told to return them.
            if (stopBegun == 1) break;
            Requeue(r, in, *bank, g);
            EndMessage(g);
            took = true;
            continue;
        }
        if (data[0] == 0xF0 && (g.count > 0 || g.holding)) {
            EndMessage(g);  // the message before was cut; this buffer starts the next
            break;
        }
        if (g.count + n > kMaxLongMessage) {
            g.ready = true;  // a part leaves first and holds the output for the rest
            g.ends = false;
            break;
        }
        std::memcpy(gathered[r] + g.count, data, n);
        g.count += n;
        g.last = EngineClock::now();
        took = true;
        const bool complete = data[n - 1] == 0xF7 || n < h.dwBufferLength;
        Requeue(r, in, *bank, g);
        if (complete) EndMessage(g);
    }
    return took;
}

// Sends route r's ready message (or part) when its output is free. A message for an
// output that cannot take it (closed, wedged) is dropped.
bool SendGathered(int r) {
    Gather& g = gather[r];
    if (!g.ready) return false;
    const int i = OutputIndex(r);
    midi::OutHandle out = routeOut[r];
    if (out && OutputTakes(i)) {
        if (inFlight[i] || (openFor[i] >= 0 && openFor[i] != r) || !TakeOutput(i)) return false;
        // A message the device refuses to take is lost, as one sent to a closed output.
        if (g.count > 0) inFlight[i] = StartLong(i, out, gathered[r], g.count);
        openFor[i] = g.ends ? -1 : r;
        LetGo(i);
    }
    g.holding = !g.ends;
    g.count = 0;
    g.ready = false;
    return true;
}

// A message whose F7 does not come leaves as it is, and lets its output go, once no
// byte of it has come for kSysExGapLimit.
void EndStalledMessages(EngineClock::time_point now) {
    for (Gather& g : gather)
        if (!g.ready && (g.count > 0 || g.holding) && now - g.last >= kSysExGapLimit) EndMessage(g);
}

void ReleaseBuffers(int r) {
    midi::InHandle in = routeIn[r];
    if (!in || !inputBank[r]) return;
    // StopRoutes reset the input before it told us to stop, but a buffer that this
    // thread queued again after that reset is still with the device; reset once more
    // so that every header is back and can be unprepared, and the input can close.
    // A driver that keeps some even now keeps them in the bank, which outlives us;
    // StopRoutes' close deals with them.
    midi::InReset(in);
    UnprepareReturnedHeaders(in, *inputBank[r]);
}

// ---- long messages in flight --------------------------------------------------------
// Looks at each; one done (or kept by a wedged device) lets its output go.
void PollFlights() {
    for (int i = 0; i < 2; ++i) {
        if (!inFlight[i] || PollLong(i, routeOut[i]) == LongState::InFlight) continue;
        inFlight[i] = false;
        if (outputUnusable[i] == 1) openFor[i] = -1;
        LetGo(i);
    }
}

// ---- short messages -------------------------------------------------------------
// Returns how many messages it took from route r's ring. While route r's output is
// busy with a long message, only the system real-time messages at the head of the ring
// pass (MIDI lets them into a SysEx message); the rest wait in the ring, in order.
uint32_t DrainRing(int r) {
    const uint32_t end = ringWrite[r].load(std::memory_order_acquire);
    uint32_t read = ringRead[r].load(std::memory_order_relaxed);
    if (read == end) return 0;
    const int i = OutputIndex(r);
    midi::OutHandle out = routeOut[r];
    const bool unusable = !OutputTakes(i);
    const bool busy = Busy(i);
    // A wedged or lost output takes nothing, but the ring keeps moving.
    if (!unusable && !busy && !TakeOutput(i)) return 0;
    const bool transform = transformRoute == r && (velConvertOn == 1 || transposeOn == 1);
    uint32_t taken = 0;
    while (read != end) {
        uint32_t m = inputRing[r][read];
        if (busy && !IsRealTime(m)) break;
        read = (read + 1) & (kRingSize - 1);
        // Hands the slot back to the callback before the (slow) send, so a burst
        // finds the room it needs.
        ringRead[r].store(read, std::memory_order_release);
        m = ForwardedMessage(r, m, transform);
        StampStage(EngineStage::Send, r, m);
        if (!unusable && out && OutputTakes(i)) SendShortTo(i, out, m);
        ++taken;
    }
    if (!unusable && !busy) LetGo(i);
    return taken;
}

// ---- the metronome ------------------------------------------------------------------
// Runs the metronome's step on Port's output. False when the output could not take a
// tick now (busy with a long message, or the user-interface thread has it): a tick
// then waits for the output to be let go, which wakes the worker. A wedged output
// takes no tick at all: the step is not run, so the beat count pauses while Port names
// it.
bool RunMetronome() {
    if (metronomeOn != 1) return true;
    const int32_t port = EngineSettings().Port;
    if (port < 0 || port > 1 || !routeOut[port]) {
        MetronomeStepOn(port);  // the beat advances, and is lost
        return true;
    }
    const int i = OutputIndex(port);
    if (!OutputTakes(i)) return true;
    const uint32_t interval = 60000u / MetronomeTempo(EngineSettings().mTempo);
    if (platform::TickCount() - lastTickTime <= interval) return true;  // nothing due
    if (Busy(i) || !TakeOutput(i)) return false;
    MetronomeStepOn(port);
    LetGo(i);
    return true;
}

bool MetronomeOutputUsable() {
    const int32_t port = EngineSettings().Port;
    return port < 0 || port > 1 || !routeOut[port] || OutputTakes(OutputIndex(port));
}

// ---- waiting --------------------------------------------------------------------
// The worker sleeps on the wake event whenever it has nothing to do, also in a dense
// stream: it never spins for the next message. A spin saves the scheduler's wake-up
// only while a core is free for it; on a busy two-core machine a thread that has burnt
// its time watching the event is the one the scheduler makes wait, at its next wake-up
// or in the middle of the spin, for up to a whole time slice: stalls of 0.3 to 1 ms
// that a consumer which sleeps at once does not have.
uint32_t MillisUntil(EngineClock::time_point t, EngineClock::time_point now) {
    if (t <= now) return 0;
    // Rounded up: a wait that ends just short of a deadline would only wait again.
    return static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(t - now).count());
}

// How long the worker may sleep: for ever when nothing keeps time; while a long
// message is in flight until its deadline, looking at least every Time Out in case its
// driver does not call back; while a SysEx message is unfinished until it counts as
// stalled. The metronome's tick comes on top (WorkerWait).
uint32_t WaitBound(EngineClock::time_point now) {
    uint32_t wait = platform::kForever;
    for (int i = 0; i < 2; ++i)
        if (inFlight[i]) wait = std::min({wait, EffectiveWaitTimeout(), MillisUntil(LongDeadline(i), now)});
    for (const Gather& g : gather)
        if (!g.ready && (g.count > 0 || g.holding)) wait = std::min(wait, MillisUntil(g.last + kSysExGapLimit, now));
    return wait;
}

}  // namespace

bool UnprepareReturnedHeaders(midi::InHandle in, SysExBank& bank) {
    bool allBack = true;
    for (midi::Header& h : bank.header) {
        const uint32_t f = midi::LoadFlags(h);
        if (f & midi::kMhdrInQueue) allBack = false;
        else if (f & midi::kMhdrPrepared) midi::InUnprepareHeader(in, &h);
    }
    return allBack;
}

void RouteWorker(void*) {
    void* proAudio = platform::JoinProAudioClass();
    // An input that was open under the worker before it was held keeps its buffers
    // with the device and what it has gathered.
    for (int r = 0; r < 2; ++r) {
        if (!inputFresh[r]) continue;
        inputFresh[r] = false;
        gather[r] = Gather{};
        gather[r].last = EngineClock::now();
        if (!routeIn[r] || !inputBank[r]) continue;
        for (int i = 0; i < kSysExBuffers; ++i) QueueBuffer(r, routeIn[r], *inputBank[r], i);
    }
    for (int i = 0; i < 2; ++i) {
        held[i] = inFlight[i] = false;
        openFor[i] = -1;
    }
    bool tickWaits = false;  // a tick is due but its output cannot take it yet
    for (;;) {
        const auto now = EngineClock::now();
        // While the metronome plays the wait must end on time, also where the system's
        // timed waits are coarse; while it is off nothing keeps time, and the worker
        // asks the system for nothing that costs power. A tick that cannot play yet
        // (its output busy or taken) keeps no time either: it would be due at once and
        // end every wait; the output's release wakes the worker instead.
        const bool keepsTime = metronomeOn == 1 && MetronomeOutputUsable() && !tickWaits;
        if (keepsTime && wakeEvent.Precise() == platform::PreciseWait::Off) wakeEvent.EnablePrecise();
        if (!keepsTime && wakeEvent.Precise() != platform::PreciseWait::Off) wakeEvent.DisablePrecise();
        StampStage(EngineStage::Sleep, -1, 0);
        if (!wakeEvent.Wait(WorkerWait(platform::TickCount(), lastTickTime, keepsTime, EngineSettings().mTempo,
                                       WaitBound(now))))
            workerTimeouts.fetch_add(1, std::memory_order_relaxed);
        workerWakeups.fetch_add(1, std::memory_order_relaxed);
        StampStage(EngineStage::Awake, -1, 0);
        if (engineRunning == 0 || workerHold.load(std::memory_order_acquire) == 1) break;
        PollFlights();
        EndStalledMessages(EngineClock::now());
        // Per route SysEx before short messages, route 1 before route 2. A route's short
        // messages never wait for the other route's SysEx work (buffers given back to
        // its input, a long message started), whose device calls may block.
        for (int r = 0; r < 2; ++r) {
            SendGathered(r);
            TakeSysEx(r);
            SendGathered(r);
            DrainRing(r);
        }
        tickWaits = !RunMetronome();
    }
    // Bytes a device may still read stay ours until it is done with them; an output
    // about to be closed because it is gone keeps them, parked, until it closes.
    const bool stopping = engineRunning == 0;
    for (int i = 0; i < 2; ++i) {
        if (inFlight[i] && !stopping && outputDropping[i]) AbandonLong(i);
        else if (inFlight[i]) FinishLong(i, routeOut[i]);
        inFlight[i] = false;
        openFor[i] = -1;
        LetGo(i);
    }
    wakeEvent.DisablePrecise();
    if (stopping)
        for (int r = 0; r < 2; ++r) ReleaseBuffers(r);
    platform::LeaveProAudioClass(proAudio);
}
