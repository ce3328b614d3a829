#include "platform/virtual/virtual_midi.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/cp932.h"
#include "platform/relaxed.h"

namespace midi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCallbackTypeMask = 0x70000;  // CALLBACK_TYPEMASK
constexpr size_t kInitialEvents = 1024;
constexpr size_t kInitialBytes = 4096;
constexpr size_t kInitialRecord = 4096;

// A classic driver sends long data at the speed of the MIDI cable: 31250 baud, ten
// bits a byte.
constexpr int64_t kCableUsPerByte = 320;

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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool ParseModel(const std::string& word, DriverModel* model) {
    static const struct {
        const char* word;
        DriverModel model;
    } kWords[] = {
        {"ideal", DriverModel::Ideal},
        {"classic", DriverModel::Classic},
        {"classic-sync", DriverModel::ClassicSync},
    };
    const std::string w = Trim(word);
    for (const auto& k : kWords) {
        if (w == k.word) {
            *model = k.model;
            return true;
        }
    }
    return false;
}

bool SplitNames(const std::string& value, std::vector<std::string>* names,
                std::vector<std::optional<DriverModel>>* models) {
    names->clear();
    models->clear();
    if (Trim(value).empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t comma = value.find(',', start);
        std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::optional<DriverModel> model;
        const size_t at = item.find('@');
        if (at != std::string::npos) {
            DriverModel m;
            if (!ParseModel(item.substr(at + 1), &m)) return false;
            model = m;
            item.resize(at);
        }
        std::string name = Trim(item);
        if (name.empty() || name.find('=') != std::string::npos) return false;
        names->push_back(std::move(name));
        models->push_back(model);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// Names may be code-page-932 text, cut to the field without half a character.
void CopyName(const std::string& s, char (&name)[kNameSize]) { Cp932CopyCut(name, s.c_str(), kNameSize - 1); }

bool HeaderArgOk(const Header* hdr, uint32_t size) { return hdr != nullptr && size >= sizeof(Header); }

uintptr_t TokenOf(const void* h) { return reinterpret_cast<uintptr_t>(h); }

// The output openings whose callbacks the current thread is running, innermost
// first. More than one when a callback sends on a handle whose send completes at
// once and calls back in turn. OutClose asks it: waiting for a callback that runs
// further up the caller's own stack would never end.
struct OutCallbackFrame {
    const void* opening;
    const OutCallbackFrame* outer;
};
thread_local const OutCallbackFrame* tlsOutCallbacks = nullptr;

bool InsideOutCallbackOf(const void* opening) {
    for (const OutCallbackFrame* f = tlsOutCallbacks; f != nullptr; f = f->outer)
        if (f->opening == opening) return true;
    return false;
}

class EnterOutCallback {
public:
    explicit EnterOutCallback(const void* opening) : frame_{opening, tlsOutCallbacks} { tlsOutCallbacks = &frame_; }
    ~EnterOutCallback() { tlsOutCallbacks = frame_.outer; }
    EnterOutCallback(const EnterOutCallback&) = delete;
    EnterOutCallback& operator=(const EnterOutCallback&) = delete;

private:
    OutCallbackFrame frame_;
};

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

}  // namespace

DriverModel VirtualMidi::Config::InModel(size_t index) const {
    return index < inModels.size() && inModels[index] ? *inModels[index] : model;
}

DriverModel VirtualMidi::Config::OutModel(size_t index) const {
    return index < outModels.size() && outModels[index] ? *outModels[index] : model;
}

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

// ---- what inputs and outputs share ------------------------------------------------

namespace {

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

}  // namespace

// ---- configuration ----------------------------------------------------------------

bool VirtualMidi::ParseConfig(const char* text, Config* out) {
    if (text == nullptr || out == nullptr) return false;
    Config c;
    bool seenIn = false;
    bool seenOut = false;
    bool seenModel = false;
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
        const std::string value = section.substr(eq + 1);
        if (key == "model") {
            if (seenModel || !ParseModel(value, &c.model)) return false;
            seenModel = true;
            continue;
        }
        std::vector<std::string>* list;
        std::vector<std::optional<DriverModel>>* models;
        bool* seen;
        if (key == "in") {
            list = &c.inputs;
            models = &c.inModels;
            seen = &seenIn;
        } else if (key == "out") {
            list = &c.outputs;
            models = &c.outModels;
            seen = &seenOut;
        } else {
            return false;
        }
        if (*seen) return false;
        *seen = true;
        if (!SplitNames(value, list, models)) return false;
    }
    *out = std::move(c);
    return true;
}

