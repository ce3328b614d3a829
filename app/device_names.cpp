#include "app/device_names.h"

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

MissingDevices FollowDevicesByName(KavoSettings& s) {
    const std::vector<std::string> ins = PresentInputNames();
    const std::vector<std::string> outs = PresentOutputNames();
    MissingDevices missing;
    for (int r = 0; r < 2; ++r) {
        Follow(s.routeSettings[r].MIDIIn, s.routeNames[r].in, ins);
        Follow(s.routeSettings[r].MIDIOut, s.routeNames[r].out, outs);
        missing.in[r] = Follow(s.activeIn[r], s.activeNames[r].in, ins);
        missing.out[r] = Follow(s.activeOut[r], s.activeNames[r].out, outs);
    }
    return missing;
}
