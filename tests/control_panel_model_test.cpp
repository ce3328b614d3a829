// The control panel's decisions: the route list and the Port it leads to, the track
// bars (value follows the thumb, the centre catch, the curve in force), the texts the
// tempo and octave fields take, which handler sweeps the outputs, the metronome's
// switch and bar, and where the resets go.
#include <climits>
#include <functional>
#include <string>

#include "dialogs/control_panel_model.h"
#include "tests/engine_test_support.h"

namespace {

using namespace controlpanel;

TEST(ControlPanelRoutes, ListFollowsTheOpenInputsAndPortMovesToARunningRoute) {
    struct Case {
        bool in1, in2;
        int32_t port;
        int count;
        int data0, data1;
        int selected;
        int32_t portAfter;
    };
    const Case cases[] = {
        {true, true, 0, 2, 0, 1, 0, 0},     // "Kavo1", "Kavo2" in that order
        {true, true, 1, 2, 0, 1, 1, 1},
        {false, true, 0, 1, 1, -1, 0, 1},   // only route 2 runs: it is taken
        {true, false, 1, 1, 0, -1, 0, 0},
        {false, false, 1, 0, -1, -1, -1, 1},  // nothing runs: nothing selected, Port kept
        {true, true, 7, 2, 0, 1, 0, 0},     // an odd registry value: the first route
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.in1) + std::to_string(c.in2) + " Port " + std::to_string(c.port));
        const RouteList list = RouteListFor(c.in1, c.in2, c.port);
        EXPECT_EQ(list.count, c.count);
        if (list.count > 0) {
            EXPECT_EQ(list.data[0], c.data0);
        }
        if (list.count > 1) {
            EXPECT_EQ(list.data[1], c.data1);
        }
        EXPECT_EQ(list.selected, c.selected);
        EXPECT_EQ(list.port, c.portAfter);
    }
    EXPECT_STREQ(RouteText(0), "Kavo1");
    EXPECT_STREQ(RouteText(1), "Kavo2");
}

TEST(ControlPanelTrackBars, TheValueFollowsTheThumbAndSensCatchesItsCentre) {
    struct Case {
        bool sens;
        int code, carried, thumb;  // thumb: where the control has put its thumb
        int32_t value;
        int moveThumbTo;
        const char* text;
    };
    const Case cases[] = {
        {true, kTbThumbPosition, 95, 95, 100, 100, "1.00"},  // dropped near the centre
        {true, kTbThumbTrack, 109, 109, 100, 100, "1.00"},
        {true, kTbThumbTrack, 91, 91, 100, 100, "1.00"},
        {true, kTbThumbTrack, 90, 90, 90, -1, "1.10"},       // the catch is strictly inside
        {true, kTbThumbTrack, 110, 110, 110, -1, "0.90"},
        {true, kTbThumbPosition, 100, 100, 100, -1, "1.00"}, // already there: nothing moves
        {true, kTbPageDown, 0, 200, 200, -1, "0.00"},         // 185 + 20, held at the bottom
        {true, kTbPageUp, 0, 0, 0, -1, "2.00"},               // 15 - 20: the thumb's top, and the value
        {true, kTbPageUp, 0, 160, 160, -1, "0.40"},
        {true, kTbLineDown, 0, 101, 100, 100, "1.00"},        // arrow keys count too
        {true, kTbLineUp, 0, 139, 139, -1, "0.61"},
        {true, kTbTop, 0, 0, 0, -1, "2.00"},                  // Home
        {true, kTbBottom, 0, 200, 200, -1, "0.00"},           // End
        {true, kTbEndTrack, 0, 60, 60, -1, "1.40"},
        {true, kTbThumbTrack, 300, 200, 200, -1, "0.00"},     // a position past the range is held
        {false, kTbPageDown, 0, 127, 127, -1, "0"},           // 120 + 16, held at the bottom
        {false, kTbPageUp, 0, 0, 0, -1, "127"},
        {false, kTbThumbTrack, 95, 95, 95, -1, "32"},         // no catch on OFFSET
        {false, kTbLineUp, 0, 110, 110, -1, "17"},
        {false, kTbEndTrack, 0, 64, 64, -1, "63"},
        {false, kTbThumbPosition, -5, 0, 0, -1, "127"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sens ? "SENS." : "OFFSET") + " code " + std::to_string(c.code) + " carried " +
                     std::to_string(c.carried) + " thumb " + std::to_string(c.thumb));
        KavoSettings s;
        s.vSens = 15;
        s.vOffset = 120;
        const ScrollResult r = c.sens ? ScrollSens(s, c.code, c.carried, c.thumb) : ScrollOffset(s, c.code, c.carried, c.thumb);
        EXPECT_EQ(c.sens ? s.vSens : s.vOffset, c.value);
        EXPECT_EQ(c.sens ? s.vOffset : s.vSens, c.sens ? 120 : 15);  // the other one stays
        EXPECT_EQ(r.moveThumbTo, c.moveThumbTo);
        EXPECT_EQ(r.text, c.text);
    }
}

