// Route start and stop, and the input callbacks that fill the rings.
#include <atomic>
#include <chrono>
#include <thread>

#include "engine/engine.h"
#include "engine/engine_internal.h"
#include "platform/message_box.h"

Relaxed<int32_t> engineRunning{0};
midi::InHandle routeIn[2] = {nullptr, nullptr};
midi::OutHandle routeOut[2] = {nullptr, nullptr};
uint32_t inputRing[2][kRingSize];
std::atomic<uint32_t> ringWrite[2];
std::atomic<uint32_t> ringRead[2];
std::atomic<uint32_t> ringDrops[2];
platform::WakeEvent wakeEvent;
platform::WorkerThread workerThread;
Relaxed<uint32_t> waitTimeout{1};

const char* const kMsgCannotOpenIn1 = "MIDI-IN1をオープンできません。";
const char* const kMsgCannotOpenOut1 = "MIDI-OUT1をオープンできません。";
const char* const kMsgCannotOpenIn2 = "MIDI-IN2をオープンできません。";
const char* const kMsgCannotOpenOut2 = "MIDI-OUT2をオープンできません。";
const char* const kMsgCannotStart = "MIDI KAVOを開始できません。";

namespace {
const KavoSettings defaultSettings{};
std::atomic<const KavoSettings*> boundSettings{&defaultSettings};
std::atomic<void (*)()> statusListener{nullptr};

void NotifyStatus() {
    if (auto fn = statusListener.load(std::memory_order_acquire)) fn();
}

// The body of both input callbacks. It runs on the system's callback thread and must
// stay small: one store, one index update, one wake; no lock, no allocation.
inline void CaptureShortMessage(int r, uint32_t msg, uintptr_t param1) {
    // A system-exclusive buffer came back filled: the worker takes it from its headers
    // (the notification stores nothing), but without a wake it would wait for its
    // time-out first, up to 15.6 ms on Windows.
    if (msg == midi::kMimLongData) {
        wakeEvent.Pulse();
        return;
    }
    if (msg != midi::kMimData) return;  // open/close/error: not ours
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
    wakeEvent.Pulse();
}

// ---- closing, and devices that refuse it ----------------------------------------
// winmm refuses to close a device that still has buffers of ours queued (still
// playing): a driver that did not return them on reset. Dropping such a handle would
// leave the device open until the program ends, so that every later start fails to
// open it, and would leave our buffers with it. Instead the close is tried again after
// another reset, a few times within a short deadline (StopRoutes runs on the
// user-interface thread); a device that still refuses is held, with the storage it
// keeps, and tried once more (reset, then close) at every later StartRoutes, before
// anything is opened, and StopRoutes. A start that finds the device still refusing
// cannot open it again, and says so, as for any device that cannot be opened.
//
// The held lists are the user-interface thread's alone. When one is full (drivers
// wedged in more sessions than it holds), a further refusing handle is not tried again,
// but the storage it keeps stays reserved: the memory is never given to anyone else
// while a device may touch it.
constexpr int kCloseTries = 5;
constexpr auto kCloseDeadline = std::chrono::milliseconds(200);
constexpr auto kClosePause = std::chrono::milliseconds(20);
constexpr int kHeldHandles = 4;

midi::InHandle heldIn[kHeldHandles];
struct HeldOut {
    midi::OutHandle handle;
    int route;  // whose slots it may hold
};
HeldOut heldOut[kHeldHandles];

// A close that is refused is tried again after a reset, which asks the driver once
// more for what it still holds. The first try of a session's own close goes without
// one: StopRoutes has reset the inputs already, and an output reset would send the
// device note-offs it does not need.
template <class TryClose, class Reset>
bool CloseWithRetries(TryClose tryClose, Reset reset, int tries, bool resetFirst) {
    const auto deadline = std::chrono::steady_clock::now() + kCloseDeadline;
    for (int i = 0;; ++i) {
        if (i > 0 || resetFirst) reset();
        if (tryClose()) return true;
        if (i + 1 >= tries || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kClosePause);
    }
}

// A handle the system does not know is no device of ours any more: nothing is left
// to close, and nothing can touch what it was given.
bool Closed(midi::Result res) { return res == midi::kNoError || res == midi::kInvalHandle; }

bool CloseInputHandle(midi::InHandle in, int tries, bool resetFirst) {
    auto tryClose = [in] {
        SysExBank* bank = BankOf(in);
        // Headers must be unprepared before the close; those still queued are the
        // driver's and are left as they are (the close then refuses anyway).
        if (bank) UnprepareReturnedHeaders(in, *bank);
        if (!Closed(midi::InClose(in))) return false;
        if (bank) bank->owner = nullptr;  // closed: the driver can no longer touch it
        return true;
    };
    return CloseWithRetries(tryClose, [in] { midi::InReset(in); }, tries, resetFirst);
}

bool CloseOutputHandle(int r, midi::OutHandle out, int tries, bool resetFirst) {
    auto tryClose = [r, out] {
        ReleaseParkedHeaders(r, out, false);
        if (!Closed(midi::OutClose(out))) return false;
        ReleaseParkedHeaders(r, out, true);
        return true;
    };
    return CloseWithRetries(tryClose, [out] { midi::OutReset(out); }, tries, resetFirst);
}

void HoldInput(midi::InHandle in) {
    for (midi::InHandle& h : heldIn) {
        if (h) continue;
        h = in;
        return;
    }
}

void HoldOutput(midi::OutHandle out, int r) {
    for (HeldOut& h : heldOut) {
        if (h.handle) continue;
        h = HeldOut{out, r};
        return;
    }
}

void CloseHeldDevices() {
    for (midi::InHandle& h : heldIn)
        if (h && CloseInputHandle(h, 1, true)) h = nullptr;
    for (HeldOut& h : heldOut)
        if (h.handle && CloseOutputHandle(h.route, h.handle, 1, true)) h.handle = nullptr;
}

void CloseInput(int r) {
    midi::InHandle in = routeIn[r];
    routeIn[r] = nullptr;
    // Stopped and reset, a held input delivers no more data; its callback may still
    // see MIM_LONGDATA or MIM_CLOSE, which only pulse the wake event (or nothing).
    if (!CloseInputHandle(in, kCloseTries, false)) HoldInput(in);
    // Entries left behind belong to the session that just ended; a later start must
    // not send them to what may by then be another device.
    ClearRing(r);
}

void CloseOutput(int r) {
    midi::OutHandle out = routeOut[r];
    routeOut[r] = nullptr;
    if (out && !CloseOutputHandle(r, out, kCloseTries, false)) HoldOutput(out, r);
    outputUnusable[r] = 0;  // whatever opens on this route next is another handle
}

void CloseRoute(int r) {
    CloseInput(r);
    CloseOutput(r);
}

bool OpenInput(int r, int32_t device) {
    midi::InHandle h = nullptr;
    const midi::InCallback cb = r == 0 ? MidiInCallback1 : MidiInCallback2;
    if (midi::InOpen(&h, static_cast<uint32_t>(device), cb, 0, midi::kCallbackFunction) != midi::kNoError) return false;
    routeIn[r] = h;
    return true;
}

bool OpenOutput(int r, int32_t device) {
    midi::OutHandle h = nullptr;
    if (midi::OutOpen(&h, static_cast<uint32_t>(device)) != midi::kNoError) return false;
    routeOut[r] = h;
    return true;
}
}  // namespace

