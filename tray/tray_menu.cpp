#include "tray/tray_menu.h"

#include "platform/wide_text.h"
#include "res/resource.h"

void ApplyTrayMenuModel(HMENU popup, const TrayMenuModel& model) {
    for (size_t i = 0; i < model.entries.size(); ++i) {
        const TrayMenuEntry& e = model.entries[i];
        const UINT position = static_cast<UINT>(kMenuFirstEntryPosition + i);
        // The first entry takes over the placeholder; the others go in below it.
        const std::wstring label = text::Wide(e.text);
        if (i == 0) {
            ::ModifyMenuW(popup, position, MF_BYPOSITION | MF_STRING, e.id, label.c_str());
        } else {
            ::InsertMenuW(popup, position, MF_BYPOSITION | MF_STRING, e.id, label.c_str());
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
    ::ModifyMenuW(popup, ID_KAVO_ENABLE, MF_BYCOMMAND | MF_STRING, ID_KAVO_ENABLE,
                  text::Wide(model.startStopText).c_str());
    const UINT logonMark = model.startAtLogon ? MF_CHECKED : MF_UNCHECKED;
    ::CheckMenuItem(popup, ID_START_AT_LOGON, MF_BYCOMMAND | logonMark);
}

std::vector<MenuItemRecord> ReadMenuItems(HMENU menu) {
    std::vector<MenuItemRecord> items;
    const int count = ::GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t label[256] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
        info.dwTypeData = label;
        info.cch = 255;
        MenuItemRecord r;
        if (::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) {
            r.separator = (info.fType & MFT_SEPARATOR) != 0;
            r.id = info.wID;
            r.checked = (info.fState & MFS_CHECKED) != 0;
            r.text = text::Narrow(label);
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
