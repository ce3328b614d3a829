// Route start and stop, and the input callbacks that fill the rings.
#include <atomic>

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

void CloseInput(int r) {
    midi::InClose(routeIn[r]);
    routeIn[r] = nullptr;
    // Entries left behind belong to the session that just ended; a later start must
    // not send them to what may by then be another device.
    ClearRing(r);
}

void CloseRoute(int r) {
    CloseInput(r);
    midi::OutClose(routeOut[r]);
    routeOut[r] = nullptr;
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
    for (int r = 0; r < 2; ++r)
        if (routeIn[r]) CloseInput(r);
    AllSoundOff();
    for (int r = 0; r < 2; ++r) {
        if (!routeOut[r]) continue;
        midi::OutClose(routeOut[r]);
        routeOut[r] = nullptr;
    }
    NotifyStatus();
}

uint32_t EffectiveWaitTimeout() {
    const uint32_t t = waitTimeout;
    if (t < kMinWaitTimeout) return kMinWaitTimeout;
    if (t > kMaxWaitTimeout) return kMaxWaitTimeout;
    return t;
}
