// The output channel of the Port route: every channel-voice message leaves on the
// chosen channel, "ALL" (or a stored value outside 0..16) leaves each on its own, and a
// note-off or sustain pedal follows its note-on or pedal-down to the channel and key it
// went out on, whatever the panel names by then.
#include "settings/settings_model.h"
#include "dialogs/control_panel_model.h"
#include "engine/engine_internal.h"
#include "tests/engine_test_support.h"

#include <climits>
#include <utility>

namespace {

class ChannelRule : public ::testing::Test {
protected:
    void TearDown() override {
        transformChannel = 16;
        transposeOn = 0;
        transposeSemitones = 0;
        ClearHeldNotes(0);
        ClearHeldNotes(1);
    }
    // What the worker sends for message m of route r with the settings in force now.
    static uint32_t Forward(int r, uint32_t m) { return ForwardedMessage(r, m, transformRoute == r && AnyTransformOn()); }
};

TEST_F(ChannelRule, ChannelVoiceMessagesLeaveOnTheChosenChannelAndHeldOnesEndWhereTheySounded) {
    struct Step {
        const char* what;
        int32_t channel;    // transformChannel before the message
        int16_t transpose;  // semitones, 0: off
        int route;
        uint32_t in;
        uint32_t out;
    };
    const Step steps[] = {
        {"ALL: a note-on keeps its channel", 16, 0, 0, 0x403C93, 0x403C93},
        {"channel 16 (15): note-on moves", 15, 0, 0, 0x403E90, 0x403E9F},
        {"channel 1 (0): controller", 0, 0, 0, 0x4007B5, 0x4007B0},
        {"program change", 4, 0, 0, 0x0005C0, 0x0005C4},
        {"channel pressure", 4, 0, 0, 0x0030D2, 0x0030D4},
        {"key pressure", 4, 0, 0, 0x203CA2, 0x203CA4},
        {"pitch bend", 4, 0, 0, 0x7F7FE1, 0x7F7FE4},
        {"note-off with no note-on before it moves too", 4, 0, 0, 0x004580, 0x004584},
        {"system messages have no channel: clock", 4, 0, 0, 0xF8, 0xF8},
        {"song position", 4, 0, 0, 0x1020F2, 0x1020F2},
        {"a data byte without status is left alone", 4, 0, 0, 0x4042, 0x4042},
        {"the other route is untouched", 4, 0, 1, 0x403C93, 0x403C93},
        // Held notes across a change of channel.
        {"on at channel 5 (4)", 4, 0, 0, 0x404090, 0x404094},
        {"channel now 10 (9): its off still goes to 5", 9, 0, 0, 0x004080, 0x004084},
        {"on again, now to 10", 9, 0, 0, 0x404090, 0x404099},
        {"ALL now: its off (a note-on of velocity 0) still goes to 10", 16, 0, 0, 0x004090, 0x004099},
        {"transposed to 48 on channel 3 (2)", 2, 12, 0, 0x503C90, 0x504892},
        {"transpose off, ALL: the off goes to 48 on channel 3", 16, 0, 0, 0x003C80, 0x004882},
        // The sustain pedal.
        {"pedal down on channel 8 (7)", 7, 0, 0, 0x7F40B1, 0x7F40B7},
        {"channel 2 (1): a half-pedal value follows it to 8", 1, 0, 0, 0x5040B1, 0x5040B7},
        {"pedal up follows it to 8", 1, 0, 0, 0x0040B1, 0x0040B7},
        {"channel 3 (2): the next pedal down goes there", 2, 0, 0, 0x7F40B1, 0x7F40B2},
        {"a stored 99 acts as ALL", 99, 0, 0, 0x403C95, 0x403C95},
        {"and so does -1", -1, 0, 0, 0x4007B5, 0x4007B5},
    };
    transformRoute = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        transformChannel = s.channel;
        transposeOn = s.transpose != 0 ? 1 : 0;
        transposeSemitones = s.transpose;
        EXPECT_EQ(Forward(s.route, s.in), s.out);
    }
}

// Through the worker: the channel alone (no velocity curve, no transpose) is a
// transform, and a stop ends what is held on the channels it went to.
class ChannelOnDevices : public EngineFixture {
protected:
    void TearDown() override {
        transformChannel = 16;
        EngineFixture::TearDown();
    }
};

TEST_F(ChannelOnDevices, TheWorkerMovesThePortRouteAndAStopReleasesWhereNotesWent) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    transformRoute = 0;
    controlpanel::SelectChannel(settings, 5);  // channel 6
    StartRoutes();
    ASSERT_TRUE(boxes.empty());
    dev.SendShort(0, 0x403C90);
    dev.SendShort(0, 0x7F40B0);
    dev.SendShort(0, 0x0040F8);  // clock: no channel
    dev.SendShort(1, 0x403C90);
    ASSERT_TRUE(dev.WaitForOutEvents(0, 3, kWait));
    ASSERT_TRUE(dev.WaitForOutEvents(1, 1, kWait));
    EXPECT_EQ(ShortMessages(0), (std::vector<uint32_t>{0x403C95, 0x7F40B5, 0x0040F8}));
    EXPECT_EQ(ShortMessages(1), (std::vector<uint32_t>{0x403C90})) << "the other route keeps its channel";
    controlpanel::SelectChannel(settings, controlpanel::kChannelAll);
    EXPECT_EQ(settings.Channel, 16);
    dev.ClearOutRecord(0);
    StopRoutes();
    auto got = ShortMessages(0);
    ASSERT_EQ(got.size(), 2u + 16u);
    EXPECT_EQ(got[0], 0x3C85u) << "the held note ends on channel 6";
    EXPECT_EQ(got[1], 0x40B5u) << "and so does the pedal";
}

TEST(ChannelList, StoredValuesOutsideTheListShowAsAll) {
    const std::pair<int32_t, int> cases[] = {{0, 0}, {15, 15}, {16, 16}, {17, 16}, {99, 16}, {-1, 16}, {INT32_MIN, 16}};
    for (const auto& c : cases) EXPECT_EQ(controlpanel::ChannelListPosition(c.first), c.second) << c.first;
    KavoSettings s;
    s.Channel = 99;
    controlpanel::SelectChannel(s, 17);  // no such entry: nothing changes
    EXPECT_EQ(s.Channel, 99);
    controlpanel::SelectChannel(s, 0);
    EXPECT_EQ(s.Channel, 0);
    EXPECT_EQ(transformChannel.load(), 0);
    s.Channel = 99;
    SeedEngine(s);
    EXPECT_EQ(transformChannel.load(), 99) << "kept as stored; the engine reads it as ALL";
    EXPECT_FALSE(AnyTransformOn());
    KavoSettings defaults;
    SeedEngine(defaults);
    BindEngineSettings(nullptr);
}

}  // namespace
