#include "tray/menu_model.h"

#include <cstdio>
#include <cstring>

namespace {

// A slot's name; the store bounds a damaged slot to 36 bytes and its NUL on loading,
// but the bound here keeps a table made in memory from being read past its slot.
std::string SlotName(const PresetTable& t, int k) {
    return std::string(t.names[k], strnlen(t.names[k], kPresetSlotBytes));
}

// The table's count, held to what the slots can hold.
int PresetCount(const PresetTable& t) {
    if (t.count < 0) return 0;
    return t.count > kPresetMax ? kPresetMax : t.count;
}

}  // namespace

std::string MenuAcceleratorSuffix(int position) {
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), " (&%X)", static_cast<unsigned>(position));
    return suffix;
}

TrayMenuModel BuildTrayMenuModel(const char* Name, int32_t pickedEntry, const PresetTable& presets,
                                 bool engineRunning, const TrayMenuTexts& texts) {
    const std::string name = Name ? std::string(Name) : std::string();
    TrayMenuModel m;
    const bool withDefault = name.empty();
    if (withDefault) m.entries.push_back({texts.defaultEntry, kMenuPresetIdFirst, -1});

    int nameMatch = -1;  // the last entry whose preset bears Name exactly
    int firstNameMatch = -1;
    const int count = PresetCount(presets);
    for (int k = 0; k < count; ++k) {
        const int position = static_cast<int>(m.entries.size());
        const std::string presetName = SlotName(presets, k);
        if (presetName == name) {
            nameMatch = position;
            if (firstNameMatch < 0) firstNameMatch = position;
        }
        m.entries.push_back({presetName + MenuAcceleratorSuffix(position),
                             kMenuPresetIdFirst + static_cast<unsigned>(position), k});
    }

    const int entryCount = static_cast<int>(m.entries.size());
    if (pickedEntry == -1) {
        m.checkedEntry = nameMatch >= 0 ? nameMatch : 0;
    } else {
        bool positionBearsName = false;
        if (pickedEntry >= 0 && pickedEntry < entryCount) {
            const TrayMenuEntry& e = m.entries[pickedEntry];
            positionBearsName = e.presetIndex < 0 ? withDefault : SlotName(presets, e.presetIndex) == name;
        }
        // "Default (&0)" never needs the search: while Name is empty it keeps
        // position 0, where it was picked.
        m.checkedEntry = positionBearsName ? pickedEntry : firstNameMatch;
    }

    if (entryCount <= 1) {
        m.presetSectionRemoved = true;
        m.checkedEntry = -1;
    }
    m.startStopText = engineRunning ? texts.stop : texts.start;
    return m;
}

int PresetIndexForMenuId(unsigned id, const char* Name) {
    const int entry = static_cast<int>(id) - static_cast<int>(kMenuPresetIdFirst);
    const bool withDefault = !Name || Name[0] == '\0';
    return withDefault ? entry - 1 : entry;
}
