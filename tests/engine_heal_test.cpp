// Routes that follow their devices while they run: a device that goes leaves its route
// waiting for it, the other route forwarding and no note sounding, and the route comes
// back by itself when the device does, wherever it is listed then.
#include <atomic>
#include <optional>
#include <thread>

#include "engine/engine_internal.h"
#include "tests/engine_test_support.h"

namespace {

std::atomic<int> losses{0};
void CountLoss() { ++losses; }

class Healing : public EngineOnModels {
protected:
    void SetUp() override {
        EngineOnModels::SetUp();
        losses = 0;
        SetDeviceLossListener(&CountLoss);
    }
    void TearDown() override {
        SetDeviceLossListener(nullptr);
        transposeOn = 0;
        transposeSemitones = 0;
        transformRoute = 0;
        EngineOnModels::TearDown();
    }

    // Where the device so named is listed now.
    static uint32_t InAt(const std::string& name) { return IndexOf(midi::InGetNumDevs(), &midi::InGetDevCaps, name); }
    static uint32_t OutAt(const std::string& name) { return IndexOf(midi::OutGetNumDevs(), &midi::OutGetDevCaps, name); }
    static uint32_t IndexOf(uint32_t n, midi::Result (*caps)(uint32_t, char (&)[midi::kNameSize]), const std::string& name) {
        for (uint32_t j = 0; j < n; ++j) {
            char got[midi::kNameSize] = {};
            if (caps(j, got) == midi::kNoError && name == got) return j;
        }
        ADD_FAILURE() << name << " is not listed";
        return 0;
    }

    // A note played on the keyboard so named reaches the synth so named, last.
    bool Plays(const std::string& keys, const std::string& synth, uint32_t note) {
        const uint32_t out = OutAt(synth);
        const size_t before = dev.OutRecordSize(out);
        dev.SendShort(InAt(keys), note);
        if (!dev.WaitForOutEvents(out, before + 1, kWait)) return false;
        const auto got = ShortMessages(out);
        return !got.empty() && got.back() == note;
    }

