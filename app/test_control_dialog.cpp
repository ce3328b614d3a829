#include "app/test_control_dialog.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <utility>
#include <string>

#include "app/kavo_app.h"
#include "app/test_control_dialog_protocol.h"
#include "app/test_control_protocol.h"
#include "platform/wide_text.h"
#include "engine/engine.h"
#include "res/resource.h"

namespace {

const char kPortSetupCaption[] = "Kavo2 - MIDI I/Fの設定";

void Reply(HWND sender, HWND self, const std::string& text) {
    COPYDATASTRUCT reply = {};
    reply.dwData = testctl::kReply;
    reply.cbData = static_cast<DWORD>(text.size());
    reply.lpData = const_cast<char*>(text.data());
    DWORD_PTR ignored = 0;
    // A test driver that died must not hang the program.
    ::SendMessageTimeoutW(sender, WM_COPYDATA, reinterpret_cast<WPARAM>(self), reinterpret_cast<LPARAM>(&reply),
                          SMTO_ABORTIFHUNG, 5000, &ignored);
}

std::string NameBoxText() {
    HWND dialog = ::FindWindowW(L"#32770", text::Wide(kPortSetupCaption).c_str());
    std::string text = "dialog=" + std::to_string(dialog ? 1 : 0) + "\n";
    if (!dialog) return text;
    HWND box = ::GetDlgItem(dialog, IDC_NAME_BOX);
    const LRESULT count = ::SendMessageW(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[256] = {};
        COMBOBOXEXITEMW item = {};
        item.mask = CBEIF_TEXT | CBEIF_LPARAM;
        item.iItem = i;
        item.pszText = buffer;
        item.cchTextMax = 256;
        ::SendMessageW(box, CBEM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        text += "entry=" + std::to_string(item.lParam) + " " + text::Narrow(buffer) + "\n";
    }
    return text;
}

std::string Route(const RouteSettings& r) {
    return std::to_string(r.Enabled) + "," + std::to_string(r.MIDIIn) + "," + std::to_string(r.MIDIOut) + "," +
           std::to_string(r.Init);
}

std::string SettingsText() {
    const CKavoApp& app = TheKavoApp();
    std::string text = "name=" + std::string(app.Name, strnlen(app.Name, sizeof(app.Name))) + "\n";
    text += "picked=" + std::to_string(app.pickedEntry) + "\n";
    for (int r = 0; r < 2; ++r) text += "route" + std::to_string(r + 1) + "=" + Route(app.routeSettings[r]) + "\n";
    for (int r = 0; r < 2; ++r) {
        text += "active" + std::to_string(r + 1) + "=" + std::to_string(app.activeEnabled[r]) + "," +
                std::to_string(app.activeIn[r]) + "," + std::to_string(app.activeOut[r]) + "\n";
    }
    const PresetTable& t = app.presetTable;
    text += "presets=" + std::to_string(t.count) + "\n";
    for (int k = 0; k < t.count && k < kPresetMax; ++k) {
        text += "preset=" + std::string(t.names[k], strnlen(t.names[k], kPresetSlotBytes)) + "|" + Route(t.ports[k][0]) +
                "|" + Route(t.ports[k][1]) + "\n";
    }
    const std::pair<const char*, long long> values[] = {
        {"Port", app.Port.load()},
        {"Channel", app.Channel},
        {"VelConvertion", app.VelConvertion},
        {"Metronome", app.Metronome},
        {"TransPose", app.TransPose},
        {"tOctave", app.tOctave},
        {"vSens", app.vSens},
        {"vOffset", app.vOffset},
        {"mMeas", app.mMeas.load()},
        {"mTempo", app.mTempo.load()},
        {"velConvertOn", velConvertOn.load()},
        {"transposeOn", transposeOn.load()},
        {"transposeSemitones", transposeSemitones.load()},
        {"transformRoute", transformRoute.load()},
        {"metronomeOn", metronomeOn.load()},
        {"beatIndex", beatIndex.load()},
    };
    for (const auto& v : values) text += std::string(v.first) + "=" + std::to_string(v.second) + "\n";
    text += "velocityTable=";
    char hex[3];
    for (int i = 0; i < 128; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(velocityTable[i].load()));
        text += hex;
    }
    return text + "\n";
}

}  // namespace

LRESULT HandlePortSetupTestRequest(HWND sender, HWND self, const COPYDATASTRUCT* data, midi::VirtualMidi* devices) {
    switch (data->dwData) {
    case testctl::kSetCapsResult: {
        testctl::CapsResult caps = {};
        if (!devices || !data->lpData || data->cbData != sizeof(caps)) return 0;
        std::memcpy(&caps, data->lpData, sizeof(caps));
        if (caps.output) {
            devices->SetOutCapsResult(caps.device, caps.result);
        } else {
            devices->SetInCapsResult(caps.device, caps.result);
        }
        return 1;
    }
    case testctl::kQueryNameBox:
        Reply(sender, self, NameBoxText());
        return 1;
    case testctl::kQuerySettings:
        Reply(sender, self, SettingsText());
        return 1;
    default:
        return 0;
    }
}
