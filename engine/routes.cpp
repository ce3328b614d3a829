// Route start and stop, and the input callbacks that fill the rings.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "engine/monitor_tap.h"
#include "platform/message_box.h"

const char* const kMsgCannotOpenIn1 = "MIDI-IN1をオープンできません。";
const char* const kMsgCannotOpenOut1 = "MIDI-OUT1をオープンできません。";
const char* const kMsgCannotOpenIn2 = "MIDI-IN2をオープンできません。";
const char* const kMsgCannotOpenOut2 = "MIDI-OUT2をオープンできません。";
const char* const kMsgCannotStart = "MIDI KAVOを開始できません。";

namespace {
std::atomic<void (*)()> statusListener{nullptr};
// The user-interface thread's alone.
RouteWait routeWait[2];
int startStopDepth = 0;  // StartRoutes or StopRoutes is running (a box of theirs is up)

void NotifyStatus() {
    if (auto fn = statusListener.load(std::memory_order_acquire)) fn();
}

struct StartStopScope {
    StartStopScope() { ++startStopDepth; }
    ~StartStopScope() { --startStopDepth; }
    StartStopScope(const StartStopScope&) = delete;
    StartStopScope& operator=(const StartStopScope&) = delete;
};

// The body of both input callbacks: a short message (MIM_DATA) goes into route r's
// ring, a SysEx buffer handed back filled (MIM_LONGDATA) only wakes the worker, and
// every other notice is ignored. It runs on the system's callback thread and must
// stay small: one store, one index update, one wake; no lock, no allocation.
inline void ReceiveInput(int r, uint32_t msg, uintptr_t param1) {
    // A system-exclusive buffer came back filled: the worker takes it from its headers
    // (the notification stores nothing), but without a wake it would wait for its
    // time-out first, up to 15.6 ms on Windows.
    if (msg == midi::kMimLongData) {
        wakeEvent.Pulse();
        return;
    }
    if (msg != midi::kMimData) return;  // open/close/error: not ours
    // Before the store: the line's time then comes before anything the worker does
    // with the message.
    if (TapOn()) TapShort(r, TapSource::In, r, static_cast<uint32_t>(param1));
    // Only this callback writes ringWrite, so a relaxed load of our own value is exact.
    const uint32_t w = ringWrite[r].load(std::memory_order_relaxed) & (kRingSize - 1);
    const uint32_t next = (w + 1) & (kRingSize - 1);
    // A full ring: the worker has not yet taken the oldest entries. Writing on would
    // make the ring look empty and silently drop all 1023 queued messages, so the
    // newest message is dropped instead and counted. The acquire pairs with the
    // worker's release of ringRead, after which it no longer reads the slot.
    if (next == ringRead[r].load(std::memory_order_acquire)) {
        ringDrops[r].fetch_add(1, std::memory_order_relaxed);
        wakeEvent.Pulse();
        return;
    }
    inputRing[r][w] = static_cast<uint32_t>(param1);
    ringWrite[r].store(next, std::memory_order_release);  // publishes the entry
    StampStage(EngineStage::Ring, r, static_cast<uint32_t>(param1));
    wakeEvent.Pulse();
}

// ---- closing, and devices that refuse it ----------------------------------------
// winmm refuses to close a device that still has buffers of ours queued (still
// playing): a driver that did not return them on reset. Dropping such a handle would
// leave the device open until the program ends, so that every later start fails to
// open it. Instead the close is tried again after another reset, a few times within a
// short deadline (StopRoutes runs on the user-interface thread); a device that still
// refuses is held, with the buffers it keeps, and tried once more (reset, then close)
// at every later StartRoutes, before anything is opened, and StopRoutes. A start that
// finds the device still refusing cannot open it again, and says so, as for any device
// that cannot be opened. Its buffers are freed once it closes. The held lists are the
// user-interface thread's alone.
constexpr int kCloseTries = 5;
constexpr auto kCloseDeadline = std::chrono::milliseconds(200);
constexpr auto kClosePause = std::chrono::milliseconds(20);

// A held device and the buffers it keeps: an input's SysEx buffers, an output's long
// message (or nullptr); and how many of its later tries the system answered as gone.
struct HeldIn {
    midi::InHandle handle;
    SysExBank* kept;
    int goneAnswers;
};
struct HeldOut {
    midi::OutHandle handle;
    LongBuffer* kept;
    int goneAnswers;
};
std::vector<HeldIn> heldIn;
std::vector<HeldOut> heldOut;

// A removed device's handle answers kNoDriver to a reset (and, on some systems, to its
// close as well) while it still refuses to close: its buffers may come back a moment
// later, so it is tried a few more times; after that, or at once when the close itself
// answers kNoDriver, the system will never close it and nothing is gained by asking
// again at every start, stop and heal. Such a handle is given up: its buffers are
// never freed (the driver may yet write them) but kept in sight here, and it leaves
// the held list, which also never holds more than kMaxHeld devices (hundreds of
// unplugs cost memory, not time).
constexpr int kGoneTries = 3;
constexpr size_t kMaxHeld = 16;
struct GivenUp {
    const void* block;
    size_t size;
};
// Never destroyed: what it points at stays in sight to the end of the process.
std::vector<GivenUp>& givenUp = *new std::vector<GivenUp>;
size_t givenUpBytes = 0;

enum class CloseOutcome { Closed, Refused, Gone };

// A close that is refused is tried again after a reset, which asks the driver once
// more for what it still holds. The first try of a session's own close goes without
// one: StopRoutes has reset the inputs already, and an output reset would send the
// device note-offs it does not need.
template <class TryClose, class Reset>
CloseOutcome CloseWithRetries(TryClose tryClose, Reset reset, int tries, bool resetFirst) {
    const auto deadline = std::chrono::steady_clock::now() + kCloseDeadline;
    bool resetGone = false;
    for (int i = 0;; ++i) {
        if (i > 0 || resetFirst) resetGone = Gone(reset());
        const midi::Result res = tryClose();
        // A handle the system does not know is no device of ours any more: nothing is
        // left to close, and nothing can touch what it was given.
        if (res == midi::kNoError || res == midi::kInvalHandle) return CloseOutcome::Closed;
        if (res == midi::kNoDriver) return CloseOutcome::Gone;
        if (i + 1 >= tries || std::chrono::steady_clock::now() >= deadline)
            return resetGone ? CloseOutcome::Gone : CloseOutcome::Refused;
        std::this_thread::sleep_for(kClosePause);
    }
}

// Headers must be unprepared before the close; those still queued are the driver's
// and are left as they are (the close then refuses anyway).
CloseOutcome CloseInputHandle(midi::InHandle in, SysExBank* bank, int tries, bool resetFirst) {
    auto tryClose = [in, bank] {
        if (bank) UnprepareReturnedHeaders(in, *bank);
        return midi::InClose(in);
    };
    return CloseWithRetries(tryClose, [in] { return midi::InReset(in); }, tries, resetFirst);
}

CloseOutcome CloseOutputHandle(midi::OutHandle out, LongBuffer* parked, int tries, bool resetFirst) {
    auto tryClose = [out, parked] {
        if (parked && (midi::LoadFlags(parked->header) & midi::kMhdrDone)) midi::OutUnprepareHeader(out, &parked->header);
        return midi::OutClose(out);
    };
    return CloseWithRetries(tryClose, [out] { return midi::OutReset(out); }, tries, resetFirst);
}

template <class Held>
void GiveUp(const Held& h) {
    if (!h.kept) return;
    givenUp.push_back(GivenUp{h.kept, sizeof(*h.kept)});
    givenUpBytes += sizeof(*h.kept);
}

// One more try (reset, then close) for each held device; one that closes is forgotten
// and what it kept is freed; one the system keeps answering as gone is given up.
template <class Held, class Close>
void CloseHeld(std::vector<Held>& held, Close close) {
    const auto settled = [close](Held& h) {
        const CloseOutcome c = close(h.handle, h.kept, 1, true);
        if (c == CloseOutcome::Closed) {
            delete h.kept;
            return true;
        }
        if (c == CloseOutcome::Gone && ++h.goneAnswers >= kGoneTries) {
            GiveUp(h);
            return true;
        }
        return false;
    };
    held.erase(std::remove_if(held.begin(), held.end(), settled), held.end());
}

template <class Held>
void Hold(std::vector<Held>& held, const Held& h) {
    if (held.size() >= kMaxHeld) {
        GiveUp(held.front());
        held.erase(held.begin());
    }
    held.push_back(h);
}

void CloseHeldDevices() {
    CloseHeld(heldIn, CloseInputHandle);
    CloseHeld(heldOut, CloseOutputHandle);
}

// A device that is gone (HealRoutes) gets one try: its driver hands its buffers back
// in its own time, and the other route must not wait for it; a refused close is held
// and tried again at every later attempt, start and stop.
void CloseInput(int r, int tries = kCloseTries) {
    midi::InHandle in = routeIn[r];
    SysExBank* bank = inputBank[r];
    routeIn[r] = nullptr;
    inputBank[r] = nullptr;
    inputLost[r] = 0;
    // Stopped and reset, a held input delivers no more data; its callback may still
    // see MIM_LONGDATA or MIM_CLOSE, which only pulse the wake event (or nothing).
    const CloseOutcome c = CloseInputHandle(in, bank, tries, false);
    if (c == CloseOutcome::Closed) delete bank;
    else Hold(heldIn, HeldIn{in, bank, c == CloseOutcome::Gone ? 1 : 0});
    // Entries left behind belong to the session that just ended; a later start must
    // not send them to what may by then be another device.
    ClearRing(r);
}

// Closes opened output i, and takes it from every route that holds it.
void CloseOutputDevice(int i, int tries = kCloseTries) {
    midi::OutHandle out = routeOut[i];
    for (midi::OutHandle& h : routeOut)
        if (h == out) h = nullptr;
    std::lock_guard<std::recursive_mutex> lock(outputLock[i]);
    // The buffer in use is back (nothing is in flight once the senders are done); a
    // parked one is the device's until it closes.
    delete outputBuffer[i];
    outputBuffer[i] = nullptr;
    const CloseOutcome c = CloseOutputHandle(out, parkedBuffer[i], tries, false);
    if (c == CloseOutcome::Closed) delete parkedBuffer[i];
    else Hold(heldOut, HeldOut{out, parkedBuffer[i], c == CloseOutcome::Gone ? 1 : 0});
    parkedBuffer[i] = nullptr;
    outputUnusable[i] = 0;  // whatever opens here next is another handle
    outputLost[i] = 0;
}

void CloseOutputs() {
    for (int i = 0; i < 2; ++i)
        if (routeOut[i] && OutputIndex(i) == i) CloseOutputDevice(i);
}

void CloseRoute(int r) {
    CloseInput(r);
    if (routeOut[r]) CloseOutputDevice(OutputIndex(r));
}

// Where the backend's indices follow the list, a handle that answers to the same
// index as one the other route holds is that very device: a driver that takes several
// clients would forward one keyboard twice (or split one synth's stream). Where they do
// not, the program reopens both routes of a name instead (MissingDevices::reopenIn).
template <class Handle, class GetId>
bool SameDevice(Handle h, Handle other, GetId getId) {
    if (!other || !midi::IdsFollowRenumbering()) return false;
    uint32_t a = 0;
    uint32_t b = 0;
    return getId(h, &a) == midi::kNoError && getId(other, &b) == midi::kNoError && a == b;
}

// Opens the device chosen, else, while each refuses as held (kAllocated: the other
// route of the name, or another program), the other free devices of its name in turn.
// A handle that turns out to be the other route's device is closed again and counts
// as a refusal.
template <class Handle, class Open, class IsOthers, class Close>
bool OpenAmong(int32_t device, const std::vector<int32_t>& others, Handle* h, Open open, IsOthers isOthers, Close close) {
    *h = nullptr;
    for (size_t k = 0;; ++k) {
        const int32_t id = k == 0 ? device : others[k - 1];
        Handle got = nullptr;
        const midi::Result res = open(&got, static_cast<uint32_t>(id));
        if (res == midi::kNoError && !isOthers(got)) {
            *h = got;
            return true;
        }
        if (res == midi::kNoError) close(got);
        else if (res != midi::kAllocated) return false;
        if (k >= others.size()) return false;
    }
}

bool OpenInputHandle(int r, int32_t device, midi::InHandle* h, const std::vector<int32_t>& others = {}) {
    const midi::InCallback cb = r == 0 ? MidiInCallback1 : MidiInCallback2;
    return OpenAmong(
        device, others, h,
        [cb](midi::InHandle* got, uint32_t id) { return midi::InOpen(got, id, cb, 0, midi::kCallbackFunction); },
        [r](midi::InHandle got) { return SameDevice(got, routeIn[1 - r], midi::InGetID); },
        [](midi::InHandle got) { CloseInputHandle(got, nullptr, kCloseTries, false); });
}

// Route r's input from now on (no worker runs): the next worker gives it buffers.
void InstallInput(int r, midi::InHandle h) {
    routeIn[r] = h;
    inputLost[r] = 0;
    // Without its buffers the route still forwards short messages.
    inputBank[r] = new (std::nothrow) SysExBank;
    inputFresh[r] = true;
}

// A device that is missing is not opened at all: its old index may now be another.
bool OpenInput(int r, int32_t device, const MissingDevices& missing) {
    midi::InHandle h = nullptr;
    if (missing.in[r] || !OpenInputHandle(r, device, &h, missing.inOthers[r])) return false;
    InstallInput(r, h);
    return true;
}

// An output named by both routes is opened once, whichever route opens it first: many
// drivers take one client only, and the routes' messages to one device must be
// serialised anyway (two handles of a multi-client driver would let one route's
// message land inside the other's SysEx on the wire). Route r then holds the other
// route's handle; the route that opened it owns its lock and buffer.
bool SharesOtherOutput(int r, const KavoSettings& s) {
    const int other = 1 - r;
    return routeOut[other] && s.activeOut[0] == s.activeOut[1];
}

void ShareOtherOutput(int r) {
    const int other = 1 - r;
    sharedOutputOwner = OutputIndex(other);
    routeOut[r] = routeOut[other];
}

// An output that the other route holds by another index (not shared) is another device.
bool OpenOutputHandle(int r, const KavoSettings& s, const MissingDevices& missing, midi::OutHandle* h) {
    const bool shareable = s.activeOut[0] == s.activeOut[1];
    return OpenAmong(
        s.activeOut[r], missing.outOthers[r], h,
        [](midi::OutHandle* got, uint32_t id) { return midi::OutOpen(got, id, OutputCallback, 0); },
        [r, shareable](midi::OutHandle got) { return !shareable && SameDevice(got, routeOut[1 - r], midi::OutGetID); },
        [](midi::OutHandle got) { CloseOutputHandle(got, nullptr, kCloseTries, false); });
}

// A missing device is never shared either: its old index may be route 1's device.
bool OpenOutput(int r, const KavoSettings& s, const MissingDevices& missing) {
    if (missing.out[r]) return false;
    if (SharesOtherOutput(r, s)) {
        ShareOtherOutput(r);
        return true;
    }
    midi::OutHandle h = nullptr;
    if (!OpenOutputHandle(r, s, missing, &h)) return false;
    routeOut[r] = h;
    return true;
}

bool InsideAny(const void* p, size_t n) {
    for (int k = 0; k < 2; ++k) {
        if (InsideBlock(p, n, inputBank[k], sizeof(SysExBank))) return true;
        // The buffers change hands under the output's lock (the worker parks one).
        std::lock_guard<std::recursive_mutex> lock(outputLock[k]);
        if (InsideBlock(p, n, outputBuffer[k], sizeof(LongBuffer)) || InsideBlock(p, n, parkedBuffer[k], sizeof(LongBuffer)))
            return true;
    }
    return false;
}
}  // namespace

