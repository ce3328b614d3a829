#include "platform/clock.h"

#include <atomic>
#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#endif

namespace platform {
namespace {
std::atomic<bool> testClockOn{false};
std::atomic<uint32_t> testClockValue{0};
}  // namespace

uint32_t TickCount() {
    if (testClockOn.load(std::memory_order_acquire)) return testClockValue.load(std::memory_order_relaxed);
#ifdef _WIN32
    return GetTickCount();
#else
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
#endif
}

void SetTestClock(uint32_t ms) {
    testClockValue.store(ms, std::memory_order_relaxed);
    testClockOn.store(true, std::memory_order_release);
}

void ClearTestClock() { testClockOn.store(false, std::memory_order_release); }

}  // namespace platform
