// What the program does first whenever the routes open (routes follow their devices
// by name there), and the benchmark's stage stamps: kept apart from the engine, which
// only calls them.
#include <atomic>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {
std::atomic<MissingDevices (*)(const HeldDevices&)> beforeOpen{nullptr};
}  // namespace

std::atomic<void (*)(EngineStage, int, uint32_t)> stageHook{nullptr};

void SetStageHook(void (*hook)(EngineStage, int, uint32_t)) { stageHook.store(hook, std::memory_order_relaxed); }

void SetBeforeOpenHook(MissingDevices (*hook)(const HeldDevices&)) { beforeOpen.store(hook, std::memory_order_release); }

MissingDevices RunBeforeOpenHook(const HeldDevices& held) {
    if (auto hook = beforeOpen.load(std::memory_order_acquire)) return hook(held);
    return MissingDevices{};
}
