#pragma once
// What the tray menu shows when it opens: the preset entries with their identifiers
// and accelerator suffixes, whether the preset section is removed, where the check
// mark goes and the start/stop text. A pure function of the settings and the preset
// table, so that both builds test it; the window code only moves the result into the
// menu loaded from the resources.
#include <cstdint>
#include <string>
#include <vector>

#include "store/preset_table.h"

// Identifiers of the preset entries: 20000 + the entry's position.
constexpr unsigned kMenuPresetIdFirst = 20000;
constexpr unsigned kMenuPresetIdLast = 20016;
// At most 16 presets and the "Default (&0)" entry.
constexpr int kMenuPresetEntriesMax = kPresetMax + 1;

// Position in the resource menu of the first preset entry (start/stop, separator,
// then the entries), and of the separator above it.
constexpr int kMenuFirstEntryPosition = 2;
constexpr int kMenuPresetSeparatorPosition = 1;

// The texts of the string table the menu uses (code page 932).
struct TrayMenuTexts {
    const char* defaultEntry = "";  // string 106, the entry standing for routeSettings
    const char* start = "";         // string 104, while pass-through is stopped
    const char* stop = "";          // string 105, while it runs
};

struct TrayMenuEntry {
    std::string text;  // code page 932, the suffix included
    unsigned id = 0;
    int presetIndex = -1;  // -1 for the "Default (&0)" entry
};

struct TrayMenuModel {
    std::vector<TrayMenuEntry> entries;
    // Fewer than two entries: the entries and the separator above them leave the
    // menu, and no check mark is put.
    bool presetSectionRemoved = false;
    // The entry that carries the check mark, or -1 for none.
    int checkedEntry = -1;
    std::string startStopText;
    // The check mark of the start-at-logon item: the Run value names this program.
    // Not the model's to decide; the window reads the registry and sets it.
    bool startAtLogon = false;
};

// The suffix " (&%X)" of the entry at position.
std::string MenuAcceleratorSuffix(int position);

// The preset whose name an entry stands for when choosing the check mark: the
// "Default (&0)" entry stands for the empty name, the one Name keeps while it is
// picked.
//
// The check mark:
// - nothing picked since start-up or the last Apply (pickedEntry -1): the last entry
//   whose name equals Name byte for byte, else the first entry;
// - after a pick: pickedEntry is the position the entry had when it was picked, and
//   Name is the picked entry's name (a pick sets it; only Apply changes it, and Apply
//   forgets the pick). The position keeps the mark while the entry there still bears
//   Name. When the menu's layout has changed since (the pick replaced an empty Name,
//   so "Default (&0)" is gone; or presets were removed in the port setup dialog
//   before Apply) the mark moves to the first entry that bears Name, and when the
//   picked preset is gone altogether no entry gets it: none of them is what runs.
TrayMenuModel BuildTrayMenuModel(const char* Name, int32_t pickedEntry, const PresetTable& presets,
                                 bool engineRunning, const TrayMenuTexts& texts);

// The preset an entry identifier picks, given Name when the menu was built: -1 for
// "Default (&0)" (the first identifier while Name is empty). The result may lie past
// the table's count when the identifier came from elsewhere; the caller checks.
int PresetIndexForMenuId(unsigned id, const char* Name);