    // A SysEx message played on the keyboard arrives whole at the synth.
    bool PlaysSysEx(const std::string& keys, const std::string& synth, uint8_t tag) {
        const std::vector<uint8_t> msg = {0xF0, 0x43, tag, 0x01, 0x02, 0xF7};
        WaitForSysExBuffers(InAt(keys));
        const uint32_t out = OutAt(synth);
        const size_t before = LongMessages(out).size();
        dev.SendSysEx(InAt(keys), msg.data(), msg.size());
        if (!WaitFor([&] { return LongMessages(out).size() > before; })) return false;
        return LongMessages(out).back() == msg;
    }
};

TEST_P(Healing, ADeviceThatGoesLeavesItsRouteWaitingAndComesBackWhereverItIsListed) {
    struct Case {
        const char* what;
        bool output;
        int route;
        const char* name;
        std::optional<uint32_t> backAt;  // where it is plugged back: another index
    };
    const Case cases[] = {
        {"route 1's keyboard", false, 0, "Key A", std::nullopt},
        {"route 1's synth", true, 0, "Synth A", std::nullopt},
        {"route 2's keyboard", false, 1, "Key B", 0u},
        {"route 2's synth", true, 1, "Synth B", 0u},
    };
    const char* keys[] = {"Key A", "Key B"};
    const char* synths[] = {"Synth A", "Synth B"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int other = 1 - c.route;
        // Each case begins with the devices where the last one plugged them back.
        Assign(0, InAt(keys[0]), OutAt(synths[0]));
        Assign(1, InAt(keys[1]), OutAt(synths[1]));
        StartRoutes();
        ASSERT_TRUE(boxes.empty());
        ASSERT_TRUE(Plays(keys[c.route], synths[c.route], 0x403C90)) << "a key held";
        ASSERT_TRUE(c.output ? dev.RemoveOutput(OutAt(c.name)) : dev.RemoveInput(InAt(c.name)));
        if (c.output) {
            // The next message finds the output gone, and the program hears of it (and
            // only then has the worker taken it: it must not wait in the ring for the
            // output to come back).
            losses = 0;
            dev.SendShort(InAt(keys[c.route]), 0x403E90);
            EXPECT_TRUE(WaitFor([] { return losses.load() > 0; }));
        }
        EXPECT_FALSE(HealRoutes(false));
        EXPECT_EQ(RouteWaitsFor(c.route), c.output ? RouteWait::Output : RouteWait::Input);
        EXPECT_FALSE(RouteOpen(c.route));
        EXPECT_EQ(RouteWaitsFor(other), RouteWait::None);
        if (!c.output) {
            const auto got = ShortMessages(OutAt(synths[c.route]));
            EXPECT_EQ(got.back(), 0x3C80u) << "the held key ends at once where it sounded";
        }
        EXPECT_TRUE(Plays(keys[other], synths[other], 0x404091)) << "the other route goes on";
        EXPECT_TRUE(boxes.empty());

        ASSERT_TRUE(c.output ? dev.AddOutput(c.name, c.backAt) : dev.AddInput(c.name, c.backAt));
        EXPECT_TRUE(HealRoutes(false));
        EXPECT_TRUE(RouteOpen(c.route));
        EXPECT_EQ(RouteWaitsFor(c.route), RouteWait::None);
        EXPECT_TRUE(Plays(keys[c.route], synths[c.route], 0x404190)) << "back, at its new index";
        EXPECT_TRUE(PlaysSysEx(keys[c.route], synths[c.route], 0x10));
        EXPECT_TRUE(Plays(keys[other], synths[other], 0x404291));
        StopRoutes();
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(HeldDeviceCount(), 0);
        EXPECT_EQ(dev.InHandleCount() + dev.OutHandleCount(), 0u);
    }
}

TEST_P(Healing, ANamedDeviceThatIsMissingIsNeverOpenedByItsOldIndex) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();  // the names are learnt
    StopRoutes();
    ASSERT_TRUE(dev.RemoveInput(0));  // "Key B" now sits at index 0
    StartRoutes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kMsgCannotOpenIn1) << "the user's start says so as it always did";
    EXPECT_EQ(dev.InOpenCount(0), 0) << "not Key B instead";
    EXPECT_EQ(RouteWaitsFor(0), RouteWait::Input);
    EXPECT_FALSE(HealRoutes(false)) << "still missing";
    EXPECT_EQ(dev.InOpenCount(0), 1) << "route 2 opened Key B at its new index";
    ASSERT_TRUE(dev.AddInput("Key A"));
    EXPECT_TRUE(HealRoutes(false));
    EXPECT_TRUE(Plays("Key A", "Synth A", 0x403C90));
    EXPECT_TRUE(Plays("Key B", "Synth B", 0x403C91));
    EXPECT_EQ(boxes.size(), 1u) << "no box for an automatic attempt";
}

TEST_P(Healing, AfterASleepEveryRouteIsOpenedAgainAndItsHeldNotesEnd) {
    Assign(0, 0, 0);
    Assign(1, 1, 0);  // both into one synth
    StartRoutes();
    ASSERT_TRUE(Plays("Key A", "Synth A", 0x403C90));
    transformRoute = 1;  // route 2 plays an octave up, before the sleep and after
    transposeOn = 1;
    transposeSemitones = 12;
    ASSERT_TRUE(dev.Suspend());
    ASSERT_TRUE(dev.Resume());
    dev.SendShort(0, 0x403E90);  // silent: the inputs went deaf without an error
    EXPECT_TRUE(HealRoutes(true));
    EXPECT_EQ(ShortMessages(0).back(), 0x3C80u) << "the key held before the sleep ends";
    EXPECT_TRUE(Plays("Key A", "Synth A", 0x404090));
    const size_t before = dev.OutRecordSize(0);
    dev.SendShort(1, 0x404191);
    ASSERT_TRUE(dev.WaitForOutEvents(0, before + 1, kWait));
    EXPECT_EQ(ShortMessages(0).back(), 0x404D91u) << "its transpose as before";
    transposeOn = 0;
    transposeSemitones = 0;
    EXPECT_EQ(dev.OutOpenCount(0), 1) << "one output for both again";
    EXPECT_TRUE(boxes.empty());
}

