#include "platform/virtual/virtual_midi.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/relaxed.h"

namespace midi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCallbackTypeMask = 0x70000;  // CALLBACK_TYPEMASK
constexpr size_t kInitialEvents = 1024;
constexpr size_t kInitialBytes = 4096;
constexpr size_t kInitialRecord = 4096;

// A fed message waiting for the delivery thread. Long data lives in a byte store
// beside the queue, so feeding a short message allocates nothing once the queue has
// grown to its working size.
struct InEvent {
    size_t offset;
    size_t length;
    uint32_t msg;
    uint32_t generation;  // the start it was fed under; a later start must not see it
    bool isLong;
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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool SplitNames(const std::string& value, std::vector<std::string>* names) {
    names->clear();
    if (Trim(value).empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t comma = value.find(',', start);
        std::string name = Trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (name.empty() || name.find('=') != std::string::npos) return false;
        names->push_back(std::move(name));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// Names may be code-page-932 text; a cut must not keep the lead byte of a
// double-byte character without its second byte.
bool IsCp932Lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

void CopyName(const std::string& s, char (&name)[kNameSize]) {
    size_t n = 0;
    while (n < s.size()) {
        size_t w = (IsCp932Lead(static_cast<unsigned char>(s[n])) && n + 1 < s.size()) ? 2 : 1;
        if (n + w > kNameSize - 1) break;
        n += w;
    }
    std::memcpy(name, s.data(), n);
    name[n] = '\0';
}

bool HeaderArgOk(const Header* hdr, uint32_t size) { return hdr != nullptr && size >= sizeof(Header); }

uintptr_t TokenOf(const void* h) { return reinterpret_cast<uintptr_t>(h); }

}  // namespace

struct VirtualMidi::InPort {
    std::string name;
    Relaxed<Result> openResult{kNoError};
    Relaxed<Result> capsResult{kNoError};
    Relaxed<bool> exclusive{true};
    Relaxed<bool> holdsBuffers{false};

    // Guarded by VirtualMidi::mu_.
    std::vector<InOpening*> openings;
    int openCount = 0;
    uint64_t opensTotal = 0;

    std::atomic<uint64_t> dropShort{0};
    std::atomic<uint64_t> dropSysEx{0};
    std::atomic<uint64_t> dropSysExBytes{0};

    mutable std::mutex prepMu;
    std::unordered_set<const Header*> prepared;

    std::atomic<bool> logOn{false};
    mutable std::mutex logMu;
    std::vector<int64_t> log;
    size_t logCapacity = 0;

    void CountDrop(const InEvent& e, size_t bytesLost) {
        if (e.isLong) {
            dropSysEx.fetch_add(1, std::memory_order_relaxed);
            dropSysExBytes.fetch_add(bytesLost, std::memory_order_relaxed);
        } else {
            dropShort.fetch_add(1, std::memory_order_relaxed);
        }
    }
};

struct VirtualMidi::OutPort {
    std::string name;
    Relaxed<Result> openResult{kNoError};
    Relaxed<Result> capsResult{kNoError};
    Relaxed<bool> exclusive{false};
    Relaxed<int64_t> delayUs{0};
    Relaxed<bool> holdsLong{false};

    // Guarded by VirtualMidi::mu_.
    std::vector<OutOpening*> openings;
    int openCount = 0;
    uint64_t opensTotal = 0;

    mutable std::mutex recMu;
    mutable std::condition_variable recCv;
    mutable int recWaiters = 0;
    std::vector<RecEntry> rec;
    std::vector<uint8_t> recBytes;

    mutable std::mutex prepMu;
    std::unordered_set<const Header*> prepared;
};

struct VirtualMidi::InOpening {
    InPort* port = nullptr;
    uintptr_t token = 0;
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
    int idleWaiters = 0;
    uint32_t generation = 0;
    Clock::time_point startTime;
    std::vector<InEvent> pending;
    std::vector<uint8_t> pendingBytes;
    std::deque<Header*> queue;

    InHandle Handle() const { return reinterpret_cast<InHandle>(token); }
    uint32_t StampMs() const {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - startTime).count());
    }
    void DropPending() {
        for (const InEvent& e : pending) port->CountDrop(e, e.length);
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
    std::mutex mu;
    std::condition_variable cv;
    std::deque<PendingLong> pending;
    bool closing = false;
    std::thread completer;  // started with the first late send
};

// ---- configuration ----------------------------------------------------------------

bool VirtualMidi::ParseConfig(const char* text, Config* out) {
    if (text == nullptr || out == nullptr) return false;
    Config c;
    bool seenIn = false;
    bool seenOut = false;
    const std::string s(text);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t semi = s.find(';', pos);
        std::string section = s.substr(pos, semi == std::string::npos ? std::string::npos : semi - pos);
        pos = semi == std::string::npos ? s.size() + 1 : semi + 1;
        if (Trim(section).empty()) continue;
        size_t eq = section.find('=');
        if (eq == std::string::npos) return false;
        const std::string key = Trim(section.substr(0, eq));
        std::vector<std::string>* list;
        bool* seen;
        if (key == "in") {
            list = &c.inputs;
            seen = &seenIn;
        } else if (key == "out") {
            list = &c.outputs;
            seen = &seenOut;
        } else {
            return false;
        }
        if (*seen) return false;
        *seen = true;
        if (!SplitNames(section.substr(eq + 1), list)) return false;
    }
    *out = std::move(c);
    return true;
}

