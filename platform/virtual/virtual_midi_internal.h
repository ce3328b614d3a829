#pragma once
// The virtual devices' private state: the devices (InPort, OutPort), their open
// handles (InOpening, OutOpening) and the helpers the files of platform/virtual share.
// The contract is in virtual_midi.h; only platform/virtual/*.cpp include this.
#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>

#include "platform/cp932.h"
#include "platform/relaxed.h"
#include "platform/virtual/virtual_midi.h"

namespace midi {

namespace virtual_internal {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCallbackTypeMask = 0x70000;  // CALLBACK_TYPEMASK

// What a fed event asks of the delivery thread.
constexpr uint8_t kShortEvent = 0;        // MIM_DATA
constexpr uint8_t kLongEvent = 1;         // system-exclusive bytes into queued buffers
constexpr uint8_t kEmptyBufferEvent = 2;  // the next queued buffer back with no bytes
constexpr uint8_t kLongPartEvent = 3;     // system-exclusive bytes of a message that goes on

// A fed message waiting for the delivery thread. Long data lives in a byte store
// beside the queue, so feeding a short message allocates nothing once the queue has
// grown to its working size.
struct InEvent {
    size_t offset;
    size_t length;
    uint32_t msg;
    uint32_t generation;  // the start it was fed under; a later start must not see it
    uint8_t kind;
};

// One recorded output event; long data lives in the port's shared byte store.
struct RecEntry {
    int64_t timeNs;
    size_t offset;
    size_t length;
    uint32_t msg;
    bool isLong;
};

struct PendingLong {
    Clock::time_point deadline;
    Header* hdr;
};

// Names may be code-page-932 text, cut to the field without half a character.
inline void CopyName(const std::string& s, char (&name)[kNameSize]) { Cp932CopyCut(name, s.c_str(), kNameSize - 1); }

inline bool HeaderArgOk(const Header* hdr, uint32_t size) { return hdr != nullptr && size >= sizeof(Header); }

inline uintptr_t TokenOf(const void* h) { return reinterpret_cast<uintptr_t>(h); }

// The headers prepared on one device, inputs and outputs alike: preparing and
// unpreparing set the header's flag and keep the count that tests read. Storing the
// flags of a header the device may hold would race with the device's own store, so a
// prepared header is left alone, and a queued one is still the device's.
class PreparedHeaders {
public:
    void Prepare(Header* hdr, uint32_t flags) {
        StoreFlags(*hdr, flags | kMhdrPrepared);
        std::lock_guard<std::mutex> g(mu_);
        headers_.insert(hdr);
    }
    Result Unprepare(Header* hdr) {
        const uint32_t f = LoadFlags(*hdr);
        if (f & kMhdrInQueue) return kStillPlaying;
        if (!(f & kMhdrPrepared)) return kNoError;
        StoreFlags(*hdr, f & ~kMhdrPrepared);
        std::lock_guard<std::mutex> g(mu_);
        headers_.erase(hdr);
        return kNoError;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> g(mu_);
        return headers_.size();
    }

private:
    mutable std::mutex mu_;
    std::unordered_set<const Header*> headers_;
};

// Whether a device takes one more opening: its scripted refusal, else kAllocated when
// it takes one client only and has it.
template <class Port>
Result Admission(const Port& port) {
    const Result refusal = port.openResult;
    if (refusal != kNoError) return refusal;
    return port.exclusive && port.openCount > 0 ? kAllocated : kNoError;
}

// An opening joins its device, and leaves it at its close; a removed device's handles
// left it when it went. The caller holds VirtualMidi::mu_.
template <class Port, class Opening>
void JoinPort(Port& port, Opening* o) {
    port.openings.push_back(o);
    ++port.openCount;
    ++port.opensTotal;
}
template <class Opening>
void LeavePort(Opening* o) {
    if (o->gone) return;
    auto& port = *o->port;
    port.openings.erase(std::find(port.openings.begin(), port.openings.end(), o));
    --port.openCount;
}

// Waits, holding lk on the opening's mutex, until idle() holds; counted, so that what
// makes the opening idle knows to signal it.
template <class Opening, class Idle>
void WaitIdle(Opening& o, std::unique_lock<std::mutex>& lk, Idle idle) {
    ++o.idleWaiters;
    o.idle.wait(lk, idle);
    --o.idleWaiters;
}

// Where a device is listed now, or kNoDriver when it is not listed (removed).
template <class Port>
Result ListedAt(const std::vector<Port*>& list, const Port* port, uint32_t* id) {
    const auto it = std::find(list.begin(), list.end(), port);
    if (it == list.end()) return kNoDriver;
    *id = static_cast<uint32_t>(it - list.begin());
    return kNoError;
}

}  // namespace virtual_internal

using namespace virtual_internal;

struct VirtualMidi::InPort {
    std::string name;
    Relaxed<Result> openResult{kNoError};
    Relaxed<Result> closeResult{kNoError};
    Relaxed<Result> capsResult{kNoError};
    Relaxed<bool> exclusive{true};
    Relaxed<bool> holdsBuffers{false};
    Relaxed<bool> emptyAfterExactFill{false};

