#include "app/test_control.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/kavo_app.h"
#include "app/test_control_protocol.h"
#include "app/test_control_dialog.h"
#include "engine/engine.h"
#include "platform/wide_text.h"
#include "platform/message_box.h"
#include "tray/tray_icon.h"
#include "tray/tray_menu.h"

namespace {

bool enabled = false;
// The virtual devices, or null on the system's devices: then the requests that read
// or play a device answer 0 and the state leaves out the devices' open counts.
midi::VirtualMidi* devices = nullptr;
// The output "another program" holds (kDeviceHold), or null.
midi::OutHandle heldByOther = nullptr;

// The system's boxes: how many were shown, and the type the last one was made with as
// the system got it (0 before the first). Boxes come from the worker too.
std::atomic<unsigned> boxesShown{0};
std::atomic<unsigned> lastBoxType{0};

void BoxShown(unsigned type) {
    lastBoxType.store(type, std::memory_order_relaxed);
    boxesShown.fetch_add(1, std::memory_order_relaxed);
}

// The adds of the icon asked of the shell, how many of them were refused on purpose,
// and how many are still to be refused.
int iconAdds = 0;
int iconAddsRefused = 0;
int iconRefusalsLeft = 0;

// How many of the first adds to refuse: the number in KAVO_TEST_ICON_REFUSALS.
int IconRefusalsRequested() {
    const char* v = std::getenv("KAVO_TEST_ICON_REFUSALS");
    if (!v || !*v) return 0;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return *end == '\0' && n > 0 && n < 1000000 ? static_cast<int>(n) : 0;
}

bool MayAddIcon() {
    ++iconAdds;
    if (iconRefusalsLeft == 0) return true;
    --iconRefusalsLeft;
    ++iconAddsRefused;
    return false;
}

// The items of the last menu opened, read from the real menu right before it was
// shown; how many menus were opened; how many are open now (one inside another when a
// second right click came while the first was shown).
std::vector<MenuItemRecord> lastMenuItems;
int menuOpenings = 0;
int menusOpen = 0;

void MenuOpenedOrClosed(HMENU popup, bool open) {
    if (!open) {
        --menusOpen;
        return;
    }
    lastMenuItems = ReadMenuItems(popup);
    ++menuOpenings;
    ++menusOpen;
}

// The picture the shell was handed, known by the record's handle: the pictures are
// loaded shared, so loading one again gives the handle the record holds. 0 while the
// record holds none.
int PictureHandedToShell(const NOTIFYICONDATAW& record) {
    if (!record.hIcon) return 0;
    for (int picture : {kIconStoppedOne, kIconStoppedTwo, kIconRunningOne, kIconRunningTwo, kIconConvertingOne,
                        kIconConvertingTwo}) {
        if (LoadTrayPicture(picture) == record.hIcon) return picture;
    }
    return 0;
}

bool ReadU32(const COPYDATASTRUCT* data, uint32_t* value) {
    if (!data->lpData || data->cbData < sizeof(uint32_t)) return false;
    std::memcpy(value, data->lpData, sizeof(uint32_t));
    return true;
}

void Reply(HWND sender, const std::string& text) {
    COPYDATASTRUCT reply = {};
    reply.dwData = testctl::kReply;
    reply.cbData = static_cast<DWORD>(text.size());
    reply.lpData = const_cast<char*>(text.data());
    DWORD_PTR ignored = 0;
    // A test driver that died must not hang the program.
    ::SendMessageTimeoutW(sender, WM_COPYDATA, reinterpret_cast<WPARAM>(TheKavoApp().trayWnd.m_hWnd),
                          reinterpret_cast<LPARAM>(&reply), SMTO_ABORTIFHUNG, 5000, &ignored);
}

std::string DumpOutput(uint32_t output, bool timed) {
    std::string text;
    char line[32];
    for (const midi::VirtualMidi::OutEvent& e : devices->OutRecord(output)) {
        if (timed) text += std::to_string(e.timeNs / 1000) + " ";
        if (!e.isLong) {
            std::snprintf(line, sizeof(line), "S %08X\n", static_cast<unsigned>(e.shortMsg));
            text += line;
            continue;
        }
        text += "L ";
        for (uint8_t b : e.bytes) {
            std::snprintf(line, sizeof(line), "%02X", b);
            text += line;
        }
        text += "\n";
    }
    return text;
}

std::string CountList(uint32_t count, int (midi::VirtualMidi::*openCount)(uint32_t) const) {
    std::string list;
    for (uint32_t id = 0; id < count; ++id) {
        if (id) list += ",";
        list += std::to_string((devices->*openCount)(id));
    }
    return list;
}

// What the system made of the manifest: the small-icon size (it follows the DPI the
// process is aware of), the size the notification icon was loaded at, and the file of
// the common controls library the process runs with (version 6 lives in the
// side-by-side store; a program without the dependency gets the system folder's 5).
std::string DesktopSetup() {
    std::string text = "smallIcon=" + std::to_string(::GetSystemMetrics(SM_CXSMICON)) + "x" +
                       std::to_string(::GetSystemMetrics(SM_CYSMICON)) + "\n";
    // The picture the shell was given, as the loader sized it.
    ICONINFO info = {};
    if (HICON icon = TheKavoApp().trayIcon.hIcon; icon && ::GetIconInfo(icon, &info)) {
        BITMAP bits = {};
        ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bits, &bits);
        text += "trayIcon=" + std::to_string(bits.bmWidth) + "x" +
                std::to_string(info.hbmColor ? bits.bmHeight : bits.bmHeight / 2) + "\n";
        if (info.hbmColor) ::DeleteObject(info.hbmColor);
        if (info.hbmMask) ::DeleteObject(info.hbmMask);
    }
    wchar_t path[MAX_PATH] = {};
    if (HMODULE controls = ::GetModuleHandleW(L"comctl32.dll"); controls && ::GetModuleFileNameW(controls, path, MAX_PATH))
        text += "commonControls=" + text::Narrow(path, wcslen(path)) + "\n";
    return text;
}

