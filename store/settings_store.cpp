#include "store/settings_store.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/cp932.h"
#include "store/preset_table.h"
#include "store/registry_key.h"

using platform::RegRoot;

namespace {

const char kMainKey[] = "SOFTWARE\\Ombrix\\Kavo2";

// A place the settings may live: a root and the main key's path under it; the
// sub-keys "Port1", "Port2" and "Controller" are below the main key.
struct Place {
    RegRoot root;
    std::string main;
    std::string Port(int route) const { return main + "\\Port" + std::to_string(route + 1); }
    std::string Controller() const { return main + "\\Controller"; }
};

bool HasMainKey(const Place& p) {
    CRegistryKey key;
    key.Open(p.main.c_str(), kRegistryRead, p.root);
    return key.IsOpen();
}

// Where the settings live. An ordinary user cannot write under HKEY_LOCAL_MACHINE on
// current Windows, and a store that only used it would lose every save and make every
// start a first run. So the same keys may live under HKEY_CURRENT_USER instead:
// - loading reads everything from HKEY_CURRENT_USER when the main key exists there,
//   else everything from HKEY_LOCAL_MACHINE;
// - saving writes everything to HKEY_CURRENT_USER when the main key exists there (so
//   that the next load sees this save), else to HKEY_LOCAL_MACHINE when its main key
//   can be opened or created for writing, else to HKEY_CURRENT_USER.
// Once the settings have moved to HKEY_CURRENT_USER they stay there; values only ever
// set by hand under HKEY_LOCAL_MACHINE ("Time Out", "Init") are then no longer read.
//
// A 32-bit build of this program wrote the same keys into the 32-bit view of
// HKEY_LOCAL_MACHINE, or, started unelevated on a Windows that virtualises such writes,
// into the user's virtual store (below the 32-bit view's "WOW6432Node" on a 64-bit
// system). Where neither place above holds the main key, loading looks there, in that
// order, so that such a user is not asked for devices again and keeps "Time Out" and
// "Init"; saving goes where it always goes.
Place LoadPlace() {
    const std::string virtualStore = "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\";
    const Place places[] = {
        {RegRoot::CurrentUser, kMainKey},
        {RegRoot::LocalMachine, kMainKey},
        {RegRoot::LocalMachine32, kMainKey},
        {RegRoot::CurrentUser, virtualStore + "WOW6432Node\\Ombrix\\Kavo2"},
        {RegRoot::CurrentUser, virtualStore + "Ombrix\\Kavo2"},
    };
    for (const Place& p : places)
        if (HasMainKey(p)) return p;
    return places[1];  // a first run: nothing anywhere, read from the usual place
}

// Leaves key open for writing on the main key of the root it chose (or null when even
// HKEY_CURRENT_USER refuses).
RegRoot OpenMainForSave(CRegistryKey& key) {
    key.Open(kMainKey, kRegistryRead, RegRoot::CurrentUser);
    if (!key.IsOpen()) {
        key.Open(kMainKey, kRegistryWrite, RegRoot::LocalMachine);
        if (key.IsOpen()) return RegRoot::LocalMachine;
    }
    key.Open(kMainKey, kRegistryWrite, RegRoot::CurrentUser);
    return RegRoot::CurrentUser;
}

int32_t Signed(uint32_t bits) { return static_cast<int32_t>(bits); }

int32_t Switch(uint32_t bits) { return bits != 0 ? 1 : 0; }

uint32_t SwitchBits(int32_t on) { return on != 0 ? 0xFFFFFFFFu : 0u; }

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : v; }

int32_t InRangeOr(int32_t v, int32_t lo, int32_t hi, int32_t def) { return v < lo || v > hi ? def : v; }

}  // namespace

