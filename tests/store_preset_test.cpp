// The preset table: PORT.KAV on disk, the find/store/remove operations, and the
// code-page-932 cut they share with the settings store.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/cp932.h"
#include "store/preset_table.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

// A directory of its own per test, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        static int serial = 0;
        path_ = fs::temp_directory_path() / ("kavo_store_" + std::to_string(stamp) + "_" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string File(const char* name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes TableBytes(const PresetTable& t) {
    const auto* p = reinterpret_cast<const uint8_t*>(&t);
    return Bytes(p, p + sizeof t);
}

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

const RouteSettings kUnassigned = {0, NO_DEVICE, NO_DEVICE, 0};

// ---- code page 932 cut ----

TEST(Cp932CutTest, NeverLeavesHalfADoubleByteCharacter) {
    const std::string a34(34, 'a'), a35(35, 'a'), a36(36, 'a');
    const struct {
        const char* what;
        std::string text;
        size_t max;
        size_t expected;
    } cases[] = {
        {"empty", "", 36, 0},
        {"short", "abc", 36, 3},
        {"exactly the limit", a36, 36, 36},
        {"one over", a36 + "b", 36, 36},
        {"lead byte at the last place is dropped", a35 + "\x82\xA0", 36, 35},
        {"whole character ending at the limit", a34 + "\x82\xA0" + "b", 36, 36},
        {"all double-byte, even limit", std::string(20, '\x88') /* 10 kanji-like pairs */, 9, 8},
        {"trail byte in the letter range", a35 + "\x83\x41", 36, 35},
        {"lead range 0x81", a35 + "\x81\x40", 36, 35},
        {"lead range 0x9F", a35 + "\x9F\x40", 36, 35},
        {"lead range 0xE0", a35 + "\xE0\x40", 36, 35},
        {"lead range 0xFC", a35 + "\xFC\x40", 36, 35},
        {"0x80 is single", a35 + "\x80" + "x", 36, 36},
        {"0xA0 is single", a35 + "\xA0" + "x", 36, 36},
        {"half-width katakana 0xB1 is single", a35 + "\xB1\xB1", 36, 36},
        {"0xDF is single", a35 + "\xDF\xDF", 36, 36},
        {"0xFD is single", a35 + "\xFD" + "x", 36, 36},
        {"lead byte just before the NUL counts alone", a35 + "\x82", 36, 36},
        {"zero limit", "abc", 0, 0},
        // Device names, cut to their 31-byte field by both MIDI backends.
        {"a device name whose 31st byte would be a lead byte", std::string(30, 'y') + "\x82\xA0" + "z", 31, 30},
        {"a device name whose 31st byte ends a character", std::string(29, 'y') + "\x82\xA0" + "z", 31, 31},
        {"a device name of half-width katakana", std::string(40, '\xB6'), 31, 31},
    };
    for (const auto& c : cases) EXPECT_EQ(Cp932CutLength(c.text.c_str(), c.max), c.expected) << c.what;

    char out[37];
    std::memset(out, 'X', sizeof out);
    EXPECT_EQ(Cp932CopyCut(out, (a35 + "\x82\xA0").c_str(), 36), 35u);
    EXPECT_EQ(std::string(out), a35);
}

// ---- PORT.KAV ----

class PresetFileTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.File("PORT.KAV");
};

TEST_F(PresetFileTest, TwoPresetsLayOutByteForByte) {
    PresetTable t;
    const RouteSettings a[2] = {{1, 0, 1, 0}, kUnassigned};
    const RouteSettings b[2] = {{0, 2, 3, 9}, {1, 4, 5, 6}};
    ASSERT_EQ(StorePreset(t, "A", a).outcome, StoreOutcome::Added);
    ASSERT_EQ(StorePreset(t, "B", b).outcome, StoreOutcome::Added);
    SavePresets(t, file.c_str());

    const Bytes f = ReadAll(file);
    ASSERT_EQ(f.size(), 1120u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 9), (Bytes{'K', 'A', 'V', 'O', '2', '.', '0', '0', 0}));
    EXPECT_EQ(Bytes(f.begin() + 9, f.begin() + 12), (Bytes{0, 0, 0}));
    EXPECT_EQ(Bytes(f.begin() + 12, f.begin() + 16), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(Bytes(f.begin() + 16, f.begin() + 18), (Bytes{'A', 0}));
    EXPECT_EQ(Bytes(f.begin() + 53, f.begin() + 55), (Bytes{'B', 0}));
    // Preset A: route 1 from input 0 to output 1, on; route 2 unassigned.
    const Bytes recordA = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                           0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(f.begin() + 608, f.begin() + 640), recordA);
    Bytes recordB;
    for (uint32_t v : {0u, 2u, 3u, 9u, 1u, 4u, 5u, 6u}) {
        const Bytes le = Le32(v);
        recordB.insert(recordB.end(), le.begin(), le.end());
    }
    EXPECT_EQ(Bytes(f.begin() + 640, f.begin() + 672), recordB);
    EXPECT_EQ(f, TableBytes(t)) << "the file is the table in memory";
    EXPECT_FALSE(fs::exists(file + ".tmp")) << "no temporary file left behind";

    PresetTable back;
    LoadPresets(back, file.c_str());
    EXPECT_EQ(TableBytes(back), f);
}

