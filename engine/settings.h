#pragma once
// The settings the program keeps, as plain data, at the lowest layer that reads them:
// the application object owns them (settings/settings_model.h, CKavoApp derives from them),
// the store saves and loads them, and the engine reads the active assignment, Port and
// the metronome fields from the ones it is bound to. Host tests and kavo-thru make
// their own. Field names are the registry value names that store them.
#include <cstdint>

#include "platform/relaxed.h"

// The device index that means "no device assigned".
constexpr int32_t NO_DEVICE = 0x7FFFFFFF;

// One route's port settings; the same 16 bytes in the application object, in the
// registry (as separate values) and in each preset record of PORT.KAV.
struct RouteSettings {
    int32_t Enabled;  // 0 = off, anything else = on (a registry 5 counts as on)
    int32_t MIDIIn;   // input device index or NO_DEVICE
    int32_t MIDIOut;  // output device index or NO_DEVICE
    int32_t Init;     // carried along only; nothing reads it
};
static_assert(sizeof(RouteSettings) == 16, "RouteSettings is stored byte for byte");

inline bool IsRouteConfigured(int32_t in, int32_t out, int32_t enabled) {
    return in != NO_DEVICE && out != NO_DEVICE && enabled != 0;
}

constexpr int kNameSize = 40;  // the Name field, NUL included

// A device's product name as the system gives it (MIDIINCAPS' szPname), NUL included.
// The names of a route's devices are stored beside their indices, so that a route
// follows its devices when the system numbers them anew.
constexpr int kDeviceNameSize = 32;
struct RouteDeviceNames {
    char in[kDeviceNameSize];   // empty: not known
    char out[kDeviceNameSize];
};
// The device names of each preset's two routes, slot by slot beside the preset table
// (in a companion file of its own: the preset file keeps its layout).
constexpr int kPresetSlots = 16;
struct PresetDeviceNames {
    RouteDeviceNames routes[kPresetSlots][2];
};

struct KavoSettings {
    RouteSettings routeSettings[2] = {{0, NO_DEVICE, NO_DEVICE, 0}, {0, NO_DEVICE, NO_DEVICE, 0}};
    char Name[kNameSize] = {};
    int32_t pickedEntry = -1;
    int32_t VelConvertion = 0;
    int32_t Metronome = 0;
    int32_t TransPose = 0;
    // The worker reads Port and the metronome fields while the control panel changes
    // them, hence Relaxed (a whole 32-bit value each, no lock).
    Relaxed<int32_t> Port{0};
    int32_t Channel = 16;
    int32_t tOctave = 100;
    int32_t vSens = 100;
    int32_t vOffset = 127;
    Relaxed<int32_t> mClick{33};
    Relaxed<int32_t> mBell{34};
    Relaxed<int32_t> mVolume{86};
    Relaxed<int32_t> mChannel{9};
    Relaxed<int32_t> mMeas{2};
    Relaxed<int32_t> mTempo{120};
    // The assignment the engine opens; a copy of routeSettings except after a preset
    // was picked from the tray menu.
    int32_t activeIn[2] = {NO_DEVICE, NO_DEVICE};
    int32_t activeOut[2] = {NO_DEVICE, NO_DEVICE};
    int32_t activeEnabled[2] = {0, 0};
    // The names of the devices of routeSettings and of the active assignment, and of
    // every preset's.
    RouteDeviceNames routeNames[2] = {};
    RouteDeviceNames activeNames[2] = {};
    PresetDeviceNames presetNames = {};

    // The active assignment from the stored one (start-up, Apply, "Default (&0)").
    void CopyStoredToActive() {
        for (int r = 0; r < 2; ++r) {
            activeIn[r] = routeSettings[r].MIDIIn;
            activeOut[r] = routeSettings[r].MIDIOut;
            activeEnabled[r] = routeSettings[r].Enabled;
            activeNames[r] = routeNames[r];
        }
    }
    bool IsActiveRouteConfigured(int r) const { return IsRouteConfigured(activeIn[r], activeOut[r], activeEnabled[r]); }
};