VirtualMidi::VirtualMidi(Config config) {
    for (std::string& name : config.inputs) {
        inPorts_.push_back(std::make_unique<InPort>());
        inPorts_.back()->name = std::move(name);
    }
    for (std::string& name : config.outputs) {
        auto port = std::make_unique<OutPort>();
        port->name = std::move(name);
        port->rec.reserve(kInitialRecord);
        outPorts_.push_back(std::move(port));
    }
}

VirtualMidi::~VirtualMidi() {
    std::vector<std::shared_ptr<InOpening>> ins;
    std::vector<std::shared_ptr<OutOpening>> outs;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto& kv : inOpen_) ins.push_back(kv.second);
        for (auto& kv : outOpen_) outs.push_back(kv.second);
        inOpen_.clear();
        std::lock_guard<std::mutex> t(outTableMu_);
        outOpen_.clear();
        for (auto& p : inPorts_) p->openings.clear();
        for (auto& p : outPorts_) p->openings.clear();
    }
    for (auto& o : ins) {
        {
            std::lock_guard<std::mutex> lk(o->mu);
            o->closing = true;
            o->started = false;
            for (Header* hdr : o->queue) {
                hdr->dwBytesRecorded = 0;
                StoreFlags(*hdr, (LoadFlags(*hdr) & ~kMhdrInQueue) | kMhdrDone);
            }
            o->queue.clear();
            o->work.notify_all();
        }
        if (o->thread.joinable()) o->thread.join();
    }
    for (auto& o : outs) {
        {
            std::lock_guard<std::mutex> lk(o->mu);
            for (const PendingLong& p : o->pending) StoreFlags(*p.hdr, (LoadFlags(*p.hdr) & ~kMhdrInQueue) | kMhdrDone);
            o->pending.clear();
            o->closing = true;
            o->cv.notify_all();
        }
        if (o->completer.joinable()) o->completer.join();
    }
}

int64_t VirtualMidi::NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::shared_ptr<VirtualMidi::InOpening> VirtualMidi::FindIn(InHandle h) const {
    std::lock_guard<std::mutex> g(mu_);
    auto it = inOpen_.find(TokenOf(h));
    return it == inOpen_.end() ? nullptr : it->second;
}

std::shared_ptr<VirtualMidi::OutOpening> VirtualMidi::FindOut(OutHandle h) const {
    std::lock_guard<std::mutex> g(outTableMu_);
    auto it = outOpen_.find(TokenOf(h));
    return it == outOpen_.end() ? nullptr : it->second;
}

// ---- input ------------------------------------------------------------------------

uint32_t VirtualMidi::InGetNumDevs() { return static_cast<uint32_t>(inPorts_.size()); }