    // Guarded by VirtualMidi::mu_.
    std::vector<InOpening*> openings;
    int openCount = 0;
    uint64_t opensTotal = 0;

    std::atomic<uint64_t> dropShort{0};
    std::atomic<uint64_t> dropSysEx{0};
    std::atomic<uint64_t> dropSysExBytes{0};

    PreparedHeaders prepared;

    std::atomic<bool> logOn{false};
    mutable std::mutex logMu;
    std::vector<int64_t> log;
    size_t logCapacity = 0;

    void CountDrop(const InEvent& e, size_t bytesLost) {
        if (e.kind == kLongEvent || e.kind == kLongPartEvent) {
            dropSysEx.fetch_add(1, std::memory_order_relaxed);
            dropSysExBytes.fetch_add(bytesLost, std::memory_order_relaxed);
        } else if (e.kind == kShortEvent) {
            dropShort.fetch_add(1, std::memory_order_relaxed);
        }
    }
};

struct VirtualMidi::OutPort {
    std::string name;
    Relaxed<Result> openResult{kNoError};
    Relaxed<Result> closeResult{kNoError};
    std::atomic<int> unprepareStillPlaying{0};
    Relaxed<Result> capsResult{kNoError};
    Relaxed<bool> exclusive{false};
    Relaxed<int64_t> delayUs{0};
    Relaxed<int64_t> usPerByte{0};  // cable-speed long sends when not zero
    Relaxed<bool> holdsLong{false};
    Relaxed<bool> strictPrepare{false};  // dwFlags must be zero to prepare

    // Guarded by VirtualMidi::mu_.
    std::vector<OutOpening*> openings;
    int openCount = 0;
    uint64_t opensTotal = 0;

    mutable std::mutex recMu;
    mutable std::condition_variable recCv;
    mutable int recWaiters = 0;
    std::vector<RecEntry> rec;
    std::vector<uint8_t> recBytes;

    PreparedHeaders prepared;
};

struct VirtualMidi::InOpening {
    InPort* port = nullptr;
    uintptr_t token = 0;
    uint32_t openedAt = 0;  // the index it was opened at (what winmm's InGetID gives)
    InCallback cb = nullptr;
    uintptr_t instance = 0;
    std::thread thread;

    std::mutex mu;
    std::condition_variable work;  // data fed, or closing
    std::condition_variable idle;  // busy cleared
    bool started = false;
    bool busy = false;     // a header is being filled or a callback runs, on busyThread
    std::thread::id busyThread;
    bool closing = false;
    // The device was removed: written under VirtualMidi::mu_ and this mutex, so
    // either lock reads it.
    bool gone = false;
    bool silent = false;  // open across a resume: delivers nothing any more
    int idleWaiters = 0;
    uint32_t generation = 0;
    Clock::time_point startTime;
    std::vector<InEvent> pending;
    std::vector<uint8_t> pendingBytes;
    size_t undelivered = 0;  // events fed and not yet delivered (pending or in a batch)
    std::deque<Header*> queue;
    // Bytes of a system-exclusive message still arriving, for the front queued buffer;
    // written into it when it is handed back.
    std::vector<uint8_t> held;

    InHandle Handle() const { return reinterpret_cast<InHandle>(token); }
    uint32_t StampMs() const {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime).count());
    }
    void DropPending() {
        for (const InEvent& e : pending) port->CountDrop(e, e.length);
        undelivered -= pending.size();
        pending.clear();
        pendingBytes.clear();
    }
    // True on the thread that runs this handle's callback right now: there a stop
    // must not wait for the callback to return, and a close cannot end the thread.
    bool InsideCallback() const { return busy && busyThread == std::this_thread::get_id(); }
    void BeginBusy(std::thread::id who) {
        busy = true;
        busyThread = who;
    }
    void EndBusy() {
        busy = false;
        if (idleWaiters > 0) idle.notify_all();
    }
};

struct VirtualMidi::OutOpening {
    OutPort* port = nullptr;
    uintptr_t token = 0;
    uint32_t openedAt = 0;
    OutCallback cb = nullptr;
    uintptr_t instance = 0;
    std::mutex mu;
    std::condition_variable cv;    // the completion thread's: a send, a hold let go, closing
    std::condition_variable idle;  // calling fell to zero
    std::deque<PendingLong> pending;
    // Callbacks running or owed, on any thread. Counted under mu before the done flag
    // they report is stored, so that an application that sees the flag and then
    // closes the handle finds them counted and waits for them.
    int calling = 0;
    int idleWaiters = 0;
    bool closing = false;
    // The device was removed. Written under VirtualMidi::mu_ and this mutex; atomic
    // because a short send looks at it under the handle table's lock alone.
    std::atomic<bool> gone{false};
    std::thread completer;  // started with the first late send

    OutHandle Handle() const { return reinterpret_cast<OutHandle>(token); }
    void EndCall() {
        if (--calling == 0 && idleWaiters > 0) idle.notify_all();
    }
};

}  // namespace midi
