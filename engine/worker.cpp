// The worker thread: each route's SysEx buffers and then its ring, then the metronome; and
// the long messages it has in flight, which it never waits for.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/monitor_tap.h"
#include "platform/clock.h"
#include "platform/worker_thread.h"

std::atomic<uint64_t> workerWakeups{0};
std::atomic<uint64_t> workerTimeouts{0};
std::atomic<uint32_t> backlogDrops[2];
std::atomic<uint32_t> cutSysExDrops[2];
bool outputDropping[2];
bool inputFresh[2];
bool releasePending[2];

namespace {

// 1 while a heal wants the worker paused (or ended): the worker's quick look.
std::atomic<int32_t> workerHold{0};

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
    // The user-interface thread waits for it: it goes first (its release wakes us).
    if (outputWanted[i].load(std::memory_order_relaxed) > 0 || !outputLock[i].try_lock()) return false;
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
// A message is gathered from its input buffers into its route's backlog and leaves from
// there as one long message (in parts of kMaxLongMessage when longer, its output held
// from the first part to the last), so that nothing can land between its parts. The
// worker takes every buffer the device hands back at once, also while messages wait for
// their output: a device with no buffer queued drops what comes, and a bank sent
// faster than a MIDI cable carries it would lose messages. The backlog is fixed in size
// before the worker runs; a message that finds no room is dropped whole and counted.
//
// A message ends with its F7; with a buffer the driver handed back less than full (a status byte cut it); with an empty one (a status byte cut it just
// after a buffer filled); or when no byte of it has come for kSysExGapLimit. A new F0
// before the end means bytes of the message were lost: it is dropped, never forwarded
// as if whole. Bytes that do not begin with F0 and continue no message of the route
// (the rest of a dump cut by a sleep, an unplug or a reopen, as USB's "SysEx
// continues" packets bring them) are dropped up to their end: a sound module would
// read them as data of whatever status it last saw.
struct Part {
    uint32_t start;  // byte position in the backlog (a counter; modulo its size)
    uint32_t count;  // 0 only for the end of a message whose rest was dropped
    uint32_t mark;   // the route's ring position when the message began
    bool ends;       // the message's last part
};

struct Backlog {
    uint8_t bytes[kSysExBacklogBytes];
    Part parts[kSysExBacklogParts];
    uint32_t partHead, partTail;  // counters: parts queued are [partHead, partTail)
    uint32_t byteHead, byteTail;  // counters: bytes held are [byteHead, byteTail)
};
Backlog backlog[2];

struct Gather {
    bool inMessage;    // between its F0 and its end
    bool skipping;     // the rest of a message that is not forwarded
    bool partsQueued;  // earlier parts of the message are queued or gone
    uint32_t start;    // where its unfinished part begins in the backlog
    uint32_t count;    // that part's bytes so far
    uint32_t mark;     // the ring position when it began
    EngineClock::time_point last;  // when its latest byte came
    int watched;       // the header the device fills next, in queue order
};
Gather gather[2];

uint32_t PartsQueued(const Backlog& b) { return b.partTail - b.partHead; }
const Part* NextPart(int r) { return PartsQueued(backlog[r]) ? &backlog[r].parts[backlog[r].partHead % kSysExBacklogParts] : nullptr; }

void ResetGather(int r) {
    Gather& g = gather[r];
    const int watched = g.watched;
    g = Gather{};
    g.watched = watched;
    g.start = backlog[r].byteTail;
    g.last = EngineClock::now();
}

// The counters wrap at 2^32, a multiple of both sizes, so positions stay right.
static_assert((uint64_t{1} << 32) % kSysExBacklogBytes == 0 && (uint64_t{1} << 32) % kSysExBacklogParts == 0);

// Appending keeps one slot free for the end marker of a message whose parts are queued.
void QueuePart(int r, uint32_t count, bool ends) {
    Backlog& b = backlog[r];
    Gather& g = gather[r];
    b.parts[b.partTail++ % kSysExBacklogParts] = Part{g.start, count, g.mark, ends};
    g.start += count;
    g.count = 0;
    g.partsQueued = !ends;
}

// The message being gathered is not forwarded: its unsent bytes go, and an output held
// for its earlier parts is let go (an empty last part).
void DropMessage(int r, std::atomic<uint32_t>& counter) {
    Gather& g = gather[r];
    Backlog& b = backlog[r];
    b.byteTail = g.start;
    g.count = 0;
    if (g.partsQueued) QueuePart(r, 0, true);
    counter.fetch_add(1, std::memory_order_relaxed);
    g.inMessage = false;
    g.skipping = true;
}

void EndMessage(int r) {
    Gather& g = gather[r];
    if (g.inMessage && (g.count > 0 || g.partsQueued)) QueuePart(r, g.count, true);
    g.inMessage = false;
    g.skipping = false;
}

void Append(int r, const uint8_t* data, uint32_t n) {
    Gather& g = gather[r];
    Backlog& b = backlog[r];
    if (g.count + n > kMaxLongMessage && PartsQueued(b) + 2 <= kSysExBacklogParts) QueuePart(r, g.count, false);
    const bool roomForBytes = b.byteTail - b.byteHead + n <= kSysExBacklogBytes;
    const bool roomForPart = PartsQueued(b) + (g.partsQueued ? 1 : 2) <= kSysExBacklogParts;
    if (!roomForBytes || !roomForPart || g.count + n > kMaxLongMessage) {
        DropMessage(r, backlogDrops[r]);
        return;
    }
    const uint32_t at = b.byteTail % kSysExBacklogBytes;
    const uint32_t first = std::min(n, kSysExBacklogBytes - at);
    std::memcpy(b.bytes + at, data, first);
    std::memcpy(b.bytes, data + first, n - first);
    b.byteTail += n;
    g.count += n;
}

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

void BeginMessage(int r) {
    Gather& g = gather[r];
    if (g.inMessage) DropMessage(r, cutSysExDrops[r]);  // its F7 never came: bytes were lost
    g.inMessage = true;
    g.skipping = false;
    g.start = backlog[r].byteTail;
    g.count = 0;
    g.mark = ringWrite[r].load(std::memory_order_acquire);
}

// What one buffer the device handed back does to the messages being gathered. A driver
// normally hands a buffer back at a message's end, but one that does not may put the
// end of one message and the start of the next in one buffer: the bytes are read as
// they come, an F0 starting a message, an F7 ending one.
void TakeBuffer(int r, const uint8_t* data, uint32_t n, bool shortOfFull) {
    Gather& g = gather[r];
    g.last = EngineClock::now();
    uint32_t i = 0;
    while (i < n) {
        if (data[i] == 0xF0) BeginMessage(r);
        uint32_t j = i + 1;
        while (j < n && data[j] != 0xF0 && data[j] != 0xF7) ++j;
        const bool ends = j < n && data[j] == 0xF7;
        if (ends) ++j;
        if (g.inMessage) {
            Append(r, data + i, j - i);
        } else if (!g.skipping) {
            cutSysExDrops[r].fetch_add(1, std::memory_order_relaxed);  // headless
            g.skipping = true;
        }
        if (ends) EndMessage(r);
        i = j;
    }
    // Less than full (a status byte cut the message), or empty (one cut it just after a
    // buffer filled): what came leaves as it is.
    if (n == 0 || shortOfFull) EndMessage(r);
}

// Takes every buffer the device has handed back. Returns whether it took any.
bool TakeSysEx(int r) {
    midi::InHandle in = routeIn[r];
    SysExBank* bank = inputBank[r];
    Gather& g = gather[r];
    bool took = false;
    while (in && bank) {
        const midi::Header& h = bank->header[g.watched];
        if ((midi::LoadFlags(h) & midi::kMhdrDone) == 0) break;
        // An empty buffer while the route runs is the driver's, not a reset's: it goes
        // back at once, or SysEx input would stop here for good. Once a stop has begun
        // the reset hands them all back empty, and queueing one again would give the
        // device a buffer after it was told to return them.
        if (h.dwBytesRecorded == 0 && stopBegun == 1) break;
        const uint32_t n = std::min(h.dwBytesRecorded, kSysExBufferSize);
        TakeBuffer(r, reinterpret_cast<const uint8_t*>(h.lpData), n, n > 0 && n < h.dwBufferLength);
        Requeue(r, in, *bank, g);
        took = true;
    }
    return took;
}

// Sends route r's oldest waiting message (or part) when its output is free. A message
// for an output that cannot take it (closed, wedged, lost) is dropped.
bool SendGathered(int r) {
    const Part* p = NextPart(r);
    if (!p) return false;
    const int i = OutputIndex(r);
    midi::OutHandle out = routeOut[r];
    bool sent = false;
    if (out && OutputTakes(i)) {
        if (inFlight[i] || (openFor[i] >= 0 && openFor[i] != r) || !TakeOutput(i)) return false;
        const Backlog& b = backlog[r];
        const uint32_t at = p->start % kSysExBacklogBytes;
        const uint32_t first = std::min(p->count, kSysExBacklogBytes - at);
        // A message the device refuses to take is lost, as one sent to a closed output.
        if (p->count > 0) inFlight[i] = sent = StartLong(i, out, b.bytes + at, first, b.bytes, p->count - first);
        openFor[i] = p->ends ? -1 : r;
        LetGo(i);
    }
    Backlog& b = backlog[r];
    if (TapOn()) {
        const uint32_t at = p->start % kSysExBacklogBytes;
        const uint32_t first = std::min(p->count, kSysExBacklogBytes - at);
        TapLong(kTapWorker, TapSource::In, r, b.bytes + at, first, b.bytes, p->count - first);
        if (sent) TapLong(kTapWorker, TapSource::Out, r, b.bytes + at, first, b.bytes, p->count - first);
    }
    b.byteHead = p->start + p->count;
    ++b.partHead;
    return true;
}

// The ring position up to which route r's short messages may leave now: those that came
// before its oldest waiting SysEx message go first, those after it wait for it.
uint32_t RingLimit(int r, uint32_t end) {
    const Part* p = NextPart(r);
    return p ? p->mark : end;
}

// A message whose F7 does not come leaves as it is, and lets its output go, once no
// byte of it has come for kSysExGapLimit.
void EndStalledMessages(EngineClock::time_point now) {
    for (int r = 0; r < 2; ++r)
        if (gather[r].inMessage && now - gather[r].last >= kSysExGapLimit) EndMessage(r);
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
    const uint32_t end = RingLimit(r, ringWrite[r].load(std::memory_order_acquire));
    uint32_t read = ringRead[r].load(std::memory_order_relaxed);
    if (read == end) return 0;
    const int i = OutputIndex(r);
    midi::OutHandle out = routeOut[r];
    const bool unusable = !OutputTakes(i);
    const bool busy = Busy(i) || releasePending[r];
    // A wedged or lost output takes nothing, but the ring keeps moving.
    if (!unusable && !busy && !TakeOutput(i)) return 0;
    const bool transform = transformRoute == r && AnyTransformOn();
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
        if (!unusable && out && OutputTakes(i)) {
            SendShortTo(i, out, m);
            if (TapOn()) TapShort(kTapWorker, TapSource::Out, r, m);
        }
        ++taken;
    }
    if (!unusable && !busy) LetGo(i);
    return taken;
}