VirtualMidi::VirtualMidi(Config config) : addedModel_(config.model) {
    for (size_t i = 0; i < config.inputs.size(); ++i) {
        inPorts_.push_back(std::make_unique<InPort>());
        inPorts_.back()->name = std::move(config.inputs[i]);
        ApplyInModel(*inPorts_.back(), config.InModel(i));
    }
    for (size_t i = 0; i < config.outputs.size(); ++i) {
        auto port = std::make_unique<OutPort>();
        port->name = std::move(config.outputs[i]);
        port->rec.reserve(kInitialRecord);
        ApplyOutModel(*port, config.OutModel(i));
        outPorts_.push_back(std::move(port));
    }
    for (auto& p : inPorts_) inList_.push_back(p.get());
    for (auto& p : outPorts_) outList_.push_back(p.get());
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

VirtualMidi::InPort* VirtualMidi::InAt(uint32_t id) const {
    std::lock_guard<std::mutex> g(listMu_);
    return id < inList_.size() ? inList_[id] : nullptr;
}

VirtualMidi::OutPort* VirtualMidi::OutAt(uint32_t id) const {
    std::lock_guard<std::mutex> g(listMu_);
    return id < outList_.size() ? outList_[id] : nullptr;
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

uint32_t VirtualMidi::InGetNumDevs() {
    std::lock_guard<std::mutex> g(listMu_);
    return static_cast<uint32_t>(inList_.size());
}

Result VirtualMidi::InGetDevCaps(uint32_t id, char (&name)[kNameSize]) {
    const InPort* port = InAt(id);
    if (!port) return kBadDeviceId;
    Result r = port->capsResult;
    if (r != kNoError) return r;
    CopyName(port->name, name);
    return kNoError;
}

Result VirtualMidi::InOpen(InHandle* handle, uint32_t id, InCallback cb, uintptr_t instance, uint32_t flags) {
    if (handle == nullptr) return kInvalParam;
    if (!InAt(id)) return kBadDeviceId;
    if ((flags & kCallbackTypeMask) != kCallbackFunction) return kInvalFlag;
    if (cb == nullptr) return kInvalParam;

    auto o = std::make_shared<InOpening>();
    o->cb = cb;
    o->instance = instance;
    o->pending.reserve(kInitialEvents);
    o->pendingBytes.reserve(kInitialBytes);
    {
        std::lock_guard<std::mutex> g(mu_);
        // Looked up again under mu_: a device removed meanwhile must not get a handle
        // that missed its removal.
        InPort* found = InAt(id);
        if (!found) return kBadDeviceId;
        InPort& port = *found;
        if (const Result refused = Admission(port); refused != kNoError) return refused;
        o->port = &port;
        o->openedAt = id;
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
        JoinPort(port, o.get());
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
    if (o->gone) return kNoDriver;
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
    if (o.gone) {
        // The driver of a removed device answers no more calls, but the buffers it
        // had are on their way back on the delivery thread; waiting for them keeps
        // the stop guarantee for whoever closes its wake event next.
        if (!self) WaitIdle(o, lk, [&] { return !o.busy && o.queue.empty(); });
        return kNoDriver;
    }
    o.started = false;
    o.DropPending();
    // A callback that stops its own device must not wait for itself; every other
    // caller waits until the running callback (if any) has returned.
    if (!self) WaitIdle(o, lk, [&] { return !o.busy; });
    // A wedged driver stops but keeps its buffers.
    if (!reset || o.port->holdsBuffers) return kNoError;

    std::deque<Header*> back;
    back.swap(o.queue);
    std::vector<uint8_t> held;
    held.swap(o.held);
    const uintptr_t stamp = o.StampMs();
    // Busy while the headers go back, so that a stop or close from a third thread
    // waits for these callbacks too.
    if (!self) o.BeginBusy(std::this_thread::get_id());
    lk.unlock();
    for (Header* hdr : back) {
        // The front buffer goes back with the part of a message it was filled with.
        if (!held.empty()) std::memcpy(hdr->lpData, held.data(), held.size());
        hdr->dwBytesRecorded = static_cast<uint32_t>(held.size());
        held.clear();
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
        if (const Result refusal = o->port->closeResult; refusal != kNoError) return refusal;
        std::lock_guard<std::mutex> lk(o->mu);
        if (o->InsideCallback()) return kError;
        if (!o->queue.empty()) return kStillPlaying;
        o->closing = true;
        o->started = false;
        o->DropPending();
        o->work.notify_all();
        inOpen_.erase(it);
        LeavePort(o.get());
    }
    // The delivery thread ends once a callback it is running has returned; joining
    // it, and waiting for a reset that hands headers back on another thread, is what
    // makes the stop guarantee hold for close.
    {
        std::unique_lock<std::mutex> lk(o->mu);
        WaitIdle(*o, lk, [&] { return !o->busy; });
    }
    o->thread.join();
    o->cb(h, kMimClose, o->instance, 0, 0);
    return kNoError;
}

Result VirtualMidi::InPrepareHeader(InHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size) || hdr->lpData == nullptr) return kInvalParam;
    {
        std::lock_guard<std::mutex> lk(o->mu);
        if (o->gone) return kNoDriver;
    }
    const uint32_t f = LoadFlags(*hdr);
    if (f & kMhdrPrepared) return kNoError;
    o->port->prepared.Prepare(hdr, f);
    return kNoError;
}

Result VirtualMidi::InUnprepareHeader(InHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    return o->port->prepared.Unprepare(hdr);
}

Result VirtualMidi::InAddBuffer(InHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    std::lock_guard<std::mutex> lk(o->mu);
    if (o->closing) return kInvalHandle;
    if (o->gone) return kNoDriver;
    uint32_t f = LoadFlags(*hdr);
    if (!(f & kMhdrPrepared)) return kUnprepared;
    if (f & kMhdrInQueue) return kStillPlaying;
    if (hdr->lpData == nullptr || hdr->dwBufferLength == 0) return kInvalParam;
    hdr->dwBytesRecorded = 0;
    StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
    o->queue.push_back(hdr);
    return kNoError;
}

namespace {

// Where a device is listed now, or kNoDriver when it is not listed (removed).
template <class Port>
Result ListedAt(const std::vector<Port*>& list, const Port* port, uint32_t* id) {
    const auto it = std::find(list.begin(), list.end(), port);
    if (it == list.end()) return kNoDriver;
    *id = static_cast<uint32_t>(it - list.begin());
    return kNoError;
}

}  // namespace

Result VirtualMidi::InGetID(InHandle h, uint32_t* id) {
    std::shared_ptr<InOpening> o = FindIn(h);
    if (!o) return kInvalHandle;
    if (!id) return kInvalParam;
    // winmm answers from what it kept at the open, also for a device that is gone.
    if (!IdsFollowRenumbering()) {
        *id = o->openedAt;
        return kNoError;
    }
    {
        std::lock_guard<std::mutex> lk(o->mu);
        if (o->gone) return kNoDriver;
    }
    std::lock_guard<std::mutex> l(listMu_);
    return ListedAt(inList_, o->port, id);
}

bool VirtualMidi::FeedIn(uint32_t inId, uint8_t kind, uint32_t msg, const uint8_t* bytes, size_t n) {
    InPort* found;
    bool reached = false;
    {
        std::lock_guard<std::mutex> g(mu_);
        // Looked up under mu_, so that a removal is either wholly before or after.
        found = InAt(inId);
        if (!found) return false;
        // Asleep, no device hears anything.
        for (InOpening* o : found->openings) {
            if (suspended_) break;
            std::lock_guard<std::mutex> lk(o->mu);
            if (!o->started || o->silent) continue;
            InEvent e{o->pendingBytes.size(), n, msg, o->generation, kind};
            if (kind == kLongEvent || kind == kLongPartEvent) o->pendingBytes.insert(o->pendingBytes.end(), bytes, bytes + n);
            o->pending.push_back(e);
            ++o->undelivered;
            // The delivery thread sleeps only on an empty queue.
            if (o->pending.size() == 1) o->work.notify_one();
            reached = true;
        }
    }
    if (!reached) found->CountDrop(InEvent{0, n, msg, 0, kind}, n);
    return reached;
}

bool VirtualMidi::SendShort(uint32_t inId, uint32_t packedMsg) { return FeedIn(inId, kShortEvent, packedMsg, nullptr, 0); }

bool VirtualMidi::SendSysEx(uint32_t inId, const uint8_t* bytes, size_t n) {
    if (bytes == nullptr || n == 0) return false;
    return FeedIn(inId, kLongEvent, 0, bytes, n);
}

bool VirtualMidi::SendSysExPart(uint32_t inId, const uint8_t* bytes, size_t n) {
    if (bytes == nullptr || n == 0) return false;
    return FeedIn(inId, kLongPartEvent, 0, bytes, n);
}

bool VirtualMidi::HandBackEmptyBuffer(uint32_t inId) { return FeedIn(inId, kEmptyBufferEvent, 0, nullptr, 0); }

void VirtualMidi::DeliveryLoop(InOpening* o) {
    InPort& port = *o->port;
    const InHandle h = o->Handle();
    const std::thread::id self = std::this_thread::get_id();
    std::vector<InEvent> batch;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> held;
    batch.reserve(kInitialEvents);
    bytes.reserve(kInitialBytes);

    std::unique_lock<std::mutex> lk(o->mu);
    // Hands the front queued buffer back holding the bytes held for it and then n
    // bytes from src, with kMimLongData. Called with lk held and a buffer queued;
    // returns with lk held.
    auto handBack = [&](const uint8_t* src, size_t n) {
        Header* hdr = o->queue.front();
        o->queue.pop_front();
        held.swap(o->held);
        const uintptr_t stamp = o->StampMs();
        o->BeginBusy(self);
        lk.unlock();
        if (!held.empty()) std::memcpy(hdr->lpData, held.data(), held.size());
        if (n > 0) std::memcpy(hdr->lpData + held.size(), src, n);
        hdr->dwBytesRecorded = static_cast<uint32_t>(held.size() + n);
        held.clear();
        // The application polls the flags and reads the bytes once it sees done, so
        // the flags go last, with release.
        StoreFlags(*hdr, (LoadFlags(*hdr) & ~kMhdrInQueue) | kMhdrDone);
        o->cb(h, kMimLongData, o->instance, reinterpret_cast<uintptr_t>(hdr), stamp);
        lk.lock();
        o->EndBusy();
    };
    for (;;) {
        o->work.wait(lk, [&] { return o->closing || !o->pending.empty() || (o->gone && !o->queue.empty()); });
        if (o->closing) break;
        // A removed device's driver hands back what it had: the buffer it was filling
        // with what it holds, the rest empty. InAddBuffer refuses new ones meanwhile.
        while (o->gone && !o->queue.empty()) handBack(nullptr, 0);
        // Swapping keeps both vectors' capacity, so steady feeding allocates nothing.
        batch.swap(o->pending);
        bytes.swap(o->pendingBytes);
        for (const InEvent& e : batch) {
            if (!o->started || o->silent || e.generation != o->generation) {
                port.CountDrop(e, e.length);
                continue;
            }
            if (e.kind == kEmptyBufferEvent) {
                if (!o->queue.empty()) handBack(nullptr, 0);
                continue;
            }
            if (e.kind == kShortEvent) {
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
            const bool ends = e.kind == kLongEvent;
            size_t done = 0;
            bool lastFilled = false;  // the last buffer taken was filled to its end
            while (done < e.length) {
                if (!o->started || o->silent || e.generation != o->generation || o->queue.empty()) {
                    port.CountDrop(e, e.length - done);
                    break;
                }
                const size_t room = o->queue.front()->dwBufferLength - o->held.size();
                const size_t chunk = std::min<size_t>(e.length - done, room);
                lastFilled = chunk == room;
                const uint8_t* src = bytes.data() + e.offset + done;
                done += chunk;
                if (lastFilled || (ends && done == e.length)) {
                    handBack(src, chunk);
                } else {
                    // The message goes on: the buffer stays with the device.
                    o->held.insert(o->held.end(), src, src + chunk);
                }
            }
            // A classic driver that has filled a buffer to its end does not know yet
            // that the message is over; it learns so from the end byte and then hands
            // back the next buffer with nothing in it.
            if (ends && done == e.length && lastFilled && port.emptyAfterExactFill && o->started && !o->silent &&
                e.generation == o->generation && !o->queue.empty()) {
                handBack(nullptr, 0);
            }
        }
        o->undelivered -= batch.size();
        batch.clear();
        bytes.clear();
    }
    for (const InEvent& e : o->pending) port.CountDrop(e, e.length);
}

// ---- output -----------------------------------------------------------------------

uint32_t VirtualMidi::OutGetNumDevs() {
    std::lock_guard<std::mutex> g(listMu_);
    return static_cast<uint32_t>(outList_.size());
}

Result VirtualMidi::OutGetDevCaps(uint32_t id, char (&name)[kNameSize]) {
    const OutPort* port = OutAt(id);
    if (!port) return kBadDeviceId;
    Result r = port->capsResult;
    if (r != kNoError) return r;
    CopyName(port->name, name);
    return kNoError;
}

Result VirtualMidi::OutOpen(OutHandle* handle, uint32_t id, OutCallback cb, uintptr_t instance) {
    if (handle == nullptr) return kInvalParam;
    if (!OutAt(id)) return kBadDeviceId;
    auto o = std::make_shared<OutOpening>();
    o->cb = cb;
    o->instance = instance;
    // kMomOpen below is counted from before the handle can be found, so that a close
    // from another thread that already has the handle waits for it.
    if (cb) o->calling = 1;
    {
        std::lock_guard<std::mutex> g(mu_);
        // Looked up again under mu_: a device removed meanwhile must not get a handle
        // that missed its removal.
        OutPort* found = OutAt(id);
        if (!found) return kBadDeviceId;
        OutPort& port = *found;
        if (const Result refused = Admission(port); refused != kNoError) return refused;
        o->port = &port;
        o->openedAt = id;
        o->token = nextToken_;
        nextToken_ += 0x10;
        {
            std::lock_guard<std::mutex> t(outTableMu_);
            outOpen_[o->token] = o;
        }
        JoinPort(port, o.get());
    }
    *handle = o->Handle();
    if (cb) {
        {
            EnterOutCallback inside(o.get());
            cb(*handle, kMomOpen, instance, 0, 0);
        }
        std::lock_guard<std::mutex> lk(o->mu);
        o->EndCall();
    }
    return kNoError;
}

Result VirtualMidi::OutClose(OutHandle h) {
    std::shared_ptr<OutOpening> o;
    {
        std::lock_guard<std::mutex> g(mu_);
        auto it = outOpen_.find(TokenOf(h));
        if (it == outOpen_.end()) return kInvalHandle;
        o = it->second;
        if (const Result refusal = o->port->closeResult; refusal != kNoError) return refusal;
        std::lock_guard<std::mutex> lk(o->mu);
        if (InsideOutCallbackOf(o.get())) return kError;
        if (!o->pending.empty()) return kStillPlaying;
        o->closing = true;
        o->cv.notify_all();
        {
            std::lock_guard<std::mutex> t(outTableMu_);
            outOpen_.erase(it);
        }
        LeavePort(o.get());
    }
    // With closing set no new callback is counted; waiting for the counted ones (on
    // the completion thread, or on threads inside OutLongMsg or OutReset) and joining
    // the completion thread is what makes the stop guarantee hold.
    {
        std::unique_lock<std::mutex> lk(o->mu);
        WaitIdle(*o, lk, [&] { return o->calling == 0; });
    }
    if (o->completer.joinable()) o->completer.join();
    if (o->cb) o->cb(h, kMomClose, o->instance, 0, 0);
    return kNoError;
}

Result VirtualMidi::OutReset(OutHandle h) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    std::unique_lock<std::mutex> lk(o->mu);
    if (o->closing) return kInvalHandle;
    if (o->gone) return kNoDriver;
    // A wedged driver says it reset and keeps its buffers.
    if (o->port->holdsLong || o->pending.empty()) return kNoError;
    std::vector<Header*> back;
    back.reserve(o->pending.size());
    for (const PendingLong& p : o->pending) back.push_back(p.hdr);
    o->pending.clear();
    if (o->cb) ++o->calling;
    for (Header* hdr : back) StoreFlags(*hdr, (LoadFlags(*hdr) & ~kMhdrInQueue) | kMhdrDone);
    if (o->cb) CallOutDone(*o, lk, back.data(), back.size());
    return kNoError;
}

void VirtualMidi::CallOutDone(OutOpening& o, std::unique_lock<std::mutex>& lk, Header* const* done, size_t n) {
    lk.unlock();
    {
        EnterOutCallback inside(&o);
        for (size_t i = 0; i < n; ++i) o.cb(o.Handle(), kMomDone, o.instance, reinterpret_cast<uintptr_t>(done[i]), 0);
    }
    lk.lock();
    o.EndCall();
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
        if (it->second->gone.load(std::memory_order_relaxed)) return kNoDriver;
        port = it->second->port;
    }
    Record(*port, false, msg, nullptr, 0, nullptr);
    return kNoError;
}

