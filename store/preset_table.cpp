#include "store/preset_table.h"

#include <cstring>

#include "platform/cp932.h"
#include "store/preset_location.h"

const char kPresetFileName[] = "PORT.KAV";
const char kPresetTableFullText[] = "これ以上設定を追加する事はできません。";

namespace {

const char kMagic[9] = "KAVO2.00";

// The count as a loop bound: whatever the table holds, never past its 16 slots.
int UsedSlots(const PresetTable& t) { return t.count < 0 ? 0 : t.count > kPresetMax ? kPresetMax : t.count; }

unsigned char FoldAZ(unsigned char c) { return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c; }

// slot: at most kPresetSlotBytes bytes, its end being its NUL or its last byte.
bool NameEquals(const char* slot, const char* name) {
    bool trail = false;  // the byte at j is the second byte of a double-byte character
    for (size_t j = 0;; ++j) {
        const unsigned char a = j < kPresetSlotBytes ? static_cast<unsigned char>(slot[j]) : 0;
        const unsigned char b = static_cast<unsigned char>(name[j]);
        if (trail ? a != b : FoldAZ(a) != FoldAZ(b)) return false;
        if (a == 0) return true;
        trail = !trail && IsCp932LeadByte(a);
    }
}

void BoundLoadedTable(PresetTable& t) {
    t.count = UsedSlots(t);
    for (char* slot : t.names) {
        if (std::memchr(slot, '\0', kPresetSlotBytes) != nullptr) continue;
        // Cut the whole 37 bytes, so that a character whose second byte is the 37th
        // goes as a whole.
        char whole[kPresetSlotBytes + 1];
        std::memcpy(whole, slot, kPresetSlotBytes);
        whole[kPresetSlotBytes] = '\0';
        const size_t keep = Cp932CutLength(whole, kPresetNameMax);
        std::memset(slot + keep, 0, kPresetSlotBytes - keep);
    }
}

using ReadFn = bool (*)(const char*, void*, size_t, size_t*);

bool LoadInto(PresetTable& t, ReadFn read, const char* where) {
    // A table that was in use before (a second load) must not keep bytes that a short
    // file does not cover.
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    size_t got = 0;  // a short file fills only the leading bytes
    if (!read(where, static_cast<void*>(&t), sizeof t, &got)) return false;
    BoundLoadedTable(t);
    return true;
}

// What the last load of PORT.KAV found (the user-interface thread's).
PresetFile presetFile = PresetFile::Missing;

using WriteFn = bool (*)(const char*, const void*, size_t);

// The file gets the table with the magic put in; the table takes the magic only once
// the file is written, and is left unchanged when it cannot be.
bool SaveFrom(PresetTable& t, WriteFn write, const char* where) {
    PresetTable image = t;
    std::memcpy(image.magic, kMagic, sizeof image.magic);
    image.magicEnd = '\0';
    if (!write(where, static_cast<const void*>(&image), sizeof image)) return false;
    std::memcpy(t.magic, image.magic, sizeof t.magic);
    t.magicEnd = '\0';
    return true;
}

}  // namespace

PresetFile LoadPresets(PresetTable& t) {
    if (LoadInto(t, ReadPresetFile, kPresetFileName)) presetFile = PresetFile::Read;
    else presetFile = PresetFileExists(kPresetFileName) ? PresetFile::Unreadable : PresetFile::Missing;
    return presetFile;
}

void LoadPresets(PresetTable& t, const char* path) { LoadInto(t, ReadFileAt, path); }

bool ReloadUnreadPresets(PresetTable& t) {
    if (presetFile != PresetFile::Unreadable) return false;
    PresetTable again;
    if (LoadPresets(again) != PresetFile::Read) return false;
    t = again;
    return true;
}

bool SavePresets(PresetTable& t) {
    if (presetFile == PresetFile::Unreadable && PresetFileExists(kPresetFileName)) return false;
    if (!SaveFrom(t, WritePresetFile, kPresetFileName)) return false;
    presetFile = PresetFile::Read;  // what is there now is what t holds
    return true;
}

bool SavePresets(PresetTable& t, const char* path) { return SaveFrom(t, WriteFileAt, path); }

int FindPreset(const PresetTable& t, const char* name) {
    const int used = UsedSlots(t);
    for (int i = 0; i < used; ++i)
        if (NameEquals(t.names[i], name)) return i;
    return -1;
}

StoreResult StorePreset(PresetTable& t, const char* text, const RouteSettings (&ports)[2]) {
    char name[kPresetNameMax + 1];
    Cp932CopyCut(name, text, kPresetNameMax);
    if (name[0] == '\0') return {StoreOutcome::EmptyName, -1};
    const int used = UsedSlots(t);
    if (used >= kPresetMax) return {StoreOutcome::TableFull, -1};
    int i = FindPreset(t, name);
    StoreOutcome outcome = StoreOutcome::Replaced;
    if (i < 0) {
        i = used;
        t.count = used + 1;
        outcome = StoreOutcome::Added;
    }
    std::memset(t.names[i], 0, kPresetSlotBytes);
    std::memcpy(t.names[i], name, std::strlen(name));
    t.ports[i][0] = ports[0];
    t.ports[i][1] = ports[1];
    return {outcome, i};
}

int RemovePreset(PresetTable& t, const char* text) {
    const int i = FindPreset(t, text);
    if (i < 0) return -1;
    for (int j = i; j < kPresetMax - 1; ++j) {
        std::memcpy(t.names[j], t.names[j + 1], kPresetSlotBytes);
        t.ports[j][0] = t.ports[j + 1][0];
        t.ports[j][1] = t.ports[j + 1][1];
    }
    t.count = UsedSlots(t) - 1;
    return i;
}
