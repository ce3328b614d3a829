#pragma once
// The worker's wake-up. Pulse() may be called from a MIDI input callback: it takes no
// lock and allocates nothing (one atomic exchange and, when the worker may be asleep,
// one system call). Unlike PulseEvent, a pulse that comes while the worker is busy is
// kept until its next Wait(), which then returns at once; a wake is never lost, so a
// message never waits a whole time-out in its ring.
#include <atomic>
#include <cstdint>

namespace platform {

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
    // Returns when pulsed (or a pulse is pending) or after timeoutMs milliseconds.
    void Wait(uint32_t timeoutMs);
    // Takes a pending pulse without waiting; false when there is none.
    bool TryConsume();

private:
#ifdef _WIN32
    std::atomic<void*> handle_{nullptr};
#else
    std::atomic<uint32_t> signalled_{0};
    std::atomic<bool> exists_{false};
#endif
};

}  // namespace platform