Result VirtualMidi::OutPrepareHeader(OutHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size) || hdr->lpData == nullptr) return kInvalParam;
    if (o->gone.load(std::memory_order_relaxed)) return kNoDriver;
    const uint32_t f = LoadFlags(*hdr);
    if (f & kMhdrPrepared) return kNoError;
    if (f != 0 && o->port->strictPrepare) return kInvalParam;
    o->port->prepared.Prepare(hdr, f);
    return kNoError;
}

Result VirtualMidi::OutUnprepareHeader(OutHandle h, Header* hdr, uint32_t size) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    if (!HeaderArgOk(hdr, size)) return kInvalParam;
    std::atomic<int>& late = o->port->unprepareStillPlaying;
    if ((LoadFlags(*hdr) & kMhdrDone) && late.load() > 0 && late.fetch_sub(1) > 0) return kStillPlaying;
    return o->port->prepared.Unprepare(hdr);
}

Result VirtualMidi::OutGetID(OutHandle h, uint32_t* id) {
    std::shared_ptr<OutOpening> o = FindOut(h);
    if (!o) return kInvalHandle;
    if (!id) return kInvalParam;
    if (!IdsFollowRenumbering()) {
        *id = o->openedAt;
        return kNoError;
    }
    if (o->gone.load(std::memory_order_relaxed)) return kNoDriver;
    std::lock_guard<std::mutex> l(listMu_);
    return ListedAt(outList_, o->port, id);
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
    const int64_t usPerByte = port.usPerByte;

    std::unique_lock<std::mutex> lk(o->mu);
    if (o->closing) return kInvalHandle;
    if (o->gone) return kNoDriver;
    auto completeNow = [&] {
        StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
        if (o->cb) ++o->calling;
        CompleteLong(port, hdr);
        if (o->cb) CallOutDone(*o, lk, &hdr, 1);
        return kNoError;
    };
    // Sends complete in the order they were made, so one made at once after the
    // delay was switched off still waits for the late ones before it.
    if (delayUs <= 0 && usPerByte <= 0 && o->pending.empty() && !port.holdsLong) return completeNow();
    if (!o->completer.joinable()) {
        try {
            o->completer = std::thread(&VirtualMidi::CompletionLoop, this, o.get());
        } catch (const std::system_error&) {
            return completeNow();
        }
    }
    const Clock::time_point now = Clock::now();
    Clock::time_point deadline;
    if (usPerByte > 0) {
        // The cable carries one send at a time: this one starts when the one before
        // it has gone out.
        const Clock::time_point start = o->pending.empty() ? now : std::max(now, o->pending.back().deadline);
        deadline = start + std::chrono::microseconds(usPerByte * static_cast<int64_t>(hdr->dwBufferLength));
    } else {
        deadline = now + std::chrono::microseconds(std::max<int64_t>(delayUs, 0));
        if (!o->pending.empty()) deadline = std::max(deadline, o->pending.back().deadline);
    }
    StoreFlags(*hdr, (f & ~kMhdrDone) | kMhdrInQueue);
    o->pending.push_back(PendingLong{deadline, hdr});
    o->cv.notify_all();
    return kNoError;
}

