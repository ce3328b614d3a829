// The driver models and the knobs: the configuration text (devices, their models), what
// each model sets on a device, and the per-device behaviours tests set.
#include "platform/virtual/virtual_midi_internal.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace midi {

namespace {

// A classic driver sends long data at the speed of the MIDI cable: 31250 baud, ten
// bits a byte.
constexpr int64_t kCableUsPerByte = 320;

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

}  // namespace

DriverModel VirtualMidi::Config::InModel(size_t index) const {
    return index < inModels.size() && inModels[index] ? *inModels[index] : model;
}

DriverModel VirtualMidi::Config::OutModel(size_t index) const {
    return index < outModels.size() && outModels[index] ? *outModels[index] : model;
}

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

}  // namespace midi