std::string QueryState() {
    const CKavoApp& app = TheKavoApp();
    std::string text;
    text += "icon=" + std::to_string(app.trayIconShown ? 1 : 0) + "\n";
    text += "picture=" + std::to_string(PictureHandedToShell(app.trayIcon)) + "\n";
    // A tip of two lines stays on one: its line break reads "\n".
    std::string tip = text::Narrow(app.trayIcon.szTip, wcsnlen(app.trayIcon.szTip, std::size(app.trayIcon.szTip)));
    for (size_t at = 0; (at = tip.find('\n', at)) != std::string::npos; at += 2) tip.replace(at, 1, "\\n");
    text += "tip=" + tip + "\n";
    text += "running=" + std::to_string(engineRunning.load()) + "\n";
    text += "routeIn=" + std::to_string(routeIn[0] ? 1 : 0) + "," + std::to_string(routeIn[1] ? 1 : 0) + "\n";
    text += "routeOut=" + std::to_string(routeOut[0] ? 1 : 0) + "," + std::to_string(routeOut[1] ? 1 : 0) + "\n";
    text += "wait=" + std::to_string(static_cast<int>(RouteWaitsFor(0))) + "," +
            std::to_string(static_cast<int>(RouteWaitsFor(1))) + "\n";
    text += "boxes=" + std::to_string(boxesShown.load(std::memory_order_relaxed)) + "\n";
    if (!devices) return text;
    text += "inOpen=" + CountList(devices->InGetNumDevs(), &midi::VirtualMidi::InOpenCount) + "\n";
    text += "outOpen=" + CountList(devices->OutGetNumDevs(), &midi::VirtualMidi::OutOpenCount) + "\n";
    return text;
}