void VirtualMidi::CompletionLoop(OutOpening* o) {
    std::unique_lock<std::mutex> lk(o->mu);
    std::vector<Header*> back;
    while (!o->closing) {
        // A removed device's driver fails what it still had to send: every pending
        // send comes back done, unsent, held or not.
        if (o->gone && !o->pending.empty()) {
            back.clear();
            for (const PendingLong& p : o->pending) back.push_back(p.hdr);
            o->pending.clear();
            if (o->cb) ++o->calling;
            for (Header* hdr : back) StoreFlags(*hdr, (LoadFlags(*hdr) & ~kMhdrInQueue) | kMhdrDone);
            if (o->cb) CallOutDone(*o, lk, back.data(), back.size());
            continue;
        }
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
        if (o->cb) ++o->calling;
        CompleteLong(*o->port, hdr);
        if (o->cb) CallOutDone(*o, lk, &hdr, 1);
    }
}

// ---- devices that go and come ----------------------------------------------------

namespace {

// Takes the removed device of this name that left last out of `removed`, or null.
template <class Port>
Port* TakeRemoved(std::vector<Port*>& removed, const std::string& name) {
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
        if ((*it)->name != name) continue;
        Port* port = *it;
        removed.erase(std::next(it).base());
        return port;
    }
    return nullptr;
}

