// The worker's timing: how long it may wait while the metronome plays (from a frozen
// clock), the millisecond count taken from a performance counter, precise waiting
// only while the metronome plays, and system-exclusive input waking the worker
// without waiting for its time-out.
#include <chrono>
#include <thread>

#include "tests/engine_test_support.h"

namespace {

TEST(WorkerWaitTest, EndsWhenTheNextTickFallsDueOrAtTheTimeOut) {
    struct Case {
        const char* what;
        uint32_t now, lastTick;
        bool metronome;
        int32_t tempo;
        uint32_t timeout, wait;
    };
    const Case cases[] = {
        {"metronome off: the time-out", 10500, 10000, false, 120, 100, 100},
        {"off, a tick long overdue: still the time-out", 90000, 10000, false, 120, 7, 7},
        {"due now (501 ms after the last at 120)", 10501, 10000, true, 120, 100, 0},
        {"long overdue", 60000, 10000, true, 120, 100, 0},
        {"exactly one interval: due in 1 ms", 10500, 10000, true, 120, 100, 1},
        {"due in 3 ms", 10498, 10000, true, 120, 100, 3},
        {"due in 3 ms, time-out 1", 10498, 10000, true, 120, 1, 1},
        {"just ticked", 10000, 10000, true, 120, 100, 100},
        {"just ticked at 250: 241 ms to go", 10000, 10000, true, 250, 1000, 241},
        {"tick count about to wrap", 0xFFFFFFF0u, 0xFFFFFF00u, true, 120, 1000, 261},
        {"tick count wrapped since the last tick", 0x10u, 0xFFFFFF00u, true, 120, 1000, 229},
        {"mTempo 0 from the registry plays at 30", 11000, 10000, true, 0, 5000, 1001},
        {"mTempo 900 plays at 250", 10000, 10000, true, 900, 5000, 241},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(WorkerWait(c.now, c.lastTick, c.metronome, c.tempo, c.timeout), c.wait);
    }
}

TEST(ClockTest, MillisecondsFromAPerformanceCounter) {
    struct Case {
        uint64_t counter, frequency;
        uint32_t ms;
    };
    const Case cases[] = {
        {0, 10000000, 0},
        {12345678, 10000000, 1234},          // 10 MHz, the usual frequency
        {9999, 10000000, 0},                 // under a millisecond
        {3000000000ull * 3600, 3000000000ull, 3600000},  // an hour of a 3 GHz counter
        // 4294968 s: past 2^32 ms, where GetTickCount wraps too
        {10000000ull * 4294968, 10000000, static_cast<uint32_t>(4294968000ull - 4294967296ull)},
        // a counter near its end at 3 GHz: counter * 1000 would overflow 64 bits
        {9000000000000000000ull, 3000000000ull, static_cast<uint32_t>(3000000000000ull % 4294967296ull)},
        {1000, 0, 0},                        // no counter
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.counter) + " at " + std::to_string(c.frequency) + " Hz");
        EXPECT_EQ(platform::MillisFromCounter(c.counter, c.frequency), c.ms);
    }
}

TEST(WakeEventTest, PreciseWaitingTellsItsKindAndWaitsTellWhatEndedThem) {
    platform::WakeEvent e;
    ASSERT_TRUE(e.Create());
    EXPECT_EQ(e.Precise(), platform::PreciseWait::Off);
#ifdef _WIN32
    // Wine accepts the high-resolution flag, as Windows 10 1803 and later do.
    EXPECT_EQ(e.EnablePrecise(), platform::PreciseWait::HighResolutionTimer);
#else
    EXPECT_EQ(e.EnablePrecise(), platform::PreciseWait::Native);
#endif
    EXPECT_FALSE(e.Wait(2));  // the time-out
    e.Pulse();
    EXPECT_TRUE(e.Wait(60000));  // a pending pulse ends it at once
    e.DisablePrecise();
    EXPECT_EQ(e.Precise(), platform::PreciseWait::Off);
    EXPECT_FALSE(e.Wait(1));
    e.Pulse();
    EXPECT_TRUE(e.Wait(60000));
}

class WorkerTiming : public EngineOnModels {
protected:
    template <class Pred>
    bool WaitFor(Pred pred) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
};

TEST_P(WorkerTiming, AnIdleWorkerSleepsAndWaitsPreciselyOnlyWhileTheMetronomePlays) {
    Assign(0, 0, 0);
    StartRoutes();
    ASSERT_TRUE(routeIn[0]);
    dev.SendShort(0, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    // Idle: no wake-up at all, and nothing asked of the system that costs power. A
    // worker that woke every millisecond would show some 200 here.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t idle = workerWakeups.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(workerWakeups.load(), idle);
    EXPECT_EQ(wakeEvent.Precise(), platform::PreciseWait::Off);
    metronomeOn = 1;
    WakeWorker();
    EXPECT_TRUE(WaitFor([] { return wakeEvent.Precise() != platform::PreciseWait::Off; }));
    metronomeOn = 0;
    WakeWorker();
    EXPECT_TRUE(WaitFor([] { return wakeEvent.Precise() == platform::PreciseWait::Off; }));
    metronomeOn = 1;
    WakeWorker();
    ASSERT_TRUE(WaitFor([] { return wakeEvent.Precise() != platform::PreciseWait::Off; }));
    StopRoutes();  // the worker gives it back when it ends
    EXPECT_EQ(wakeEvent.Precise(), platform::PreciseWait::Off);
}

TEST_P(WorkerTiming, SystemExclusiveInputWakesAWorkerWithALongTimeOut) {
    waitTimeout = kMaxWaitTimeout;
    Assign(0, 0, 0);
    StartRoutes();
    WaitForSysExBuffers(0);
    const uint8_t gm[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    for (int i = 0; i < 5; ++i) {
        // Only system-exclusive data arrives, no short message: if the long-data
        // notification did not wake the worker, every wait until the data leaves would
        // run to its time-out.
        const uint64_t wakes = workerWakeups.load();
        const uint64_t timeouts = workerTimeouts.load();
        ASSERT_TRUE(dev.SendSysEx(0, gm, sizeof gm));
        ASSERT_TRUE(dev.WaitForOutEvents(0, static_cast<size_t>(i + 1), kWait));
        ASSERT_TRUE(WaitFor([&] { return workerWakeups.load() > wakes; }));
        EXPECT_GT(workerWakeups.load() - wakes, workerTimeouts.load() - timeouts) << "message " << i;
    }
    EXPECT_EQ(LongMessages(0).size(), 5u);
}

KAVO_ON_BOTH_MODELS(WorkerTiming);

}  // namespace