TEST(ControlPanelTrackBars, SensAloneChangesTheCurveInForce) {
    KavoSettings s;  // vSens 100, vOffset 127: the straight line
    BuildVelocityTable(s.vSens, s.vOffset);
    ASSERT_EQ(velocityTable[64], 64);
    ScrollSens(s, kTbThumbPosition, 20, 20);
    EXPECT_EQ(velocityTable[1], 2);  // e = 2.6: soft notes lifted
    EXPECT_EQ(velocityTable[64], 114);
    EXPECT_EQ(velocityTable[80], 127);
    ScrollOffset(s, kTbThumbPosition, 100, 100);  // b = 27 under the same SENS.
    EXPECT_EQ(velocityTable[1], 27);
    EXPECT_EQ(velocityTable[0], 0);
    BuildVelocityTable(100, 127);
}

TEST(ControlPanelTexts, TheTextToIntegerRule) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"120", 120}, {"  +7", 7}, {"\t-3", -3}, {"-", 0}, {"a", 0}, {"", 0}, {"12abc", 12}, {"- 4", 0},
        {"1 2", 1},   {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}, {"-2147483648", INT_MIN},
        {"4294967416", INT_MAX},  // 2^32 + 120 must not wrap into the tempo range
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text [") + c.text + "]");
        EXPECT_EQ(TextToInt(c.text), c.value);
    }
}

class ControlPanel : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        // No beat falls due here: START and showing wake the worker, and a click would
        // land among the sweeps and move the bar while a test reads it.
        platform::SetTestClock(lastTickTime);
        Assign(0, 0, 0);
        Assign(1, 1, 1);
        StartRoutes();
        ASSERT_TRUE(routeOut[0] && routeOut[1]);
        Clear();
    }
    void Clear() {
        dev.ClearOutRecord(0);
        dev.ClearOutRecord(1);
    }
    // How many sweeps each output received, and nothing else.
    std::pair<int, int> Sweeps() const {
        int n[2] = {0, 0};
        for (int out = 0; out < 2; ++out) {
            const std::vector<uint32_t> got = ShortMessages(static_cast<uint32_t>(out));
            std::vector<uint32_t> expect;
            const std::vector<uint32_t> one = AllSoundOffMessages();
            while (expect.size() < got.size()) expect.insert(expect.end(), one.begin(), one.end());
            if (got != expect) return {-1, -1};
            n[out] = static_cast<int>(got.size() / one.size());
        }
        return {n[0], n[1]};
    }
    static void CountIcon() { ++iconUpdates; }
    static inline int iconUpdates = 0;
};

