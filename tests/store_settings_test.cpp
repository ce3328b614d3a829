// LoadSettings and SaveSettings against the in-memory registry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_model.h"
#include "platform/registry.h"
#include "store/settings_store.h"

namespace {

using platform::MemoryRegistry;
using platform::RegRoot;

const RegRoot HKLM = RegRoot::LocalMachine;
const RegRoot HKCU = RegRoot::CurrentUser;
const char kMain[] = "SOFTWARE\\Ombrix\\Kavo2";
const char kPort1[] = "SOFTWARE\\Ombrix\\Kavo2\\Port1";
const char kPort2[] = "SOFTWARE\\Ombrix\\Kavo2\\Port2";
const char kController[] = "SOFTWARE\\Ombrix\\Kavo2\\Controller";

// Every stored field away from its default, so that a load that forgets one shows.
void Scramble(KavoSettings& s) {
    for (RouteSettings& r : s.routeSettings) r = {5, 6, 7, 8};
    std::memset(s.Name, 'X', sizeof s.Name);
    s.Port = 1;
    s.Channel = 3;
    s.VelConvertion = 1;
    s.Metronome = 1;
    s.TransPose = 1;
    s.tOctave = 97;
    s.vSens = 150;
    s.vOffset = 100;
    s.mClick = 40;
    s.mBell = 41;
    s.mVolume = 50;
    s.mChannel = 3;
    s.mMeas = 0;
    s.mTempo = 200;
}

void ExpectDefaults(const KavoSettings& s) {
    for (int r = 0; r < 2; ++r) {
        EXPECT_EQ(s.routeSettings[r].Enabled, 0) << r;
        EXPECT_EQ(s.routeSettings[r].MIDIIn, NO_DEVICE) << r;
        EXPECT_EQ(s.routeSettings[r].MIDIOut, NO_DEVICE) << r;
        EXPECT_EQ(s.routeSettings[r].Init, 0) << r;
    }
    EXPECT_EQ(std::string(s.Name, sizeof s.Name), std::string(sizeof s.Name, '\0'));
    EXPECT_EQ(s.Port, 0);
    EXPECT_EQ(s.Channel, 16);
    EXPECT_EQ(s.VelConvertion, 0);
    EXPECT_EQ(s.Metronome, 0);
    EXPECT_EQ(s.TransPose, 0);
    EXPECT_EQ(s.tOctave, 100);
    EXPECT_EQ(s.vSens, 100);
    EXPECT_EQ(s.vOffset, 127);
    EXPECT_EQ(s.mClick, 33);
    EXPECT_EQ(s.mBell, 34);
    EXPECT_EQ(s.mVolume, 86);
    EXPECT_EQ(s.mChannel, 9);
    EXPECT_EQ(s.mMeas, 2);
    EXPECT_EQ(s.mTempo, 120);
}

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override { platform::SetRegistry(&reg); }
    void TearDown() override {
        EXPECT_EQ(reg.OpenHandles(), 0) << "a key was left open";
        platform::SetRegistry(nullptr);
    }
    int Load(KavoSettings& s) {
        timeOut = 0xDEAD;
        return LoadSettings(s, timeOut);
    }
    // The value as stored: its type and its bytes as a number (for up to 4 bytes).
    uint32_t Stored(RegRoot root, const char* path, const char* name, uint32_t* type = nullptr) {
        std::vector<uint8_t> bytes;
        uint32_t t = 0;
        if (!reg.GetValue(root, path, name, &t, &bytes)) {
            ADD_FAILURE() << path << " " << name << " missing";
            return 0;
        }
        if (type) *type = t;
        EXPECT_EQ(bytes.size(), 4u) << name;
        uint32_t v = 0;
        for (size_t i = 0; i < bytes.size() && i < 4; ++i) v |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        return v;
    }
    MemoryRegistry reg;
    uint32_t timeOut = 0;
};