// Takes device id off the list; it waits among the removed for its name to come back.
// Null when there is no such device. The caller holds listMu_.
template <class Port>
Port* TakeOffList(std::vector<Port*>& list, std::vector<Port*>& removed, uint32_t id) {
    if (id >= list.size()) return nullptr;
    Port* port = list[id];
    list.erase(list.begin() + id);
    removed.push_back(port);
    return port;
}

// Puts a device of this name into the list at atIndex (at the end without one): the
// removed one of that name when there is one, else a new one from make(), which owns
// it. False for an empty name or an index past the end. The caller holds listMu_.
template <class Port, class Make>
bool PutOnList(std::vector<Port*>& list, std::vector<Port*>& removed, const std::string& name,
               std::optional<uint32_t> atIndex, Make make) {
    if (name.empty()) return false;
    const size_t index = atIndex ? *atIndex : list.size();
    if (index > list.size()) return false;
    Port* port = TakeRemoved(removed, name);
    if (!port) port = make();
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(index), port);
    return true;
}

}  // namespace

bool VirtualMidi::RemoveInput(uint32_t id) {
    std::lock_guard<std::mutex> g(mu_);
    InPort* port;
    {
        std::lock_guard<std::mutex> l(listMu_);
        port = TakeOffList(inList_, inRemoved_, id);
    }
    if (!port) return false;
    // The handles stay in the handle table, valid until closed, but leave the port:
    // nothing fed to the port reaches them, and a fresh open after the device comes
    // back is not refused for a handle of the gone one.
    for (InOpening* o : port->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        o->gone = true;
        o->started = false;
        o->DropPending();
        o->work.notify_all();
    }
    port->openings.clear();
    port->openCount = 0;
    return true;
}