TEST_F(ControlPanel, SweepsWhereANoteCouldHangAndNowhereElse) {
    struct Case {
        const char* what;
        std::function<void(KavoSettings&)> act;
        int sweeps;
    };
    const Case cases[] = {
        {"showing", [](KavoSettings& s) { ShowPanel(s, true, true); }, 1},
        {"hiding by a show request", [](KavoSettings&) { HidePanel(); }, 1},
        {"閉じる", [](KavoSettings&) { ClosePanel(); }, 1},
        {"the WM_NULL of an ended dialog", [](KavoSettings&) { NullMessage(); }, 0},
        {"route choice", [](KavoSettings& s) { SelectRoute(s, 1); }, 1},
        {"channel choice: held notes end where they sounded", [](KavoSettings& s) { SelectChannel(s, 3); }, 0},
        {"velocity conversion on", [](KavoSettings& s) { SetVelConversion(s, true, nullptr); }, 0},
        {"transpose on", [](KavoSettings& s) { SetTranspose(s, true, nullptr); }, 1},
        {"transpose off", [](KavoSettings& s) { SetTranspose(s, false, nullptr); }, 1},
        {"octave while transposing", [](KavoSettings& s) { transposeOn = 1; TakeOctaveText(s, "2", true); }, 1},
        {"octave while not transposing", [](KavoSettings& s) { transposeOn = 0; TakeOctaveText(s, "2", true); }, 0},
        {"octave refused", [](KavoSettings& s) { transposeOn = 1; TakeOctaveText(s, "7", true); }, 0},
        {"tempo", [](KavoSettings& s) { TakeTempoText(s, "90", true); }, 0},
        {"START pressed", [](KavoSettings& s) { SetMetronome(s, true); }, 0},
        {"START released", [](KavoSettings& s) { SetMetronome(s, false); }, 1},
        {"measure", [](KavoSettings& s) { ChooseMeasure(s, 1); }, 0},
        {"All Notes Off", [](KavoSettings&) { SilenceAllOutputs(); }, 1},
        {"track bar", [](KavoSettings& s) { ScrollSens(s, kTbPageUp, 0, 80); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clear();
        c.act(settings);
        EXPECT_EQ(Sweeps(), std::make_pair(c.sweeps, c.sweeps));
    }
}

TEST_F(ControlPanel, ShowingPutsTheSettingsIntoTheControlsAndTheEngine) {
    settings.Port = 1;
    settings.VelConvertion = 1;
    settings.vSens = 20;
    settings.vOffset = 127;
    settings.mMeas = 1;
    settings.mTempo = 90;
    settings.tOctave = 0x10000 + 95;  // only the low 16 bits count
    settings.Metronome = 1;
    beatIndex = 2;
    velocityTable[64] = 64;  // a stale table
    // No beat falls due while the checks below read the beat: showing wakes the worker.
    platform::SetTestClock(lastTickTime);

    PanelView v = ShowPanel(settings, true, true);
    EXPECT_EQ(v.routes.selected, 1);
    EXPECT_TRUE(v.velConversion);
    EXPECT_TRUE(v.metronome);
    EXPECT_EQ(v.tempo, 90);
    EXPECT_EQ(v.sens, 20);
    EXPECT_EQ(v.sensText, "1.80");
    EXPECT_EQ(v.offsetText, "0");
    EXPECT_FALSE(v.measure[0]);
    EXPECT_TRUE(v.measure[1]);
    EXPECT_FALSE(v.measure[2]);
    EXPECT_EQ(v.octave, -5);
    EXPECT_EQ(velocityTable[64], 114);  // rebuilt
    EXPECT_EQ(metronomeOn.load(), 1);   // resumed: the bar goes on where it was
    EXPECT_EQ(beatIndex.load(), 2u);

    // Only route 1 runs now: the panel moves to it.
    StopRoutes();
    Assign(1, 1, 1, 0);
    StartRoutes();
    transformRoute = 1;
    settings.Metronome = 0;
    metronomeOn = 0;
    v = ShowPanel(settings, routeIn[0] != nullptr, routeIn[1] != nullptr);
    EXPECT_EQ(v.routes.count, 1);
    EXPECT_EQ(settings.Port.load(), 0);
    EXPECT_EQ(transformRoute.load(), 0);
    EXPECT_EQ(metronomeOn.load(), 0);  // START is out: no click
}

TEST_F(ControlPanel, TheFieldsTakeOnlyNumbersInTheirRanges) {
    struct Case {
        bool octave;
        const char* text;
        bool visible;
        bool taken;
        int32_t setting;  // tOctave or mTempo afterwards (from 103 / 120)
    };
    const Case cases[] = {
        {true, "7", true, false, 103},   {true, "-6", true, false, 103}, {true, "-5", true, true, 95},
        {true, "5", true, true, 105},    {true, "-", true, true, 100},   {true, "x", true, true, 100},
        {true, "", true, false, 103},    {true, "1", false, false, 103}, {true, "-4294967291", true, false, 103},
        {false, "25", true, false, 120}, {false, "300", true, false, 120}, {false, "90", true, true, 90},
        {false, "30", true, true, 30},   {false, "250", true, true, 250}, {false, " 60", true, true, 60},
        {false, "0", true, false, 120},  {false, "90", false, false, 120}, {false, "4294967386", true, false, 120},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.octave ? "octave [" : "tempo [") + c.text + "]" + (c.visible ? "" : " hidden"));
        settings.tOctave = 103;
        settings.mTempo = 120;
        transposeSemitones = 36;
        const bool taken = c.octave ? TakeOctaveText(settings, c.text, c.visible) : TakeTempoText(settings, c.text, c.visible);
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(c.octave ? settings.tOctave : settings.mTempo.load(), c.setting);
        if (c.octave) {
            EXPECT_EQ(transposeSemitones.load(), static_cast<int16_t>((settings.tOctave - 100) * 12));
        }
    }
}