TEST_F(SettingsStoreTest, FirstRunGivesEveryDefaultAndZero) {
    KavoSettings s;
    Scramble(s);
    EXPECT_EQ(Load(s), 0);
    ExpectDefaults(s);
    EXPECT_EQ(timeOut, 1u);
    EXPECT_FALSE(reg.HasKey(HKLM, kMain)) << "loading creates nothing";
    EXPECT_FALSE(reg.HasKey(HKCU, kMain)) << "loading creates nothing";
}

TEST_F(SettingsStoreTest, MainKeyAloneIsNotAFirstRun) {
    reg.SeedString(HKLM, kMain, "Name", "Live");
    reg.SeedDword(HKLM, kMain, "Time Out", 20);
    KavoSettings s;
    Scramble(s);
    EXPECT_EQ(Load(s), 1);
    EXPECT_STREQ(s.Name, "Live");
    EXPECT_EQ(timeOut, 20u);
    std::memset(s.Name, 0, sizeof s.Name);
    ExpectDefaults(s);  // no Port or Controller key: their fields take the defaults
}

TEST_F(SettingsStoreTest, SwitchesLoadAsOneForAnyNonzeroValue) {
    const char* names[] = {"VelConvertion", "Metronome", "TransPose"};
    const struct {
        uint32_t stored;
        int32_t loaded;
    } cases[] = {{0xFFFFFFFF, 1}, {1, 1}, {7, 1}, {0x80000000, 1}, {0, 0}};
    for (const char* name : names) {
        for (const auto& c : cases) {
            reg.Clear();
            reg.SeedKey(HKLM, kMain);
            reg.SeedDword(HKLM, kController, name, c.stored);
            KavoSettings s;
            Load(s);
            const int32_t got = std::strcmp(name, "VelConvertion") == 0 ? s.VelConvertion
                                : std::strcmp(name, "Metronome") == 0   ? s.Metronome
                                                                        : s.TransPose;
            EXPECT_EQ(got, c.loaded) << name << " stored as " << c.stored;
        }
    }
}

TEST_F(SettingsStoreTest, SwitchesSaveAsAllOnesOrZero) {
    for (int on = 0; on < 2; ++on) {
        KavoSettings s;
        s.VelConvertion = on;
        s.Metronome = on;
        s.TransPose = on;
        SaveSettings(s);
        const uint32_t expected = on ? 0xFFFFFFFFu : 0u;
        for (const char* name : {"VelConvertion", "Metronome", "TransPose"}) {
            uint32_t type = 0;
            EXPECT_EQ(Stored(HKLM, kController, name, &type), expected) << name;
            EXPECT_EQ(type, platform::kRegDword) << name;
        }
    }
}

TEST_F(SettingsStoreTest, DeviceIndicesAndEnabledAreStoredRaw) {
    reg.SeedKey(HKLM, kMain);
    reg.SeedDword(HKLM, kPort1, "Enabled", 5);  // no MIDIIn: NO_DEVICE
    reg.SeedDword(HKLM, kPort1, "MIDIOut", 0);
    KavoSettings s;
    ASSERT_EQ(Load(s), 1);
    EXPECT_EQ(s.routeSettings[0].Enabled, 5) << "used as read, not made 0 or 1";
    EXPECT_EQ(s.routeSettings[0].MIDIIn, NO_DEVICE);
    EXPECT_EQ(s.routeSettings[0].MIDIOut, 0);
    SaveSettings(s);
    EXPECT_EQ(Stored(HKLM, kPort1, "Enabled"), 5u);
    EXPECT_EQ(Stored(HKLM, kPort1, "MIDIIn"), 0x7FFFFFFFu);
    EXPECT_EQ(Stored(HKLM, kPort1, "MIDIOut"), 0u);
    EXPECT_EQ(Stored(HKLM, kPort2, "MIDIIn"), 0x7FFFFFFFu);
}