void SetStatusListener(void (*listener)()) { statusListener.store(listener, std::memory_order_release); }

void ClearRing(int r) {
    ringWrite[r].store(0, std::memory_order_relaxed);
    ringRead[r].store(0, std::memory_order_relaxed);
}

void MidiInCallback1(midi::InHandle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t) {
    ReceiveInput(0, msg, param1);
}

void MidiInCallback2(midi::InHandle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t) {
    ReceiveInput(1, msg, param1);
}

void StartRoutes() {
    StartStopScope scope;
    // Before the active assignment is read: it may change there.
    const MissingDevices missing = RunBeforeOpenHook(HeldDevices{});
    const KavoSettings& s = EngineSettings();
    engineRunning = 1;
    stopBegun = 0;
    for (int r = 0; r < 2; ++r) {
        ClearHeldNotes(r);
        releasePending[r] = false;
        routeWait[r] = RouteWait::None;
    }
    sharedOutputOwner = 0;
    routeIn[0] = routeIn[1] = nullptr;
    routeOut[0] = routeOut[1] = nullptr;
    // Made once and never closed: a device that keeps a buffer may call back long
    // after its session ended (a late MIM_LONGDATA or MOM_DONE), and its pulse must
    // reach this event, never a closed or reused handle. A pulse no worker waits for
    // only makes the next worker look at its work once more.
    if (!wakeEvent.Exists()) wakeEvent.Create();
    if (!longDoneEvent.Exists()) longDoneEvent.Create();
    CloseHeldDevices();  // a device we still hold would refuse the open below

    // A failure on either route leaves both closed: a half-started pair of routes
    // would play one keyboard and silently not the other. The route that failed then
    // waits for its device: the next device change brings both back.
    if (s.IsActiveRouteConfigured(0)) {
        if (!OpenInput(0, s.activeIn[0], missing)) {
            routeWait[0] = RouteWait::Input;
            platform::ShowMessageBox(kMsgCannotOpenIn1);
            return;
        }
        if (!OpenOutput(0, s, missing)) {
            CloseInput(0);
            routeWait[0] = RouteWait::Output;
            platform::ShowMessageBox(kMsgCannotOpenOut1);
            return;
        }
        midi::InStart(routeIn[0]);
    }
    if (s.IsActiveRouteConfigured(1)) {
        if (!OpenInput(1, s.activeIn[1], missing)) {
            if (routeIn[0]) CloseRoute(0);
            routeWait[1] = RouteWait::Input;
            platform::ShowMessageBox(kMsgCannotOpenIn2);
            return;
        }
        if (!OpenOutput(1, s, missing)) {
            CloseInput(1);
            if (routeIn[0]) CloseRoute(0);
            routeWait[1] = RouteWait::Output;
            platform::ShowMessageBox(kMsgCannotOpenOut2);
            return;
        }
        midi::InStart(routeIn[1]);
    }
    if ((routeIn[0] || routeIn[1]) && !workerThread.Start(RouteWorker, nullptr)) {
        for (int r = 0; r < 2; ++r) {
            if (!routeIn[r]) continue;
            midi::InStop(routeIn[r]);
            midi::InReset(routeIn[r]);
            CloseRoute(r);
        }
        platform::ShowMessageBox(kMsgCannotStart);
        return;
    }
    NotifyStatus();
}

