// Notes held across transform changes and stops: a note-off goes to the key its
// note-on went out as, and what is still held when a route stops gets its note-off.
#include "engine/engine_internal.h"
#include "tests/engine_test_support.h"

namespace {

class HeldNotes : public EngineOnModels {
protected:
    void TearDown() override {
        transposeOn = 0;
        transposeSemitones = 0;
        velConvertOn = 0;
        BuildVelocityTable(100, 127);
        ClearHeldNotes(0);
        ClearHeldNotes(1);
        EngineOnModels::TearDown();
    }
};

TEST_P(HeldNotes, ANoteOffGoesWhereItsNoteOnWentWhateverTheTransformIsByThen) {
    struct Step {
        const char* what;
        int16_t transpose;  // semitones, 0: transpose off
        uint32_t in;
        uint32_t out;
    };
    const Step steps[] = {
        {"on, transposed up an octave", 12, 0x403C90, 0x404890},
        {"transpose off: its off still goes an octave up", 0, 0x003C80, 0x004880},
        {"an off with no on before it: transformed as it comes", 12, 0x003E80, 0x004A80},
        {"on, untransposed", 0, 0x403C91, 0x403C91},
        {"transpose on now: the on-with-velocity-0 off stays on 3C", -12, 0x003C91, 0x003C91},
        {"on at -12", -12, 0x404090, 0x403490},
        {"struck again at +12: the latest key is kept", 12, 0x504090, 0x504C90},
        {"its off goes to 4C", 0, 0x004080, 0x004C80},
        {"off the keyboard: silent, nothing held", 12, 0x407890, 0x90},
        {"its off: transformed as it comes", 12, 0x007880, 0x90},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        transposeOn = s.transpose != 0 ? 1 : 0;
        transposeSemitones = s.transpose;
        EXPECT_EQ(ForwardedMessage(0, s.in, transposeOn == 1), s.out);
    }
}

TEST_P(HeldNotes, AStopEndsEveryHeldNoteAndPedalOnTheOutputThatGotIt) {
    Assign(0, 0, 0);
    Assign(1, 1, 0);  // both routes into one output
    transformRoute = 1;
    transposeOn = 1;
    transposeSemitones = 12;
    StartRoutes();
    ASSERT_TRUE(boxes.empty());
    dev.SendShort(0, 0x403C90);  // held
    dev.SendShort(0, 0x403E90);
    dev.SendShort(0, 0x003E80);  // released
    dev.SendShort(0, 0x7F40B3);  // sustain down on channel 4
    dev.SendShort(1, 0x503095);  // held on route 2, transposed to 3C on channel 6
    ASSERT_TRUE(dev.WaitForOutEvents(0, 5, kWait));
    transposeOn = 0;  // the panel's change: route 2's held note still ends on 3C
    StopRoutes();
    const auto got = ShortMessages(0);
    ASSERT_EQ(got.size(), 5u + 3u + 16u);
    std::vector<uint32_t> releases(got.begin() + 5, got.begin() + 8);
    std::sort(releases.begin(), releases.end());
    EXPECT_EQ(releases, (std::vector<uint32_t>{0x3C80, 0x3C85, 0x40B3}));
    EXPECT_EQ(std::vector<uint32_t>(got.end() - 16, got.end()), AllSoundOffMessages()) << "the sweep comes last";
    // A new start holds nothing from the last one.
    dev.ClearOutRecord(0);
    StartRoutes();
    StopRoutes();
    EXPECT_EQ(ShortMessages(0), AllSoundOffMessages());
}

KAVO_ON_BOTH_MODELS(HeldNotes);

}  // namespace