TEST_F(PresetFileTest, MissingFileGivesAnAllZeroTable) {
    PresetTable t;
    std::memset(static_cast<void*>(&t), 0x5A, sizeof t);
    LoadPresets(t, file.c_str());
    EXPECT_EQ(TableBytes(t), Bytes(1120, 0));
    EXPECT_FALSE(fs::exists(file)) << "loading creates nothing";
}

TEST_F(PresetFileTest, LongerFileLoadsItsFirst1120BytesAndSavesBackAt1120) {
    Bytes f(1500, 0);
    std::memcpy(f.data(), "KAVO2.00", 9);
    f[12] = 1;
    f[16] = 'P';
    f[608] = 1;
    f[1120] = 0xEE;  // beyond the table
    WriteAll(file, f);
    PresetTable t;
    LoadPresets(t, file.c_str());
    EXPECT_EQ(TableBytes(t), Bytes(f.begin(), f.begin() + 1120));
    SavePresets(t, file.c_str());
    EXPECT_EQ(ReadAll(file), Bytes(f.begin(), f.begin() + 1120));
}

TEST_F(PresetFileTest, ShortFileFillsOnlyTheLeadingBytes) {
    Bytes f(16, 0);
    std::memcpy(f.data(), "KAVO2.00", 9);
    f[12] = 2;
    WriteAll(file, f);
    PresetTable t;
    std::memset(static_cast<void*>(&t), 0x5A, sizeof t);  // a table in use before
    LoadPresets(t, file.c_str());
    EXPECT_EQ(t.count, 2);
    Bytes expected(1120, 0);
    std::memcpy(expected.data(), f.data(), 16);
    EXPECT_EQ(TableBytes(t), expected) << "two presets with empty names and all-zero records";
    EXPECT_EQ(FindPreset(t, ""), 0);
}

TEST_F(PresetFileTest, MagicIsNotChecked) {
    Bytes f(1120, 0);
    std::memcpy(f.data(), "OTHER!!!", 8);
    f[12] = 1;
    f[16] = 'Q';
    WriteAll(file, f);
    PresetTable t;
    LoadPresets(t, file.c_str());
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(FindPreset(t, "q"), 0);
    SavePresets(t, file.c_str());
    EXPECT_EQ(std::memcmp(ReadAll(file).data(), "KAVO2.00\0", 9), 0) << "saving puts the magic in";
}