TEST_F(SettingsStoreTest, OddlySizedValuesFollowTheFourByteRule) {
    reg.SeedKey(HKLM, kMain);
    reg.SeedDword(HKLM, kController, "mTempo", 90);
    const uint8_t two[2] = {0x34, 0x12};
    reg.SeedValue(HKLM, kController, "Channel", platform::kRegBinary, two, 2);
    const uint8_t eight[8] = {90, 0, 0, 0, 0, 0, 0, 0};
    reg.SeedValue(HKLM, kController, "mBell", platform::kRegQword, eight, 8);
    const uint8_t five[5] = {1, 0, 0, 0, 0};
    reg.SeedValue(HKLM, kPort1, "MIDIIn", platform::kRegBinary, five, 5);
    KavoSettings s;
    Load(s);
    EXPECT_EQ(s.mTempo, 90);
    EXPECT_EQ(s.Channel, 0x1234) << "2 bytes fill the low half, the rest stays 0";
    EXPECT_EQ(s.mBell, 34) << "8 bytes: default";
    EXPECT_EQ(s.routeSettings[0].MIDIIn, NO_DEVICE) << "5 bytes: default";

    reg.Clear();
    reg.SeedValue(HKLM, kController, "mTempo", platform::kRegQword, eight, 8);
    Load(s);
    EXPECT_EQ(s.mTempo, 120);
}

TEST_F(SettingsStoreTest, LongNameIsCutToThirtySixBytesWithoutHalfACharacter) {
    const std::string a36(36, 'a');
    const struct {
        const char* what;
        std::string stored;
        std::string loaded;
    } cases[] = {
        {"short", "Live", "Live"},
        {"exactly 36", a36, a36},
        {"39 bytes", a36 + "bcd", a36},
        {"511 bytes, read then cut", std::string(511, 'z'), std::string(36, 'z')},
        {"512 bytes: unreadable, default", std::string(512, 'z'), ""},
        {"double-byte character across byte 36", std::string(35, 'a') + "\x82\xA0" + "b", std::string(35, 'a')},
        {"double-byte character ending at byte 36", std::string(34, 'a') + "\x82\xA0" + "b",
         std::string(34, 'a') + "\x82\xA0"},
        {"Japanese", "設定", "設定"},
    };
    for (const auto& c : cases) {
        reg.Clear();
        reg.SeedString(HKLM, kMain, "Name", c.stored);
        KavoSettings s;
        std::memset(s.Name, 'X', sizeof s.Name);
        Load(s);
        EXPECT_EQ(std::string(s.Name), c.loaded) << c.what;
        for (size_t i = c.loaded.size(); i < sizeof s.Name; ++i) ASSERT_EQ(s.Name[i], '\0') << c.what << " byte " << i;
    }
}