const KavoSettings& EngineSettings() { return *boundSettings.load(std::memory_order_acquire); }

void BindEngineSettings(const KavoSettings* settings) {
    boundSettings.store(settings ? settings : &defaultSettings, std::memory_order_release);
}

void SetStatusListener(void (*listener)()) { statusListener.store(listener, std::memory_order_release); }

void ClearRing(int r) {
    ringWrite[r].store(0, std::memory_order_relaxed);
    ringRead[r].store(0, std::memory_order_relaxed);
}

void MidiInCallback1(midi::InHandle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t) {
    CaptureShortMessage(0, msg, param1);
}

void MidiInCallback2(midi::InHandle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t) {
    CaptureShortMessage(1, msg, param1);
}

void StartRoutes() {
    RunBeforeStartHook();  // before the active assignment is read: it may change there
    const KavoSettings& s = EngineSettings();
    engineRunning = 1;
    routeIn[0] = routeIn[1] = nullptr;
    routeOut[0] = routeOut[1] = nullptr;
    CloseHeldDevices();  // a device we still hold would refuse the open below

    // A failure on either route leaves both closed: a half-started pair of routes
    // would play one keyboard and silently not the other.
    if (s.IsActiveRouteConfigured(0)) {
        if (!OpenInput(0, s.activeIn[0])) {
            platform::ShowMessageBox(kMsgCannotOpenIn1);
            return;
        }
        if (!OpenOutput(0, s.activeOut[0])) {
            CloseInput(0);
            platform::ShowMessageBox(kMsgCannotOpenOut1);
            return;
        }
        midi::InStart(routeIn[0]);
    }
    if (s.IsActiveRouteConfigured(1)) {
        if (!OpenInput(1, s.activeIn[1])) {
            if (routeIn[0]) CloseRoute(0);
            platform::ShowMessageBox(kMsgCannotOpenIn2);
            return;
        }
        if (!OpenOutput(1, s.activeOut[1])) {
            CloseInput(1);
            if (routeIn[0]) CloseRoute(0);
            platform::ShowMessageBox(kMsgCannotOpenOut2);
            return;
        }
        midi::InStart(routeIn[1]);
    }
    if (routeIn[0] || routeIn[1]) {
        // The event exists before the worker's first wait. Input has already started,
        // so a callback may pulse before the event exists: its entry waits in the
        // ring and the worker finds it after its first wait.
        wakeEvent.Create();
        if (!workerThread.Start(RouteWorker, nullptr)) {
            wakeEvent.Close();
            for (int r = 0; r < 2; ++r) {
                if (!routeIn[r]) continue;
                midi::InStop(routeIn[r]);
                midi::InReset(routeIn[r]);
                CloseRoute(r);
            }
            platform::ShowMessageBox(kMsgCannotStart);
            return;
        }
    }
    NotifyStatus();
}

