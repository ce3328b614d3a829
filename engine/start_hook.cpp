// What the program does first whenever the routes start (routes follow their devices
// by name there): kept apart from the engine, which only calls it.
#include <atomic>

#include "engine/engine.h"
#include "engine/engine_internal.h"

namespace {
std::atomic<void (*)()> beforeStart{nullptr};
}  // namespace

void SetBeforeStartHook(void (*hook)()) { beforeStart.store(hook, std::memory_order_release); }

void RunBeforeStartHook() {
    if (auto hook = beforeStart.load(std::memory_order_acquire)) hook();
}