bool VirtualMidi::RemoveOutput(uint32_t id) {
    std::lock_guard<std::mutex> g(mu_);
    OutPort* port;
    {
        std::lock_guard<std::mutex> l(listMu_);
        port = TakeOffList(outList_, outRemoved_, id);
    }
    if (!port) return false;
    for (OutOpening* o : port->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        o->gone.store(true, std::memory_order_relaxed);
        // Pending sends mean a completion thread is there to hand them back.
        o->cv.notify_all();
    }
    port->openings.clear();
    port->openCount = 0;
    return true;
}

bool VirtualMidi::AddInput(const std::string& name, std::optional<uint32_t> atIndex) {
    std::lock_guard<std::mutex> l(listMu_);
    return PutOnList(inList_, inRemoved_, name, atIndex, [&] {
        auto made = std::make_unique<InPort>();
        made->name = name;
        ApplyInModel(*made, addedModel_);
        inPorts_.push_back(std::move(made));
        return inPorts_.back().get();
    });
}

bool VirtualMidi::AddOutput(const std::string& name, std::optional<uint32_t> atIndex) {
    std::lock_guard<std::mutex> l(listMu_);
    return PutOnList(outList_, outRemoved_, name, atIndex, [&] {
        auto made = std::make_unique<OutPort>();
        made->name = name;
        made->rec.reserve(kInitialRecord);
        ApplyOutModel(*made, addedModel_);
        outPorts_.push_back(std::move(made));
        return outPorts_.back().get();
    });
}

