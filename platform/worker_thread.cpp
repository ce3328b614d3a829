#include "platform/worker_thread.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {
namespace {
std::atomic<WorkerThread::StartGate> startGate{nullptr};

bool MayStart() {
    const WorkerThread::StartGate gate = startGate.load();
    return !gate || gate();
}

struct StartBlock {
    WorkerThread::Proc proc;
    void* param;
};
}  // namespace

void WorkerThread::SetStartGate(StartGate gate) { startGate.store(gate); }

WorkerThread::~WorkerThread() { Join(); }

#ifdef _WIN32

namespace {
DWORD WINAPI ThreadMain(LPVOID arg) {
    StartBlock block = *static_cast<StartBlock*>(arg);
    delete static_cast<StartBlock*>(arg);
    block.proc(block.param);
    return 0;  // the worker's exit code
}
}  // namespace

namespace {
// avrt.dll is loaded at run time: it is missing from some stripped-down systems, and
// the program must start there as well.
using AvSetMmThreadCharacteristicsFn = HANDLE(WINAPI*)(LPCWSTR, LPDWORD);
using AvRevertMmThreadCharacteristicsFn = BOOL(WINAPI*)(HANDLE);

template <class Fn>
Fn AvrtFunction(const char* name) {
    static HMODULE avrt = LoadLibraryW(L"avrt.dll");
    return avrt ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(avrt, name))) : nullptr;
}
}  // namespace

void* JoinProAudioClass() {
    auto set = AvrtFunction<AvSetMmThreadCharacteristicsFn>("AvSetMmThreadCharacteristicsW");
    DWORD taskIndex = 0;
    return set ? set(L"Pro Audio", &taskIndex) : nullptr;
}

void LeaveProAudioClass(void* task) {
    auto revert = AvrtFunction<AvRevertMmThreadCharacteristicsFn>("AvRevertMmThreadCharacteristics");
    if (task && revert) revert(static_cast<HANDLE>(task));
}

bool WorkerThread::Start(Proc proc, void* param) {
    if (!MayStart()) return false;
    auto* block = new StartBlock{proc, param};
    HANDLE h = CreateThread(nullptr, 0, ThreadMain, block, CREATE_SUSPENDED, nullptr);
    if (!h) {
        delete block;
        return false;
    }
    handle_ = h;
    ResumeThread(h);
    return true;
}

bool WorkerThread::Exists() const { return handle_ != nullptr; }

void WorkerThread::Join() {
    if (!handle_) return;
    WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
    CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

#else

void* JoinProAudioClass() { return nullptr; }
void LeaveProAudioClass(void*) {}

bool WorkerThread::Start(Proc proc, void* param) {
    if (!MayStart()) return false;
    try {
        thread_ = std::thread([proc, param] { proc(param); });
    } catch (...) {
        return false;
    }
    return true;
}

bool WorkerThread::Exists() const { return thread_.joinable(); }

void WorkerThread::Join() {
    if (thread_.joinable()) thread_.join();
}

#endif

}  // namespace platform