// The note-offs a closed input of route r left owed, once its output is free.
void SendPendingRelease(int r) {
    if (!releasePending[r]) return;
    const int i = OutputIndex(r);
    if (routeOut[r] && OutputTakes(i)) {
        if (Busy(i) || !TakeOutput(i)) return;
        ReleaseHeldNotes(r);
        LetGo(i);
    } else {
        ClearHeldNotes(r);
    }
    releasePending[r] = false;
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
        if (g.inMessage) wait = std::min(wait, MillisUntil(g.last + kSysExGapLimit, now));
    return wait;
}

// ---- held by a heal -------------------------------------------------------------------
enum class HoldState { Run, Pause, End };
std::mutex pauseMu;
std::condition_variable pauseCv;
HoldState holdState = HoldState::Run;  // guarded by pauseMu
bool workerPaused = false;             // guarded by pauseMu
midi::InHandle adopted[2];             // the input each route's gathering belongs to

// Takes up the inputs as they are now: a route whose input changed (closed, or opened
// afresh) loses the message its old input was in the middle of, and a new input gets
// its buffers. The short messages a new input brings come after every SysEx message
// its route still has waiting.
void AdoptInputs() {
    for (int r = 0; r < 2; ++r) {
        if (routeIn[r] == adopted[r] && !inputFresh[r]) continue;
        if (gather[r].inMessage) DropMessage(r, cutSysExDrops[r]);
        ResetGather(r);
        Backlog& b = backlog[r];
        for (uint32_t k = b.partHead; k != b.partTail; ++k)
            b.parts[k % kSysExBacklogParts].mark = ringRead[r].load(std::memory_order_relaxed);
        adopted[r] = routeIn[r];
        if (!inputFresh[r]) continue;
        inputFresh[r] = false;
        gather[r].watched = 0;
        if (routeIn[r] && inputBank[r])
            for (int i = 0; i < kSysExBuffers; ++i) QueueBuffer(r, routeIn[r], *inputBank[r], i);
    }
}