Result VirtualMidi::InGetDevCaps(uint32_t id, char (&name)[kNameSize]) {
    if (id >= inPorts_.size()) return kBadDeviceId;
    Result r = inPorts_[id]->capsResult;
    if (r != kNoError) return r;
    CopyName(inPorts_[id]->name, name);
    return kNoError;
}

Result VirtualMidi::InOpen(InHandle* handle, uint32_t id, InCallback cb, uintptr_t instance, uint32_t flags) {
    if (handle == nullptr) return kInvalParam;
    if (id >= inPorts_.size()) return kBadDeviceId;
    if ((flags & kCallbackTypeMask) != kCallbackFunction) return kInvalFlag;
    if (cb == nullptr) return kInvalParam;
    InPort& port = *inPorts_[id];
    Result refusal = port.openResult;
    if (refusal != kNoError) return refusal;

    auto o = std::make_shared<InOpening>();
    o->port = &port;
    o->cb = cb;
    o->instance = instance;
    o->pending.reserve(kInitialEvents);
    o->pendingBytes.reserve(kInitialBytes);
    {
        std::lock_guard<std::mutex> g(mu_);
        if (port.exclusive && port.openCount > 0) return kAllocated;
        o->token = nextToken_;
        nextToken_ += 0x10;
        // std::thread reports a system out of threads by throwing; this call
        // reports it as winmm would, as a result.
        try {
            o->thread = std::thread(&VirtualMidi::DeliveryLoop, this, o.get());
        } catch (const std::system_error&) {
            return kNoMem;
        }
        inOpen_[o->token] = o;
        port.openings.push_back(o.get());
        ++port.openCount;
        ++port.opensTotal;
    }
    *handle = o->Handle();
    cb(*handle, kMimOpen, instance, 0, 0);
    return kNoError;
}

Result VirtualMidi::InStart(InHandle h) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    std::lock_guard<std::mutex> lk(o->mu);
    if (o->closing) return kInvalHandle;
    if (!o->started) {
        o->started = true;
        ++o->generation;
        o->startTime = Clock::now();
    }
    return kNoError;
}

Result VirtualMidi::StopOpening(InOpening& o, bool reset) {
    std::unique_lock<std::mutex> lk(o.mu);
    const bool self = o.InsideCallback();
    o.started = false;
    o.DropPending();
    // A callback that stops its own device must not wait for itself; every other
    // caller waits until the running callback (if any) has returned.
    if (!self) {
        ++o.idleWaiters;
        o.idle.wait(lk, [&] { return !o.busy; });
        --o.idleWaiters;
    }
    // A wedged driver stops but keeps its buffers.
    if (!reset || o.port->holdsBuffers) return kNoError;

    std::deque<Header*> back;
    back.swap(o.queue);
    const uintptr_t stamp = o.StampMs();
    // Busy while the headers go back, so that a stop or close from a third thread
    // waits for these callbacks too.
    if (!self) o.BeginBusy(std::this_thread::get_id());
    lk.unlock();
    for (Header* hdr : back) {
        hdr->dwBytesRecorded = 0;
        StoreFlags(*hdr, (LoadFlags(*hdr) & ~kMhdrInQueue) | kMhdrDone);
        o.cb(o.Handle(), kMimLongData, o.instance, reinterpret_cast<uintptr_t>(hdr), stamp);
    }
    if (!self) {
        lk.lock();
        o.EndBusy();
    }
    return kNoError;
}

Result VirtualMidi::InStop(InHandle h) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    return StopOpening(*o, false);
}

Result VirtualMidi::InReset(InHandle h) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    return StopOpening(*o, true);
}

Result VirtualMidi::InClose(InHandle h) {
    std::shared_ptr<InOpening> o;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = inOpen_.find(TokenOf(h));
        if (it == inOpen_.end()) return kInvalHandle;
        o = it->second;
        std::lock_guard<std::mutex> lk(o->mu);
        if (o->InsideCallback()) return kError;
        if (!o->queue.empty()) return kStillPlaying;
        o->closing = true;
        o->started = false;
        o->DropPending();
        o->work.notify_all();
        inOpen_.erase(it);
        InPort& port = *o->port;
        port.openings.erase(std::find(port.openings.begin(), port.openings.end(), o.get()));
        --port.openCount;
    }
    // The delivery thread ends once a callback it is running has returned; joining
    // it, and waiting for a reset that hands headers back on another thread, is what
    // makes the stop guarantee hold for close.
    {
        std::unique_lock<std::mutex> lk(o->mu);
        ++o->idleWaiters;
        o->idle.wait(lk, [&] { return !o->busy; });
        --o->idleWaiters;
    }
    o->thread.join();
    o->cb(h, kMimClose, o->instance, 0, 0);
    return kNoError;
}