void StopRoutes() {
    StartStopScope scope;
    // Inputs are stopped and reset before the flag is cleared: no new message
    // arrives while the worker winds down, and every queued SysEx buffer comes back.
    stopBegun = 1;
    for (int r = 0; r < 2; ++r) {
        routeWait[r] = RouteWait::None;
        if (!routeIn[r]) continue;
        midi::InStop(routeIn[r]);
        midi::InReset(routeIn[r]);
    }
    engineRunning = 0;
    if (workerThread.Exists()) {
        wakeEvent.Pulse();
        workerThread.Join();  // the pulse is never lost: the worker sees the flag at once
    }
    CloseHeldDevices();  // those kept by earlier stops; this session's own follow
    for (int r = 0; r < 2; ++r)
        if (routeIn[r]) CloseInput(r);
    // Every key still down gets its note-off where its note-on went, before the
    // sweep: a module that ignores All Sound Off still hears them end.
    for (int r = 0; r < 2; ++r) {
        std::lock_guard<std::recursive_mutex> lock(outputLock[OutputIndex(r)]);
        ReleaseHeldNotes(r);
    }
    AllSoundOff();  // once to an output both routes hold; not to one that is unusable
    CloseOutputs();
    NotifyStatus();
}

// ---- healing ---------------------------------------------------------------------------
namespace {

// A heal pauses the worker (PauseWorker) while the devices it reads change: the inputs
// stay started, their callbacks keep filling the rings and their buffers stay with the
// devices, so nothing is lost; the worker keeps a long message in flight on an output
// that stays, so the heal waits for no driver. Afterwards the worker goes on, when an
// input is open or it has work in hand; a worker again, when there was none. Should no
// thread be had, the inputs close (their routes wait) rather than fill their rings
// unread.
void ResumeWorker(bool paused) {
    const bool anyInput = routeIn[0] || routeIn[1];
    if (paused) ResumePausedWorker(!anyInput && !WorkerHasWorkInHand());
    if (!anyInput || workerThread.Exists()) return;
    if (workerThread.Start(RouteWorker, nullptr)) return;
    for (int r = 0; r < 2; ++r) {
        if (!routeIn[r]) continue;
        midi::InStop(routeIn[r]);
        midi::InReset(routeIn[r]);
        CloseInput(r);
    }
}

// A started input that answers kNoDriver to being started again is gone, whatever
// the lists say (unplugged and plugged back between two looks): starting a started
// input does nothing to a live one.
bool InputAnswers(int r) { return routeIn[r] && !Gone(midi::InStart(routeIn[r])); }

// The same for an output, with a header prepared and unprepared again: nothing reaches
// the wire. An output the worker is using now answers by that use.
midi::Header probeHeader;
char probeByte[1];
bool OutputAnswers(int i) {
    std::unique_lock<std::recursive_mutex> lock(outputLock[i], std::try_to_lock);
    if (!lock.owns_lock()) return true;
    std::memset(&probeHeader, 0, sizeof probeHeader);
    probeHeader.lpData = probeByte;
    probeHeader.dwBufferLength = sizeof probeByte;
    const midi::Result res = midi::OutPrepareHeader(routeOut[i], &probeHeader);
    if (res == midi::kNoError) midi::OutUnprepareHeader(routeOut[i], &probeHeader);
    return !Gone(res);
}

// What is about to close: route r's input (in), opened output i (out).
struct Drops {
    bool in[2] = {false, false};
    bool out[2] = {false, false};
};

// What is gone by the devices' own answers (or everything, after a sleep), before the
// program looks at the lists: what stays open is what the routes hold.
Drops FindGone(bool reopenAll) {
    Drops d;
    for (int r = 0; r < 2; ++r) {
        if (routeIn[r]) d.in[r] = reopenAll || inputLost[r] == 1 || !InputAnswers(r);
        if (routeOut[r]) {
            const int i = OutputIndex(r);
            d.out[i] = d.out[i] || reopenAll || outputLost[i] == 1 || !OutputAnswers(i);
        }
    }
    return d;
}

// What stays open, and where: a device that no longer answers to an index is gone too.
HeldDevices Held(Drops& d) {
    HeldDevices held;
    for (int r = 0; r < 2; ++r) {
        uint32_t at = 0;
        if (routeIn[r] && !d.in[r]) {
            const midi::Result res = midi::InGetID(routeIn[r], &at);
            d.in[r] = Gone(res);
            held.in[r] = !d.in[r];
            if (res == midi::kNoError) held.inAt[r] = static_cast<int32_t>(at);
        }
        const int i = OutputIndex(r);
        if (routeOut[r] && !d.out[i]) {
            const midi::Result res = midi::OutGetID(routeOut[r], &at);
            d.out[i] = Gone(res);
            held.out[r] = !d.out[i];
            if (res == midi::kNoError) held.outAt[r] = static_cast<int32_t>(at);
        }
    }
    return held;
}

// Closes what is gone, missing from the lists, or to be opened afresh. The notes route
// r's input held get their note-offs where the output still takes them; an output
// that goes takes its held notes with it.
void CloseGone(bool reopenAll, const Drops& gone, const MissingDevices& missing) {
    bool dropIn[2] = {false, false};
    bool any = false;
    for (int i = 0; i < 2; ++i) outputDropping[i] = gone.out[i];
    for (int r = 0; r < 2; ++r) {
        if (routeIn[r]) dropIn[r] = gone.in[r] || missing.in[r] || missing.reopenIn[r];
        if (routeOut[r]) {
            const int i = OutputIndex(r);
            outputDropping[i] = outputDropping[i] || missing.out[r] || missing.reopenOut[r];
        }
        any = any || dropIn[r];
    }
    any = any || outputDropping[0] || outputDropping[1];
    if (!any) return;
    const bool paused = PauseWorker();
    for (int r = 0; r < 2; ++r) {
        if (!dropIn[r]) continue;
        midi::InStop(routeIn[r]);
        midi::InReset(routeIn[r]);
        // The notes its input left sounding get their note-offs where the output still
        // takes them (forgotten otherwise); on an output the worker keeps for a long
        // message, from the worker once that message has left.
        const int i = OutputIndex(r);
        if (routeOut[r] && !outputDropping[i] && paused && WorkerKeepsOutput(i)) releasePending[r] = true;
        else ReleaseHeldNotes(r);
        CloseInput(r, 1);
        if (!reopenAll) routeWait[r] = RouteWait::Input;
    }
    for (int i = 0; i < 2; ++i) {
        if (!outputDropping[i] || !routeOut[i]) continue;
        for (int r = 0; r < 2; ++r) {
            if (!routeOut[r] || OutputIndex(r) != i) continue;
            ReleaseHeldNotes(r);
            releasePending[r] = false;
            if (!reopenAll && !dropIn[r]) routeWait[r] = RouteWait::Output;
        }
        CloseOutputDevice(i, 1);
    }
    for (int i = 0; i < 2; ++i) outputDropping[i] = false;
    ResumeWorker(paused);
}

// Opens what route r lacks. False when it still waits (routeWait says for what).
bool OpenRoute(int r, const KavoSettings& s, const MissingDevices& missing) {
    const bool needIn = !routeIn[r];
    const bool needOut = !routeOut[r];
    if (!needIn && !needOut) return true;
    if (needIn && missing.in[r]) {
        routeWait[r] = RouteWait::Input;
        return false;
    }
    if (needOut && missing.out[r]) {
        routeWait[r] = RouteWait::Output;
        return false;
    }
    const bool shares = needOut && SharesOtherOutput(r, s);
    // Opened outside the worker's hold: a driver may take its time to open.
    midi::InHandle in = nullptr;
    midi::OutHandle out = nullptr;
    if (needIn && !OpenInputHandle(r, s.activeIn[r], &in, missing.inOthers[r])) {
        routeWait[r] = RouteWait::Input;
        return false;
    }
    if (needOut && !shares && !OpenOutputHandle(r, s, missing, &out)) {
        if (in) CloseInputHandle(in, nullptr, kCloseTries, false);
        routeWait[r] = RouteWait::Output;
        return false;
    }
    const bool paused = PauseWorker();
    // Whatever sounded before went with the device it sounded on, or got its note-off
    // when the input went (or gets it from the worker, before anything new of the route).
    if (!releasePending[r]) ClearHeldNotes(r);
    if (in) InstallInput(r, in);
    if (shares) ShareOtherOutput(r);
    else if (needOut) routeOut[r] = out;
    if (in) midi::InStart(in);
    ResumeWorker(paused);
    routeWait[r] = RouteWait::None;
    return true;
}

}  // namespace

