// Routes follow their devices by name: the rule, what every start of the routes does
// with the stored and the active assignment, the names in the registry, in the
// presets' companion file and through the port setup dialog's Apply and "－".
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "settings/device_names.h"
#include "dialogs/port_setup_model.h"
#include "platform/registry.h"
#include "store/preset_names.h"
#include "store/settings_store.h"
#include "tests/engine_test_support.h"

namespace {

namespace fs = std::filesystem;

RouteDeviceNames Names(const char* in, const char* out) {
    RouteDeviceNames n = {};
    std::strncpy(n.in, in, kDeviceNameSize - 1);
    std::strncpy(n.out, out, kDeviceNameSize - 1);
    return n;
}

TEST(FollowDeviceTest, ANameThatMovedSelectsItsOneDevice) {
    const std::vector<std::string> present = {"Keys A", "Keys B", "Twin", "Twin", ""};
    struct Case {
        const char* what;
        int32_t index;
        const char* name;
        int32_t opened;
    };
    const Case cases[] = {
        {"the device is where it was", 1, "Keys B", 1},
        {"it moved: followed", 0, "Keys B", 1},
        {"moved from past the end of the list", 9, "Keys A", 0},
        {"no name: the index", 3, "", 3},
        {"two devices of that name: the index", 0, "Twin", 0},
        {"its index is one of two of that name: kept", 3, "Twin", 3},
        {"gone: the index, which then fails to open", 1, "Keys C", 1},
        {"unassigned stays unassigned", NO_DEVICE, "Keys A", NO_DEVICE},
        {"a device whose name cannot be read matches nothing", 4, "", 4},
        {"names compare whole", 0, "Keys", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FollowDevice(c.index, c.name, present), c.opened);
    }
}

class FollowOnStart : public EngineFixture {};

TEST_F(FollowOnStart, EveryStartFollowsTheStoredAndTheActiveAssignment) {
    // The system lists Key A, Key B; the settings were made when they were the other
    // way round.
    settings.routeSettings[0] = RouteSettings{1, 1, 0, 0};
    settings.routeNames[0] = Names("Key A", "Synth A");
    settings.routeSettings[1] = RouteSettings{1, 0, 1, 0};
    settings.routeNames[1] = Names("Key B", "");  // no output name yet: learnt
    settings.CopyStoredToActive();
    StartRoutes();
    EXPECT_EQ(dev.InOpenCount(0), 1);
    EXPECT_EQ(dev.InOpenCount(1), 1);
    EXPECT_EQ(settings.activeIn[0], 0);
    EXPECT_EQ(settings.activeIn[1], 1);
    // The port setup dialog shows and stores what was found.
    EXPECT_EQ(settings.routeSettings[0].MIDIIn, 0);
    EXPECT_EQ(settings.routeSettings[1].MIDIIn, 1);
    EXPECT_STREQ(settings.routeNames[1].out, "Synth B");
    dev.ClearOutRecord(0);
    ASSERT_TRUE(dev.SendShort(0, 0x00403C90));  // Key A reaches route 1's output
    ASSERT_TRUE(dev.WaitForOutEvents(0, 1, kWait));
    StopRoutes();

    // A picked preset's names are the active assignment's; the stored one follows its
    // own.
    settings.activeIn[0] = 1;
    settings.activeNames[0] = Names("Key A", "Synth A");
    settings.routeSettings[0].MIDIIn = 1;
    settings.routeNames[0] = Names("Key B", "Synth A");
    StartRoutes();
    EXPECT_EQ(settings.activeIn[0], 0);
    EXPECT_EQ(settings.routeSettings[0].MIDIIn, 1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(FollowOnStart, AGoneDeviceFailsAsItAlwaysDid) {
    settings.routeSettings[0] = RouteSettings{1, 1, 0, 0};
    settings.routeNames[0] = Names("Key C", "Synth A");
    settings.CopyStoredToActive();
    dev.SetInOpenResult(1, midi::kAllocated);  // what is at index 1 now is held elsewhere
    StartRoutes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kMsgCannotOpenIn1);
    EXPECT_EQ(settings.routeSettings[0].MIDIIn, 1) << "the index is kept";
    EXPECT_STREQ(settings.routeNames[0].in, "Key C") << "and so is the name";
}

class DeviceNameFiles : public ::testing::Test {
protected:
    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir = fs::temp_directory_path() / ("kavo_names_" + std::to_string(stamp));
        fs::create_directories(dir);
        platform::SetRegistry(&reg);
    }
    void TearDown() override {
        platform::SetRegistry(nullptr);
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string File() const { return (dir / "PORTNAME.KAV").string(); }
    std::vector<char> Read() const {
        std::ifstream in(File(), std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    }
    void Write(const std::vector<char>& bytes) const {
        std::ofstream out(File(), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    fs::path dir;
    platform::MemoryRegistry reg;
};

TEST_F(DeviceNameFiles, TheCompanionIsTrustedOnlyWhenWholeAndForTheSameTable) {
    PresetDeviceNames names = {};
    names.routes[0][0] = Names("Keys A", "Synth A");
    names.routes[15][1] = Names("", "Synth B");
    SavePresetDeviceNames(names, 3, File().c_str());
    const std::vector<char> good = Read();
    ASSERT_EQ(good.size(), kPresetNamesFileBytes);
    EXPECT_EQ(std::string(good.data(), 8), "KAVONAME");

    PresetDeviceNames loaded;
    EXPECT_TRUE(LoadPresetDeviceNames(loaded, 3, File().c_str()));
    EXPECT_STREQ(loaded.routes[0][0].out, "Synth A");
    EXPECT_STREQ(loaded.routes[15][1].out, "Synth B");

    struct Case {
        const char* what;
        std::vector<char> bytes;
        int count;
    };
    std::vector<char> shorter(good.begin(), good.end() - 1), longer = good, magic = good, version = good;
    longer.push_back(0);
    magic[0] = 'X';
    version[8] = 2;
    const Case bad[] = {
        {"written for a table of another count", good, 2},
        {"one byte short", shorter, 3},
        {"one byte long", longer, 3},
        {"another magic", magic, 3},
        {"another version", version, 3},
    };
    for (const Case& c : bad) {
        SCOPED_TRACE(c.what);
        Write(c.bytes);
        loaded.routes[0][0] = Names("stale", "stale");
        EXPECT_FALSE(LoadPresetDeviceNames(loaded, c.count, File().c_str()));
        EXPECT_STREQ(loaded.routes[0][0].in, "") << "indices alone";
    }
    fs::remove(File());
    EXPECT_FALSE(LoadPresetDeviceNames(loaded, 0, File().c_str()));

    // A name filled to its last byte is cut there, never read past.
    std::vector<char> unterminated = good;
    std::memset(unterminated.data() + 16, 'N', kDeviceNameSize);
    Write(unterminated);
    EXPECT_TRUE(LoadPresetDeviceNames(loaded, 3, File().c_str()));
    EXPECT_EQ(std::string(loaded.routes[0][0].in), std::string(kDeviceNameSize - 1, 'N'));
}

TEST_F(DeviceNameFiles, TheRegistryKeepsTheNamesBesideTheIndices) {
    KavoSettings s;
    s.routeSettings[0] = RouteSettings{1, 2, 3, 0};
    s.routeNames[0] = Names("Keys \x82\xA0", "Synth A");
    s.routeNames[1] = Names("", "Synth B");
    SaveSettings(s);
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(reg.GetValue(platform::RegRoot::LocalMachine, "SOFTWARE\\Ombrix\\Kavo2\\Port1", "MIDIInName", &type, &bytes));
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("Keys \x82\xA0", 8));
    KavoSettings back;
    uint32_t timeOut = 0;
    LoadSettings(back, timeOut);
    EXPECT_STREQ(back.routeNames[0].in, "Keys \x82\xA0");
    EXPECT_STREQ(back.routeNames[1].out, "Synth B");
    EXPECT_EQ(back.routeSettings[0].MIDIIn, 2);

    // Settings of an older version have no names; a name longer than a device's field
    // is cut where no character loses its second byte.
    reg.Clear();
    reg.SeedDword(platform::RegRoot::LocalMachine, "SOFTWARE\\Ombrix\\Kavo2\\Port1", "MIDIIn", 1);
    reg.SeedString(platform::RegRoot::LocalMachine, "SOFTWARE\\Ombrix\\Kavo2\\Port2", "MIDIInName",
                   std::string(30, 'x') + "\x82\xA0");
    LoadSettings(back, timeOut);
    EXPECT_STREQ(back.routeNames[0].in, "");
    EXPECT_EQ(std::string(back.routeNames[1].in), std::string(30, 'x'));
}

TEST(PortSetupNamesTest, ApplyAndThePresetButtonsKeepTheDevicesNames) {
    midi::VirtualMidi dev(midi::VirtualMidi::Config{{"Keys A", "Keys B"}, {"Synth A", "Synth B"}});
    midi::SetBackend(&dev);
    portsetup::PortForm form;
    form.inSel[0] = 1;
    form.outSel[0] = 0;
    form.checked[0] = true;
    RouteDeviceNames names[2];
    portsetup::NamesOfForm(form, names);
    EXPECT_STREQ(names[0].in, "Keys B");
    EXPECT_STREQ(names[0].out, "Synth A");
    EXPECT_STREQ(names[1].in, "") << "no selection, no name";

    PresetTable t;
    PresetDeviceNames presetNames = {};
    ASSERT_EQ(portsetup::StoreFormAsPreset(t, presetNames, "A", form).slot, 0);
    form.inSel[0] = 0;
    ASSERT_EQ(portsetup::StoreFormAsPreset(t, presetNames, "B", form).slot, 1);
    ASSERT_EQ(portsetup::StoreFormAsPreset(t, presetNames, "C", form).slot, 2);
    EXPECT_STREQ(presetNames.routes[0][0].in, "Keys B");
    EXPECT_STREQ(presetNames.routes[1][0].in, "Keys A");

    // "－" on the first: the names move with their presets.
    presetNames.routes[2][1] = Names("", "Synth B");
    EXPECT_EQ(portsetup::RemoveNamedPreset(t, presetNames, "a"), 0);
    EXPECT_STREQ(t.names[0], "B");
    EXPECT_STREQ(presetNames.routes[0][0].in, "Keys A");
    EXPECT_STREQ(presetNames.routes[1][1].out, "Synth B");
    EXPECT_EQ(portsetup::RemoveNamedPreset(t, presetNames, "none"), -1);
    midi::SetBackend(nullptr);
}

}  // namespace