Result VirtualMidi::InPrepareHeader(InHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size) || hdr->lpData == nullptr) return kInvalParam;
    uint32_t f = LoadFlags(*hdr);
    // Storing the flags of a header the device may hold would race with the device's
    // own store; a prepared header is left alone.
    if (f & kMhdrPrepared) return kNoError;
    StoreFlags(*hdr, f | kMhdrPrepared);
    std::lock_guard<std::mutex> g(o->port->prepMu);
    o->port->prepared.insert(hdr);
    return kNoError;
}

Result VirtualMidi::InUnprepareHeader(InHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    uint32_t f = LoadFlags(*hdr);
    if (f & kMhdrInQueue) return kStillPlaying;
    if (!(f & kMhdrPrepared)) return kNoError;
    StoreFlags(*hdr, f & ~kMhdrPrepared);
    std::lock_guard<std::mutex> g(o->port->prepMu);
    o->port->prepared.erase(hdr);
    return kNoError;
}

Result VirtualMidi::InAddBuffer(InHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    std::lock_guard<std::mutex> lk(o->mu);
    if (o->closing) return kInvalHandle;
    uint32_t f = LoadFlags(*hdr);
    if (!(f & kMhdrPrepared)) return kUnprepared;
    if (f & kMhdrInQueue) return kStillPlaying;
    if (hdr->lpData == nullptr || hdr->dwBufferLength == 0) return kInvalParam;
    hdr->dwBytesRecorded = 0;
    StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
    o->queue.push_back(hdr);
    return kNoError;
}

bool VirtualMidi::FeedIn(uint32_t inId, bool isLong, uint32_t msg, const uint8_t* bytes, size_t n) {
    if (inId >= inPorts_.size()) return false;
    InPort& port = *inPorts_[inId];
    bool reached = false;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (InOpening* o : port.openings) {
            std::lock_guard<std::mutex> lk(o->mu);
            if (!o->started) continue;
            InEvent e{o->pendingBytes.size(), n, msg, o->generation, isLong};
            if (isLong) o->pendingBytes.insert(o->pendingBytes.end(), bytes, bytes + n);
            o->pending.push_back(e);
            // The delivery thread sleeps only on an empty queue.
            if (o->pending.size() == 1) o->work.notify_one();
            reached = true;
        }
    }
    if (!reached) port.CountDrop(InEvent{0, n, msg, 0, isLong}, n);
    return reached;
}

bool VirtualMidi::SendShort(uint32_t inId, uint32_t packedMsg) { return FeedIn(inId, false, packedMsg, nullptr, 0); }

bool VirtualMidi::SendSysEx(uint32_t inId, const uint8_t* bytes, size_t n) {
    if (bytes == nullptr || n == 0) return false;
    return FeedIn(inId, true, 0, bytes, n);
}

