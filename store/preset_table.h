#pragma once
// The presets: up to 16 named port assignments of both routes, held in a table that
// is the exact image of the file "PORT.KAV" (1120 bytes, little-endian).
#include <cstddef>
#include <cstdint>

#include "engine/settings.h"

constexpr int kPresetMax = 16;
constexpr int kPresetSlotBytes = 37;
constexpr size_t kPresetNameMax = 36;  // bytes before the NUL
constexpr size_t kPresetFileBytes = 1120;
extern const char kPresetFileName[];  // "PORT.KAV"

struct PresetTable {
    char magic[8] = {};  // "KAVO2.00"
    char magicEnd = 0;   // NUL
    char reserved[3] = {};
    int32_t count = 0;   // presets 0 .. count - 1 are in use
    // Slots at count and above carry no meaning; after a removal they may hold an
    // older preset.
    char names[kPresetMax][kPresetSlotBytes] = {};
    RouteSettings ports[kPresetMax][2] = {};  // route 1, route 2
};
static_assert(sizeof(PresetTable) == kPresetFileBytes, "the table is the file, byte for byte");
static_assert(offsetof(PresetTable, magicEnd) == 8, "layout of PORT.KAV");
static_assert(offsetof(PresetTable, reserved) == 9, "layout of PORT.KAV");
static_assert(offsetof(PresetTable, count) == 12, "layout of PORT.KAV");
static_assert(offsetof(PresetTable, names) == 16, "layout of PORT.KAV");
static_assert(offsetof(PresetTable, ports) == 608, "layout of PORT.KAV");

// Reads the first 1120 bytes of PORT.KAV, from where it lives (store/preset_location.h),
// into t (a shorter file leaves the rest zero, a missing one leaves all zero). The
// magic is not checked, but a damaged count is bounded to 0..16 and a name slot
// without its NUL is cut to at most 36 bytes, so nothing reads past the table or a
// slot. Needs nothing else of the program: it may run first thing at start-up.
// Returns what it found: a file that is there but does not read (held by a backup or
// a virus scanner, access denied) loads as no presets, as a missing one does, but is
// not the program's to replace until it has been read (SavePresets).
enum class PresetFile { Read, Missing, Unreadable };
PresetFile LoadPresets(PresetTable& t);
// The same from the one file at path.
void LoadPresets(PresetTable& t, const char* path);
// Where the last LoadPresets(t) of PORT.KAV found it unreadable: reads it again into t,
// as that did. True when it reads now (t then holds the user's presets, and whatever
// was done to the empty table meanwhile is to be done again on them).
bool ReloadUnreadPresets(PresetTable& t);

// Writes t (with the magic put in) as PORT.KAV where it lives, or where it can be
// written (store/preset_location.h): to a temporary file beside it, put in place of
// the old one only once it is complete on the disk. True once it is in place; on any
// failure the old file is left as it was. The program reports nothing either way.
// A file that was there and could not be read is left as it is (false): its presets
// are the user's, and t never held them (ReloadUnreadPresets first).
bool SavePresets(PresetTable& t);
// The same to the one file at path.
bool SavePresets(PresetTable& t, const char* path);

// The text the caller shows when StorePreset finds the table full.
extern const char kPresetTableFullText[];

// The position of the preset in use whose name equals name, letters A-Z matching
// a-z; -1 when there is none. The byte after a double-byte lead byte is compared
// exactly, so that two different Japanese characters never count as one.
int FindPreset(const PresetTable& t, const char* name);

enum class StoreOutcome {
    Added,      // a new preset at slot == the count before
    Replaced,   // the preset of that name (letter case aside) at slot took the new one
    EmptyName,  // nothing stored, nothing to say
    TableFull,  // nothing stored; the caller shows kPresetTableFullText
};
struct StoreResult {
    StoreOutcome outcome;
    int slot;  // -1 unless Added or Replaced
};

// Stores ports under text cut to 36 bytes (without half a double-byte character).
// A full table refuses before the name is looked up, so it refuses an existing name
// too.
StoreResult StorePreset(PresetTable& t, const char* text, const RouteSettings (&ports)[2]);

// Removes the preset named text (uncut: a text longer than any name matches none):
// later presets move a slot toward the front, the last slot and record keep their
// bytes. Returns the removed position, or -1 when no preset has that name.
int RemovePreset(PresetTable& t, const char* text);
