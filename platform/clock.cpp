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

uint32_t MillisFromCounter(uint64_t counter, uint64_t frequency) {
    if (frequency == 0) return 0;
    // Whole seconds and the rest apart: counter * 1000 would overflow after about
    // 58 years of a 10 MHz counter, and much sooner on a counter that runs at the
    // processor's clock.
    return static_cast<uint32_t>((counter / frequency) * 1000 + (counter % frequency) * 1000 / frequency);
}

uint32_t TickCount() {
    if (testClockOn.load(std::memory_order_acquire)) return testClockValue.load(std::memory_order_relaxed);
#ifdef _WIN32
    // The frequency is fixed at boot and the same on every processor (Windows XP and
    // later take care of that), so one reading serves the whole run.
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) ? static_cast<uint64_t>(f.QuadPart) : 0;
    }();
    LARGE_INTEGER c;
    if (frequency == 0 || !QueryPerformanceCounter(&c)) return GetTickCount();
    return MillisFromCounter(static_cast<uint64_t>(c.QuadPart), frequency);
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
