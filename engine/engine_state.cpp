// The lowest floor of the engine, its shared state: the settings it is bound to, the
// routes' device handles and rings, which opened output a route sends through and its
// lock, the devices' loss, the worker's thread, wake event and time-out. Every other
// file of the engine builds on it; it calls none of them.
#include <atomic>
#include <mutex>

#include "engine/engine.h"
#include "engine/engine_internal.h"

Relaxed<int32_t> engineRunning{0};
Relaxed<int32_t> stopBegun{0};
SysExBank* inputBank[2];
uint32_t inputRing[2][kRingSize];
std::atomic<uint32_t> ringWrite[2];
std::atomic<uint32_t> ringRead[2];
std::atomic<uint32_t> ringDrops[2];
platform::WorkerThread workerThread;
midi::InHandle routeIn[2] = {nullptr, nullptr};
midi::OutHandle routeOut[2] = {nullptr, nullptr};
platform::WakeEvent wakeEvent;
Relaxed<uint32_t> waitTimeout{1};
Relaxed<int32_t> inputLost[2];
Relaxed<int32_t> outputLost[2];
std::recursive_mutex outputLock[2];
Relaxed<int32_t> outputUnusable[2];
Relaxed<int32_t> sharedOutputOwner{0};
std::atomic<int32_t> outputWanted[2];

namespace {
const KavoSettings defaultSettings{};
std::atomic<const KavoSettings*> boundSettings{&defaultSettings};
std::atomic<void (*)()> lossListener{nullptr};

void NotifyLoss() {
    if (auto fn = lossListener.load(std::memory_order_acquire)) fn();
}
}  // namespace

const KavoSettings& EngineSettings() { return *boundSettings.load(std::memory_order_acquire); }

void BindEngineSettings(const KavoSettings* settings) {
    boundSettings.store(settings ? settings : &defaultSettings, std::memory_order_release);
}

void SetDeviceLossListener(void (*listener)()) { lossListener.store(listener, std::memory_order_release); }

void MarkInputLost(int r) {
    if (inputLost[r] == 1) return;
    inputLost[r] = 1;
    NotifyLoss();
}

void MarkOutputLost(int i) {
    if (outputLost[i] == 1) return;
    outputLost[i] = 1;
    NotifyLoss();
}

void WakeWorker() { wakeEvent.Pulse(); }

uint32_t EffectiveWaitTimeout() {
    const uint32_t t = waitTimeout;
    if (t < kMinWaitTimeout) return kMinWaitTimeout;
    if (t > kMaxWaitTimeout) return kMaxWaitTimeout;
    return t;
}

int OutputIndex(int route) {
    return routeOut[route] && routeOut[0] == routeOut[1] ? sharedOutputOwner.load() : route;
}

UiOutputHold::UiOutputHold(int i) : i_(i) {
    outputWanted[i].fetch_add(1, std::memory_order_relaxed);
    outputLock[i].lock();
    outputWanted[i].fetch_sub(1, std::memory_order_relaxed);
}

UiOutputHold::~UiOutputHold() { outputLock[i_].unlock(); }

void SendShortTo(int i, midi::OutHandle out, uint32_t m) {
    if (Gone(midi::OutShortMsg(out, m))) MarkOutputLost(i);
}