bool HealRoutes(bool reopenAll) {
    // Not inside a start or stop (a box of theirs pumps messages), nor while stopped.
    if (startStopDepth > 0) return false;
    if (engineRunning != 1) return true;
    CloseHeldDevices();  // gone devices that refused their close before
    Drops gone = FindGone(reopenAll);
    const MissingDevices missing = RunBeforeOpenHook(Held(gone));
    const KavoSettings& s = EngineSettings();
    CloseGone(reopenAll, gone, missing);
    bool allOpen = true;
    for (int r = 0; r < 2; ++r) {
        if (s.IsActiveRouteConfigured(r) && !OpenRoute(r, s, missing)) allOpen = false;
        else routeWait[r] = RouteWait::None;
    }
    NotifyStatus();
    return allOpen;
}

RouteWait RouteWaitsFor(int r) { return routeWait[r]; }

bool RouteOpen(int r) { return routeIn[r] && routeOut[r]; }

size_t BytesGivenUp() { return givenUpBytes; }

int HeldDeviceCount() { return static_cast<int>(heldIn.size() + heldOut.size()); }

size_t BytesLeftWithDevices() {
    size_t n = heldIn.size() * sizeof(SysExBank);
    for (const HeldOut& h : heldOut) n += h.kept ? sizeof(LongBuffer) : 0;
    for (LongBuffer* b : parkedBuffer) n += b ? sizeof(LongBuffer) : 0;
    return n;
}

bool InsideBlock(const void* p, size_t n, const void* block, size_t size) {
    if (!block) return false;
    const auto at = reinterpret_cast<uintptr_t>(p);
    const auto b = reinterpret_cast<uintptr_t>(block);
    return at >= b && n <= size && at - b <= size - n;
}

bool IsHeldStorage(const void* p, size_t n) {
    for (const HeldIn& h : heldIn)
        if (InsideBlock(p, n, h.kept, sizeof(SysExBank))) return true;
    for (const HeldOut& h : heldOut)
        if (InsideBlock(p, n, h.kept, sizeof(LongBuffer))) return true;
    for (const GivenUp& g : givenUp)
        if (InsideBlock(p, n, g.block, g.size)) return true;
    return false;
}

bool IsEngineStorage(const void* p, size_t n) { return InsideAny(p, n) || IsHeldStorage(p, n); }
