#include "store/preset_names.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file_replace.h"

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

}  // namespace

bool LoadPresetDeviceNames(PresetDeviceNames& names, int presetCount, const char* path) {
    names = PresetDeviceNames{};
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    unsigned char bytes[kPresetNamesFileBytes + 1];
    const size_t got = std::fread(bytes, 1, sizeof bytes, f);
    std::fclose(f);
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

void SavePresetDeviceNames(const PresetDeviceNames& names, int presetCount, const char* path) {
    unsigned char bytes[kPresetNamesFileBytes];
    std::memcpy(bytes, kMagic, sizeof kMagic);
    PutU32(bytes + 8, kVersion);
    PutU32(bytes + 12, static_cast<uint32_t>(presetCount));
    std::memcpy(bytes + 16, &names, sizeof names);

    const std::string temp = std::string(path) + ".new";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return;
    const bool written = std::fwrite(bytes, 1, sizeof bytes, f) == sizeof bytes && SyncFileToDisk(f);
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || !ReplaceFileWith(temp.c_str(), path)) std::remove(temp.c_str());
}