TEST_P(Healing, AnOutputAnotherProgramHoldsIsTriedAgainUntilItIsFree) {
    dev.SetOutModel(0, midi::DriverModel::Classic);  // one client at a time
    Assign(0, 0, 0);
    StartRoutes();
    ASSERT_TRUE(dev.RemoveOutput(0));
    ASSERT_TRUE(dev.AddOutput("Synth A"));
    midi::OutHandle other = nullptr;
    ASSERT_EQ(midi::OutOpen(&other, OutAt("Synth A")), midi::kNoError) << "another program is quicker";
    EXPECT_FALSE(HealRoutes(false));
    EXPECT_EQ(RouteWaitsFor(0), RouteWait::Output);
    EXPECT_FALSE(HealRoutes(false)) << "still held";
    ASSERT_EQ(midi::OutClose(other), midi::kNoError);
    EXPECT_TRUE(HealRoutes(false));
    EXPECT_TRUE(Plays("Key A", "Synth A", 0x403C90));
    EXPECT_TRUE(boxes.empty());
}

// A hundred unplug-and-replug cycles of route 1's devices, with route 2 playing
// throughout: every note and SysEx message played while the devices are there
// arrives, and nothing is left behind (handles, buffers, memory held for devices).
TEST_P(Healing, AHundredCyclesLoseNothingAndLeakNothing) {
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(Plays("Key A", "Synth A", 0x400090u | (static_cast<uint32_t>(cycle) << 8)));
        ASSERT_TRUE(dev.RemoveInput(InAt("Key A")));
        ASSERT_TRUE(dev.RemoveOutput(OutAt("Synth A")));
        ASSERT_FALSE(HealRoutes(false));
        ASSERT_TRUE(Plays("Key B", "Synth B", 0x400091u | (static_cast<uint32_t>(cycle) << 8)));
        const std::optional<uint32_t> at = cycle % 2 ? std::optional<uint32_t>(0) : std::nullopt;
        ASSERT_TRUE(dev.AddInput("Key A", at));
        ASSERT_TRUE(dev.AddOutput("Synth A", at));
        ASSERT_TRUE(HealRoutes(false));
        ASSERT_TRUE(PlaysSysEx("Key A", "Synth A", static_cast<uint8_t>(cycle)));
        ASSERT_TRUE(PlaysSysEx("Key B", "Synth B", static_cast<uint8_t>(cycle)));
    }
    StopRoutes();
    EXPECT_EQ(HeldDeviceCount(), 0);
    EXPECT_EQ(BytesLeftWithDevices(), 0u);
    EXPECT_EQ(dev.InHandleCount() + dev.OutHandleCount(), 0u);
    for (const char* keys : {"Key A", "Key B"}) {
        const auto drops = dev.InDropCounts(InAt(keys));
        EXPECT_EQ(drops.shortMessages + drops.sysExMessages, 0u) << keys;
    }
    EXPECT_TRUE(boxes.empty());
}

// Both routes into one synth after a sleep, route 1's keyboard back last: whichever
// route comes back first opens the synth, and the other shares that one open (a
// single-client driver refuses a second; two handles of a multi-client one would let
// one route's message into the other's SysEx on the wire).
TEST_P(Healing, RoutesIntoOneOutputShareItWhicheverComesBackFirst) {
    Assign(0, 0, 0);
    Assign(1, 1, 0);
    StartRoutes();
    ASSERT_TRUE(dev.Suspend());
    ASSERT_TRUE(dev.RemoveInput(InAt("Key A")));  // a keyboard switched on late
    ASSERT_TRUE(dev.Resume());
    EXPECT_FALSE(HealRoutes(true));
    ASSERT_TRUE(RouteOpen(1));
    ASSERT_TRUE(dev.AddInput("Key A"));
    EXPECT_TRUE(HealRoutes(false));
    EXPECT_EQ(dev.OutOpenCount(0), 1) << "one open of the synth for both routes";
    EXPECT_EQ(routeOut[0], routeOut[1]);
    EXPECT_TRUE(Plays("Key A", "Synth A", 0x403C90));
    EXPECT_TRUE(Plays("Key B", "Synth A", 0x403E91));
    EXPECT_TRUE(PlaysSysEx("Key A", "Synth A", 1));
    StopRoutes();
    EXPECT_EQ(dev.OutOpenCount(0), 0);
    EXPECT_TRUE(boxes.empty());
}

