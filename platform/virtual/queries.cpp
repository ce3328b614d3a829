// What the tests and the end-to-end channel read: drops, the output records, the callback
// log, and the counts of opens, prepared, queued and pending headers.
#include "platform/virtual/virtual_midi_internal.h"

#include <cstring>

namespace midi {

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