TEST_F(PresetFileTest, DamagedCountIsBounded) {
    const struct {
        uint32_t stored;
        int32_t loaded;
    } cases[] = {{0, 0}, {5, 5}, {16, 16}, {17, 16}, {0x7FFFFFFF, 16}, {0xFFFFFFFF, 0}, {0x80000000, 0}};
    for (const auto& c : cases) {
        Bytes f(1120, 0);
        const Bytes le = Le32(c.stored);
        std::copy(le.begin(), le.end(), f.begin() + 12);
        for (int k = 0; k < 16; ++k) f[16 + 37 * k] = static_cast<uint8_t>('a' + k);
        WriteAll(file, f);
        PresetTable t;
        LoadPresets(t, file.c_str());
        EXPECT_EQ(t.count, c.loaded) << c.stored;
        EXPECT_EQ(FindPreset(t, "zzz"), -1) << c.stored;  // walks every slot in use
        if (c.loaded == 16) {
            const RouteSettings ports[2] = {kUnassigned, kUnassigned};
            EXPECT_EQ(StorePreset(t, "new", ports).outcome, StoreOutcome::TableFull);
            EXPECT_EQ(RemovePreset(t, "P"), 15);
            EXPECT_EQ(t.count, 15);
        }
    }
}

TEST_F(PresetFileTest, NameSlotWithoutNulIsCutInsideTheSlot) {
    Bytes f(1120, 0);
    f[12] = 3;
    std::memset(f.data() + 16, 'n', 37);  // slot 0: 37 letters, no NUL
    // slot 1: 'x' and 18 double-byte characters: byte 35 is a lead byte
    f[53] = 'x';
    for (int i = 0; i < 18; ++i) {
        f[54 + 2 * i] = 0x82;
        f[55 + 2 * i] = 0xA0;
    }
    std::memset(f.data() + 90, 'm', 37);  // slot 2, directly followed by slot 3
    f[127] = 'Z';
    WriteAll(file, f);
    PresetTable t;
    LoadPresets(t, file.c_str());
    EXPECT_EQ(std::string(t.names[0]), std::string(36, 'n'));
    EXPECT_EQ(std::strlen(t.names[1]), 35u) << "the half character goes too";
    EXPECT_EQ(t.names[1][35], '\0');
    EXPECT_EQ(t.names[1][36], '\0');
    EXPECT_EQ(std::string(t.names[2]), std::string(36, 'm')) << "does not run into slot 3";
    EXPECT_EQ(FindPreset(t, std::string(36, 'N').c_str()), 0);
    EXPECT_EQ(FindPreset(t, std::string(36, 'm').c_str()), 2);
    EXPECT_EQ(t.names[3][0], 'Z') << "the next slot is untouched";
}

TEST_F(PresetFileTest, FailedSaveLeavesTheOldFile) {
    PresetTable old;
    const RouteSettings ports[2] = {{1, 0, 1, 0}, kUnassigned};
    StorePreset(old, "Old", ports);
    SavePresets(old, file.c_str());
    const Bytes before = ReadAll(file);
    ASSERT_EQ(before.size(), 1120u);

    PresetTable next;
    StorePreset(next, "New", ports);

    // The temporary file cannot be made.
    fs::create_directory(file + ".tmp");
    SavePresets(next, file.c_str());
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_TRUE(fs::is_directory(file + ".tmp")) << "what was there is not removed";
    fs::remove(file + ".tmp");

    // The new file is complete but cannot take the old one's place.
    const std::string dirTarget = dir.File("TARGET.KAV");
    fs::create_directory(dirTarget);
    WriteAll(dirTarget + "/inside", {1});
    SavePresets(next, dirTarget.c_str());
    EXPECT_TRUE(fs::is_directory(dirTarget));
    EXPECT_FALSE(fs::exists(dirTarget + ".tmp")) << "the temporary file is removed";

    // A file in a directory that does not exist.
    SavePresets(next, dir.File("missing/PORT.KAV").c_str());
    EXPECT_FALSE(fs::exists(dir.File("missing")));

    SavePresets(next, file.c_str());
    PresetTable back;
    LoadPresets(back, file.c_str());
    EXPECT_EQ(FindPreset(back, "new"), 0) << "a later save still works";
}