// Pauses while a heal changes the devices; false when the worker is to end. Outputs
// about to be closed are let go first, a long message in flight there left with the
// device; everything else the worker has in hand stays so.
bool HonourHold() {
    if (workerHold.load(std::memory_order_acquire) == 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (!outputDropping[i]) continue;
        if (inFlight[i]) AbandonLong(i);
        inFlight[i] = false;
        openFor[i] = -1;
        LetGo(i);
    }
    std::unique_lock<std::mutex> lk(pauseMu);
    workerPaused = true;
    pauseCv.notify_all();
    pauseCv.wait(lk, [] { return holdState != HoldState::Pause; });
    workerPaused = false;
    if (holdState == HoldState::End) return false;
    lk.unlock();
    AdoptInputs();
    return true;
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
    for (int r = 0; r < 2; ++r) {
        backlog[r].partHead = backlog[r].partTail = backlog[r].byteHead = backlog[r].byteTail = 0;
        adopted[r] = nullptr;
        gather[r].watched = 0;
        ResetGather(r);
    }
    AdoptInputs();
    for (int i = 0; i < 2; ++i) {
        held[i] = inFlight[i] = false;
        openFor[i] = -1;
    }
    bool tickWaits = false;  // a tick is due but its output cannot take it yet
    for (;;) {
        if (!HonourHold()) break;
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
        if (engineRunning == 0 || !HonourHold()) break;
        PollFlights();
        EndStalledMessages(EngineClock::now());
        // Per route, route 1 before route 2: its SysEx buffers first, then its short
        // messages that came before its oldest waiting SysEx message, then that message.
        // A route's short messages never wait for the other route's SysEx work (buffers
        // given back to its input, a long message started), whose device calls may block.
        for (int r = 0; r < 2; ++r) {
            TakeSysEx(r);
            SendPendingRelease(r);
            DrainRing(r);
            SendGathered(r);
        }
        tickWaits = !RunMetronome();
    }
    // Bytes a device may still read stay ours until it is done with them.
    const bool stopping = engineRunning == 0;
    for (int i = 0; i < 2; ++i) {
        if (inFlight[i]) FinishLong(i, routeOut[i]);
        inFlight[i] = false;
        openFor[i] = -1;
        LetGo(i);
    }
    // Ended by a heal that left no input open: the note-offs still owed go out now.
    for (int r = 0; r < 2; ++r)
        if (!stopping && releasePending[r]) {
            const int i = OutputIndex(r);
            std::lock_guard<std::recursive_mutex> lock(outputLock[i]);
            ReleaseHeldNotes(r);
            releasePending[r] = false;
        }
    wakeEvent.DisablePrecise();
    if (stopping)
        for (int r = 0; r < 2; ++r) ReleaseBuffers(r);
    platform::LeaveProAudioClass(proAudio);
}

bool PauseWorker() {
    if (!workerThread.Exists()) return false;
    std::unique_lock<std::mutex> lk(pauseMu);
    holdState = HoldState::Pause;
    workerHold.store(1, std::memory_order_release);
    wakeEvent.Pulse();
    pauseCv.wait(lk, [] { return workerPaused; });
    return true;
}

void ResumePausedWorker(bool endIt) {
    {
        std::lock_guard<std::mutex> lk(pauseMu);
        holdState = endIt ? HoldState::End : HoldState::Run;
        workerHold.store(0, std::memory_order_release);
    }
    pauseCv.notify_all();
    if (endIt) workerThread.Join();
}

bool WorkerKeepsOutput(int i) { return held[i]; }

bool WorkerHasWorkInHand() {
    return held[0] || held[1] || NextPart(0) || NextPart(1) || releasePending[0] || releasePending[1];
}
