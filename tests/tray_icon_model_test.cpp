#include "tray/tray_icon_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/settings_model.h"

namespace {

const char* const kOn = "KAVO ON";
const char* const kOff = "KAVO OFF";

// Route r configured (input 0/1, output 0/1, enabled) or not (no device).
TrayIconInputs Routes(bool route1, bool route2) {
    TrayIconInputs in;
    const bool configured[2] = {route1, route2};
    for (int r = 0; r < 2; ++r) {
        in.activeIn[r] = configured[r] ? r : NO_DEVICE;
        in.activeOut[r] = configured[r] ? r : NO_DEVICE;
        in.activeEnabled[r] = configured[r] ? 1 : 0;
    }
    return in;
}

struct PictureCase {
    const char* what;
    bool configured[2];
    bool running;
    bool open[2];
    int32_t velConvertion;
    int32_t transPose;
    int picture;
};

class TrayPictureTest : public ::testing::TestWithParam<PictureCase> {};

TEST_P(TrayPictureTest, PicksThePicture) {
    const PictureCase& c = GetParam();
    TrayIconInputs in = Routes(c.configured[0], c.configured[1]);
    in.engineRunning = c.running;
    in.inputOpen[0] = c.open[0];
    in.inputOpen[1] = c.open[1];
    in.VelConvertion = c.velConvertion;
    in.TransPose = c.transPose;
    EXPECT_EQ(ChooseTrayIcon(in, kOn, kOff).picture, c.picture) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrayPictureTest,
    ::testing::Values(
        // Stopped: the configured routes count, conversions do not.
        PictureCase{"stopped, none configured", {false, false}, false, {false, false}, 0, 0, 200},
        PictureCase{"stopped, route 1 only", {true, false}, false, {false, false}, 0, 0, 200},
        PictureCase{"stopped, route 2 only", {false, true}, false, {false, false}, 0, 0, 200},
        PictureCase{"stopped, both", {true, true}, false, {false, false}, 0, 0, 201},
        PictureCase{"stopped, both, conversion on", {true, true}, false, {false, false}, 1, 1, 201},
        PictureCase{"stopped, one, velocity on", {true, false}, false, {false, false}, 1, 0, 200},
        // Running: the open inputs count, whatever is configured.
        PictureCase{"running, route 1 open", {true, false}, true, {true, false}, 0, 0, 210},
        PictureCase{"running, route 2 open", {false, true}, true, {false, true}, 0, 0, 210},
        PictureCase{"running, both open", {true, true}, true, {true, true}, 0, 0, 211},
        PictureCase{"running, both open, transpose", {true, true}, true, {true, true}, 0, 1, 221},
        PictureCase{"running, both open, velocity", {true, true}, true, {true, true}, 1, 0, 221},
        PictureCase{"running, one open, velocity", {true, false}, true, {true, false}, 1, 0, 220},
        PictureCase{"running, one open, both conversions", {true, false}, true, {true, false}, 1, 1, 220},
        // A failed start leaves the engine counted as running with nothing open.
        PictureCase{"running, nothing open", {true, true}, true, {false, false}, 0, 0, 210},
        PictureCase{"running, nothing open, conversion", {true, true}, true, {false, false}, 0, 1, 220},
        PictureCase{"running, no route configured", {false, false}, true, {false, false}, 0, 0, 210}));

TEST(TrayConfiguredRoutesTest, EnabledAndBothDevicesAreNeeded) {
    struct {
        int32_t in, out, enabled;
        bool configured;
    } const cases[] = {
        {0, 0, 1, true},  {3, 2, 5, true},  {0, 0, -1, true},     {0, 0, 0, false},
        {NO_DEVICE, 0, 1, false}, {0, NO_DEVICE, 1, false}, {NO_DEVICE, NO_DEVICE, 1, false},
    };
    for (const auto& c : cases) {
        TrayIconInputs in = Routes(true, false);
        in.activeIn[1] = c.in;
        in.activeOut[1] = c.out;
        in.activeEnabled[1] = c.enabled;
        const int expected = c.configured ? kIconStoppedTwo : kIconStoppedOne;
        EXPECT_EQ(ChooseTrayIcon(in, kOn, kOff).picture, expected) << c.in << " " << c.out << " " << c.enabled;
        EXPECT_EQ(ChooseStartupTrayIcon(in, kOff).picture, expected) << c.in << " " << c.out << " " << c.enabled;
    }
}

TEST(TrayTipTest, StateWordSeparatorAndName) {
    TrayIconInputs in = Routes(true, true);
    in.Name = "Live";
    EXPECT_STREQ(ChooseTrayIcon(in, kOn, kOff).tip, "KAVO OFF - Live");
    in.engineRunning = true;
    in.inputOpen[0] = in.inputOpen[1] = true;
    EXPECT_STREQ(ChooseTrayIcon(in, kOn, kOff).tip, "KAVO ON - Live");
    // A running engine with nothing open still says it runs.
    in.inputOpen[0] = in.inputOpen[1] = false;
    EXPECT_STREQ(ChooseTrayIcon(in, kOn, kOff).tip, "KAVO ON - Live");
    // An empty name leaves the separator's trailing blank.
    in.Name = "";
    EXPECT_STREQ(ChooseTrayIcon(in, kOn, kOff).tip, "KAVO ON - ");
    in.Name = nullptr;
    EXPECT_STREQ(ChooseTrayIcon(in, kOn, kOff).tip, "KAVO ON - ");
    // Japanese names pass through as code-page-932 bytes.
    in.Name = "ライブ";
    EXPECT_EQ(std::string(ChooseTrayIcon(in, kOn, kOff).tip), std::string("KAVO ON - ") + "ライブ");
}

TEST(TrayTipTest, StartupTipIsTheStoppedWordAlone) {
    TrayIconInputs in = Routes(true, true);
    in.Name = "Live";
    in.engineRunning = true;  // ignored: start-up always shows a stopped picture
    in.inputOpen[0] = in.inputOpen[1] = true;
    in.VelConvertion = 1;
    const TrayIconChoice c = ChooseStartupTrayIcon(in, kOff);
    EXPECT_STREQ(c.tip, "KAVO OFF");
    EXPECT_EQ(c.picture, kIconStoppedTwo);
}

TEST(TrayTipTest, LongNamesAreCutTo63BytesOnACharacterBoundary) {
    TrayIconInputs in = Routes(false, false);
    in.engineRunning = true;
    // "KAVO ON - " is 10 bytes; 39 name bytes fit whole.
    const std::string ascii(39, 'n');
    in.Name = ascii.c_str();
    EXPECT_EQ(std::string(ChooseTrayIcon(in, kOn, kOff).tip), "KAVO ON - " + ascii);

    // A state word from a longer string table entry: the whole tip is cut to 63 bytes.
    const std::string longWord(61, 'W');
    EXPECT_EQ(std::string(ChooseTrayIcon(in, longWord.c_str(), kOff).tip), longWord + " -");

    // A 51-byte word and the separator take 54 bytes; four double-byte characters make
    // 62, and the fifth would put its lead byte at byte 63 without its trail byte.
    const std::string word51(51, 'W');
    const std::string nameDbcs = "あいうえお";
    in.Name = nameDbcs.c_str();
    const std::string tip = ChooseTrayIcon(in, word51.c_str(), kOff).tip;
    EXPECT_EQ(tip.size(), 62u);
    EXPECT_EQ(tip, word51 + " - " + std::string("あいうえ"));
    // One byte less and the fifth character ends exactly at byte 63.
    const std::string word50(50, 'W');
    const std::string tip2 = ChooseTrayIcon(in, word50.c_str(), kOff).tip;
    EXPECT_EQ(tip2, word50 + " - " + std::string("あいうえお"));
    EXPECT_EQ(tip2.size(), 63u);
}

}  // namespace