bool VirtualMidi::Suspend() {
    std::lock_guard<std::mutex> g(mu_);
    if (suspended_) return false;
    suspended_ = true;
    return true;
}

bool VirtualMidi::Resume() {
    std::lock_guard<std::mutex> g(mu_);
    if (!suspended_) return false;
    suspended_ = false;
    // The driver lost its device's input across the sleep and does not say so: the
    // handle answers as before and delivers nothing, until it is closed.
    for (auto& kv : inOpen_) {
        InOpening& o = *kv.second;
        std::lock_guard<std::mutex> lk(o.mu);
        o.silent = true;
        o.DropPending();
    }
    return true;
}

size_t VirtualMidi::InHandleCount() const {
    std::lock_guard<std::mutex> g(mu_);
    return inOpen_.size();
}

size_t VirtualMidi::OutHandleCount() const {
    std::lock_guard<std::mutex> t(outTableMu_);
    return outOpen_.size();
}

// ---- knobs ------------------------------------------------------------------------

void VirtualMidi::ApplyInModel(InPort& port, DriverModel model) {
    port.exclusive = true;
    port.emptyAfterExactFill = model != DriverModel::Ideal;
}

void VirtualMidi::ApplyOutModel(OutPort& port, DriverModel model) {
    port.exclusive = model != DriverModel::Ideal;
    port.delayUs = 0;
    port.usPerByte = model == DriverModel::Classic ? kCableUsPerByte : 0;
    port.strictPrepare = model != DriverModel::Ideal;
}

void VirtualMidi::SetModel(DriverModel model) {
    // Removed devices too: one that comes back is of the model set last.
    std::lock_guard<std::mutex> g(listMu_);
    for (auto& p : inPorts_) ApplyInModel(*p, model);
    for (auto& p : outPorts_) ApplyOutModel(*p, model);
}
void VirtualMidi::SetInModel(uint32_t id, DriverModel model) {
    if (InPort* p = InAt(id)) ApplyInModel(*p, model);
}
void VirtualMidi::SetOutModel(uint32_t id, DriverModel model) {
    if (OutPort* p = OutAt(id)) ApplyOutModel(*p, model);
}
void VirtualMidi::SetInCloseResult(uint32_t id, Result result) {
    if (InPort* p = InAt(id)) p->closeResult = result;
}
void VirtualMidi::SetOutCloseResult(uint32_t id, Result result) {
    if (OutPort* p = OutAt(id)) p->closeResult = result;
}
void VirtualMidi::SetOutUnprepareStillPlaying(uint32_t id, int count) {
    if (OutPort* p = OutAt(id)) p->unprepareStillPlaying = count;
}

void VirtualMidi::SetInOpenResult(uint32_t id, Result result) {
    if (InPort* p = InAt(id)) p->openResult = result;
}
void VirtualMidi::SetOutOpenResult(uint32_t id, Result result) {
    if (OutPort* p = OutAt(id)) p->openResult = result;
}
void VirtualMidi::SetInExclusive(uint32_t id, bool exclusive) {
    if (InPort* p = InAt(id)) p->exclusive = exclusive;
}
void VirtualMidi::SetOutExclusive(uint32_t id, bool exclusive) {
    if (OutPort* p = OutAt(id)) p->exclusive = exclusive;
}
void VirtualMidi::SetOutLongDelay(uint32_t id, std::chrono::microseconds delay) {
    OutPort* p = OutAt(id);
    if (!p) return;
    p->delayUs = static_cast<int64_t>(delay.count());
    p->usPerByte = 0;
}
void VirtualMidi::SetOutHoldsLong(uint32_t id, bool hold) {
    OutPort* found = OutAt(id);
    if (!found) return;
    OutPort& port = *found;
    std::lock_guard<std::mutex> g(mu_);
    port.holdsLong = hold;
    // Wakes the completion threads, which sleep while the device holds their sends.
    for (OutOpening* o : port.openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        o->cv.notify_all();
    }
}
void VirtualMidi::SetInHoldsBuffers(uint32_t id, bool hold) {
    if (InPort* p = InAt(id)) p->holdsBuffers = hold;
}
void VirtualMidi::SetInCapsResult(uint32_t id, Result result) {
    if (InPort* p = InAt(id)) p->capsResult = result;
}
void VirtualMidi::SetOutCapsResult(uint32_t id, Result result) {
    if (OutPort* p = OutAt(id)) p->capsResult = result;
}

// ---- records and queries ----------------------------------------------------------

VirtualMidi::InDrops VirtualMidi::InDropCounts(uint32_t inId) const {
    InDrops d;
    const InPort* found = InAt(inId);
    if (!found) return d;
    const InPort& p = *found;
    d.shortMessages = p.dropShort.load(std::memory_order_relaxed);
    d.sysExMessages = p.dropSysEx.load(std::memory_order_relaxed);
    d.sysExBytes = p.dropSysExBytes.load(std::memory_order_relaxed);
    return d;
}

