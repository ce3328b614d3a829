#pragma once
// The real pop-up menu: moving the menu model into the menu loaded from the
// resources, and reading a menu's items back (for the Windows tests and the
// test-only control channel). Windows build only.
#include <windows.h>

#include <string>
#include <vector>

#include "tray/menu_model.h"

// Edits the first pop-up of menu 135 in place: the preset entries over the
// placeholder and after it, the section's removal or the check mark, the
// start/stop text and the start-at-logon item's check mark.
void ApplyTrayMenuModel(HMENU popup, const TrayMenuModel& model);

struct MenuItemRecord {
    bool separator = false;
    UINT id = 0;
    bool checked = false;
    std::string text;  // code page 932, as the menu holds it
};

std::vector<MenuItemRecord> ReadMenuItems(HMENU menu);

// One line per item: "---" for a separator, else "<id> <x or -> <text>" with x for a
// check mark.
std::string FormatMenuItems(const std::vector<MenuItemRecord>& items);