LRESULT HandleRequest(HWND sender, const COPYDATASTRUCT* data) {
    if (!enabled || !data) return 0;
    uint32_t id = 0;
    switch (data->dwData) {
    case testctl::kFeedShort: {
        if (!devices) return 0;
        testctl::FeedShort feed = {};
        if (!data->lpData || data->cbData != sizeof(feed)) return 0;
        std::memcpy(&feed, data->lpData, sizeof(feed));
        return devices->SendShort(feed.input, feed.message) ? 1 : 2;
    }
    case testctl::kFeedSysEx: {
        if (!devices || !ReadU32(data, &id)) return 0;
        const uint8_t* bytes = static_cast<const uint8_t*>(data->lpData) + sizeof(uint32_t);
        return devices->SendSysEx(id, bytes, data->cbData - sizeof(uint32_t)) ? 1 : 2;
    }
    case testctl::kDumpOutput:
    case testctl::kDumpOutputTimed:
        if (!devices || !ReadU32(data, &id) || id >= devices->OutGetNumDevs()) return 0;
        Reply(sender, DumpOutput(id, data->dwData == testctl::kDumpOutputTimed));
        return 1;
    case testctl::kClearOutput:
        if (!devices || !ReadU32(data, &id) || id >= devices->OutGetNumDevs()) return 0;
        devices->ClearOutRecord(id);
        return 1;
    case testctl::kDeviceRemove:
    case testctl::kDeviceAdd: {
        testctl::DeviceChange change = {};
        if (!devices || !data->lpData || data->cbData < sizeof(change)) return 0;
        std::memcpy(&change, data->lpData, sizeof(change));
        if (change.output > 1) return 0;
        const bool output = change.output == 1;
        if (data->dwData == testctl::kDeviceRemove) {
            if (data->cbData != sizeof(change)) return 0;
            return (output ? devices->RemoveOutput(change.index) : devices->RemoveInput(change.index)) ? 1 : 0;
        }
        const std::string name(static_cast<const char*>(data->lpData) + sizeof(change), data->cbData - sizeof(change));
        std::optional<uint32_t> at;
        if (change.index != testctl::kAtEnd) at = change.index;
        return (output ? devices->AddOutput(name, at) : devices->AddInput(name, at)) ? 1 : 0;
    }
    case testctl::kDeviceHold: {
        if (!devices || heldByOther || !data->lpData || data->cbData == 0) return 0;
        const std::string name(static_cast<const char*>(data->lpData), data->cbData);
        if (!devices->AddOutput(name)) return 0;
        return devices->OutOpen(&heldByOther, devices->OutGetNumDevs() - 1, nullptr, 0) == midi::kNoError ? 1 : 0;
    }
    case testctl::kDeviceFree: {
        if (!devices || !heldByOther) return 0;
        const bool closed = devices->OutClose(heldByOther) == midi::kNoError;
        heldByOther = nullptr;
        return closed ? 1 : 0;
    }
    case testctl::kDeviceSleep:
        return devices && devices->Suspend() ? 1 : 0;
    case testctl::kDeviceResume:
        return devices && devices->Resume() ? 1 : 0;
    case testctl::kQueryState:
        Reply(sender, QueryState());
        return 1;
    case testctl::kQueryDesktopSetup:
        Reply(sender, DesktopSetup());
        return 1;
    case testctl::kQueryIconAdds:
        Reply(sender, "adds=" + std::to_string(iconAdds) + "\nrefused=" + std::to_string(iconAddsRefused) +
                          "\nretrying=" + std::to_string(TheKavoApp().IconRetrying() ? 1 : 0) + "\n");
        return 1;
    case testctl::kQueryBox: {
        const unsigned type = lastBoxType.load(std::memory_order_relaxed);
        Reply(sender, "topmost=" + std::to_string((type & MB_TOPMOST) ? 1 : 0) +
                          "\nsetforeground=" + std::to_string((type & MB_SETFOREGROUND) ? 1 : 0) + "\n");
        return 1;
    }
    case testctl::kQueryMenu:
        Reply(sender, "open=" + std::to_string(menusOpen > 0 ? 1 : 0) + "\nopenings=" + std::to_string(menuOpenings) +
                          "\n" + FormatMenuItems(lastMenuItems));
        return 1;
    default:
        return HandlePortSetupTestRequest(sender, TheKavoApp().trayWnd.m_hWnd, data, devices);
    }
}

}  // namespace

void StartTestRecording() {
    iconRefusalsLeft = IconRefusalsRequested();
    platform::SetSystemBoxListener(&BoxShown);
    SetTrayIconAddGate(&MayAddIcon);
    CTrayWnd::SetMenuListener(&MenuOpenedOrClosed);
}

void EnableTestControl(midi::VirtualMidi* virtualDevices) {
    enabled = true;
    devices = virtualDevices;
    CTrayWnd::SetCopyDataHandler(&HandleRequest);
}
