// The metronome step, driven by hand with a frozen clock and no worker.
#include <algorithm>

#include "tests/engine_test_support.h"

namespace {

class Metronome : public EngineOnModels {
protected:
    void SetUp() override {
        EngineOnModels::SetUp();
        // Outputs opened directly: the step only needs routeOut.
        ASSERT_EQ(midi::OutOpen(&routeOut[0], 0), midi::kNoError);
        metronomeOn = 1;
        beatIndex = 0;
        lastTickTime = 0;
    }
    void TearDown() override {
        for (int r = 0; r < 2; ++r) {
            if (routeOut[r]) midi::OutClose(routeOut[r]);
            routeOut[r] = nullptr;
        }
        EngineOnModels::TearDown();
    }
    // Steps at time t; returns what reached output 0 at that step.
    std::vector<uint32_t> StepAt(uint32_t t, uint32_t out = 0) {
        dev.ClearOutRecord(out);
        platform::SetTestClock(t);
        MetronomeStep();
        return ShortMessages(out);
    }
    static std::vector<uint32_t> Beat(uint32_t ch, uint32_t bell, uint32_t bellVel, uint32_t click, uint32_t clickVel) {
        return {(0x80 | ch) | (bell << 8), (0x90 | ch) | (bell << 8) | (bellVel << 16), (0x80 | ch) | (click << 8),
                (0x90 | ch) | (click << 8) | (clickVel << 16)};
    }
};

TEST_P(Metronome, DefaultMeasureByteForByte) {
    // 120 bpm: a beat every 500 ms, and a tick only after strictly more than that.
    const std::vector<uint32_t> first = {0x2289, 0x672299, 0x2189, 0x672199};
    const std::vector<uint32_t> second = {0x2289, 0x2299, 0x2189, 0x562199};
    const std::vector<uint32_t> third = {0x2289, 0x2299, 0x2189, 0x672199};
    EXPECT_EQ(StepAt(501), first);
    EXPECT_TRUE(StepAt(1001).empty());  // exactly one interval later: no tick
    EXPECT_EQ(StepAt(1002), second);
    EXPECT_EQ(StepAt(1503), third);
    EXPECT_EQ(StepAt(2004), second);
    EXPECT_EQ(StepAt(2505), first);  // the measure starts again
    EXPECT_EQ(beatIndex, 1u);
}

TEST_P(Metronome, LatenessIsNotMadeUp) {
    EXPECT_EQ(StepAt(5000).size(), 4u);
    EXPECT_TRUE(StepAt(5500).empty());
    EXPECT_EQ(StepAt(5501).size(), 4u);  // measured from the late tick, one tick only
}

TEST_P(Metronome, ThreeFourAccents) {
    settings.mMeas = 1;
    EXPECT_EQ(StepAt(501), Beat(9, 34, 103, 33, 103));
    EXPECT_EQ(StepAt(1002), Beat(9, 34, 0, 33, 86));
    EXPECT_EQ(StepAt(1503), Beat(9, 34, 0, 33, 103));
    EXPECT_EQ(beatIndex, 0u);
    EXPECT_EQ(StepAt(2004), Beat(9, 34, 103, 33, 103));
}

TEST_P(Metronome, TempoSetsTheInterval) {
    const std::pair<int32_t, uint32_t> cases[] = {{250, 240}, {30, 2000}, {90, 666}, {120, 500}};
    for (auto [tempo, interval] : cases) {
        settings.mTempo = tempo;
        lastTickTime = 10000;
        EXPECT_TRUE(StepAt(10000 + interval).empty()) << tempo;
        EXPECT_EQ(StepAt(10000 + interval + 1).size(), 4u) << tempo;
    }
}

TEST_P(Metronome, TickCountWrapDoesNotStopIt) {
    lastTickTime = 0xFFFFFF00u;
    EXPECT_TRUE(StepAt(0xFFFFFFFFu).empty());
    EXPECT_EQ(StepAt(0x00000200u).size(), 4u);  // 0x300 = 768 ms after the last tick
}

TEST_P(Metronome, PortChoosesTheOutputAndAClosedOneLosesTheBeat) {
    settings.Port = 1;  // route 2's output is closed
    EXPECT_TRUE(StepAt(501).empty());
    EXPECT_EQ(beatIndex, 1u);
    ASSERT_EQ(midi::OutOpen(&routeOut[1], 1), midi::kNoError);
    EXPECT_EQ(StepAt(1002, 1), Beat(9, 34, 0, 33, 86));
    EXPECT_TRUE(ShortMessages(0).empty());
    settings.Port = 7;  // no such route: nothing sent, the beat still advances
    EXPECT_TRUE(StepAt(1503, 1).empty());
    EXPECT_EQ(beatIndex, 3u);
}

TEST_P(Metronome, OffMeansNothing) {
    metronomeOn = 0;
    EXPECT_TRUE(StepAt(100000).empty());
    EXPECT_EQ(lastTickTime, 0u);
}

TEST_P(Metronome, MeasureChangeNeverReadsPastTheRow) {
    beatIndex = 3;  // the fourth beat of 4/4 ...
    settings.mMeas = 0;  // ... and the panel just chose 2/2
    EXPECT_EQ(StepAt(501), Beat(9, 34, 103, 33, 103));
    EXPECT_EQ(beatIndex, 1u);
}

TEST_P(Metronome, SettingsThatCannotGoOnTheWireAreBounded) {
    struct Case {
        const char* what;
        std::function<void(KavoSettings&)> set;
        uint32_t at;
        std::vector<uint32_t> expect;
    };
    const Case cases[] = {
        {"tempo 0 plays at 30", [](KavoSettings& s) { s.mTempo = 0; }, 2001, Beat(9, 34, 103, 33, 103)},
        {"negative tempo plays at 30", [](KavoSettings& s) { s.mTempo = -5; }, 2001, Beat(9, 34, 103, 33, 103)},
        {"tempo 1000 plays at 250", [](KavoSettings& s) { s.mTempo = 1000; }, 241, Beat(9, 34, 103, 33, 103)},
        {"channel 20 plays on channel 10", [](KavoSettings& s) { s.mChannel = 20; }, 501, Beat(9, 34, 103, 33, 103)},
        {"channel -1 plays on channel 10", [](KavoSettings& s) { s.mChannel = -1; }, 501, Beat(9, 34, 103, 33, 103)},
        {"channel 15 is fine", [](KavoSettings& s) { s.mChannel = 15; }, 501, Beat(15, 34, 103, 33, 103)},
        {"keys out of range play the default keys", [](KavoSettings& s) { s.mBell = 200; s.mClick = -3; }, 501, Beat(9, 34, 103, 33, 103)},
        {"volume 106 still fits", [](KavoSettings& s) { s.mVolume = 106; }, 501, Beat(9, 34, 127, 33, 127)},
        {"volume 200 is held to 127", [](KavoSettings& s) { s.mVolume = 200; }, 501, Beat(9, 34, 127, 33, 127)},
        {"negative volume is held to 0", [](KavoSettings& s) { s.mVolume = -50; }, 501, Beat(9, 34, 0, 33, 0)},
        {"measure 7 plays 4/4", [](KavoSettings& s) { s.mMeas = 7; }, 501, Beat(9, 34, 103, 33, 103)},
    };
    for (const Case& c : cases) {
        settings = KavoSettings{};
        c.set(settings);
        beatIndex = 0;
        lastTickTime = 0;
        EXPECT_TRUE(StepAt(c.at - 1).empty()) << c.what << ": ticked one interval early";
        EXPECT_EQ(StepAt(c.at), c.expect) << c.what;
        for (uint32_t m : ShortMessages(0)) {
            EXPECT_EQ(m & 0x80u, 0x80u) << c.what;  // a status byte ...
            EXPECT_EQ(m & 0xFF808000u, 0u) << c.what;  // ... and two data bytes
        }
    }
    // Measure 7 (as 4/4) wraps after four beats; measure -1 (as 2/2) after two.
    settings = KavoSettings{};
    settings.mMeas = -1;
    beatIndex = 0;
    lastTickTime = 0;
    StepAt(501);
    StepAt(1002);
    EXPECT_EQ(beatIndex, 0u);
}

TEST_P(Metronome, MixesIntoTheRunningRoute) {
    // With the real clock and the worker: clicks come on route 1's output between
    // the forwarded notes.
    midi::OutClose(routeOut[0]);
    routeOut[0] = nullptr;
    settings.mTempo = 250;
    Assign(0, 0, 0);
    lastTickTime = platform::TickCount();
    metronomeOn = 1;
    StartRoutes();
    ASSERT_TRUE(dev.WaitForOutEvents(0, 8, kWait));
    dev.SendShort(0, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 9, kWait));
    StopRoutes();
    const auto got = ShortMessages(0);
    ASSERT_GE(got.size(), 8u + 1 + 16);
    EXPECT_EQ(std::vector<uint32_t>(got.begin(), got.begin() + 4), Beat(9, 34, 103, 33, 103));
    EXPECT_NE(std::find(got.begin(), got.end(), 0x403C90u), got.end());
}

KAVO_ON_BOTH_MODELS(Metronome);

}  // namespace