void VirtualMidi::DeliveryLoop(InOpening* o) {
    InPort& port = *o->port;
    const InHandle h = o->Handle();
    const std::thread::id self = std::this_thread::get_id();
    std::vector<InEvent> batch;
    std::vector<uint8_t> bytes;
    batch.reserve(kInitialEvents);
    bytes.reserve(kInitialBytes);

    std::unique_lock<std::mutex> lk(o->mu);
    for (;;) {
        o->work.wait(lk, [&] { return o->closing || !o->pending.empty(); });
        if (o->closing) break;
        // Swapping keeps both vectors' capacity, so steady feeding allocates nothing.
        batch.swap(o->pending);
        bytes.swap(o->pendingBytes);
        for (const InEvent& e : batch) {
            if (!o->started || e.generation != o->generation) {
                port.CountDrop(e, e.length);
                continue;
            }
            if (!e.isLong) {
                const uintptr_t stamp = o->StampMs();
                o->BeginBusy(self);
                lk.unlock();
                const bool logging = port.logOn.load(std::memory_order_relaxed);
                const int64_t calledAt = logging ? NowNs() : 0;
                o->cb(h, kMimData, o->instance, e.msg, stamp);
                if (logging) {
                    std::lock_guard<std::mutex> g(port.logMu);
                    if (port.log.size() < port.logCapacity) port.log.push_back(calledAt);
                }
                lk.lock();
                o->EndBusy();
                continue;
            }
            size_t done = 0;
            while (done < e.length) {
                if (!o->started || e.generation != o->generation || o->queue.empty()) {
                    port.CountDrop(e, e.length - done);
                    break;
                }
                Header* hdr = o->queue.front();
                o->queue.pop_front();
                const uintptr_t stamp = o->StampMs();
                o->BeginBusy(self);
                lk.unlock();
                const size_t chunk = std::min<size_t>(e.length - done, hdr->dwBufferLength);
                std::memcpy(hdr->lpData, bytes.data() + e.offset + done, chunk);
                hdr->dwBytesRecorded = static_cast<uint32_t>(chunk);
                // The application polls the flags and reads the bytes once it sees
                // done, so the flags go last, with release.
                StoreFlags(*hdr, (LoadFlags(*hdr) & ~kMhdrInQueue) | kMhdrDone);
                o->cb(h, kMimLongData, o->instance, reinterpret_cast<uintptr_t>(hdr), stamp);
                lk.lock();
                o->EndBusy();
                done += chunk;
            }
        }
        batch.clear();
        bytes.clear();
    }
    for (const InEvent& e : o->pending) port.CountDrop(e, e.length);
}

// ---- output -----------------------------------------------------------------------

uint32_t VirtualMidi::OutGetNumDevs() { return static_cast<uint32_t>(outPorts_.size()); }

Result VirtualMidi::OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) {
    if (id >= outPorts_.size()) return kBadDeviceId;
    Result r = outPorts_[id]->capsResult;
    if (r != kNoError) return r;
    CopyName(outPorts_[id]->name, name);
    return kNoError;
}

Result VirtualMidi::OutOpen(OutHandle* handle, uint32_t id, OutCallback, uintptr_t) {
    if (handle == nullptr) return kInvalParam;
    if (id >= outPorts_.size()) return kBadDeviceId;
    OutPort& port = *outPorts_[id];
    Result refusal = port.openResult;
    if (refusal != kNoError) return refusal;
    auto o = std::make_shared<OutOpening>();
    o->port = &port;
    std::lock_guard<std::mutex> g(mu_);
    if (port.exclusive && port.openCount > 0) return kAllocated;
    o->token = nextToken_;
    nextToken_ += 0x10;
    {
        std::lock_guard<std::mutex> t(outTableMu_);
        outOpen_[o->token] = o;
    }
    port.openings.push_back(o.get());
    ++port.openCount;
    ++port.opensTotal;
    *handle = reinterpret_cast<OutHandle>(o->token);
    return kNoError;
}

Result VirtualMidi::OutClose(OutHandle h) {
    std::shared_ptr<OutOpening> o;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = outOpen_.find(TokenOf(h));
        if (it == outOpen_.end()) return kInvalHandle;
        o = it->second;
        std::lock_guard<std::mutex> lk(o->mu);
        if (!o->pending.empty()) return kStillPlaying;
        o->closing = true;
        o->cv.notify_all();
        {
            std::lock_guard<std::mutex> t(outTableMu_);
            outOpen_.erase(it);
        }
        OutPort& port = *o->port;
        port.openings.erase(std::find(port.openings.begin(), port.openings.end(), o.get()));
        --port.openCount;
    }
    if (o->completer.joinable()) o->completer.join();
    return kNoError;
}

Result VirtualMidi::OutReset(OutHandle h) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    std::lock_guard<std::mutex> lk(o->mu);
    // A wedged driver says it reset and keeps its buffers.
    if (o->port->holdsLong) return kNoError;
    for (const PendingLong& p : o->pending) StoreFlags(*p.hdr, (LoadFlags(*p.hdr) & ~kMhdrInQueue) | kMhdrDone);
    o->pending.clear();
    return kNoError;
}

