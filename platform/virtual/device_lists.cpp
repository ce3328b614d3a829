// The device lists and their changes: the devices made from the configuration, looked up
// by index and handle, removed and added back, asleep and awake; the handle tables.
#include "platform/virtual/virtual_midi_internal.h"

#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace midi {

namespace {

constexpr size_t kInitialRecord = 4096;

}  // namespace

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

}  // namespace midi
