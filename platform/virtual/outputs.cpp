// Outputs and their record: outputs opened and closed, short and long sends, the
// completion thread of late long sends, their callbacks, and the record of what reached each.
#include "platform/virtual/virtual_midi_internal.h"

#include <system_error>
#include <utility>

namespace midi {

namespace {

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

}  // namespace

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

}  // namespace midi
