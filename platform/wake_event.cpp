#include "platform/wake_event.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace platform {

WakeEvent::WakeEvent() = default;
WakeEvent::~WakeEvent() { Close(); }

#ifdef _WIN32

// An auto-reset event: SetEvent on an event nobody waits for leaves it signalled, so
// the worker's next wait returns at once instead of sleeping a whole time-out.
bool WakeEvent::Create() {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!h) return false;
    handle_.store(h, std::memory_order_release);
    return true;
}

void WakeEvent::Close() {
    HANDLE h = handle_.exchange(nullptr, std::memory_order_acq_rel);
    if (h) CloseHandle(h);
}

bool WakeEvent::Exists() const { return handle_.load(std::memory_order_acquire) != nullptr; }

void WakeEvent::Pulse() {
    HANDLE h = handle_.load(std::memory_order_acquire);
    if (h) SetEvent(h);
}

bool WakeEvent::TryConsume() {
    HANDLE h = handle_.load(std::memory_order_acquire);
    return h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
}

void WakeEvent::Wait(uint32_t timeoutMs) {
    HANDLE h = handle_.load(std::memory_order_acquire);
    if (h) WaitForSingleObject(h, timeoutMs);
    else Sleep(timeoutMs);
}

#else

// A futex word: 1 = a pulse is pending. The waker sets it and wakes; the waiter
// consumes it. No mutex, so a MIDI callback never blocks behind the worker.
namespace {
long Futex(std::atomic<uint32_t>* word, int op, uint32_t val, const timespec* timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, val, timeout, nullptr, 0);
}
}  // namespace

bool WakeEvent::Create() {
    signalled_.store(0, std::memory_order_relaxed);
    exists_.store(true, std::memory_order_release);
    return true;
}

void WakeEvent::Close() { exists_.store(false, std::memory_order_release); }

bool WakeEvent::Exists() const { return exists_.load(std::memory_order_acquire); }

void WakeEvent::Pulse() {
    if (!exists_.load(std::memory_order_acquire)) return;
    if (signalled_.exchange(1, std::memory_order_release) == 0)
        Futex(&signalled_, FUTEX_WAKE_PRIVATE, 1, nullptr);
}

bool WakeEvent::TryConsume() { return signalled_.exchange(0, std::memory_order_acquire) != 0; }

void WakeEvent::Wait(uint32_t timeoutMs) {
    if (signalled_.exchange(0, std::memory_order_acquire) != 0) return;
    timespec ts;
    ts.tv_sec = timeoutMs / 1000;
    ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    // Sleeps only while the word is still 0; a pulse between the exchange above and
    // this call makes it return at once.
    Futex(&signalled_, FUTEX_WAIT_PRIVATE, 0, &ts);
    signalled_.exchange(0, std::memory_order_acquire);
}

#endif

}  // namespace platform
