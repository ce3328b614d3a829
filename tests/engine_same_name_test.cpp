// Two devices of one name (two identical USB cables, two keyboards of one model): each
// route keeps the one it has, a route whose device comes back gets the one no other
// route holds, and no device is ever opened by both routes, whatever the driver model,
// whether the backend's indices follow the lists or stay as they were at the open
// (winmm), and whether the driver takes one client or several.
#include <algorithm>
#include <atomic>
#include <optional>
#include <string>

#include "tests/engine_test_support.h"

namespace {

// The physical devices, in list order: inputs X (route 1's) and Y (route 2's), outputs
// P (route 1's) and Q (route 2's), all four named alike.
struct Devices {
    std::string ins = "XY";
    std::string outs = "PQ";
    uint32_t In(char d) const { return static_cast<uint32_t>(ins.find(d)); }
    uint32_t Out(char d) const { return static_cast<uint32_t>(outs.find(d)); }
};

std::atomic<int> losses{0};

class SameName : public EngineFixture, public ::testing::WithParamInterface<midi::DriverModel> {
protected:
    SameName() : EngineFixture(midi::VirtualMidi::Config{{"USB MIDI", "USB MIDI"}, {"USB MIDI", "USB MIDI"}}) {}
    midi::DriverModel Model() const override { return GetParam(); }

    void SetUp() override {
        EngineFixture::SetUp();
        SetDeviceLossListener([] { ++losses; });
    }
    void TearDown() override {
        SetDeviceLossListener(nullptr);
        EngineFixture::TearDown();
        dev.SetIdsFromOpen(false);
    }

