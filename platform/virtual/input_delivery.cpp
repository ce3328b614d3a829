// Input delivery: inputs opened, started, stopped and closed, their buffers queued, data
// fed to them, and the delivery thread that fills the buffers and calls back.
#include "platform/virtual/virtual_midi_internal.h"

#include <cstring>
#include <system_error>
#include <utility>

namespace midi {

namespace {

constexpr size_t kInitialEvents = 1024;
constexpr size_t kInitialBytes = 4096;

}  // namespace

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

}  // namespace midi
