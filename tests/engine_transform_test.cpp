// Velocity curve and transpose: the pure rules the worker applies per message.
#include <gtest/gtest.h>

#include "settings/settings_model.h"
#include "engine/engine.h"

namespace {

struct TransformFlags {
    TransformFlags(int vel, int trans, int16_t semis) {
        velConvertOn = vel;
        transposeOn = trans;
        transposeSemitones = semis;
    }
    ~TransformFlags() {
        velConvertOn = 0;
        transposeOn = 0;
        transposeSemitones = 0;
        BuildVelocityTable(100, 127);
    }
};

struct CurvePoint {
    int in;
    int out;
};

struct CurveCase {
    int32_t vSens;
    int32_t vOffset;
    std::vector<CurvePoint> points;
};

TEST(VelocityTable, WorkedExamples) {
    const CurveCase cases[] = {
        // The defaults: a straight line, nothing changes.
        {100, 127, {{0, 0}, {1, 1}, {64, 64}, {126, 126}, {127, 127}}},
        // Offset 16: floor 111; everything below it is lifted to it.
        {100, 16, {{0, 0}, {1, 111}, {64, 111}, {110, 111}, {111, 111}, {120, 120}, {127, 127}}},
        // Sensitivity 20: slope 2.6, soft notes lifted, 127 reached from 80 on.
        {20, 127, {{0, 0}, {1, 2}, {32, 70}, {64, 114}, {79, 126}, {80, 127}, {100, 127}, {127, 127}}},
        // Sensitivity 150 and more: slope 0; the softest notes become note-offs.
        {150, 127, {{1, 0}, {11, 0}, {12, 1}, {64, 32}, {100, 78}, {127, 127}}},
        {200, 127, {{11, 0}, {12, 1}, {64, 32}, {100, 78}}},
        // Both: floor 27.
        {60, 100, {{0, 0}, {1, 27}, {26, 27}, {64, 82}, {127, 127}}},
    };
    for (const CurveCase& c : cases) {
        BuildVelocityTable(c.vSens, c.vOffset);
        for (const CurvePoint& p : c.points)
            EXPECT_EQ(velocityTable[p.in], p.out) << "vSens " << c.vSens << " vOffset " << c.vOffset << " velocity " << p.in;
    }
    BuildVelocityTable(100, 127);
}

TEST(VelocityTable, OutOfRangeSettingsStayWithinMidi) {
    // Values only the registry can hold: the curve is limited, never a byte above 127.
    const int32_t sens[] = {-1000, -1, 0, 201, 500, 100000};
    const int32_t offsets[] = {-1000, -1, 0, 1, 128, 100000};
    for (int32_t s : sens) {
        for (int32_t o : offsets) {
            BuildVelocityTable(s, o);
            EXPECT_EQ(velocityTable[0], 0);
            for (int i = 0; i < 128; ++i) ASSERT_LE(velocityTable[i], 127) << s << "/" << o << " at " << i;
            EXPECT_EQ(velocityTable[127], 127);
        }
    }
    // vSens above 200 acts as 200 (slope 0), below 0 as 0 (slope 3: the curve
    // reaches 127 early); vOffset above 127 acts as 127, below 0 gives floor 126.
    BuildVelocityTable(500, 127);
    EXPECT_EQ(velocityTable[64], 32);
    BuildVelocityTable(-50, 127);
    EXPECT_EQ(velocityTable[64], 127);
    BuildVelocityTable(100, -5);
    EXPECT_EQ(velocityTable[1], 126);
    EXPECT_EQ(velocityTable[126], 126);
    BuildVelocityTable(100, 127);
}

TEST(Transform, VelocityConversionOnlyTouchesNoteOnVelocity) {
    BuildVelocityTable(100, 16);  // floor 111
    TransformFlags flags(1, 0, 0);
    EXPECT_EQ(TransformMessage(0x403C90), 0x6F3C90u);  // note-on 64 -> 111
    EXPECT_EQ(TransformMessage(0x403C9F), 0x6F3C9Fu);  // any channel
    EXPECT_EQ(TransformMessage(0x003C90), 0x003C90u);  // velocity 0 stays a note-off
    EXPECT_EQ(TransformMessage(0x403C80), 0x403C80u);  // note-off velocity untouched
    EXPECT_EQ(TransformMessage(0x403CA0), 0x403CA0u);  // key pressure
    EXPECT_EQ(TransformMessage(0x4007B0), 0x4007B0u);  // controller
    EXPECT_EQ(TransformMessage(0x0005C0), 0x0005C0u);  // program change
    EXPECT_EQ(TransformMessage(0x000000F8), 0xF8u);    // clock
    // Stray bits above the message are cleared, never passed into the table index.
    EXPECT_EQ(TransformMessage(0xFF403C90), 0x6F3C90u);
}

TEST(Transform, TransposeShiftsNoteOnAndNoteOffOnly) {
    struct Case {
        int16_t semis;
        uint32_t in;
        uint32_t out;
    };
    const Case cases[] = {
        {12, 0x403C90, 0x404890},   // note-on 60 -> 72
        {12, 0x403C80, 0x404880},   // note-off follows it to the same key
        {-60, 0x403C91, 0x400091},  // 60 - 60 = 0, the lowest key
        {60, 0x404390, 0x407F90},   // 67 + 60 = 127, the highest key
        {12, 0x407890, 0x90},       // 120 + 12 is off the keyboard: silent 90 00 00
        {-12, 0x400590, 0x90},      // 5 - 12 likewise
        {-12, 0x400585, 0x90},      // a note-off too (channel lost with it)
        {12, 0x403CA0, 0x403CA0},   // polyphonic pressure keeps its key
        {12, 0x2000E0, 0x2000E0},   // pitch bend
        {0, 0x403C90, 0x403C90},
        {12, 0xAB403C90, 0x404890}, // bits 24-31 become 0
    };
    for (const Case& c : cases) {
        TransformFlags flags(0, 1, c.semis);
        EXPECT_EQ(TransformMessage(c.in), c.out) << std::hex << c.in << " by " << std::dec << c.semis;
    }
}

TEST(Transform, ConversionBeforeTranspose) {
    BuildVelocityTable(100, 16);  // floor 111
    TransformFlags flags(1, 1, -12);
    EXPECT_EQ(TransformMessage(0x013C90), 0x6F3090u);
    EXPECT_EQ(TransformMessage(0x010590), 0x90u);  // converted, then off the keyboard
}

TEST(SettingsSeeding, TransposeAmountFromOctaveSetting) {
    EXPECT_EQ(TransposeSemitonesFor(100), 0);
    EXPECT_EQ(TransposeSemitonesFor(101), 12);
    EXPECT_EQ(TransposeSemitonesFor(95), -60);
    EXPECT_EQ(TransposeSemitonesFor(105), 60);
    // Only the low 16 bits count, read as a signed number.
    EXPECT_EQ(TransposeSemitonesFor(0x10064), 0);
    EXPECT_EQ(TransposeSemitonesFor(0xFFFF), static_cast<int16_t>(-101 * 12));
}

TEST(SettingsSeeding, EngineCopiesComeFromTheSettings) {
    KavoSettings s;
    s.VelConvertion = 1;
    s.TransPose = 1;
    s.Port = 1;
    s.tOctave = 99;
    s.vSens = 100;
    s.vOffset = 16;
    metronomeOn = 1;
    engineRunning = 1;
    SeedEngine(s);
    EXPECT_EQ(velConvertOn, 1);
    EXPECT_EQ(transposeOn, 1);
    EXPECT_EQ(transformRoute, 1);
    EXPECT_EQ(transposeSemitones, -12);
    EXPECT_EQ(velocityTable[1], 111);
    EXPECT_EQ(metronomeOn, 0);  // the stored switch does not start the metronome
    EXPECT_EQ(engineRunning, 0);
    KavoSettings defaults;
    SeedEngine(defaults);
    BindEngineSettings(nullptr);
}

}  // namespace