#ifndef _WIN32
TEST_F(PresetFileTest, FullDiskLeavesTheOldFile) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    PresetTable old;
    const RouteSettings ports[2] = {kUnassigned, kUnassigned};
    StorePreset(old, "Old", ports);
    SavePresets(old, file.c_str());
    const Bytes before = ReadAll(file);

    // Every write to the temporary file fails with "no space left".
    fs::create_symlink("/dev/full", file + ".tmp");
    PresetTable next;
    StorePreset(next, "New", ports);
    SavePresets(next, file.c_str());
    EXPECT_EQ(ReadAll(file), before);
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(file + ".tmp"))) << "the temporary name is cleared";
}
#endif

// ---- find, store, remove ----

PresetTable TableOf(std::initializer_list<const char*> names) {
    PresetTable t;
    int k = 0;
    for (const char* name : names) {
        const RouteSettings ports[2] = {{1, k, k + 100, k + 200}, kUnassigned};
        EXPECT_EQ(StorePreset(t, name, ports).outcome, StoreOutcome::Added) << name;
        ++k;
    }
    return t;
}

TEST(PresetTableTest, FindFoldsOnlyTheLettersAToZ) {
    const PresetTable t = TableOf({"Live", "[x]", "@home", "\x83\x41", "Live2"});
    const struct {
        const char* name;
        int expected;
    } cases[] = {
        {"Live", 0}, {"live", 0}, {"LIVE", 0}, {"lIvE", 0},
        {"Liv", -1}, {"Live ", -1}, {"", -1},
        {"[x]", 1}, {"[X]", 1}, {"{x}", -1},     // '[' + 0x20 is '{', not a letter pair
        {"@home", 2}, {"`home", -1},             // likewise '@' and '`'
        {"\x83\x41", 3}, {"\x83\x61", -1},       // two katakana whose second bytes look like A and a
        {"LIVE2", 4},
    };
    for (const auto& c : cases) EXPECT_EQ(FindPreset(t, c.name), c.expected) << c.name;
}

TEST(PresetTableTest, StoringAnExistingNameReplacesItsSlotAndKeepsTheCount) {
    PresetTable t = TableOf({"Intro", "Live", "Outro"});
    const RouteSettings ports[2] = {{1, 7, 8, 9}, {1, 1, 2, 3}};
    const StoreResult r = StorePreset(t, "live", ports);
    EXPECT_EQ(r.outcome, StoreOutcome::Replaced);
    EXPECT_EQ(r.slot, 1);
    EXPECT_EQ(t.count, 3);
    EXPECT_STREQ(t.names[1], "live") << "the slot takes the new letter case";
    EXPECT_EQ(std::memcmp(t.ports[1], ports, sizeof ports), 0);
    EXPECT_STREQ(t.names[2], "Outro");
}

TEST(PresetTableTest, StoreClearsTheWholeSlotBeforeTheName) {
    PresetTable t;
    std::memset(t.names[0], 'R', sizeof t.names[0]);  // remains of an older, longer name
    const RouteSettings ports[2] = {kUnassigned, kUnassigned};
    StorePreset(t, "ab", ports);
    EXPECT_EQ(std::string(t.names[0], sizeof t.names[0]), std::string("ab") + std::string(35, '\0'));
}

TEST(PresetTableTest, FullTableRefusesEvenAnExistingName) {
    PresetTable t;
    const RouteSettings ports[2] = {kUnassigned, kUnassigned};
    for (int k = 0; k < 15; ++k) StorePreset(t, ("P" + std::to_string(k)).c_str(), ports);
    ASSERT_EQ(t.count, 15);
    const StoreResult r = StorePreset(t, "Sixteenth", ports);
    EXPECT_EQ(r.outcome, StoreOutcome::Added);
    EXPECT_EQ(r.slot, 15);
    EXPECT_EQ(t.count, 16);

    const Bytes before = TableBytes(t);
    const RouteSettings other[2] = {{1, 1, 1, 1}, {1, 1, 1, 1}};
    for (const char* name : {"Seventeenth", "P3", "sixteenth"}) {
        const StoreResult full = StorePreset(t, name, other);
        EXPECT_EQ(full.outcome, StoreOutcome::TableFull) << name;
        EXPECT_EQ(full.slot, -1) << name;
        EXPECT_EQ(TableBytes(t), before) << name << ": the table is unchanged";
    }
    EXPECT_EQ(std::string(kPresetTableFullText), "これ以上設定を追加する事はできません。");
}

