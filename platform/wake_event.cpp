#include "platform/wake_event.h"

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace platform {

WakeEvent::WakeEvent() = default;
WakeEvent::~WakeEvent() {
    DisablePrecise();
    Close();
}

#ifdef _WIN32

// An auto-reset event: SetEvent on an event nobody waits for leaves it signalled, so
// the worker's next wait returns at once instead of sleeping a whole time-out.
bool WakeEvent::Create() {
    HANDLE h = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!h) return false;
    handle_.store(h, std::memory_order_release);
    return true;
}

void WakeEvent::Close() {
    HANDLE h = handle_.exchange(nullptr, std::memory_order_acq_rel);
    if (h) CloseHandle(h);
}

bool WakeEvent::Exists() const { return handle_.load(std::memory_order_acquire) != nullptr; }

// The flag says whether a pulse is pending since the waiter last took one. A pulse
// that finds it set needs no SetEvent: either the event is still set, or the waiter is
// awake and has yet to clear the flag, after which it looks at its work anyway. The
// waiter clears the flag each time it comes back, so the next pulse sets the event
// again. The exchanges order the caller's writes (a ring entry) before the waiter's
// reads.
void WakeEvent::Pulse() {
    HANDLE h = handle_.load(std::memory_order_acquire);
    if (h && !pending_.exchange(true, std::memory_order_acq_rel)) SetEvent(h);
}

bool WakeEvent::TryConsume() {
    HANDLE h = handle_.load(std::memory_order_acquire);
    if (!h || !pending_.exchange(false, std::memory_order_acq_rel)) return false;
    WaitForSingleObject(h, 0);  // takes the signal that pulse left on the event
    return true;
}

namespace {

// Not in the headers for the Windows versions this program still starts on.
constexpr DWORD kCreateWaitableTimerHighResolution = 0x2;  // Windows 10 1803 and later
constexpr int kProcessPowerThrottling = 4;                 // PROCESS_INFORMATION_CLASS
constexpr ULONG kPowerThrottlingCurrentVersion = 1;
constexpr ULONG kPowerThrottlingIgnoreTimerResolution = 0x4;
struct PowerThrottlingState {
    ULONG Version;
    ULONG ControlMask;
    ULONG StateMask;
};

// Windows 11 ignores the timer resolution a process asks for while all its windows are
// hidden, which this program's always are, unless the process says that it needs it.
// SetProcessInformation exists from Windows 8 on, the class from Windows 10 1709;
// where either is missing there is no throttling to opt out of.
void OptOutOfTimerResolutionThrottling() {
    using SetInfo = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto set = kernel ? reinterpret_cast<SetInfo>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")))
                      : nullptr;
    if (!set) return;
    PowerThrottlingState state = {kPowerThrottlingCurrentVersion, kPowerThrottlingIgnoreTimerResolution, 0};
    set(GetCurrentProcess(), kProcessPowerThrottling, &state, sizeof state);
}

// A relative due time of ms milliseconds, in the timer's 100 ns units.
LARGE_INTEGER DueIn(uint32_t ms) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return due;
}

}  // namespace

PreciseWait WakeEvent::EnablePrecise() {
    if (precise_ != PreciseWait::Off) return precise_.load();
    // A high-resolution timer fires within about a millisecond without changing the
    // resolution of the whole system. Older systems refuse the flag.
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
    if (timer_) {
        precise_ = PreciseWait::HighResolutionTimer;
    } else {
        OptOutOfTimerResolutionThrottling();
        precise_ = timeBeginPeriod(1) == TIMERR_NOERROR ? PreciseWait::RaisedResolution : PreciseWait::Off;
    }
    return precise_.load();
}

void WakeEvent::DisablePrecise() {
    if (precise_ == PreciseWait::RaisedResolution) timeEndPeriod(1);
    if (timer_) CloseHandle(timer_);
    timer_ = nullptr;
    precise_ = PreciseWait::Off;
}

bool WakeEvent::Wait(uint32_t timeoutMs) {
    if (TryConsume()) return true;
    const bool pulsed = WaitUntilPulseOrTimeOut(timeoutMs);
    // Whatever ended the wait, the waiter now looks at its work: a pulse until here
    // needs no second wake (its signal, if still on the event, only makes the next
    // wait return at once). An exchange, not a store: reading the flag a pulse set
    // makes that pulse's writes visible to the work that follows.
    pending_.exchange(false, std::memory_order_acq_rel);
    return pulsed;
}

bool WakeEvent::WaitUntilPulseOrTimeOut(uint32_t timeoutMs) {
    HANDLE h = handle_.load(std::memory_order_acquire);
    if (h && timer_ && timeoutMs > 0 && timeoutMs != kForever) {
        // Re-arming resets the timer, so a due time left over from a wait that the
        // event ended early cannot end this one.
        const LARGE_INTEGER due = DueIn(timeoutMs);
        if (SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
            HANDLE both[2] = {h, timer_};
            // The coarse time-out only guards against a timer that never fires.
            return WaitForMultipleObjects(2, both, FALSE, timeoutMs + 20) == WAIT_OBJECT_0;
        }
    }
    if (h) return WaitForSingleObject(h, timeoutMs == kForever ? INFINITE : timeoutMs) == WAIT_OBJECT_0;
    // No event to wait for: nothing could ever end a wait for ever.
    Sleep(timeoutMs == kForever ? 1 : timeoutMs);
    return false;
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

// Futex waits end within microseconds of their time-out here: nothing to raise.
PreciseWait WakeEvent::EnablePrecise() {
    precise_ = PreciseWait::Native;
    return PreciseWait::Native;
}

void WakeEvent::DisablePrecise() { precise_ = PreciseWait::Off; }

bool WakeEvent::Wait(uint32_t timeoutMs) {
    if (signalled_.exchange(0, std::memory_order_acquire) != 0) return true;
    timespec ts;
    ts.tv_sec = timeoutMs / 1000;
    ts.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    // Sleeps only while the word is still 0; a pulse between the exchange above and
    // this call makes it return at once.
    Futex(&signalled_, FUTEX_WAIT_PRIVATE, 0, timeoutMs == kForever ? nullptr : &ts);
    return signalled_.exchange(0, std::memory_order_acquire) != 0;
}

#endif

}  // namespace platform
