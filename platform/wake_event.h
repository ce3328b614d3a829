#pragma once
// The worker's wake-up. Pulse() may be called from a MIDI input callback: it takes no
// lock and allocates nothing (one atomic exchange and, when the worker may be asleep,
// one system call). Unlike PulseEvent, a pulse that comes while the worker is busy is
// kept until its next Wait(), which then returns at once; a wake is never lost, so a
// message never waits a whole time-out in its ring.
#include <atomic>
#include <cstdint>

namespace platform {

// A wait with no time-out (the system's INFINITE).
constexpr uint32_t kForever = 0xFFFFFFFF;

// How precise a WakeEvent's timed waits are while precise waiting is on.
enum class PreciseWait {
    Off,                  // the system's own timed waits (Windows: until the next clock
                          // interrupt, about 15.6 ms by default)
    Native,               // the system's timed waits are precise anyway (the host)
    HighResolutionTimer,  // Windows 10 1803 and later: a high-resolution waitable timer
                          // waited on with the event; the system's resolution is untouched
    RaisedResolution,     // older Windows: timeBeginPeriod(1) while on, with the opt-out
                          // from Windows 11's throttling of it for hidden processes
};

class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    bool Create();          // false when the system has no event to give
    void Close();           // after Close, Pulse does nothing
    bool Exists() const;
    void Pulse();
    // Returns when pulsed (or a pulse is pending) or after timeoutMs milliseconds
    // (kForever: only when pulsed); true when a pulse ended it.
    bool Wait(uint32_t timeoutMs);
    // Takes a pending pulse without waiting; false when there is none.
    bool TryConsume();

    // Precise waiting, for a waiter that keeps time: while on, Wait ends within about
    // a millisecond of its time-out also where the system's timed waits are coarse.
    // It costs power (a raised resolution, or a timer armed at every wait), so the
    // waiter turns it on only while it keeps time. Called from the waiting thread only.
    PreciseWait EnablePrecise();
    void DisablePrecise();
    // Readable from any thread (the state is the waiter's).
    PreciseWait Precise() const { return precise_.load(std::memory_order_relaxed); }

private:
    std::atomic<PreciseWait> precise_{PreciseWait::Off};
#ifdef _WIN32
    bool WaitUntilPulseOrTimeOut(uint32_t timeoutMs);
#endif
#ifdef _WIN32
    std::atomic<void*> handle_{nullptr};
    // A pulse is pending (the event was set and the waiter has not taken it yet):
    // further pulses make no system call, which under a flood of input would be one
    // per message.
    std::atomic<bool> pending_{false};
    void* timer_ = nullptr;
#else
    std::atomic<uint32_t> signalled_{0};
    std::atomic<bool> exists_{false};
#endif
};

}  // namespace platform
