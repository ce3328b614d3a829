#include "dialogs/port_setup_model.h"

#include "settings/device_names.h"
#include "engine/engine.h"
#include "platform/cp932.h"
#include "platform/message_box.h"
#include "store/preset_names.h"
#include "store/settings_store.h"

namespace portsetup {

namespace {

// A position in a list of count entries, or -1.
int SelectionFor(int32_t device, bool enabled, int count) {
    if (!enabled || device == NO_DEVICE || device < 0 || device >= count) return -1;
    return device;
}

}  // namespace

RouteOffer OfferFor(int r, uint32_t nIn, uint32_t nOut) {
    const uint32_t route = static_cast<uint32_t>(r);
    const bool hasInput = route < nIn;
    return RouteOffer{hasInput, hasInput && route < nOut, hasInput};
}

std::string UnnamedDeviceText(uint32_t device) { return "(デバイス " + std::to_string(device + 1) + ")"; }

std::vector<std::string> InputDeviceTexts() { return PresentInputNames(&UnnamedDeviceText); }

std::vector<std::string> OutputDeviceTexts() { return PresentOutputNames(&UnnamedDeviceText); }

PortForm FormForRoutes(const RouteSettings (&routes)[2], const ListState& lists) {
    PortForm form;
    for (int r = 0; r < 2; ++r) {
        form.carriedInit[r] = routes[r].Init;
        form.inSel[r] = SelectionFor(routes[r].MIDIIn, lists.inEnabled[r], lists.inCount[r]);
        form.outSel[r] = SelectionFor(routes[r].MIDIOut, lists.outEnabled[r], lists.outCount[r]);
        form.checked[r] = lists.outEnabled[r] && routes[r].Enabled == 1;
    }
    return form;
}

void RoutesOfForm(const PortForm& form, RouteSettings (&routes)[2]) {
    for (int r = 0; r < 2; ++r) {
        routes[r].Enabled = form.checked[r] ? 1 : 0;
        routes[r].MIDIIn = form.inSel[r] < 0 ? NO_DEVICE : form.inSel[r];
        routes[r].MIDIOut = form.outSel[r] < 0 ? NO_DEVICE : form.outSel[r];
        routes[r].Init = form.carriedInit[r];
    }
}

void NamesOfForm(const PortForm& form, RouteDeviceNames (&names)[2]) {
    const std::vector<std::string> ins = PresentInputNames();
    const std::vector<std::string> outs = PresentOutputNames();
    for (int r = 0; r < 2; ++r) {
        DeviceNameAt(names[r].in, form.inSel[r] < 0 ? NO_DEVICE : form.inSel[r], ins);
        DeviceNameAt(names[r].out, form.outSel[r] < 0 ? NO_DEVICE : form.outSel[r], outs);
    }
}

int NameEntryFor(const PresetTable& t, const char* name) {
    if (!name || name[0] == '\0') return -1;
    return FindPreset(t, name);
}

CommandEffect EffectOfCommand(unsigned id, unsigned code, const PortForm& form) {
    CommandEffect effect;
    if (code == kCbnSelChange) {
        effect.enableApply = true;
        for (int r = 0; r < 2; ++r) {
            const bool inList = id == kIdInListBase + static_cast<unsigned>(r);
            const bool outList = id == kIdOutListBase + static_cast<unsigned>(r);
            if ((inList && form.outSel[r] >= 0) || (outList && form.inSel[r] >= 0)) effect.checkRoute = r;
        }
    } else if (code == kBnClicked && (id == kIdRouteCheckBase || id == kIdRouteCheckBase + 1)) {
        effect.enableApply = true;
    }
    return effect;
}

void NameFromBoxText(char (&name)[kNameSize], const char* text) {
    Cp932CopyCut(name, text ? text : "", kPresetNameMax);
}

StoreResult StoreFormAsPreset(PresetTable& t, const char* text, const PortForm& form) {
    RouteSettings routes[2];
    RoutesOfForm(form, routes);
    const StoreResult result = StorePreset(t, text ? text : "", routes);
    if (result.outcome == StoreOutcome::TableFull)
        platform::ShowMessageBox(kPresetTableFullText, platform::kMbOk | platform::kMbIconExclamation);
    return result;
}

StoreResult StoreFormAsPreset(PresetTable& t, PresetDeviceNames& names, const char* text, const PortForm& form) {
    const StoreResult result = StoreFormAsPreset(t, text, form);
    if (result.outcome == StoreOutcome::Added || result.outcome == StoreOutcome::Replaced)
        NamesOfForm(form, names.routes[result.slot]);
    return result;
}

int RemoveNamedPreset(PresetTable& t, PresetDeviceNames& names, const char* text) {
    const int removed = RemovePreset(t, text);
    // As the table does: each later slot a step toward the front, the last one kept.
    for (int j = removed; removed >= 0 && j < kPresetSlots - 1; ++j) {
        names.routes[j][0] = names.routes[j + 1][0];
        names.routes[j][1] = names.routes[j + 1][1];
    }
    return removed;
}

StoreResult ApplySettings(KavoSettings& app, PresetTable& t, const char* boxText, const PortForm& form, int firstRun) {
    NameFromBoxText(app.Name, boxText);
    // A preset file that could not be read at start holds the user's presets: they
    // take this preset, rather than an empty table replacing them.
    if (ReloadUnreadPresets(t)) LoadPresetDeviceNames(app.presetNames, t.count);
    const StoreResult stored = StoreFormAsPreset(t, app.presetNames, app.Name, form);
    RoutesOfForm(form, app.routeSettings);
    NamesOfForm(form, app.routeNames);
    SaveSettings(app);
    // The names belong beside the table that is on the disk.
    if (SavePresets(t)) SavePresetDeviceNames(app.presetNames, t.count);
    app.pickedEntry = -1;
    app.CopyStoredToActive();
    if (firstRun != 1) {
        StopRoutes();
        StartRoutes();
    }
    return stored;
}

}  // namespace portsetup