TEST_F(SettingsStoreTest, OutOfRangeValuesAreMended) {
    struct Case {
        const char* name;
        uint32_t stored;
        int32_t loaded;
    };
    const uint32_t kMin = 0x80000000u;
    const uint32_t kMax = 0x7FFFFFFFu;
    const uint32_t kMinus1 = 0xFFFFFFFFu;
    const Case cases[] = {
        // clamped
        {"vSens", 0, 0}, {"vSens", 200, 200}, {"vSens", 201, 200}, {"vSens", 500, 200}, {"vSens", kMinus1, 0},
        {"vSens", kMin, 0}, {"vSens", kMax, 200},
        {"vOffset", 0, 0}, {"vOffset", 127, 127}, {"vOffset", 128, 127}, {"vOffset", kMinus1, 0},
        {"mVolume", 0, 0}, {"mVolume", 106, 106}, {"mVolume", 107, 106}, {"mVolume", 127, 106}, {"mVolume", kMinus1, 0},
        {"mTempo", 30, 30}, {"mTempo", 29, 30}, {"mTempo", 0, 30}, {"mTempo", kMinus1, 30}, {"mTempo", 250, 250},
        {"mTempo", 251, 250}, {"mTempo", kMax, 250},
        // replaced by the default
        {"Port", 0, 0}, {"Port", 1, 1}, {"Port", 2, 0}, {"Port", kMinus1, 0},
        {"mClick", 0, 0}, {"mClick", 127, 127}, {"mClick", 128, 33}, {"mClick", kMinus1, 33},
        {"mBell", 0, 0}, {"mBell", 127, 127}, {"mBell", 128, 34}, {"mBell", kMinus1, 34},
        {"mChannel", 0, 0}, {"mChannel", 15, 15}, {"mChannel", 16, 9}, {"mChannel", 20, 9}, {"mChannel", kMinus1, 9},
        {"mMeas", 0, 0}, {"mMeas", 2, 2}, {"mMeas", 3, 2}, {"mMeas", kMinus1, 2},
        {"tOctave", 95, 95}, {"tOctave", 105, 105}, {"tOctave", 94, 100}, {"tOctave", 106, 100},
        {"tOctave", 0x10064, 100}, {"tOctave", kMin, 100},
        // carried as read
        {"Channel", 99, 99}, {"Channel", kMinus1, -1},
    };
    for (const Case& c : cases) {
        reg.Clear();
        reg.SeedKey(HKLM, kMain);
        reg.SeedDword(HKLM, kController, c.name, c.stored);
        KavoSettings s;
        Load(s);
        const int32_t got = std::strcmp(c.name, "vSens") == 0      ? s.vSens
                            : std::strcmp(c.name, "vOffset") == 0  ? s.vOffset
                            : std::strcmp(c.name, "mVolume") == 0  ? s.mVolume.load()
                            : std::strcmp(c.name, "mTempo") == 0   ? s.mTempo.load()
                            : std::strcmp(c.name, "Port") == 0     ? s.Port.load()
                            : std::strcmp(c.name, "mClick") == 0   ? s.mClick.load()
                            : std::strcmp(c.name, "mBell") == 0    ? s.mBell.load()
                            : std::strcmp(c.name, "mChannel") == 0 ? s.mChannel.load()
                            : std::strcmp(c.name, "mMeas") == 0    ? s.mMeas.load()
                            : std::strcmp(c.name, "tOctave") == 0  ? s.tOctave
                                                                   : s.Channel;
        EXPECT_EQ(got, c.loaded) << c.name << " stored as " << c.stored;
    }
}

TEST_F(SettingsStoreTest, SaveThenLoadGivesTheSameSettings) {
    KavoSettings saved;
    Scramble(saved);
    saved.routeSettings[0] = {1, 0, 2, 0};
    saved.routeSettings[1] = {0, NO_DEVICE, 3, 0};
    std::memset(saved.Name, 0, sizeof saved.Name);
    std::strcpy(saved.Name, "スタジオ A");
    saved.Channel = -7;
    SaveSettings(saved);

    uint32_t type = 0;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(reg.GetValue(HKLM, kMain, "Name", &type, &bytes));
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string("スタジオ A") + '\0') << "text and its NUL";
    for (const char* name : {"Port", "Channel", "tOctave", "vSens", "vOffset", "mClick", "mBell", "mVolume", "mChannel",
                             "mMeas", "mTempo"}) {
        Stored(HKLM, kController, name, &type);
        EXPECT_EQ(type, platform::kRegDword) << name;
    }
    EXPECT_EQ(reg.ValueCount(HKLM, kController), 14u);
    EXPECT_EQ(reg.ValueCount(HKLM, kPort1), 5u) << "the indices, Enabled and the devices' two names";
    EXPECT_EQ(reg.ValueCount(HKLM, kMain), 1u) << "only Name: Time Out is never written";

    KavoSettings loaded;
    ASSERT_EQ(Load(loaded), 1);
    EXPECT_EQ(std::memcmp(loaded.routeSettings, saved.routeSettings, sizeof saved.routeSettings), 0);
    EXPECT_STREQ(loaded.Name, saved.Name);
    EXPECT_EQ(loaded.Port, 1);
    EXPECT_EQ(loaded.Channel, -7);
    EXPECT_EQ(loaded.VelConvertion, 1);
    EXPECT_EQ(loaded.Metronome, 1);
    EXPECT_EQ(loaded.TransPose, 1);
    EXPECT_EQ(loaded.tOctave, 97);
    EXPECT_EQ(loaded.vSens, 150);
    EXPECT_EQ(loaded.vOffset, 100);
    EXPECT_EQ(loaded.mClick, 40);
    EXPECT_EQ(loaded.mBell, 41);
    EXPECT_EQ(loaded.mVolume, 50);
    EXPECT_EQ(loaded.mChannel, 3);
    EXPECT_EQ(loaded.mMeas, 0);
    EXPECT_EQ(loaded.mTempo, 200);
    EXPECT_EQ(timeOut, 1u);
}