int LoadSettings(KavoSettings& s, uint32_t& timeOut) {
    const Place place = LoadPlace();
    CRegistryKey key;
    key.Open(place.main.c_str(), kRegistryRead, place.root);
    const int found = key.IsOpen() ? 1 : 0;

    // The value may hold up to 511 bytes; the field takes what a preset name may hold,
    // cut where no double-byte character loses its second byte.
    const std::string name = key.ReadString("Name", "");
    std::memset(s.Name, 0, sizeof s.Name);
    Cp932CopyCut(s.Name, name.c_str(), kPresetNameMax);
    timeOut = key.ReadDword("Time Out", 1);

    for (int r = 0; r < 2; ++r) {
        key.Open(place.Port(r).c_str(), kRegistryRead, place.root);
        RouteSettings& route = s.routeSettings[r];
        route.Enabled = Signed(key.ReadDword("Enabled", 0));
        route.MIDIIn = Signed(key.ReadDword("MIDIIn", static_cast<uint32_t>(NO_DEVICE)));
        route.MIDIOut = Signed(key.ReadDword("MIDIOut", static_cast<uint32_t>(NO_DEVICE)));
        route.Init = Signed(key.ReadDword("Init", 0));
        // The devices' names beside their indices (absent in settings of older
        // versions: the route then learns them at its next start).
        RouteDeviceNames& names = s.routeNames[r];
        Cp932CopyCut(names.in, key.ReadString("MIDIInName", "").c_str(), kDeviceNameSize - 1);
        Cp932CopyCut(names.out, key.ReadString("MIDIOutName", "").c_str(), kDeviceNameSize - 1);
    }

    // Out-of-range values (hand-edited or damaged) never leave here:
    //   field     range     mended by  because
    //   Port      0..1      default 0  it indexes a route; no neighbour is "nearer"
    //   vSens     0..200    clamp      the nearest end keeps the curve's direction
    //   vOffset   0..127    clamp      likewise
    //   mClick    0..127    default 33 another note number is not a nearer click
    //   mBell     0..127    default 34 likewise
    //   mVolume   0..106    clamp      louder than 106 means the loudest safe level
    //   mChannel  0..15     default 9  another channel sounds a different instrument
    //   mMeas     0..2      default 2  a measure code, not a quantity
    //   mTempo    30..250   clamp      nearest tempo; 0 never reaches the beat division
    //   tOctave   95..105   default 100 a damaged value must not shift every note
    // Channel, the route settings, "Time Out" and the switches (made 0 or 1) are used
    // as read.
    key.Open(place.Controller().c_str(), kRegistryRead, place.root);
    s.Port = InRangeOr(Signed(key.ReadDword("Port", 0)), 0, 1, 0);
    s.Channel = Signed(key.ReadDword("Channel", 16));
    s.VelConvertion = Switch(key.ReadDword("VelConvertion", 0));
    s.Metronome = Switch(key.ReadDword("Metronome", 0));
    s.TransPose = Switch(key.ReadDword("TransPose", 0));
    s.vSens = Clamp(Signed(key.ReadDword("vSens", 100)), 0, 200);
    s.vOffset = Clamp(Signed(key.ReadDword("vOffset", 127)), 0, 127);
    s.mClick = InRangeOr(Signed(key.ReadDword("mClick", 33)), 0, 127, 33);
    s.mBell = InRangeOr(Signed(key.ReadDword("mBell", 34)), 0, 127, 34);
    s.mVolume = Clamp(Signed(key.ReadDword("mVolume", 86)), 0, 106);
    s.mChannel = InRangeOr(Signed(key.ReadDword("mChannel", 9)), 0, 15, 9);
    s.mMeas = InRangeOr(Signed(key.ReadDword("mMeas", 2)), 0, 2, 2);
    s.mTempo = Clamp(Signed(key.ReadDword("mTempo", 120)), 30, 250);
    s.tOctave = InRangeOr(Signed(key.ReadDword("tOctave", 100)), 95, 105, 100);
    key.Close();
    return found;
}

void SaveSettings(const KavoSettings& s) {
    CRegistryKey key;
    const Place place = {OpenMainForSave(key), kMainKey};

    // The field may lack its NUL if someone filled all 40 bytes.
    char name[kNameSize + 1];
    std::memcpy(name, s.Name, kNameSize);
    name[kNameSize] = '\0';
    key.WriteString("Name", name);

    // "Init" is left alone: a value set by hand survives every save.
    for (int r = 0; r < 2; ++r) {
        key.Open(place.Port(r).c_str(), kRegistryWrite, place.root);
        const RouteSettings& route = s.routeSettings[r];
        key.WriteDword("MIDIIn", static_cast<uint32_t>(route.MIDIIn));
        key.WriteDword("MIDIOut", static_cast<uint32_t>(route.MIDIOut));
        key.WriteDword("Enabled", static_cast<uint32_t>(route.Enabled));
        // Bounded: a field filled to its last byte has no NUL.
        const RouteDeviceNames& names = s.routeNames[r];
        key.WriteString("MIDIInName", std::string(names.in, strnlen(names.in, kDeviceNameSize)).c_str());
        key.WriteString("MIDIOutName", std::string(names.out, strnlen(names.out, kDeviceNameSize)).c_str());
    }

    key.Open(place.Controller().c_str(), kRegistryWrite, place.root);
    key.WriteDword("Port", static_cast<uint32_t>(s.Port.load()));
    key.WriteDword("Channel", static_cast<uint32_t>(s.Channel));
    key.WriteDword("VelConvertion", SwitchBits(s.VelConvertion));
    key.WriteDword("Metronome", SwitchBits(s.Metronome));
    key.WriteDword("TransPose", SwitchBits(s.TransPose));
    key.WriteDword("tOctave", static_cast<uint32_t>(s.tOctave));
    key.WriteDword("vSens", static_cast<uint32_t>(s.vSens));
    key.WriteDword("vOffset", static_cast<uint32_t>(s.vOffset));
    key.WriteDword("mClick", static_cast<uint32_t>(s.mClick.load()));
    key.WriteDword("mBell", static_cast<uint32_t>(s.mBell.load()));
    key.WriteDword("mVolume", static_cast<uint32_t>(s.mVolume.load()));
    key.WriteDword("mChannel", static_cast<uint32_t>(s.mChannel.load()));
    key.WriteDword("mMeas", static_cast<uint32_t>(s.mMeas.load()));
    key.WriteDword("mTempo", static_cast<uint32_t>(s.mTempo.load()));
    key.Close();
}