// While the routes run and one waits for its device, the tooltip's first line names
// what it waits for; the device's name outlives a long preset name at the cut.
TEST(TrayTipTest, ARouteThatWaitsNamesItsDeviceFirst) {
    struct Case {
        const char* what;
        bool running;
        const char* waiting[2];
        const char* name;
        std::string tip;
    };
    const std::string waitWord = kTipWaitingWord;
    const std::string longName(36, 'n');
    const Case cases[] = {
        {"route 1 waits", true, {"Keys A", nullptr}, "Live", waitWord + "Keys A\nKAVO ON - Live"},
        {"route 2 waits", true, {nullptr, "シンセ"}, "Live", waitWord + "シンセ\nKAVO ON - Live"},
        {"both wait", true, {"Keys A", "Synth B"}, "", waitWord + "Keys A, Synth B\nKAVO ON - "},
        {"an empty name is no wait", true, {"", nullptr}, "Live", "KAVO ON - Live"},
        {"stopped: nothing waits", false, {"Keys A", nullptr}, "Live", "KAVO OFF - Live"},
        {"the preset's name is cut first", true, {"Keys A", nullptr}, longName.c_str(),
         (waitWord + "Keys A\nKAVO ON - " + longName).substr(0, 63)},
    };
    for (const Case& c : cases) {
        TrayIconInputs in = Routes(true, true);
        in.engineRunning = c.running;
        in.waitingFor[0] = c.waiting[0];
        in.waitingFor[1] = c.waiting[1];
        in.Name = c.name;
        EXPECT_EQ(std::string(ChooseTrayIcon(in, kOn, kOff).tip), c.tip) << c.what;
    }
}