TEST_F(SettingsStoreTest, InitAndTimeOutSetByHandSurviveSaves) {
    reg.SeedDword(HKLM, kMain, "Time Out", 5);
    reg.SeedDword(HKLM, kPort1, "Init", 0x1234);
    KavoSettings s;
    Load(s);
    EXPECT_EQ(s.routeSettings[0].Init, 0x1234);
    s.routeSettings[0].Init = 77;  // the dialog's Apply may change it in memory
    s.routeSettings[1].Init = 78;
    SaveSettings(s);
    SaveSettings(s);
    EXPECT_EQ(Stored(HKLM, kPort1, "Init"), 0x1234u);
    EXPECT_FALSE(reg.HasValue(HKLM, kPort2, "Init")) << "never written";
    EXPECT_EQ(Stored(HKLM, kMain, "Time Out"), 5u);
    Load(s);
    EXPECT_EQ(timeOut, 5u);
}

TEST_F(SettingsStoreTest, NameFieldWithoutNulIsSavedBounded) {
    KavoSettings s;
    std::memset(s.Name, 'q', sizeof s.Name);
    SaveSettings(s);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(reg.GetValue(HKLM, kMain, "Name", nullptr, &bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), std::string(sizeof s.Name, 'q') + '\0');
}

TEST_F(SettingsStoreTest, SavesGoToCurrentUserWhenLocalMachineRefusesWrites) {
    reg.RefuseWrites(HKLM, true);
    KavoSettings s;
    s.mTempo = 90;
    s.routeSettings[0] = {1, 0, 1, 0};
    std::strcpy(s.Name, "Live");
    SaveSettings(s);
    EXPECT_FALSE(reg.HasKey(HKLM, kMain));
    EXPECT_EQ(Stored(HKCU, kController, "mTempo"), 90u);
    EXPECT_EQ(Stored(HKCU, kPort1, "MIDIOut"), 1u);

    KavoSettings loaded;
    EXPECT_EQ(Load(loaded), 1) << "not a first run any more";
    EXPECT_EQ(loaded.mTempo, 90);
    EXPECT_STREQ(loaded.Name, "Live");
    EXPECT_EQ(loaded.routeSettings[0].MIDIOut, 1);
}

TEST_F(SettingsStoreTest, LoadingPrefersCurrentUserWhenItsMainKeyExists) {
    reg.SeedString(HKLM, kMain, "Name", "machine");
    reg.SeedDword(HKLM, kController, "mTempo", 60);
    reg.SeedDword(HKLM, kController, "vSens", 10);
    reg.SeedString(HKCU, kMain, "Name", "user");
    reg.SeedDword(HKCU, kController, "mTempo", 90);
    KavoSettings s;
    EXPECT_EQ(Load(s), 1);
    EXPECT_STREQ(s.Name, "user");
    EXPECT_EQ(s.mTempo, 90);
    EXPECT_EQ(s.vSens, 100) << "all from one place, not merged";

    // Other keys of the same maker under HKEY_CURRENT_USER do not count.
    reg.Clear();
    reg.SeedString(HKLM, kMain, "Name", "machine");
    reg.SeedDword(HKCU, "SOFTWARE\\Ombrix\\Kavo", "mTempo", 90);
    Load(s);
    EXPECT_STREQ(s.Name, "machine");
    EXPECT_EQ(s.mTempo, 120);
}