TEST(PresetTableTest, EmptyNameStoresNothing) {
    PresetTable t = TableOf({"A"});
    const Bytes before = TableBytes(t);
    const RouteSettings ports[2] = {kUnassigned, kUnassigned};
    EXPECT_EQ(StorePreset(t, "", ports).outcome, StoreOutcome::EmptyName);
    EXPECT_EQ(TableBytes(t), before);
}

TEST(PresetTableTest, NamesAreCutTo36BytesOnStoreButLookedUpUncutOnRemove) {
    const std::string n36(36, 'k');
    const std::string n40 = n36 + "tail";
    PresetTable t;
    const RouteSettings ports[2] = {kUnassigned, kUnassigned};
    EXPECT_EQ(StorePreset(t, n36.c_str(), ports).outcome, StoreOutcome::Added);
    EXPECT_EQ(StorePreset(t, n36.c_str(), ports).outcome, StoreOutcome::Replaced) << "found again, not duplicated";
    EXPECT_EQ(StorePreset(t, n40.c_str(), ports).outcome, StoreOutcome::Replaced) << "cut to the same 36 bytes";
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(RemovePreset(t, n40.c_str()), -1) << "uncut, so it matches nothing";
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(RemovePreset(t, n36.c_str()), 0);
    EXPECT_EQ(t.count, 0);

    // A double-byte character across byte 36 is dropped whole.
    const std::string jp = std::string(35, 'j') + "\x82\xA0";
    const StoreResult r = StorePreset(t, jp.c_str(), ports);
    EXPECT_EQ(std::string(t.names[r.slot]), std::string(35, 'j'));
}

TEST(PresetTableTest, RemovingTheFirstOfThreeMovesTheOthersDown) {
    PresetTable t = TableOf({"A", "B", "C"});
    // The last slot and record hold remains that a removal must keep.
    std::memset(t.names[15], 'r', 36);
    t.ports[15][0] = {9, 9, 9, 9};
    const PresetTable before = t;

    EXPECT_EQ(RemovePreset(t, "a"), 0);
    EXPECT_EQ(t.count, 2);
    EXPECT_STREQ(t.names[0], "B");
    EXPECT_STREQ(t.names[1], "C");
    EXPECT_EQ(std::memcmp(t.ports[0], before.ports[1], sizeof t.ports[0]), 0);
    EXPECT_EQ(std::memcmp(t.ports[1], before.ports[2], sizeof t.ports[1]), 0);
    for (int j = 2; j < 15; ++j) {
        EXPECT_EQ(std::memcmp(t.names[j], before.names[j + 1], kPresetSlotBytes), 0) << j;
        EXPECT_EQ(std::memcmp(t.ports[j], before.ports[j + 1], sizeof t.ports[j]), 0) << j;
    }
    EXPECT_EQ(std::memcmp(t.names[15], before.names[15], kPresetSlotBytes), 0) << "last slot as it was";
    EXPECT_EQ(std::memcmp(t.ports[15], before.ports[15], sizeof t.ports[15]), 0) << "last record as it was";

    EXPECT_EQ(RemovePreset(t, "A"), -1) << "gone";
    EXPECT_EQ(RemovePreset(t, "c"), 1);
    EXPECT_EQ(RemovePreset(t, "B"), 0);
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(RemovePreset(t, "B"), -1);
    EXPECT_EQ(t.count, 0) << "never below zero";
}

}  // namespace
