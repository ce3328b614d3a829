#pragma once
// The worker thread seam: a Win32 thread in the Windows build (created suspended and
// resumed, as the engine's start-up order wants), a std::thread on the host.
#include <atomic>
#include <cstdint>
#ifndef _WIN32
#include <thread>
#endif

namespace platform {

// Registers the calling thread with the multimedia class scheduler as "Pro Audio", so
// that the system runs it ahead of ordinary work as it does audio engines' threads
// (Windows, where avrt.dll offers it). Returns what LeaveProAudioClass takes back;
// where the service is missing, or on the host, nothing happens and the thread runs
// at its normal priority.
void* JoinProAudioClass();
void LeaveProAudioClass(void* task);

class WorkerThread {
public:
    using Proc = void (*)(void* param);

    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs proc(param) on a new thread at normal priority with the default stack.
    // False when no thread could be made; nothing runs then.
    bool Start(Proc proc, void* param);
    bool Exists() const;
    // Waits until the thread has ended and releases it.
    void Join();

    // Asked by every Start before a thread is made: false makes that Start fail as on
    // a system out of threads. Null (the default) asks nothing. For the tests of a
    // start that cannot make its worker.
    using StartGate = bool (*)();
    static void SetStartGate(StartGate gate);

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    std::thread thread_;
#endif
};

}  // namespace platform