TEST_F(SettingsStoreTest, SettingsOfA32BitBuildAreFoundWhereNoOtherPlaceHoldsThem) {
    const RegRoot HKLM32 = RegRoot::LocalMachine32;
    const std::string vs = "Software\\Classes\\VirtualStore\\MACHINE\\SOFTWARE\\";
    const std::string vsWow = vs + "WOW6432Node\\Ombrix\\Kavo2";
    const std::string vsPlain = vs + "Ombrix\\Kavo2";
    struct Place {
        RegRoot root;
        std::string main;
    };
    const Place user = {HKCU, kMain}, machine = {HKLM, kMain}, machine32 = {HKLM32, kMain},
                storeWow = {HKCU, vsWow}, store = {HKCU, vsPlain};
    struct Case {
        const char* what;
        std::vector<Place> seeded;  // each with its own Name, the winner's read
        const char* name;
    };
    const Case cases[] = {
        {"the user's branch first", {user, machine, machine32, storeWow}, "0"},
        {"then the machine's 64-bit view", {machine, machine32, storeWow}, "0"},
        {"then its 32-bit view", {machine32, storeWow, store}, "0"},
        {"then the virtual store of a 32-bit program on a 64-bit system", {storeWow, store}, "0"},
        {"then that of a 32-bit system", {store}, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reg.Clear();
        for (size_t i = 0; i < c.seeded.size(); ++i) {
            const Place& p = c.seeded[i];
            reg.SeedString(p.root, p.main.c_str(), "Name", std::to_string(i));
            reg.SeedDword(p.root, p.main.c_str(), "Time Out", 10 + static_cast<uint32_t>(i));
            reg.SeedDword(p.root, (p.main + "\\Port1").c_str(), "Init", 20 + static_cast<uint32_t>(i));
            reg.SeedDword(p.root, (p.main + "\\Controller").c_str(), "mTempo", 60 + static_cast<uint32_t>(i));
        }
        KavoSettings s;
        EXPECT_EQ(Load(s), 1) << "not a first run";
        EXPECT_STREQ(s.Name, c.name);
        EXPECT_EQ(timeOut, 10u);
        EXPECT_EQ(s.routeSettings[0].Init, 20);
        EXPECT_EQ(s.mTempo, 60);
    }

    // Found in the 32-bit view, saved where saves always go: the machine's own view
    // when it can be written; the next load finds it there.
    reg.Clear();
    reg.SeedString(HKLM32, kMain, "Name", "old");
    KavoSettings s;
    Load(s);
    s.mTempo = 99;
    SaveSettings(s);
    EXPECT_EQ(Stored(HKLM, kController, "mTempo"), 99u);
    EXPECT_FALSE(reg.HasValue(HKLM32, kController, "mTempo")) << "the old place is left as it was";
}

TEST_F(SettingsStoreTest, SavesFollowTheSettingsToCurrentUserEvenWhenLocalMachineIsWritable) {
    // Settings moved to HKEY_CURRENT_USER once; later the program runs with rights.
    reg.SeedString(HKCU, kMain, "Name", "user");
    reg.SeedString(HKLM, kMain, "Name", "machine");
    KavoSettings s;
    Load(s);
    s.mTempo = 77;
    SaveSettings(s);
    EXPECT_FALSE(reg.HasKey(HKLM, kController)) << "nothing written where loading does not look";
    KavoSettings again;
    Load(again);
    EXPECT_EQ(again.mTempo, 77) << "the save is what the next start sees";
}

TEST_F(SettingsStoreTest, WritableLocalMachineKeepsCurrentUserUntouched) {
    KavoSettings s;
    SaveSettings(s);
    EXPECT_TRUE(reg.HasKey(HKLM, kController));
    EXPECT_FALSE(reg.HasKey(HKCU, "SOFTWARE\\Ombrix")) << "no HKEY_CURRENT_USER keys made";
}

TEST_F(SettingsStoreTest, NothingWritableLosesTheSaveQuietly) {
    reg.SeedDword(HKLM, kController, "mTempo", 60);
    reg.SeedKey(HKLM, kMain);
    reg.RefuseWrites(HKLM, true);
    reg.RefuseWrites(HKCU, true);
    KavoSettings s;
    s.mTempo = 90;
    SaveSettings(s);
    EXPECT_EQ(Stored(HKLM, kController, "mTempo"), 60u);
    EXPECT_FALSE(reg.HasKey(HKCU, kMain));
    KavoSettings loaded;
    EXPECT_EQ(Load(loaded), 1);
    EXPECT_EQ(loaded.mTempo, 60);
}

}  // namespace