    // Keyboard `keys` is open once at most, and a note played on it reaches synth
    // `synth` alone, once.
    ::testing::AssertionResult Plays(const Devices& d, char keys, char synth, uint32_t note) {
        for (char k : d.ins)
            if (dev.InOpenCount(d.In(k)) > 1) return ::testing::AssertionFailure() << k << " is open twice";
        const char other = synth == d.outs[0] ? d.outs[1] : d.outs[0];
        const size_t before = ShortMessages(d.Out(synth)).size();
        const size_t otherBefore = ShortMessages(d.Out(other)).size();
        const size_t events = dev.OutRecordSize(d.Out(synth));
        dev.SendShort(d.In(keys), note);
        if (!dev.WaitForOutEvents(d.Out(synth), events + 1, kWait))
            return ::testing::AssertionFailure() << keys << " does not reach " << synth;
        const auto got = ShortMessages(d.Out(synth));
        if (got.size() != before + 1 || got.back() != note) return ::testing::AssertionFailure() << synth << " got it twice";
        if (ShortMessages(d.Out(other)).size() != otherBefore) return ::testing::AssertionFailure() << other << " got it too";
        return ::testing::AssertionSuccess();
    }
};

TEST_P(SameName, EachRouteKeepsItsOwnDeviceOrGetsTheOneNoOtherRouteHolds) {
    enum class Back { OldPlace, Elsewhere, Never };
    struct Case {
        const char* what;
        bool output;
        int route;
        Back back;
    };
    const Case cases[] = {
        {"route 1's keyboard, back at its place", false, 0, Back::OldPlace},
        {"route 1's keyboard, back at the end", false, 0, Back::Elsewhere},
        {"route 1's keyboard, not back", false, 0, Back::Never},
        {"route 2's keyboard, back at its place", false, 1, Back::OldPlace},
        {"route 2's keyboard, back in front", false, 1, Back::Elsewhere},
        {"route 2's keyboard, not back", false, 1, Back::Never},
        {"route 1's synth, back at the end", true, 0, Back::Elsewhere},
        {"route 2's synth, back at its place", true, 1, Back::OldPlace},
        {"route 2's synth, not back", true, 1, Back::Never},
    };
    for (const bool idsFromOpen : {false, true})
        for (const bool severalClients : {false, true})
            for (const Case& c : cases) {
                SCOPED_TRACE(std::string(c.what) + (idsFromOpen ? ", indices from the open" : ", indices that follow") +
                             (severalClients ? ", inputs of several clients" : ""));
                dev.SetIdsFromOpen(idsFromOpen);
                for (uint32_t j = 0; j < 2; ++j) dev.SetInExclusive(j, !severalClients);
                // Nothing at all tells two devices of one name apart when the indices
                // stay as they were at the open and the driver takes several clients:
                // then both routes open afresh, each a device of its own, either one.
                const bool cannotTell = idsFromOpen && (c.output ? Model() == midi::DriverModel::Ideal : severalClients);
                Devices d;
                Assign(0, 0, 0);
                Assign(1, 1, 1);
                StartRoutes();
                ASSERT_TRUE(boxes.empty()) << boxes[0].text;
                ASSERT_TRUE(Plays(d, 'X', 'P', 0x403C90));
                ASSERT_TRUE(Plays(d, 'Y', 'Q', 0x403C91));

                std::string& list = c.output ? d.outs : d.ins;
                const char gone = list[static_cast<size_t>(c.route)];
                const size_t oldPlace = list.find(gone);
                ASSERT_TRUE(c.output ? dev.RemoveOutput(static_cast<uint32_t>(oldPlace)) : dev.RemoveInput(static_cast<uint32_t>(oldPlace)));
                list.erase(oldPlace, 1);
                if (c.output) {
                    // The next message finds the synth gone (a look at the output may
                    // find the worker using it, and count that as an answer).
                    losses = 0;
                    dev.SendShort(d.In("XY"[c.route]), 0x403D90);
                    const auto deadline = std::chrono::steady_clock::now() + kWait;
                    while (losses == 0 && std::chrono::steady_clock::now() < deadline)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    ASSERT_GT(losses.load(), 0);
                }
                EXPECT_FALSE(HealRoutes(false));
                EXPECT_EQ(RouteWaitsFor(c.route), c.output ? RouteWait::Output : RouteWait::Input) << "not the other's device";
                const int other = 1 - c.route;
                EXPECT_TRUE(Plays(d, "XY"[other], "PQ"[other], 0x403E92)) << "the other route goes on";
                const uint64_t otherOpens = c.output ? dev.OutOpensTotal(d.Out("PQ"[other])) : dev.InOpensTotal(d.In("XY"[other]));

                if (c.back != Back::Never) {
                    const size_t at = c.back == Back::OldPlace ? oldPlace : c.route == 0 ? list.size() : 0;
                    ASSERT_TRUE(c.output ? dev.AddOutput("USB MIDI", static_cast<uint32_t>(at)) : dev.AddInput("USB MIDI", static_cast<uint32_t>(at)));
                    list.insert(at, 1, gone);
                }
                const bool back = c.back != Back::Never;
                EXPECT_EQ(HealRoutes(false), back);
                EXPECT_EQ(RouteOpen(c.route), back);
                if (cannotTell && back) {
                    // Each keyboard reaches one synth, the other the other.
                    const size_t atP = dev.OutRecordSize(d.Out('P'));
                    const size_t atQ = dev.OutRecordSize(d.Out('Q'));
                    dev.SendShort(d.In('X'), 0x404090);
                    const auto deadline = std::chrono::steady_clock::now() + kWait;
                    while (dev.OutRecordSize(d.Out('P')) == atP && dev.OutRecordSize(d.Out('Q')) == atQ &&
                           std::chrono::steady_clock::now() < deadline)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    const char xTo = dev.OutRecordSize(d.Out('P')) > atP ? 'P' : 'Q';
                    EXPECT_TRUE(Plays(d, 'X', xTo, 0x404190));
                    EXPECT_TRUE(Plays(d, 'Y', xTo == 'P' ? 'Q' : 'P', 0x404091));
                } else {
                    if (back) {
                        EXPECT_TRUE(Plays(d, 'X', 'P', 0x404090));
                    }
                    if (back || c.route == 1) {
                        EXPECT_TRUE(Plays(d, 'X', 'P', 0x404190));
                    }
                    if (back || c.route == 0) {
                        EXPECT_TRUE(Plays(d, 'Y', 'Q', 0x404091));
                    }
                    const uint64_t opens = c.output ? dev.OutOpensTotal(d.Out("PQ"[other])) : dev.InOpensTotal(d.In("XY"[other]));
                    EXPECT_EQ(opens, otherOpens) << "the other route's device stayed as it was";
                }
                EXPECT_TRUE(boxes.empty());
                StopRoutes();
                EXPECT_EQ(dev.InHandleCount() + dev.OutHandleCount(), 0u);
                // The next case begins with the devices as they were.
                if (!back) ASSERT_TRUE(c.output ? dev.AddOutput("USB MIDI", static_cast<uint32_t>(oldPlace)) : dev.AddInput("USB MIDI", static_cast<uint32_t>(oldPlace)));
                else if (list.find(gone) != oldPlace) {
                    ASSERT_TRUE(c.output ? dev.RemoveOutput(static_cast<uint32_t>(list.find(gone))) : dev.RemoveInput(static_cast<uint32_t>(list.find(gone))));
                    ASSERT_TRUE(c.output ? dev.AddOutput("USB MIDI", static_cast<uint32_t>(oldPlace)) : dev.AddInput("USB MIDI", static_cast<uint32_t>(oldPlace)));
                }
            }
}

TEST_P(SameName, AStartOpensBothDevicesOfTheNameAtTheirIndices) {
    Devices d;
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(Plays(d, 'X', 'P', 0x403C90));
    EXPECT_TRUE(Plays(d, 'Y', 'Q', 0x403C91));
    StopRoutes();
    // Both stored with one index, as two routes into one synth: one device for both.
    Assign(0, 0, 0);
    Assign(1, 1, 0);
    StartRoutes();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(dev.OutOpenCount(0), 1);
    EXPECT_EQ(dev.OutOpenCount(1), 0);
    EXPECT_TRUE(Plays(d, 'Y', 'P', 0x403C92));
}

KAVO_ON_BOTH_MODELS(SameName);

}  // namespace
