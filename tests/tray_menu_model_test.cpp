#include "tray/menu_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

const TrayMenuTexts kTexts = {"Default (&0)", "MIDI KAVOを開始 (&S)", "MIDI KAVOを停止 (&S)"};

PresetTable Presets(std::initializer_list<const char*> names) {
    PresetTable t;
    int k = 0;
    for (const char* n : names) {
        std::strncpy(t.names[k], n, kPresetNameMax);
        t.ports[k][0] = RouteSettings{1, k, k, 0};
        ++k;
    }
    t.count = k;
    return t;
}

PresetTable Numbered(int count) {
    PresetTable t;
    for (int k = 0; k < count; ++k) std::snprintf(t.names[k], kPresetSlotBytes, "P%d", k + 1);
    t.count = count;
    return t;
}

struct Entry {
    std::string text;
    unsigned id;
    bool operator==(const Entry& o) const { return text == o.text && id == o.id; }
};

std::ostream& operator<<(std::ostream& os, const Entry& e) { return os << e.id << " \"" << e.text << "\""; }

std::vector<Entry> EntriesOf(const TrayMenuModel& m) {
    std::vector<Entry> v;
    for (const TrayMenuEntry& e : m.entries) v.push_back({e.text, e.id});
    return v;
}

struct MenuCase {
    const char* what;
    PresetTable presets;
    const char* Name;
    int32_t pickedEntry;
    std::vector<Entry> entries;
    bool removed;
    int checked;
};

class TrayMenuModelTest : public ::testing::TestWithParam<MenuCase> {};

TEST_P(TrayMenuModelTest, EntriesSectionAndCheckMark) {
    const MenuCase& c = GetParam();
    const TrayMenuModel m = BuildTrayMenuModel(c.Name, c.pickedEntry, c.presets, false, kTexts);
    EXPECT_EQ(EntriesOf(m), c.entries) << c.what;
    EXPECT_EQ(m.presetSectionRemoved, c.removed) << c.what;
    EXPECT_EQ(m.checkedEntry, c.checked) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    NothingPicked, TrayMenuModelTest,
    ::testing::Values(
        MenuCase{"no presets, Name empty: Default alone, section removed", Presets({}), "", -1,
                 {{"Default (&0)", 20000}}, true, -1},
        MenuCase{"no presets, Name set: not even Default", Presets({}), "Live", -1, {}, true, -1},
        MenuCase{"one preset, Name empty: Default checked, preset numbered 1", Presets({"Live"}), "", -1,
                 {{"Default (&0)", 20000}, {"Live (&1)", 20001}}, false, 0},
        MenuCase{"one preset equal to Name: one entry, section removed", Presets({"Live"}), "Live", -1,
                 {{"Live (&0)", 20000}}, true, -1},
        MenuCase{"two presets, Name B", Presets({"A", "B"}), "B", -1, {{"A (&0)", 20000}, {"B (&1)", 20001}},
                 false, 1},
        MenuCase{"Name equal to none: the first entry", Presets({"A", "B"}), "C", -1,
                 {{"A (&0)", 20000}, {"B (&1)", 20001}}, false, 0},
        MenuCase{"Name matches only exactly: letter case counts", Presets({"live", "Live", "LIVE"}), "Live", -1,
                 {{"live (&0)", 20000}, {"Live (&1)", 20001}, {"LIVE (&2)", 20002}}, false, 1},
        MenuCase{"a later equal name wins (hand-made file)", Presets({"X", "Y", "X"}), "X", -1,
                 {{"X (&0)", 20000}, {"Y (&1)", 20001}, {"X (&2)", 20002}}, false, 2},
        MenuCase{"Japanese name as stored, suffix after it", Presets({"ライブ用", "録音"}), "録音", -1,
                 {{"ライブ用 (&0)", 20000}, {"録音 (&1)", 20001}}, false, 1},
        MenuCase{"an empty preset name matches the empty Name (damaged file)", Presets({"", "A"}), "", -1,
                 {{"Default (&0)", 20000}, {" (&1)", 20001}, {"A (&2)", 20002}}, false, 1}));

INSTANTIATE_TEST_SUITE_P(
    AfterAPick, TrayMenuModelTest,
    ::testing::Values(
        // B was entry 2 under Default; the pick set Name, Default left, and position 2
        // is now the next preset or nothing.
        MenuCase{"Default gone after the pick, nothing at the old position", Presets({"A", "B"}), "B", 2,
                 {{"A (&0)", 20000}, {"B (&1)", 20001}}, false, 1},
        MenuCase{"Default gone after the pick, another preset at the old position", Presets({"A", "B", "C"}),
                 "B", 2, {{"A (&0)", 20000}, {"B (&1)", 20001}, {"C (&2)", 20002}}, false, 1},
        // C was picked at 2; "A" was then removed in the port setup dialog (no Apply).
        MenuCase{"an earlier preset removed after the pick", Presets({"B", "C"}), "C", 2,
                 {{"B (&0)", 20000}, {"C (&1)", 20001}}, false, 1},
        MenuCase{"a preset removed before the picked one, another after it", Presets({"B", "C", "D"}), "C", 2,
                 {{"B (&0)", 20000}, {"C (&1)", 20001}, {"D (&2)", 20002}}, false, 1},
        MenuCase{"the picked preset itself removed: no mark", Presets({"A", "B"}), "C", 2,
                 {{"A (&0)", 20000}, {"B (&1)", 20001}}, false, -1},
        MenuCase{"layout unchanged: the position keeps the mark", Presets({"A", "B", "C"}), "B", 1,
                 {{"A (&0)", 20000}, {"B (&1)", 20001}, {"C (&2)", 20002}}, false, 1},
        // With two equal names the position tells them apart where Name cannot.
        MenuCase{"equal names: the picked position, not the last match", Presets({"X", "X"}), "X", 0,
                 {{"X (&0)", 20000}, {"X (&1)", 20001}}, false, 0},
        MenuCase{"Default picked keeps the mark while presets move", Presets({"A", "B"}), "", 0,
                 {{"Default (&0)", 20000}, {"A (&1)", 20001}, {"B (&2)", 20002}}, false, 0},
        MenuCase{"Default picked, no preset named empty takes it", Presets({"", "A"}), "", 0,
                 {{"Default (&0)", 20000}, {" (&1)", 20001}, {"A (&2)", 20002}}, false, 0},
        MenuCase{"picked, then the menu shrank to one entry", Presets({"A"}), "A", 1, {{"A (&0)", 20000}},
                 true, -1}));