void VirtualMidi::Record(OutPort& port, bool isLong, uint32_t msg, const uint8_t* bytes, size_t n, Header* done) {
    std::lock_guard<std::mutex> g(port.recMu);
    // Stamped under the lock, so the record's times never go backwards.
    RecEntry e{NowNs(), port.recBytes.size(), n, msg, isLong};
    if (isLong && n > 0) port.recBytes.insert(port.recBytes.end(), bytes, bytes + n);
    port.rec.push_back(e);
    // Done only after the bytes are copied (the caller may reuse them at once), and
    // before a waiter can see the event, so that whoever sees a long send recorded
    // also finds its header done.
    if (done) StoreFlags(*done, (LoadFlags(*done) & ~kMhdrInQueue) | kMhdrDone);
    if (port.recWaiters > 0) port.recCv.notify_all();
}

Result VirtualMidi::OutShortMsg(OutHandle h, uint32_t msg) {
    OutPort* port;
    {
        std::lock_guard<std::mutex> g(outTableMu_);
        auto it = outOpen_.find(TokenOf(h));
        if (it == outOpen_.end()) return kInvalHandle;
        port = it->second->port;
    }
    Record(*port, false, msg, nullptr, 0, nullptr);
    return kNoError;
}

Result VirtualMidi::OutPrepareHeader(OutHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size) || hdr->lpData == nullptr) return kInvalParam;
    uint32_t f = LoadFlags(*hdr);
    if (f & kMhdrPrepared) return kNoError;
    StoreFlags(*hdr, f | kMhdrPrepared);
    std::lock_guard<std::mutex> g(o->port->prepMu);
    o->port->prepared.insert(hdr);
    return kNoError;
}

Result VirtualMidi::OutUnprepareHeader(OutHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    uint32_t f = LoadFlags(*hdr);
    if (f & kMhdrInQueue) return kStillPlaying;
    if (!(f & kMhdrPrepared)) return kNoError;
    StoreFlags(*hdr, f & ~kMhdrPrepared);
    std::lock_guard<std::mutex> g(o->port->prepMu);
    o->port->prepared.erase(hdr);
    return kNoError;
}

void VirtualMidi::CompleteLong(OutPort& port, Header* hdr) {
    Record(port, true, 0, reinterpret_cast<const uint8_t*>(hdr->lpData), hdr->dwBufferLength, hdr);
}

Result VirtualMidi::OutLongMsg(OutHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    uint32_t f = LoadFlags(*hdr);
    if (!(f & kMhdrPrepared)) return kUnprepared;
    if (f & kMhdrInQueue) return kStillPlaying;
    if (hdr->lpData == nullptr) return kInvalParam;
    OutPort& port = *o->port;
    const int64_t delayUs = port.delayUs;

    std::lock_guard<std::mutex> lk(o->mu);
    if (o->closing) return kInvalHandle;
    // Sends complete in the order they were made, so one made at once after the
    // delay was switched off still waits for the late ones before it.
    if (delayUs <= 0 && o->pending.empty() && !port.holdsLong) {
        StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
        CompleteLong(port, hdr);
        return kNoError;
    }
    if (!o->completer.joinable()) {
        try {
            o->completer = std::thread(&VirtualMidi::CompletionLoop, this, o.get());
        } catch (const std::system_error&) {
            StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
            CompleteLong(port, hdr);
            return kNoError;
        }
    }
    Clock::time_point deadline = Clock::now() + std::chrono::microseconds(std::max<int64_t>(delayUs, 0));
    if (!o->pending.empty()) deadline = std::max(deadline, o->pending.back().deadline);
    StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
    o->pending.push_back(PendingLong{deadline, hdr});
    o->cv.notify_all();
    return kNoError;
}