// A heal while the other route's dump is on its way to a slow output neither waits for
// it nor cuts it: the dump arrives whole after the heal has returned, and a message
// longer than one long message keeps its output from its first part to its last, so
// a panel reset sent meanwhile follows its last part.
TEST_P(Healing, AHealLeavesTheOtherRoutesDumpInFlightAndItsOutputHeld) {
    dev.SetOutLongDelay(0, std::chrono::milliseconds(1500));
    Assign(0, 0, 0);
    Assign(1, 1, 1);
    StartRoutes();
    WaitForSysExBuffers(0);
    std::vector<uint8_t> dump(4096, 0x11);
    dump.front() = 0xF0;
    dump.back() = 0xF7;
    dev.SendSysEx(0, dump.data(), dump.size());
    ASSERT_TRUE(WaitFor([this] { return dev.OutPendingCount(0) == 1; }));
    ASSERT_TRUE(dev.RemoveInput(InAt("Key B")));
    EXPECT_FALSE(HealRoutes(false));
    EXPECT_EQ(dev.OutPendingCount(0), 1u) << "the heal waited for the dump";
    ASSERT_TRUE(WaitFor([&] { return LongMessages(0).size() == 1; }));
    EXPECT_EQ(LongMessages(0).front(), dump);

    // A message of 70 000 bytes: its first 64 KiB leave, the rest comes after a heal.
    dev.SetOutLongDelay(0, std::chrono::milliseconds(1));
    std::vector<uint8_t> big(70000, 0x22);
    big.front() = 0xF0;
    big.back() = 0xF7;
    // Fed as fast as the input's buffers come back.
    const auto feed = [&](size_t from, size_t to) {
        for (size_t at = from; at < to; at += 1000) {
            const size_t n = std::min<size_t>(1000, big.size() - at);
            if (at + n == big.size()) dev.SendSysEx(0, big.data() + at, n);
            else dev.SendSysExPart(0, big.data() + at, n);
            ASSERT_TRUE(WaitFor([this] { return dev.InUndeliveredCount(0) == 0 && dev.InQueuedCount(0) == size_t(kSysExBuffers); }));
        }
    };
    feed(0, 66000);
    ASSERT_TRUE(WaitFor([&] { return LongMessages(0).size() == 2; })) << "the first part left";
    ASSERT_TRUE(dev.AddInput("Key B"));
    EXPECT_TRUE(HealRoutes(false));
    const std::vector<uint8_t> reset = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    std::thread panel([&] { SendLongMessage(0, reset.data(), static_cast<uint32_t>(reset.size())); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the panel waits for the output
    feed(66000, big.size());
    panel.join();
    ASSERT_TRUE(WaitFor([&] { return LongMessages(0).size() == 4; }));
    const auto got = LongMessages(0);
    EXPECT_EQ(got[1].size() + got[2].size(), big.size());
    EXPECT_EQ(got[3], reset) << "the reset landed between the parts";
    EXPECT_TRUE(Plays("Key B", "Synth B", 0x403C91));
}

// Devices that the system keeps answering as gone while they refuse to close (as
// Windows 11's MIDI service is reported to do for removed devices) are given up after
// a few tries: hundreds of unplugs leave the held list short and nothing they were
// given is freed.
TEST_P(Healing, DevicesThatStayGoneAreGivenUpWithoutFreeingTheirBuffers) {
    dev.SetInExclusive(0, false);  // each session opens it anew beside the held ones
    dev.SetInHoldsBuffers(0, true);
    dev.SetInCloseResult(0, midi::kNoDriver);
    Assign(0, 0, 0);
    const size_t before = BytesGivenUp();
    size_t most = 0;
    for (int cycle = 0; cycle < 40; ++cycle) {
        StartRoutes();
        ASSERT_TRUE(boxes.empty()) << boxes[0].text;
        WaitForSysExBuffers(0);
        StopRoutes();
        most = std::max(most, static_cast<size_t>(HeldDeviceCount()));
    }
    EXPECT_LE(most, 3u) << "given up after a few tries";
    EXPECT_EQ(BytesGivenUp() - before + BytesLeftWithDevices(), 40 * sizeof(SysExBank))
        << "every bank a device may write stays";
    // Those still tried close once the device lets them.
    dev.SetInCloseResult(0, midi::kNoError);
    dev.SetInHoldsBuffers(0, false);
    StartRoutes();
    StopRoutes();
    EXPECT_EQ(HeldDeviceCount(), 0);
}

KAVO_ON_BOTH_MODELS(Healing);

}  // namespace