std::vector<VirtualMidi::OutEvent> VirtualMidi::OutRecord(uint32_t outId) const {
    std::vector<OutEvent> out;
    const OutPort* found = OutAt(outId);
    if (!found) return out;
    const OutPort& p = *found;
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
    const OutPort* p = OutAt(outId);
    if (!p) return 0;
    std::lock_guard<std::mutex> g(p->recMu);
    return p->rec.size();
}

void VirtualMidi::ClearOutRecord(uint32_t outId) {
    OutPort* p = OutAt(outId);
    if (!p) return;
    std::lock_guard<std::mutex> g(p->recMu);
    p->rec.clear();
    p->recBytes.clear();
}

void VirtualMidi::ReserveOutRecord(uint32_t outId, size_t events, size_t longBytes) {
    OutPort* found = OutAt(outId);
    if (!found) return;
    OutPort& p = *found;
    std::lock_guard<std::mutex> g(p.recMu);
    p.rec.reserve(p.rec.size() + events);
    p.recBytes.reserve(p.recBytes.size() + longBytes);
}

bool VirtualMidi::WaitForOutEvents(uint32_t outId, size_t count, std::chrono::milliseconds timeout) const {
    const OutPort* found = OutAt(outId);
    if (!found) return false;
    const OutPort& p = *found;
    std::unique_lock<std::mutex> lk(p.recMu);
    ++p.recWaiters;
    bool ok = p.recCv.wait_for(lk, timeout, [&] { return p.rec.size() >= count; });
    --p.recWaiters;
    return ok;
}

void VirtualMidi::EnableCallbackLog(uint32_t inId, size_t capacity) {
    InPort* found = InAt(inId);
    if (!found) return;
    InPort& p = *found;
    std::lock_guard<std::mutex> g(p.logMu);
    p.log.clear();
    p.log.shrink_to_fit();
    p.log.reserve(capacity);
    p.logCapacity = capacity;
    p.logOn.store(capacity > 0, std::memory_order_relaxed);
}

std::vector<int64_t> VirtualMidi::CallbackLog(uint32_t inId) const {
    const InPort* p = InAt(inId);
    if (!p) return {};
    std::lock_guard<std::mutex> g(p->logMu);
    return p->log;
}

bool VirtualMidi::IsInOpen(uint32_t id) const { return InOpenCount(id) > 0; }
bool VirtualMidi::IsOutOpen(uint32_t id) const { return OutOpenCount(id) > 0; }

int VirtualMidi::InOpenCount(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const InPort* p = InAt(id);
    return p ? p->openCount : 0;
}

int VirtualMidi::OutOpenCount(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const OutPort* p = OutAt(id);
    return p ? p->openCount : 0;
}

uint64_t VirtualMidi::InOpensTotal(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const InPort* p = InAt(id);
    return p ? p->opensTotal : 0;
}

uint64_t VirtualMidi::OutOpensTotal(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const OutPort* p = OutAt(id);
    return p ? p->opensTotal : 0;
}

size_t VirtualMidi::InPreparedCount(uint32_t id) const {
    const InPort* p = InAt(id);
    return p ? p->prepared.Count() : 0;
}

size_t VirtualMidi::OutPreparedCount(uint32_t id) const {
    const OutPort* p = OutAt(id);
    return p ? p->prepared.Count() : 0;
}

size_t VirtualMidi::InUndeliveredCount(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const InPort* p = InAt(id);
    if (!p) return 0;
    size_t n = 0;
    for (InOpening* o : p->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        n += o->undelivered;
    }
    return n;
}

size_t VirtualMidi::InQueuedCount(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const InPort* p = InAt(id);
    if (!p) return 0;
    size_t n = 0;
    for (InOpening* o : p->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        n += o->queue.size();
    }
    return n;
}

size_t VirtualMidi::OutPendingCount(uint32_t id) const {
    std::lock_guard<std::mutex> g(mu_);
    const OutPort* p = OutAt(id);
    if (!p) return 0;
    size_t n = 0;
    for (OutOpening* o : p->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        n += o->pending.size();
    }
    return n;
}

std::vector<const Header*> VirtualMidi::InQueuedHeaders(uint32_t id) const {
    std::vector<const Header*> v;
    std::lock_guard<std::mutex> g(mu_);
    const InPort* p = InAt(id);
    if (!p) return v;
    for (InOpening* o : p->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        v.insert(v.end(), o->queue.begin(), o->queue.end());
    }
    return v;
}

std::vector<const Header*> VirtualMidi::OutPendingHeaders(uint32_t id) const {
    std::vector<const Header*> v;
    std::lock_guard<std::mutex> g(mu_);
    const OutPort* p = OutAt(id);
    if (!p) return v;
    for (OutOpening* o : p->openings) {
        std::lock_guard<std::mutex> lk(o->mu);
        for (const PendingLong& p : o->pending) v.push_back(p.hdr);
    }
    return v;
}

}  // namespace midi