void VirtualMidi::CompletionLoop(OutOpening* o) {
    std::unique_lock<std::mutex> lk(o->mu);
    while (!o->closing) {
        // SetOutHoldsLong notifies when it lets go.
        if (o->pending.empty() || o->port->holdsLong) {
            o->cv.wait(lk);
            continue;
        }
        const Clock::time_point deadline = o->pending.front().deadline;
        if (Clock::now() < deadline) {
            o->cv.wait_until(lk, deadline);
            continue;
        }
        Header* hdr = o->pending.front().hdr;
        o->pending.pop_front();
        // Completed under the opening's mutex, so that once OutReset or OutClose
        // has the mutex, no completion is half done.
        CompleteLong(*o->port, hdr);
    }
}

// ---- knobs ------------------------------------------------------------------------

void VirtualMidi::SetInOpenResult(uint32_t id, Result result) {
    if (id < inPorts_.size()) inPorts_[id]->openResult = result;
}
void VirtualMidi::SetOutOpenResult(uint32_t id, Result result) {
    if (id < outPorts_.size()) outPorts_[id]->openResult = result;
}
void VirtualMidi::SetInExclusive(uint32_t id, bool exclusive) {
    if (id < inPorts_.size()) inPorts_[id]->exclusive = exclusive;
}
void VirtualMidi::SetOutExclusive(uint32_t id, bool exclusive) {
    if (id < outPorts_.size()) outPorts_[id]->exclusive = exclusive;
}
void VirtualMidi::SetOutLongDelay(uint32_t id, std::chrono::microseconds delay) {
    if (id < outPorts_.size()) outPorts_[id]->delayUs = static_cast<int64_t>(delay.count());
}
void VirtualMidi::SetOutHoldsLong(uint32_t id, bool hold) {
    if (id >= outPorts_.size()) return;
    OutPort& port = *outPorts_[id];
    std::lock_guard<std::mutex> g(mu_);
    port.holdsLong = hold;
    // Wakes the completion threads, which sleep while the device holds their sends.
    for (OutOpening* o : port.openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        o->cv.notify_all();
    }
}
void VirtualMidi::SetInHoldsBuffers(uint32_t id, bool hold) {
    if (id < inPorts_.size()) inPorts_[id]->holdsBuffers = hold;
}
void VirtualMidi::SetInCapsResult(uint32_t id, Result result) {
    if (id < inPorts_.size()) inPorts_[id]->capsResult = result;
}
void VirtualMidi::SetOutCapsResult(uint32_t id, Result result) {
    if (id < outPorts_.size()) outPorts_[id]->capsResult = result;
}

// ---- records and queries ----------------------------------------------------------

VirtualMidi::InDrops VirtualMidi::InDropCounts(uint32_t inId) const {
    InDrops d;
    if (inId >= inPorts_.size()) return d;
    const InPort& p = *inPorts_[inId];
    d.shortMessages = p.dropShort.load(std::memory_order_relaxed);
    d.sysExMessages = p.dropSysEx.load(std::memory_order_relaxed);
    d.sysExBytes = p.dropSysExBytes.load(std::memory_order_relaxed);
    return d;
}

std::vector<VirtualMidi::OutEvent> VirtualMidi::OutRecord(uint32_t outId) const {
    std::vector<OutEvent> out;
    if (outId >= outPorts_.size()) return out;
    const OutPort& p = *outPorts_[outId];
    std::lock_guard<std::mutex> g(p.recMu);
    out.resize(p.rec.size());
    for (size_t i = 0; i < p.rec.size(); ++i) {
        const RecEntry& e = p.rec[i];
        out[i].timeNs = e.timeNs;
        out[i].isLong = e.isLong;
        out[i].shortMsg = e.msg;
        if (e.isLong) out[i].bytes.assign(p.recBytes.begin() + e.offset, p.recBytes.begin() + e.offset + e.length);
    }
    return out;
}