void StopRoutes() {
    const bool anyInput = routeIn[0] || routeIn[1];
    // Inputs are stopped and reset before the flag is cleared: no new message
    // arrives while the worker winds down, and every queued SysEx buffer comes back.
    for (int r = 0; r < 2; ++r) {
        if (!routeIn[r]) continue;
        midi::InStop(routeIn[r]);
        midi::InReset(routeIn[r]);
    }
    engineRunning = 0;
    if (anyInput) {
        wakeEvent.Pulse();
        workerThread.Join();  // the worker sees the flag within one wait at most
        wakeEvent.Close();
    }
    CloseHeldDevices();  // those kept by earlier stops; this session's own follow
    for (int r = 0; r < 2; ++r)
        if (routeIn[r]) CloseInput(r);
    AllSoundOff();  // not to an output that is unusable
    for (int r = 0; r < 2; ++r)
        if (routeOut[r]) CloseOutput(r);
    NotifyStatus();
}

int HeldDeviceCount() {
    int n = 0;
    for (midi::InHandle h : heldIn) n += h != nullptr;
    for (const HeldOut& h : heldOut) n += h.handle != nullptr;
    return n;
}

uint32_t EffectiveWaitTimeout() {
    const uint32_t t = waitTimeout;
    if (t < kMinWaitTimeout) return kMinWaitTimeout;
    if (t > kMaxWaitTimeout) return kMaxWaitTimeout;
    return t;
}
