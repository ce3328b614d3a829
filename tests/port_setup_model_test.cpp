// The port setup dialog's decisions: which controls a showing offers, the device list
// texts, what ShowSettings selects (the whole-name rule of the name box), what a
// notification does to the route check boxes and Apply, the Name cut, and Apply with
// the registry, PORT.KAV and the engine behind it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "settings/device_names.h"
#include "dialogs/port_setup_model.h"
#include "engine/engine.h"
#include "platform/message_box.h"
#include "platform/midi.h"
#include "platform/native_file.h"
#include "platform/registry.h"
#include "platform/virtual/virtual_midi.h"
#include "store/settings_store.h"

namespace {

namespace fs = std::filesystem;
using portsetup::PortForm;

const char kFullText[] = "これ以上設定を追加する事はできません。";

PresetTable TableOf(const std::vector<std::string>& names) {
    PresetTable t;
    std::memcpy(t.magic, "KAVO2.00", sizeof t.magic);  // as read from a file this program wrote
    for (size_t k = 0; k < names.size(); ++k) {
        std::strncpy(t.names[k], names[k].c_str(), kPresetNameMax);
        t.ports[k][0] = RouteSettings{1, static_cast<int32_t>(k), static_cast<int32_t>(k), 0};
        t.ports[k][1] = RouteSettings{0, NO_DEVICE, NO_DEVICE, 0};
    }
    t.count = static_cast<int32_t>(names.size());
    return t;
}

TEST(PortSetupOffer, ARouteNeedsItsOwnInputAndItsOutputListEnoughOutputs) {
    struct Case {
        uint32_t nIn, nOut;
        portsetup::RouteOffer route1, route2;
    };
    const Case cases[] = {
        {0, 0, {false, false, false}, {false, false, false}},
        {0, 2, {false, false, false}, {false, false, false}},  // outputs alone make no route
        {1, 0, {true, false, true}, {false, false, false}},
        {1, 1, {true, true, true}, {false, false, false}},
        {1, 2, {true, true, true}, {false, false, false}},   // route 2 needs a second input
        {2, 1, {true, true, true}, {true, false, true}},     // route 2: input and box, no output
        {2, 2, {true, true, true}, {true, true, true}},
        {5, 3, {true, true, true}, {true, true, true}},
    };
    for (const Case& c : cases) {
        const portsetup::RouteOffer got[2] = {portsetup::OfferFor(0, c.nIn, c.nOut), portsetup::OfferFor(1, c.nIn, c.nOut)};
        const portsetup::RouteOffer want[2] = {c.route1, c.route2};
        for (int r = 0; r < 2; ++r) {
            SCOPED_TRACE("nIn " + std::to_string(c.nIn) + ", nOut " + std::to_string(c.nOut) + ", route " +
                         std::to_string(r + 1));
            EXPECT_EQ(got[r].input, want[r].input);
            EXPECT_EQ(got[r].output, want[r].output);
            EXPECT_EQ(got[r].check, want[r].check);
        }
    }
}

TEST(PortSetupDeviceTexts, PositionsAreDeviceNumbersAlsoWhenACapabilityQueryFails) {
    midi::VirtualMidi dev(midi::VirtualMidi::Config{{"Keys A", "Keys B", "Keys C"}, {"Synth A", "Synth B"}});
    midi::SetBackend(&dev);
    dev.SetInCapsResult(1, midi::kError);
    dev.SetOutCapsResult(0, midi::kBadDeviceId);
    EXPECT_EQ(portsetup::InputDeviceTexts(), (std::vector<std::string>{"Keys A", "(デバイス 2)", "Keys C"}));
    EXPECT_EQ(portsetup::OutputDeviceTexts(), (std::vector<std::string>{"(デバイス 1)", "Synth B"}));
    // The routes read the same lists with no name there, which matches no stored name.
    EXPECT_EQ(PresentInputNames(), (std::vector<std::string>{"Keys A", "", "Keys C"}));
    EXPECT_EQ(PresentOutputNames(), (std::vector<std::string>{"", "Synth B"}));

    // A driver that works again shows its name at the next showing.
    dev.SetInCapsResult(1, midi::kNoError);
    EXPECT_EQ(portsetup::InputDeviceTexts()[1], "Keys B");
    midi::SetBackend(nullptr);
}

TEST(PortSetupDeviceTexts, NoDevicesGiveEmptyLists) {
    midi::VirtualMidi dev(midi::VirtualMidi::Config{});
    midi::SetBackend(&dev);
    EXPECT_TRUE(portsetup::InputDeviceTexts().empty());
    EXPECT_TRUE(portsetup::OutputDeviceTexts().empty());
    midi::SetBackend(nullptr);
}

// Two input lists and two output lists, all enabled, each with two entries.
portsetup::ListState AllLists(int count = 2) {
    portsetup::ListState lists;
    for (int r = 0; r < 2; ++r) {
        lists.inEnabled[r] = lists.outEnabled[r] = true;
        lists.inCount[r] = lists.outCount[r] = count;
    }
    return lists;
}

TEST(PortSetupShowSettings, ListsSelectStoredDevicesOnlyWhereTheyExistAndAreOffered) {
    struct Case {
        const char* what;
        RouteSettings route;
        bool inEnabled, outEnabled;
        int inSel, outSel;
        bool checked;
    };
    const Case cases[] = {
        {"both devices, on", {1, 1, 0, 7}, true, true, 1, 0, true},
        {"no device", {1, NO_DEVICE, NO_DEVICE, 0}, true, true, -1, -1, true},
        {"device gone since", {1, 2, 5, 0}, true, true, -1, -1, true},
        {"negative number from a hand-edited registry", {0, -3, -1, 0}, true, true, -1, -1, false},
        {"off", {0, 0, 1, 0}, true, true, 0, 1, false},
        {"Enabled 5 runs but shows unchecked", {5, 0, 1, 0}, true, true, 0, 1, false},
        {"output list disabled: unchecked", {1, 1, 0, 0}, true, false, 1, -1, false},
        {"both disabled", {1, 0, 0, 0}, false, false, -1, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        portsetup::ListState lists = AllLists();
        lists.inEnabled[1] = c.inEnabled;
        lists.outEnabled[1] = c.outEnabled;
        const RouteSettings routes[2] = {{1, 0, 1, 3}, c.route};
        const PortForm form = portsetup::FormForRoutes(routes, lists);
        EXPECT_EQ(form.inSel[1], c.inSel);
        EXPECT_EQ(form.outSel[1], c.outSel);
        EXPECT_EQ(form.checked[1], c.checked);
        EXPECT_EQ(form.carriedInit[1], c.route.Init);
        // Route 1 is shown as stored whatever route 2 holds.
        EXPECT_EQ(form.inSel[0], 0);
        EXPECT_EQ(form.outSel[0], 1);
        EXPECT_TRUE(form.checked[0]);
        EXPECT_EQ(form.carriedInit[0], 3);
    }
}

TEST(PortSetupShowSettings, TwoInputsOneOutputShowsRouteTwoUncheckedAndApplyKeepsItsCheck) {
    portsetup::ListState lists = AllLists();
    lists.outEnabled[1] = false;
    lists.outCount[1] = 0;
    const RouteSettings routes[2] = {{1, 0, 0, 0}, {1, 1, 0, 0}};
    PortForm form = portsetup::FormForRoutes(routes, lists);
    EXPECT_FALSE(form.checked[1]);
    EXPECT_EQ(form.inSel[1], 1);

    // Stored as shown: off, though the registry said on.
    RouteSettings stored[2];
    portsetup::RoutesOfForm(form, stored);
    EXPECT_EQ(stored[1].Enabled, 0);
    EXPECT_EQ(stored[1].MIDIIn, 1);
    EXPECT_EQ(stored[1].MIDIOut, NO_DEVICE);

    // The user checks it: on, with no output.
    form.checked[1] = true;
    portsetup::RoutesOfForm(form, stored);
    EXPECT_EQ(stored[1].Enabled, 1);
    EXPECT_EQ(stored[1].MIDIOut, NO_DEVICE);
}

TEST(PortSetupForm, RoutesOfFormStoreNoSelectionAsNoDeviceAndCarryInit) {
    PortForm form;
    form.inSel[0] = 1;
    form.outSel[0] = -1;
    form.checked[0] = true;
    form.carriedInit[0] = 9;
    form.inSel[1] = -1;
    form.outSel[1] = 0;
    form.checked[1] = false;
    form.carriedInit[1] = -4;
    RouteSettings routes[2];
    portsetup::RoutesOfForm(form, routes);
    EXPECT_EQ(routes[0].Enabled, 1);
    EXPECT_EQ(routes[0].MIDIIn, 1);
    EXPECT_EQ(routes[0].MIDIOut, NO_DEVICE);
    EXPECT_EQ(routes[0].Init, 9);
    EXPECT_EQ(routes[1].Enabled, 0);
    EXPECT_EQ(routes[1].MIDIIn, NO_DEVICE);
    EXPECT_EQ(routes[1].MIDIOut, 0);
    EXPECT_EQ(routes[1].Init, -4);
}

TEST(PortSetupNameBox, OnlyAWholeNameSelectsAnEntryNeverAPrefix) {
    // "Live" comes first: a select-by-prefix would pick it for "Li".
    const PresetTable t = TableOf({"Live", "Li", "Studio", std::string(36, 'x')});
    struct Case {
        const char* name;
        int entry;
    };
    const Case cases[] = {
        {"Li", 1},
        {"li", 1},
        {"LIVE", 0},
        {"Live", 0},
        {"L", -1},        // a prefix of both
        {"Liv", -1},
        {"Lives", -1},    // longer than an entry
        {"Stud", -1},
        {"", -1},         // an empty Name selects nothing, or Apply would overwrite entry 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("name \"") + c.name + "\"");
        EXPECT_EQ(portsetup::NameEntryFor(t, c.name), c.entry);
    }
    EXPECT_EQ(portsetup::NameEntryFor(t, std::string(36, 'X').c_str()), 3);
}

TEST(PortSetupNameBox, EmptyNameSelectsNothingEvenBesideAnUnnamedPreset) {
    // A 16-byte PORT.KAV whose count says 2 gives two presets with empty names.
    const PresetTable t = TableOf({"", ""});
    EXPECT_EQ(portsetup::NameEntryFor(t, ""), -1);
}

TEST(PortSetupCommands, SelectionChangesCheckTheirRouteWhenTheOtherListIsSetAndEnableApply) {
    PortForm form;
    form.inSel[0] = 0;   // route 1: input set, output not
    form.outSel[1] = 1;  // route 2: output set, input not
    struct Case {
        const char* what;
        unsigned id, code;
        int checkRoute;
        bool enableApply;
    };
    const Case cases[] = {
        {"route 1 output picked, input set", 17000, 1, 0, true},
        {"route 1 input picked, output unset", 16000, 1, -1, true},
        {"route 2 input picked, output set", 16001, 1, 1, true},
        {"route 2 output picked, input unset", 17001, 1, -1, true},
        {"name box selection", 1037, 1, -1, true},
        {"route 1 box clicked", 19000, 0, -1, true},
        {"route 2 box clicked", 19001, 0, -1, true},
        {"name typed", 1037, 5, -1, false},
        {"store button", 1018, 0, -1, false},
        {"OK", 1, 0, -1, false},
        {"list dropped down", 16000, 7, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const portsetup::CommandEffect e = portsetup::EffectOfCommand(c.id, c.code, form);
        EXPECT_EQ(e.checkRoute, c.checkRoute);
        EXPECT_EQ(e.enableApply, c.enableApply);
    }
}

TEST(PortSetupName, BoxTextIsCutToThirtySixBytesWithoutHalfACharacter) {
    struct Case {
        std::string text, name;
    };
    const std::string a35(35, 'a');
    const std::string a36(36, 'a');
    const Case cases[] = {
        {"Live", "Live"},
        {"", ""},
        {a36, a36},
        {a36 + "b", a36},
        {std::string(60, 'c'), std::string(36, 'c')},
        {a35 + "あ", a35},          // the double-byte character would straddle byte 36
        {"ライブ用の設定ライブ用の設定ライブ用の設定", "ライブ用の設定ライブ用の設定ライブ用"},  // 42 bytes: 18 characters fit
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char name[kNameSize];
        std::memset(name, 'Z', sizeof name);
        portsetup::NameFromBoxText(name, c.text.c_str());
        EXPECT_EQ(std::string(name), c.name);
    }
}

// Apply with everything behind it: the in-memory registry, PORT.KAV in a directory of
// its own as the working directory, virtual devices for the engine, recorded boxes.
class PortSetupApplyTest : public ::testing::Test {
protected:
    PortSetupApplyTest() : dev(midi::VirtualMidi::Config{{"Keys A", "Keys B"}, {"Synth A", "Synth B"}}) {}

    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = fs::temp_directory_path() / ("kavo_port_setup_" + std::to_string(stamp));
        fs::create_directories(dir);
        oldDir = fs::current_path();
        fs::current_path(dir);
        platform::SetRegistry(&reg);
        midi::SetBackend(&dev);
        platform::SetMessageBoxHandler(&PortSetupApplyTest::RecordBox, this);
        SeedEngine(app);
    }

    void TearDown() override {
        if (engineRunning == 1) StopRoutes();
        KavoSettings defaults;
        SeedEngine(defaults);
        BindEngineSettings(nullptr);
        platform::SetMessageBoxHandler(nullptr, nullptr);
        midi::SetBackend(nullptr);
        platform::SetRegistry(nullptr);
        fs::current_path(oldDir);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    static int RecordBox(const char* text, unsigned type, void* context) {
        auto* self = static_cast<PortSetupApplyTest*>(context);
        self->boxes.push_back(text);
        self->boxTypes.push_back(type);
        return platform::kIdOk;
    }

    std::vector<char> File() const {
        std::ifstream in("PORT.KAV", std::ios::binary);
        return std::vector<char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    static std::vector<char> Bytes(const PresetTable& t) {
        const char* p = reinterpret_cast<const char*>(&t);
        return std::vector<char>(p, p + sizeof t);
    }

    // Route 1 from input 1 to output 0, on, Init 7; route 2 from input 0, no output,
    // on, Init 0.
    static PortForm Form() {
        PortForm f;
        f.inSel[0] = 1;
        f.outSel[0] = 0;
        f.checked[0] = true;
        f.carriedInit[0] = 7;
        f.inSel[1] = 0;
        f.outSel[1] = -1;
        f.checked[1] = true;
        return f;
    }

    void ExpectFormApplied() {
        EXPECT_EQ(app.routeSettings[0].Enabled, 1);
        EXPECT_EQ(app.routeSettings[0].MIDIIn, 1);
        EXPECT_EQ(app.routeSettings[0].MIDIOut, 0);
        EXPECT_EQ(app.routeSettings[0].Init, 7);
        EXPECT_EQ(app.routeSettings[1].Enabled, 1);
        EXPECT_EQ(app.routeSettings[1].MIDIIn, 0);
        EXPECT_EQ(app.routeSettings[1].MIDIOut, NO_DEVICE);
        EXPECT_EQ(app.pickedEntry, -1);
        EXPECT_EQ(app.activeIn[0], 1);
        EXPECT_EQ(app.activeOut[0], 0);
        EXPECT_EQ(app.activeEnabled[0], 1);
        EXPECT_EQ(app.activeIn[1], 0);
        EXPECT_EQ(app.activeOut[1], NO_DEVICE);

        // The registry holds what was applied.
        KavoSettings loaded;
        uint32_t timeOut = 0;
        ASSERT_EQ(LoadSettings(loaded, timeOut), 1);
        EXPECT_STREQ(loaded.Name, app.Name);
        for (int r = 0; r < 2; ++r) {
            EXPECT_EQ(loaded.routeSettings[r].Enabled, app.routeSettings[r].Enabled);
            EXPECT_EQ(loaded.routeSettings[r].MIDIIn, app.routeSettings[r].MIDIIn);
            EXPECT_EQ(loaded.routeSettings[r].MIDIOut, app.routeSettings[r].MIDIOut);
        }
    }

    fs::path dir;
    fs::path oldDir;
    platform::MemoryRegistry reg;
    midi::VirtualMidi dev;
    KavoSettings app;
    std::vector<std::string> boxes;
    std::vector<unsigned> boxTypes;
};

TEST_F(PortSetupApplyTest, NewNameAddsAPresetAndEverythingIsStored) {
    PresetTable t = TableOf({"A", "B"});
    app.pickedEntry = 1;
    app.activeIn[0] = 0;  // a preset picked from the menu left another assignment active
    const StoreResult stored = portsetup::ApplySettings(app, t, "Live", Form(), 1);
    EXPECT_EQ(stored.outcome, StoreOutcome::Added);
    EXPECT_EQ(stored.slot, 2);
    EXPECT_STREQ(app.Name, "Live");
    ASSERT_EQ(t.count, 3);
    EXPECT_STREQ(t.names[2], "Live");
    EXPECT_EQ(t.ports[2][0].MIDIIn, 1);
    EXPECT_EQ(t.ports[2][0].Init, 7);
    EXPECT_EQ(t.ports[2][1].MIDIOut, NO_DEVICE);
    ExpectFormApplied();
    EXPECT_TRUE(boxes.empty());

    // PORT.KAV is the table, magic included.
    const std::vector<char> file = File();
    ASSERT_EQ(file.size(), kPresetFileBytes);
    EXPECT_EQ(std::string(file.data(), 9), std::string("KAVO2.00", 9));
    EXPECT_EQ(file, Bytes(t));
}

// PORT.KAV refuses to be read (held by a backup or a virus scanner, access denied);
// every other file opens as the system opens it.
std::FILE* RefusePresetFile(const platform::NativePath& path, const char* mode) {
    const platform::NativePath name = platform::NativePathFrom932(kPresetFileName);
    if (mode[0] == 'r' && path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0)
        return nullptr;
    platform::SetOpenFileForTest(nullptr);
    std::FILE* f = platform::OpenFile(path, mode);
    platform::SetOpenFileForTest(RefusePresetFile);
    return f;
}

// A preset file that is there but cannot be read at start is no empty table: an Apply
// while it still cannot be read leaves it as it is, and one after it reads again adds
// the new preset to the user's own.
TEST_F(PortSetupApplyTest, APresetFileThatCouldNotBeReadIsNeverReplacedByAnEmptyTable) {
    PresetTable mine = TableOf({"A", "B"});
    ASSERT_TRUE(SavePresets(mine));
    const std::vector<char> stored = File();
    platform::SetOpenFileForTest(RefusePresetFile);
    PresetTable t;
    EXPECT_EQ(LoadPresets(t), PresetFile::Unreadable);
    EXPECT_EQ(t.count, 0);
    portsetup::ApplySettings(app, t, "Live", Form(), 1);
    EXPECT_EQ(File(), stored) << "still held: left as it is";
    ExpectFormApplied();

    platform::SetOpenFileForTest(nullptr);
    portsetup::ApplySettings(app, t, "Late", Form(), 1);
    PresetTable back;
    EXPECT_EQ(LoadPresets(back), PresetFile::Read);
    ASSERT_EQ(back.count, 3);
    EXPECT_EQ(FindPreset(back, "A"), 0);
    EXPECT_EQ(FindPreset(back, "B"), 1);
    EXPECT_EQ(FindPreset(back, "Late"), 2);
    EXPECT_EQ(File(), Bytes(t));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PortSetupApplyTest, LongNameIsCutSoNameEqualsTheStoredPresetsName) {
    PresetTable t;
    const std::string text = std::string(35, 'n') + "名前";  // 39 bytes; byte 36 starts "名"
    portsetup::ApplySettings(app, t, text.c_str(), Form(), 1);
    EXPECT_EQ(std::string(app.Name), std::string(35, 'n'));
    ASSERT_EQ(t.count, 1);
    EXPECT_STREQ(t.names[0], app.Name);
}

TEST_F(PortSetupApplyTest, FullTableRefusesEvenAnExistingNameAndTheRestIsApplied) {
    std::vector<std::string> names;
    for (int k = 0; k < kPresetMax; ++k) names.push_back("P" + std::to_string(k));
    PresetTable t = TableOf(names);
    const std::vector<char> before = Bytes(t);

    const StoreResult stored = portsetup::ApplySettings(app, t, "p3", Form(), 1);
    EXPECT_EQ(stored.outcome, StoreOutcome::TableFull);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], kFullText);
    EXPECT_EQ(boxTypes[0], platform::kMbOk | platform::kMbIconExclamation);
    EXPECT_EQ(Bytes(t), before) << "preset P3 must not be updated";
    EXPECT_STREQ(app.Name, "p3");
    ExpectFormApplied();
    EXPECT_EQ(File(), Bytes(t));
}

TEST_F(PortSetupApplyTest, NameDifferingInLetterCaseReplacesThatPreset) {
    PresetTable t = TableOf({"A", "Live", "B"});
    const StoreResult stored = portsetup::ApplySettings(app, t, "LIVE", Form(), 1);
    EXPECT_EQ(stored.outcome, StoreOutcome::Replaced);
    EXPECT_EQ(stored.slot, 1);
    EXPECT_EQ(t.count, 3);
    EXPECT_STREQ(t.names[1], "LIVE");
    EXPECT_EQ(t.ports[1][0].MIDIIn, 1);
    EXPECT_STREQ(t.names[2], "B");
}

TEST_F(PortSetupApplyTest, EmptyNameStoresNoPresetButAppliesTheRest) {
    PresetTable t = TableOf({"A"});
    std::strcpy(app.Name, "A");
    const StoreResult stored = portsetup::ApplySettings(app, t, "", Form(), 1);
    EXPECT_EQ(stored.outcome, StoreOutcome::EmptyName);
    EXPECT_TRUE(boxes.empty());
    EXPECT_STREQ(app.Name, "");
    ExpectFormApplied();
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.ports[0][0].MIDIIn, 0) << "preset A keeps its devices";
    EXPECT_EQ(File(), Bytes(t));
}

TEST_F(PortSetupApplyTest, ApplyRestartsTheRoutesOnTheNewAssignmentUnlessFirstRun) {
    PresetTable t;
    PortForm form;
    form.inSel[0] = 1;
    form.outSel[0] = 1;
    form.checked[0] = true;

    portsetup::ApplySettings(app, t, "", form, 1);
    EXPECT_EQ(engineRunning.load(), 0) << "the first run leaves the engine to start-up";
    EXPECT_EQ(dev.InOpenCount(1), 0);

    // Pass-through stopped from the menu: Apply starts it again, on the new devices.
    portsetup::ApplySettings(app, t, "", form, 0);
    EXPECT_EQ(engineRunning.load(), 1);
    EXPECT_EQ(dev.InOpenCount(1), 1);
    EXPECT_EQ(dev.OutOpenCount(1), 1);
    EXPECT_EQ(dev.InOpenCount(0), 0);

    form.inSel[0] = 0;
    form.outSel[0] = 0;
    portsetup::ApplySettings(app, t, "", form, 0);
    EXPECT_EQ(engineRunning.load(), 1);
    EXPECT_EQ(dev.InOpenCount(1), 0);
    EXPECT_EQ(dev.OutOpenCount(1), 0);
    EXPECT_EQ(dev.InOpenCount(0), 1);
    EXPECT_EQ(dev.OutOpenCount(0), 1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(PortSetupApplyTest, StoreButtonAddsUpToSixteenThenRefusesAnyName) {
    std::vector<std::string> names;
    for (int k = 0; k < kPresetMax - 1; ++k) names.push_back("P" + std::to_string(k));
    PresetTable t = TableOf(names);

    EXPECT_EQ(portsetup::StoreFormAsPreset(t, "", Form()).outcome, StoreOutcome::EmptyName);
    const StoreResult added = portsetup::StoreFormAsPreset(t, "New", Form());
    EXPECT_EQ(added.outcome, StoreOutcome::Added);
    EXPECT_EQ(added.slot, 15);
    EXPECT_TRUE(boxes.empty());

    const std::vector<char> full = Bytes(t);
    for (const char* name : {"Another", "new", "P0"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(portsetup::StoreFormAsPreset(t, name, Form()).outcome, StoreOutcome::TableFull);
        EXPECT_EQ(Bytes(t), full);
    }
    ASSERT_EQ(boxes.size(), 3u);
    for (const std::string& b : boxes) EXPECT_EQ(b, kFullText);
    EXPECT_FALSE(fs::exists("PORT.KAV")) << "only Apply writes the file";
}

}  // namespace
