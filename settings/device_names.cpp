#include "settings/device_names.h"

#include <algorithm>
#include <cstring>

#include "platform/cp932.h"
#include "platform/midi.h"

namespace {

using CapsQuery = midi::Result (*)(uint32_t, char (&)[midi::kNameSize]);

std::vector<std::string> Names(uint32_t count, CapsQuery query, std::string (*unreadable)(uint32_t)) {
    std::vector<std::string> names;
    names.reserve(count);
    for (uint32_t j = 0; j < count; ++j) {
        char name[midi::kNameSize] = {};
        if (query(j, name) != midi::kNoError) names.push_back(unreadable ? unreadable(j) : std::string());
        // A driver's name field need not end in a NUL.
        else names.emplace_back(name, strnlen(name, sizeof name));
    }
    return names;
}

bool Named(const char* name) { return name && name[0] != '\0'; }

std::string Wanted(const char* name) { return std::string(name, strnlen(name, kDeviceNameSize)); }

// Returns whether the route's device is missing.
bool Follow(int32_t& index, char (&name)[kDeviceNameSize], const std::vector<std::string>& present) {
    if (!Named(name)) {
        DeviceNameAt(name, index, present);
        return false;
    }
    index = FollowDevice(index, name, present);
    return index != NO_DEVICE && DeviceMissing(name, present);
}

// One kind of device (inputs or outputs) of both routes, as the routes name and hold
// them, and what following their names decides.
struct Side {
    bool input;
    int32_t* index[2];
    char (*name[2])[kDeviceNameSize];
    bool configured[2];
    bool held[2];
    int32_t heldAt[2];  // -1: not known
    bool heldAtCurrent[2];  // heldAt is where that device is listed now
    bool* missing;
    bool* reopen;
    std::vector<int32_t>* others;
};

void IgnoreInput(midi::InHandle, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

// Opens device id of one kind for a moment, twice: Held when the first open is
// refused as held (by a route, or another program), Free when only the second is (a
// driver of one client, and no one had it), SeveralClients when both are taken, which
// tells nothing about who else has it open.
enum class Probe { Held, Free, SeveralClients, Failed };
Probe ProbeDevice(bool input, int32_t id) {
    const auto dev = static_cast<uint32_t>(id);
    if (input) {
        midi::InHandle a = nullptr;
        midi::InHandle b = nullptr;
        const midi::Result first = midi::InOpen(&a, dev, IgnoreInput, 0, midi::kCallbackFunction);
        if (first != midi::kNoError) return first == midi::kAllocated ? Probe::Held : Probe::Failed;
        const midi::Result second = midi::InOpen(&b, dev, IgnoreInput, 0, midi::kCallbackFunction);
        if (second == midi::kNoError) midi::InClose(b);
        midi::InClose(a);
        return second == midi::kAllocated ? Probe::Free : second == midi::kNoError ? Probe::SeveralClients : Probe::Failed;
    }
    midi::OutHandle a = nullptr;
    midi::OutHandle b = nullptr;
    const midi::Result first = midi::OutOpen(&a, dev);
    if (first != midi::kNoError) return first == midi::kAllocated ? Probe::Held : Probe::Failed;
    const midi::Result second = midi::OutOpen(&b, dev);
    if (second == midi::kNoError) midi::OutClose(b);
    midi::OutClose(a);
    return second == midi::kAllocated ? Probe::Free : second == midi::kNoError ? Probe::SeveralClients : Probe::Failed;
}

// Which of the devices of a name no one holds, where the routes hold some of them at
// indices gone stale: a driver that takes one client refuses the held ones and takes
// a free one once, so trying each tells them apart. False where a driver takes
// several clients (or fails otherwise): then nothing tells them apart.
bool TellFree(bool input, const std::vector<int32_t>& candidates, std::vector<int32_t>* untaken) {
    untaken->clear();
    for (int32_t id : candidates) {
        switch (ProbeDevice(input, id)) {
        case Probe::Held: break;
        case Probe::Free: untaken->push_back(id); break;
        default: return false;
        }
    }
    return true;
}

// A route's claim on a device of its name. Two routes that name one device (the
// same name and index: both into one synth) make one claim.
struct Claim {
    int r;
    bool held;
    bool known;  // held, and where is known
    bool missing = false;
    bool reopen = false;
};

template <class T>
bool Erase(std::vector<T>& v, T value) {
    const auto it = std::find(v.begin(), v.end(), value);
    if (it == v.end()) return false;
    v.erase(it);
    return true;
}

// Routes that name one name each get a device of that name of their own. One that
// holds its device keeps it, wherever it is listed now; one that needs a device
// takes its own index if that is free, else a free one; with none free it is missing.
// A route holding a device whose index went stale holds one of them, but which is not
// known: while none is free for the other route that is all that matters; once one is
// free, both are opened afresh, since opening either free-looking index might open
// the very device it holds (a driver of several clients would take it twice).
void ShareName(Side& side, std::vector<Claim>& claims, const std::vector<std::string>& present) {
    const std::string wanted = Wanted(*side.name[claims[0].r]);
    std::vector<int32_t> free;
    for (size_t j = 0; j < present.size(); ++j)
        if (present[j] == wanted) free.push_back(static_cast<int32_t>(j));
    if (free.empty()) {
        for (Claim& c : claims) c.missing = true;
        return;
    }
    // Indices move by swapping, so that routes of one name never come to name one
    // index (which would read as both routes into one device) while one waits.
    const auto moveTo = [&](const Claim& c, int32_t index) {
        const int32_t old = *side.index[c.r];
        for (const Claim& o : claims)
            if (&o != &c && *side.index[o.r] == index) *side.index[o.r] = old;
        *side.index[c.r] = index;
        Erase(free, index);
    };
    size_t unknown = 0;
    bool needs = false;
    for (Claim& c : claims) {
        if (c.known && std::find(free.begin(), free.end(), side.heldAt[c.r]) != free.end()) moveTo(c, side.heldAt[c.r]);
        else if (c.held) c.known = false, ++unknown;
        else needs = true;
    }
    if (needs && unknown > 0 && free.size() > unknown) {
        std::vector<int32_t> untaken;
        if (TellFree(side.input, free, &untaken)) {
            free = untaken;  // the devices that refused are the ones the routes hold
        } else {
            for (Claim& c : claims)
                if (c.held && !c.known) c.held = false, c.reopen = true;
        }
        unknown = 0;
    }
    std::vector<int32_t> picked;
    // A route whose own index is free takes it first; the others take what is left.
    for (const bool ownOnly : {true, false}) {
        for (Claim& c : claims) {
            if (c.held || c.missing || std::find(picked.begin(), picked.end(), c.r) != picked.end()) continue;
            const bool own = std::find(free.begin(), free.end(), *side.index[c.r]) != free.end();
            if (ownOnly && !own) continue;
            if (free.size() <= unknown) {
                c.missing = true;
                continue;
            }
            moveTo(c, own ? *side.index[c.r] : free[0]);
            picked.push_back(c.r);
        }
    }
    // The one device of the name no one else holds is the one a route holds there.
    for (Claim& c : claims)
        if (c.held && !c.known && unknown == 1 && free.size() == 1) moveTo(c, free[0]);
    // Where the one picked is held by another program, the devices no route picked.
    for (int r : picked) side.others[r] = free;
}

void FollowSide(Side& side, const std::vector<std::string>& present) {
    std::vector<Claim> claims[2];  // by name; at most two routes, so at most two names
    int claimOf[2] = {-1, -1};
    for (int r = 0; r < 2; ++r) {
        side.reopen[r] = false;
        side.others[r].clear();
        if (!side.configured[r] || *side.index[r] == NO_DEVICE || !Named(*side.name[r])) {
            side.missing[r] = Follow(*side.index[r], *side.name[r], present);
            continue;
        }
        const bool known = side.held[r] && side.heldAtCurrent[r] && side.heldAt[r] >= 0;
        if (r == 1 && claimOf[0] >= 0 && Wanted(*side.name[0]) == Wanted(*side.name[1])) {
            if (*side.index[0] == *side.index[1]) {
                claimOf[1] = claimOf[0];  // one device for both: shared
                continue;
            }
            claimOf[1] = claimOf[0];
            claims[claimOf[0]].push_back(Claim{r, side.held[r], known});
            continue;
        }
        claimOf[r] = r;
        claims[r].push_back(Claim{r, side.held[r], known});
    }
    for (auto& group : claims) {
        if (group.empty()) continue;
        ShareName(side, group, present);
        for (const Claim& c : group) {
            side.missing[c.r] = c.missing;
            side.reopen[c.r] = c.reopen;
        }
    }
    // A route that shares route 1's device shares what it found.
    if (claimOf[1] == 0 && claims[0].size() == 1 && side.configured[1]) {
        *side.index[1] = *side.index[0];
        side.missing[1] = side.missing[0];
        side.reopen[1] = side.reopen[0];
        side.others[1] = side.others[0];
    }
}

// Where a device the routes hold is listed now: the index it answers to, while the
// backend's answers follow the lists; where they keep the index of the open (winmm),
// only until the lists change after that open.
struct HeldPlaces {
    std::vector<std::string> seen[2];  // the lists at the last look: inputs, outputs
    bool stale[2][2] = {};             // [kind][route]
    void Look(int kind, const std::vector<std::string>& present, const bool held[2], bool current[2]) {
        const bool changed = present != seen[kind];
        seen[kind] = present;
        for (int r = 0; r < 2; ++r) {
            // A route that holds nothing opens after this look, at an index of these lists.
            stale[kind][r] = held[r] && (stale[kind][r] || changed);
            current[r] = midi::IdsFollowRenumbering() || !stale[kind][r];
        }
    }
};
HeldPlaces heldPlaces;

}  // namespace

std::vector<std::string> PresentInputNames(std::string (*unreadable)(uint32_t)) {
    return Names(midi::InGetNumDevs(), &midi::InGetDevCaps, unreadable);
}
std::vector<std::string> PresentOutputNames(std::string (*unreadable)(uint32_t)) {
    return Names(midi::OutGetNumDevs(), &midi::OutGetDevCaps, unreadable);
}

int32_t FollowDevice(int32_t index, const char* name, const std::vector<std::string>& present) {
    if (index == NO_DEVICE || !Named(name)) return index;
    const std::string wanted = Wanted(name);
    if (index >= 0 && static_cast<size_t>(index) < present.size() && present[static_cast<size_t>(index)] == wanted)
        return index;
    int32_t found = -1;
    for (size_t j = 0; j < present.size(); ++j) {
        if (present[j] != wanted) continue;
        if (found >= 0) return index;  // two devices of that name: no telling which
        found = static_cast<int32_t>(j);
    }
    return found >= 0 ? found : index;
}

void DeviceNameAt(char (&name)[kDeviceNameSize], int32_t index, const std::vector<std::string>& present) {
    std::memset(name, 0, sizeof name);
    if (index < 0 || static_cast<size_t>(index) >= present.size()) return;
    Cp932CopyCut(name, present[static_cast<size_t>(index)].c_str(), kDeviceNameSize - 1);
}

bool DeviceMissing(const char* name, const std::vector<std::string>& present) {
    if (!Named(name)) return false;
    const std::string wanted = Wanted(name);
    for (const std::string& p : present)
        if (p == wanted) return false;
    return true;
}

MissingDevices FollowDevicesByName(KavoSettings& s, const HeldDevices& held) {
    const std::vector<std::string> lists[2] = {PresentInputNames(), PresentOutputNames()};
    MissingDevices missing;
    // The stored assignment follows as the active one does where the two name the same
    // devices (the port setup dialog then shows and stores what the routes opened);
    // a picked preset's stored assignment follows on its own.
    bool same[2][2];
    for (int r = 0; r < 2; ++r) {
        const RouteSettings& rs = s.routeSettings[r];
        same[0][r] = rs.MIDIIn == s.activeIn[r] && Wanted(s.routeNames[r].in) == Wanted(s.activeNames[r].in);
        same[1][r] = rs.MIDIOut == s.activeOut[r] && Wanted(s.routeNames[r].out) == Wanted(s.activeNames[r].out);
    }
    for (int kind = 0; kind < 2; ++kind) {
        const bool in = kind == 0;
        const bool* holds = in ? held.in : held.out;
        Side active{in,
                    {in ? &s.activeIn[0] : &s.activeOut[0], in ? &s.activeIn[1] : &s.activeOut[1]},
                    {in ? &s.activeNames[0].in : &s.activeNames[0].out, in ? &s.activeNames[1].in : &s.activeNames[1].out},
                    {s.IsActiveRouteConfigured(0), s.IsActiveRouteConfigured(1)},
                    {holds[0], holds[1]},
                    {in ? held.inAt[0] : held.outAt[0], in ? held.inAt[1] : held.outAt[1]},
                    {false, false},
                    in ? missing.in : missing.out,
                    in ? missing.reopenIn : missing.reopenOut,
                    in ? missing.inOthers : missing.outOthers};
        heldPlaces.Look(kind, lists[kind], active.held, active.heldAtCurrent);
        FollowSide(active, lists[kind]);

        bool ignoredMissing[2];
        bool ignoredReopen[2];
        std::vector<int32_t> ignoredOthers[2];
        RouteSettings* rs = s.routeSettings;
        Side stored{in,
                    {in ? &rs[0].MIDIIn : &rs[0].MIDIOut, in ? &rs[1].MIDIIn : &rs[1].MIDIOut},
                    {in ? &s.routeNames[0].in : &s.routeNames[0].out, in ? &s.routeNames[1].in : &s.routeNames[1].out},
                    {IsRouteConfigured(rs[0].MIDIIn, rs[0].MIDIOut, rs[0].Enabled), IsRouteConfigured(rs[1].MIDIIn, rs[1].MIDIOut, rs[1].Enabled)},
                    {false, false},
                    {-1, -1},
                    {false, false},
                    ignoredMissing,
                    ignoredReopen,
                    ignoredOthers};
        if (same[kind][0] && same[kind][1]) {
            for (int r = 0; r < 2; ++r) {
                *stored.index[r] = *active.index[r];
                std::memcpy(*stored.name[r], *active.name[r], kDeviceNameSize);
            }
        } else {
            FollowSide(stored, lists[kind]);
        }
    }
    return missing;
}