TEST(TrayMenuModelSizeTest, SixteenPresetsWithNameEmptyEndAtSuffixTenAndId20016) {
    const TrayMenuModel m = BuildTrayMenuModel("", -1, Numbered(16), false, kTexts);
    ASSERT_EQ(m.entries.size(), 17u);
    EXPECT_FALSE(m.presetSectionRemoved);
    EXPECT_EQ(m.checkedEntry, 0);
    for (int i = 1; i < 17; ++i) {
        char expected[32];
        std::snprintf(expected, sizeof(expected), "P%d (&%X)", i, i);
        EXPECT_EQ(m.entries[i].text, expected);
        EXPECT_EQ(m.entries[i].id, 20000u + i);
        EXPECT_EQ(m.entries[i].presetIndex, i - 1);
    }
    EXPECT_EQ(m.entries[16].text, "P16 (&10)");
    EXPECT_EQ(m.entries[16].id, kMenuPresetIdLast);
    EXPECT_EQ(m.entries[0].presetIndex, -1);

    // With Name set the sixteenth preset is entry 15, suffix F.
    const TrayMenuModel named = BuildTrayMenuModel("P3", -1, Numbered(16), false, kTexts);
    ASSERT_EQ(named.entries.size(), 16u);
    EXPECT_EQ(named.entries[15].text, "P16 (&F)");
    EXPECT_EQ(named.entries[15].id, 20015u);
    EXPECT_EQ(named.checkedEntry, 2);
}

TEST(TrayMenuModelSizeTest, DamagedCountIsHeldToTheTable) {
    PresetTable t = Numbered(16);
    t.count = 40;
    EXPECT_EQ(BuildTrayMenuModel("", -1, t, false, kTexts).entries.size(), 17u);
    t.count = -3;
    const TrayMenuModel none = BuildTrayMenuModel("", -1, t, false, kTexts);
    ASSERT_EQ(none.entries.size(), 1u);
    EXPECT_TRUE(none.presetSectionRemoved);
}

TEST(TrayMenuModelSizeTest, ASlotWithoutItsNulIsReadNoFurther) {
    PresetTable t = Numbered(2);
    std::memset(t.names[0], 'x', kPresetSlotBytes);
    const TrayMenuModel m = BuildTrayMenuModel("P2", -1, t, false, kTexts);
    ASSERT_EQ(m.entries.size(), 2u);
    EXPECT_EQ(m.entries[0].text, std::string(kPresetSlotBytes, 'x') + " (&0)");
    EXPECT_EQ(m.entries[1].text, "P2 (&1)");
}

TEST(TrayMenuModelTextTest, StartStopFollowsTheEngine) {
    EXPECT_EQ(BuildTrayMenuModel("", -1, Numbered(2), false, kTexts).startStopText, "MIDI KAVOを開始 (&S)");
    EXPECT_EQ(BuildTrayMenuModel("", -1, Numbered(2), true, kTexts).startStopText, "MIDI KAVOを停止 (&S)");
    // The text is the same whether or not the section is there.
    EXPECT_EQ(BuildTrayMenuModel("", -1, Numbered(0), true, kTexts).startStopText, "MIDI KAVOを停止 (&S)");
}

TEST(TrayMenuModelTextTest, SuffixIsUpperCaseHexOfThePosition) {
    const std::pair<int, const char*> cases[] = {{0, " (&0)"}, {9, " (&9)"}, {10, " (&A)"}, {15, " (&F)"}, {16, " (&10)"}};
    for (const auto& c : cases) EXPECT_EQ(MenuAcceleratorSuffix(c.first), c.second) << c.first;
}

TEST(TrayMenuPickTest, IdentifierToPresetDependsOnDefaultBeingThere) {
    struct {
        unsigned id;
        const char* Name;
        int preset;
    } const cases[] = {
        {20000, "", -1}, {20001, "", 0}, {20016, "", 15},
        {20000, "A", 0}, {20015, "A", 15}, {20016, "A", 16},  // past the table: the caller refuses it
        {20000, nullptr, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PresetIndexForMenuId(c.id, c.Name), c.preset) << c.id << " " << (c.Name ? c.Name : "(null)");
    }
}

TEST(TrayMenuPickTest, EveryEntryPicksThePresetItShows) {
    // Whatever the layout, the identifier of an entry leads back to its preset.
    for (const char* name : {"", "P5", "none"}) {
        const TrayMenuModel m = BuildTrayMenuModel(name, -1, Numbered(16), false, kTexts);
        for (const TrayMenuEntry& e : m.entries) EXPECT_EQ(PresetIndexForMenuId(e.id, name), e.presetIndex) << e.text;
    }
}

}  // namespace
