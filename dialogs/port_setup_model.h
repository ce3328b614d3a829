#pragma once
// What the port setup dialog decides, kept apart from the window code that moves it
// into real controls, so that both builds test it: which device lists and route check
// boxes a showing offers, the list texts, what ShowSettings selects, what a command
// notification does to the check boxes and to Apply, and Apply itself.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings_model.h"
#include "res/resource.h"
#include "store/preset_table.h"

namespace portsetup {

// Control identifiers. A route's controls follow one rule, which the notification
// filter relies on: input list 16000 + r, output list 17000 + r, check box 19000 + r.
constexpr unsigned kIdApply = IDC_APPLY;
constexpr unsigned kIdInListBase = IDC_IN_LIST1;
constexpr unsigned kIdOutListBase = IDC_OUT_LIST1;
constexpr unsigned kIdRouteCheckBase = IDC_ROUTE_CHECK1;
constexpr unsigned kIdNameBox = IDC_NAME_BOX;
constexpr unsigned kIdStorePreset = IDC_STORE_PRESET;
constexpr unsigned kIdRemovePreset = IDC_REMOVE_PRESET;
static_assert(IDC_IN_LIST2 == IDC_IN_LIST1 + 1 && IDC_OUT_LIST2 == IDC_OUT_LIST1 + 1 &&
                  IDC_ROUTE_CHECK2 == IDC_ROUTE_CHECK1 + 1 && IDC_OUT_LIST1 == IDC_IN_LIST1 + 1000 &&
                  IDC_ROUTE_CHECK1 == IDC_IN_LIST1 + 3000,
              "the route controls' identifiers follow one rule");

// Notification codes of WM_COMMAND, with the system's values.
constexpr unsigned kBnClicked = 0;
constexpr unsigned kCbnSelChange = 1;
constexpr unsigned kCbnEditChange = 5;

// Which of route r's controls a showing offers for nIn input and nOut output devices.
// A route needs an input device of its own (route 2 exists only with two inputs); its
// output list needs that and at least r + 1 output devices. Controls not offered are
// disabled; those offered are enabled, also when an earlier showing disabled them
// because the devices appeared only since.
struct RouteOffer {
    bool input;
    bool output;
    bool check;
};
RouteOffer OfferFor(int r, uint32_t nIn, uint32_t nOut);

// The text of every input (output) device, in device order, so that a list position is
// a device number. A device whose capabilities cannot be read still gets an entry:
// "(デバイス N)" with N its number counted from 1, the way a person counts the lines
// of a list.
std::vector<std::string> InputDeviceTexts();
std::vector<std::string> OutputDeviceTexts();
std::string UnnamedDeviceText(uint32_t device);

// What the device lists and check boxes show: the selected positions (-1 for none),
// the check states and the Init values carried from the settings last shown.
struct PortForm {
    int inSel[2] = {-1, -1};
    int outSel[2] = {-1, -1};
    bool checked[2] = {false, false};
    int32_t carriedInit[2] = {0, 0};
};

// The lists as they are: enabled or not, and how many entries they hold.
struct ListState {
    bool inEnabled[2] = {false, false};
    bool outEnabled[2] = {false, false};
    int inCount[2] = {0, 0};
    int outCount[2] = {0, 0};
};

// ShowSettings for the device lists and check boxes: a list selects the stored device
// unless it is NO_DEVICE, the list is disabled or the number is past its end; a check
// box is checked exactly when its route's output list is enabled and Enabled is 1
// (a 5 from the registry runs the route but shows unchecked, and Apply stores 0).
PortForm FormForRoutes(const RouteSettings (&routes)[2], const ListState& lists);

// The route records a form stands for (StorePreset and Apply): no selection is
// NO_DEVICE, a checked box is Enabled 1, Init is the carried value.
void RoutesOfForm(const PortForm& form, RouteSettings (&routes)[2]);
// The names of the devices a form selects, as the system gives them now, stored
// beside the indices so that the routes follow their devices.
void NamesOfForm(const PortForm& form, RouteDeviceNames (&names)[2]);

// The name-box entry ShowSettings selects for name: the preset whose whole name equals
// it (letters A-Z matching a-z), or -1, and then the name goes into the edit field.
// A prefix is not enough: with presets "Live" and "Li", "Li" must not pick "Live",
// or the next Apply would overwrite "Live". An empty name selects nothing, for the
// same reason.
int NameEntryFor(const PresetTable& t, const char* name);

// What a command notification from control id with code does before its own handler
// runs: which route's check box gets checked (-1: none; one is never unchecked this
// way) and whether Apply is enabled. A selection change in one of a route's lists
// checks the route when the other list has a selection too; any selection change and
// a click on a route check box enable Apply.
struct CommandEffect {
    int checkRoute = -1;
    bool enableApply = false;
};
CommandEffect EffectOfCommand(unsigned id, unsigned code, const PortForm& form);

// Name from the name box's text: its first 36 bytes without half a double-byte
// character, the same cut the preset store makes, so that after Apply Name is the name
// of the preset stored with it (and never overruns the 40-byte field).
void NameFromBoxText(char (&name)[kNameSize], const char* text);

// "＋": stores the form as the preset named text (cut to 36 bytes). A full table
// shows "これ以上設定を追加する事はできません。" (OK, exclamation icon) and stores
// nothing, also for a name already in the table; an empty name does nothing. The
// window inserts a name-box entry when the result is Added.
StoreResult StoreFormAsPreset(PresetTable& t, const char* text, const PortForm& form);
// The same, keeping names (the presets' device names, slot by slot) in step with the
// table: the stored slot takes the form's device names.
StoreResult StoreFormAsPreset(PresetTable& t, PresetDeviceNames& names, const char* text, const PortForm& form);
// "－": removes the preset named text and moves the later slots' device names a slot
// toward the front with their presets. Returns the removed position, or -1.
int RemoveNamedPreset(PresetTable& t, PresetDeviceNames& names, const char* text);

// Apply (and the first step of OK), in its order: Name from the box's text; the form
// as the preset of that name (above; Apply goes on whatever that gives); routeSettings
// from the form; the registry, then PORT.KAV; pickedEntry -1; the active assignment
// from routeSettings; unless firstRun is 1, StopRoutes and StartRoutes, so that
// pass-through runs on the new assignment even when it had been stopped. The engine
// must be bound to app (SeedEngine). Returns what the preset store gave, for the
// name box.
StoreResult ApplySettings(KavoSettings& app, PresetTable& t, const char* boxText, const PortForm& form, int firstRun);

}  // namespace portsetup
