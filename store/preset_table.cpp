#include "store/preset_table.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "store/cp932.h"
#include "platform/file_replace.h"

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

}  // namespace

void LoadPresets(PresetTable& t, const char* path) {
    // A table that was in use before (a second load) must not keep bytes that a short
    // file does not cover.
    std::memset(static_cast<void*>(&t), 0, sizeof t);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return;
    const size_t got = std::fread(static_cast<void*>(&t), 1, sizeof t, f);
    std::fclose(f);
    (void)got;  // a short file fills only the leading bytes
    BoundLoadedTable(t);
}

void SavePresets(PresetTable& t, const char* path) {
    // PORT.KAV is never cut open in place: a crash or a full disk during the write
    // would lose every preset. The new table goes to a file beside it first.
    const std::string temp = std::string(path) + ".tmp";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) return;
    std::memcpy(t.magic, kMagic, sizeof t.magic);
    t.magicEnd = '\0';
    bool ok = std::fwrite(static_cast<const void*>(&t), 1, sizeof t, f) == sizeof t;
    ok = SyncFileToDisk(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (ok) ok = ReplaceFileWith(temp.c_str(), path);
    // Only the file this call created is removed, never what was at that name before.
    if (!ok) std::remove(temp.c_str());
}

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