size_t VirtualMidi::OutRecordSize(uint32_t outId) const {
    if (outId >= outPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(outPorts_[outId]->recMu);
    return outPorts_[outId]->rec.size();
}

void VirtualMidi::ClearOutRecord(uint32_t outId) {
    if (outId >= outPorts_.size()) return;
    std::lock_guard<std::mutex> g(outPorts_[outId]->recMu);
    outPorts_[outId]->rec.clear();
    outPorts_[outId]->recBytes.clear();
}

void VirtualMidi::ReserveOutRecord(uint32_t outId, size_t events, size_t longBytes) {
    if (outId >= outPorts_.size()) return;
    OutPort& p = *outPorts_[outId];
    std::lock_guard<std::mutex> g(p.recMu);
    p.rec.reserve(p.rec.size() + events);
    p.recBytes.reserve(p.recBytes.size() + longBytes);
}

bool VirtualMidi::WaitForOutEvents(uint32_t outId, size_t count, std::chrono::milliseconds timeout) const {
    if (outId >= outPorts_.size()) return false;
    const OutPort& p = *outPorts_[outId];
    std::unique_lock<std::mutex> lk(p.recMu);
    ++p.recWaiters;
    bool ok = p.recCv.wait_for(lk, timeout, [&] { return p.rec.size() >= count; });
    --p.recWaiters;
    return ok;
}

void VirtualMidi::EnableCallbackLog(uint32_t inId, size_t capacity) {
    if (inId >= inPorts_.size()) return;
    InPort& p = *inPorts_[inId];
    std::lock_guard<std::mutex> g(p.logMu);
    p.log.clear();
    p.log.shrink_to_fit();
    p.log.reserve(capacity);
    p.logCapacity = capacity;
    p.logOn.store(capacity > 0, std::memory_order_relaxed);
}

std::vector<int64_t> VirtualMidi::CallbackLog(uint32_t inId) const {
    if (inId >= inPorts_.size()) return {};
    std::lock_guard<std::mutex> g(inPorts_[inId]->logMu);
    return inPorts_[inId]->log;
}

bool VirtualMidi::IsInOpen(uint32_t id) const { return InOpenCount(id) > 0; }
bool VirtualMidi::IsOutOpen(uint32_t id) const { return OutOpenCount(id) > 0; }

int VirtualMidi::InOpenCount(uint32_t id) const {
    if (id >= inPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(mu_);
    return inPorts_[id]->openCount;
}

int VirtualMidi::OutOpenCount(uint32_t id) const {
    if (id >= outPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(mu_);
    return outPorts_[id]->openCount;
}

uint64_t VirtualMidi::InOpensTotal(uint32_t id) const {
    if (id >= inPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(mu_);
    return inPorts_[id]->opensTotal;
}

uint64_t VirtualMidi::OutOpensTotal(uint32_t id) const {
    if (id >= outPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(mu_);
    return outPorts_[id]->opensTotal;
}

size_t VirtualMidi::InPreparedCount(uint32_t id) const {
    if (id >= inPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(inPorts_[id]->prepMu);
    return inPorts_[id]->prepared.size();
}

size_t VirtualMidi::OutPreparedCount(uint32_t id) const {
    if (id >= outPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(outPorts_[id]->prepMu);
    return outPorts_[id]->prepared.size();
}

size_t VirtualMidi::InQueuedCount(uint32_t id) const {
    if (id >= inPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(mu_);
    size_t n = 0;
    for (InOpening* o : inPorts_[id]->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        n += o->queue.size();
    }
    return n;
}

size_t VirtualMidi::OutPendingCount(uint32_t id) const {
    if (id >= outPorts_.size()) return 0;
    std::lock_guard<std::mutex> g(mu_);
    size_t n = 0;
    for (OutOpening* o : outPorts_[id]->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        n += o->pending.size();
    }
    return n;
}

std::vector<const Header*> VirtualMidi::InQueuedHeaders(uint32_t id) const {
    std::vector<const Header*> v;
    if (id >= inPorts_.size()) return v;
    std::lock_guard<std::mutex> g(mu_);
    for (InOpening* o : inPorts_[id]->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        v.insert(v.end(), o->queue.begin(), o->queue.end());
    }
    return v;
}

std::vector<const Header*> VirtualMidi::OutPendingHeaders(uint32_t id) const {
    std::vector<const Header*> v;
    if (id >= outPorts_.size()) return v;
    std::lock_guard<std::mutex> g(mu_);
    for (OutOpening* o : outPorts_[id]->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        for (const PendingLong& p : o->pending) v.push_back(p.hdr);
    }
    return v;
}

}  // namespace midi
