#include "tray/tray_menu.h"

#include "res/resource.h"

void ApplyTrayMenuModel(HMENU popup, const TrayMenuModel& model) {
    for (size_t i = 0; i < model.entries.size(); ++i) {
        const TrayMenuEntry& e = model.entries[i];
        const UINT position = static_cast<UINT>(kMenuFirstEntryPosition + i);
        // The first entry takes over the placeholder; the others go in below it.
        if (i == 0) {
            ::ModifyMenuA(popup, position, MF_BYPOSITION | MF_STRING, e.id, e.text.c_str());
        } else {
            ::InsertMenuA(popup, position, MF_BYPOSITION | MF_STRING, e.id, e.text.c_str());
        }
    }
    if (model.presetSectionRemoved) {
        // The separator under the start/stop item, then what moved up into its place:
        // the single entry or the untouched placeholder.
        ::DeleteMenu(popup, kMenuPresetSeparatorPosition, MF_BYPOSITION);
        ::DeleteMenu(popup, kMenuPresetSeparatorPosition, MF_BYPOSITION);
    } else if (model.checkedEntry >= 0) {
        ::CheckMenuItem(popup, static_cast<UINT>(kMenuFirstEntryPosition + model.checkedEntry), MF_BYPOSITION | MF_CHECKED);
    }
    ::ModifyMenuA(popup, ID_KAVO_ENABLE, MF_BYCOMMAND | MF_STRING, ID_KAVO_ENABLE, model.startStopText.c_str());
}

std::vector<MenuItemRecord> ReadMenuItems(HMENU menu) {
    std::vector<MenuItemRecord> items;
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        MENUITEMINFOA info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = sizeof(text) - 1;
        MenuItemRecord r;
        if (::GetMenuItemInfoA(menu, static_cast<UINT>(i), TRUE, &info)) {
            r.separator = (info.fType & MFT_SEPARATOR) != 0;
            r.id = info.wID;
            r.checked = (info.fState & MFS_CHECKED) != 0;
            r.text = text;
        }
        items.push_back(r);
    }
    return items;
}

std::string FormatMenuItems(const std::vector<MenuItemRecord>& items) {
    std::string out;
    for (const MenuItemRecord& r : items) {
        if (r.separator) {
            out += "---\n";
            continue;
        }
        out += std::to_string(r.id) + (r.checked ? " x " : " - ") + r.text + "\n";
    }
    return out;
}
