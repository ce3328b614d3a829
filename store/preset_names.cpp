#include "store/preset_names.h"

#include <cstdint>
#include <cstring>

#include "store/preset_location.h"

namespace {

const char kMagic[8] = {'K', 'A', 'V', 'O', 'N', 'A', 'M', 'E'};
constexpr uint32_t kVersion = 1;

void PutU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t GetU32(const unsigned char* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

// A name without its NUL (a damaged file) is cut at its last byte.
void Terminate(char (&name)[kDeviceNameSize]) { name[kDeviceNameSize - 1] = '\0'; }

const char kPresetNamesFileName[] = "PORTNAME.KAV";

using Reader = bool (*)(const char*, void*, size_t, size_t*);
using Writer = bool (*)(const char*, const void*, size_t);

bool Load(PresetDeviceNames& names, int presetCount, Reader read, const char* file) {
    names = PresetDeviceNames{};
    unsigned char bytes[kPresetNamesFileBytes + 1];
    size_t got = 0;
    // One byte more than the layout: a longer file shows as one.
    if (!read(file, bytes, sizeof bytes, &got)) return false;
    if (got != kPresetNamesFileBytes || std::memcmp(bytes, kMagic, sizeof kMagic) != 0 || GetU32(bytes + 8) != kVersion ||
        GetU32(bytes + 12) != static_cast<uint32_t>(presetCount))
        return false;
    std::memcpy(&names, bytes + 16, sizeof names);
    for (auto& slot : names.routes) {
        for (RouteDeviceNames& route : slot) {
            Terminate(route.in);
            Terminate(route.out);
        }
    }
    return true;
}

void Save(const PresetDeviceNames& names, int presetCount, Writer write, const char* file) {
    unsigned char bytes[kPresetNamesFileBytes];
    std::memcpy(bytes, kMagic, sizeof kMagic);
    PutU32(bytes + 8, kVersion);
    PutU32(bytes + 12, static_cast<uint32_t>(presetCount));
    std::memcpy(bytes + 16, &names, sizeof names);
    write(file, bytes, sizeof bytes);
}

}  // namespace

bool LoadPresetDeviceNames(PresetDeviceNames& names, int presetCount) {
    return Load(names, presetCount, ReadPresetFile, kPresetNamesFileName);
}
bool LoadPresetDeviceNames(PresetDeviceNames& names, int presetCount, const char* path) {
    return Load(names, presetCount, ReadFileAt, path);
}
void SavePresetDeviceNames(const PresetDeviceNames& names, int presetCount) {
    Save(names, presetCount, WritePresetFile, kPresetNamesFileName);
}
void SavePresetDeviceNames(const PresetDeviceNames& names, int presetCount, const char* path) {
    Save(names, presetCount, WriteFileAt, path);
}