TEST_F(ControlPanel, SwitchesSetTheSettingAndItsEngineCopyAndTheIcon) {
    iconUpdates = 0;
    SetVelConversion(settings, true, &CountIcon);
    EXPECT_EQ(settings.VelConvertion, 1);
    EXPECT_EQ(velConvertOn.load(), 1);
    SetTranspose(settings, true, &CountIcon);
    EXPECT_EQ(settings.TransPose, 1);
    EXPECT_EQ(transposeOn.load(), 1);
    SetVelConversion(settings, false, &CountIcon);
    SetTranspose(settings, false, &CountIcon);
    EXPECT_EQ(settings.VelConvertion + settings.TransPose + velConvertOn + transposeOn, 0);
    EXPECT_EQ(iconUpdates, 4);

    // The metronome: START restarts the bar, a measure button too (also the one
    // already chosen), every way of closing stops it.
    beatIndex = 3;
    SetMetronome(settings, true);
    EXPECT_EQ(settings.Metronome, 1);
    EXPECT_EQ(metronomeOn.load(), 1);
    EXPECT_EQ(beatIndex.load(), 0u);
    beatIndex = 1;
    ChooseMeasure(settings, 2);
    EXPECT_EQ(settings.mMeas.load(), 2);
    EXPECT_EQ(beatIndex.load(), 0u);
    NullMessage();
    EXPECT_EQ(metronomeOn.load(), 0);
    EXPECT_EQ(settings.Metronome, 1);  // shown again, the panel resumes it
    SetMetronome(settings, false);
    EXPECT_EQ(settings.Metronome, 0);
}

TEST_F(ControlPanel, ResetsGoWholeToThePortRouteAndNeverToTheOther) {
    const std::vector<std::vector<uint8_t>> bytes = {
        {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
        {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7},
        {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7},
    };
    const Reset resets[] = {Reset::GmSystemOn, Reset::GsReset, Reset::XgReset};
    for (int32_t port = 0; port < 2; ++port) {
        Clear();
        settings.Port = port;
        for (Reset r : resets) SendReset(settings, r);
        EXPECT_EQ(LongMessages(static_cast<uint32_t>(port)), bytes) << "Port " << port;
        EXPECT_EQ(dev.OutRecordSize(static_cast<uint32_t>(1 - port)), 0u) << "Port " << port;
    }
    // Port names a route that does not run: dropped without a word.
    StopRoutes();
    Assign(1, 1, 1, 0);
    StartRoutes();
    Clear();
    settings.Port = 1;
    SendReset(settings, Reset::GsReset);
    EXPECT_EQ(dev.OutRecordSize(0) + dev.OutRecordSize(1), 0u);
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
